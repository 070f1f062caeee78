// The Windows Compression API in buffer mode, both sides, as cabinet.dll exports it, for LZMS only.
// Test prefixes put this file in place of Wine's cabinet.dll (which has no Compression API), so
// that the setup's path through CreateDecompressor, Decompress and CloseDecompressor runs under
// test. Every other export of cabinet.dll is forwarded to Wine's own copy (see cabinet.def).
//
// The contract followed is Microsoft's documentation:
//   - CreateDecompressor takes an algorithm, optionally ORed with COMPRESS_RAW (block mode);
//     without it the decompressor is in buffer mode. An algorithm the system lacks fails with
//     ERROR_NOT_SUPPORTED; this one has LZMS alone.
//   - Decompress in buffer mode with no output buffer, or one too small, fails with
//     ERROR_INSUFFICIENT_BUFFER and sets UncompressedDataSize to the size needed.
//   - Damaged compressed data fails with ERROR_BAD_COMPRESSION_BUFFER.
//   - In block mode, UncompressedBufferSize must be exactly the original size.
//   - Compress with no output buffer, or one too small, fails with ERROR_INSUFFICIENT_BUFFER and
//     sets CompressedDataSize to a size that makes the call succeed.
//   - SetCompressorInformation with COMPRESS_INFORMATION_CLASS_BLOCK_SIZE takes a DWORD of 65,536
//     to 67,108,864 bytes, for LZMS only; COMPRESS_INFORMATION_CLASS_LEVEL is for XPRESS only.
// Not documented, chosen here: ERROR_INVALID_PARAMETER for the values COMPRESS_ALGORITHM_INVALID
// and COMPRESS_ALGORITHM_NULL, for other flag bits and for missing pointers; ERROR_INVALID_HANDLE
// for a handle that is not open (a compressor's handle is not a decompressor's, nor the reverse);
// ERROR_INVALID_PARAMETER for a block size out of range or an information class LZMS lacks; a
// block size of 1 MiB until one is set (Windows' own default is not published); in block mode
// (COMPRESS_RAW), one raw LZMS chunk of at most the block size, coded even when it does not shrink.
#include <windows.h>
#include <compressapi.h>

#include <cstring>
#include <limits>
#include <new>
#include <set>

#include "buffer_mode.h"
#include "lzms_encoder.h"

#ifndef ERROR_BAD_COMPRESSION_BUFFER  // missing from mingw-w64's winerror.h
#define ERROR_BAD_COMPRESSION_BUFFER 605L
#endif

namespace {

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

struct Decompressor {
  bool raw = false;
  COMPRESS_ALLOCATION_ROUTINES routines{};  // Allocate is null when the caller gave none
  zs::lzms::ChunkDecoder chunks;
};

constexpr DWORD kMinBlockSize = 65536;
constexpr DWORD kMaxBlockSize = 67108864;

struct Compressor {
  bool raw = false;
  COMPRESS_ALLOCATION_ROUTINES routines{};
  DWORD blockSize = 1u << 20;
};

// The handles that are open, so that a wrong or closed one is refused rather than followed.
SRWLOCK openLock = SRWLOCK_INIT;
template <typename Handle>
std::set<Handle*>& openHandles() {
  static std::set<Handle*> handles;
  return handles;
}

template <typename Handle>
bool isOpen(Handle* h) {
  AcquireSRWLockShared(&openLock);
  const bool open = openHandles<Handle>().count(h) != 0;
  ReleaseSRWLockShared(&openLock);
  return open;
}

template <typename Handle>
DWORD openCount() {
  AcquireSRWLockShared(&openLock);
  const DWORD count = static_cast<DWORD>(openHandles<Handle>().size());
  ReleaseSRWLockShared(&openLock);
  return count;
}

// Gives the memory back the way it was taken: through the caller's routines when it gave some.
template <typename Handle>
void release(Handle* h) {
  const COMPRESS_ALLOCATION_ROUTINES routines = h->routines;
  h->~Handle();
  if (routines.Free != nullptr) {
    routines.Free(routines.UserContext, h);
  } else {
    ::operator delete(h);
  }
}

// A new handle, in the caller's memory when it gave routines, registered as open.
template <typename Handle>
BOOL create(DWORD Algorithm, PCOMPRESS_ALLOCATION_ROUTINES AllocationRoutines, Handle*& out) {
  out = nullptr;
  const DWORD algorithm = Algorithm & ~static_cast<DWORD>(COMPRESS_RAW);
  if (algorithm <= COMPRESS_ALGORITHM_NULL || algorithm > 0xFF) return fail(ERROR_INVALID_PARAMETER);
  if (algorithm != COMPRESS_ALGORITHM_LZMS) return fail(ERROR_NOT_SUPPORTED);
  if (AllocationRoutines != nullptr && (AllocationRoutines->Allocate == nullptr || AllocationRoutines->Free == nullptr))
    return fail(ERROR_INVALID_PARAMETER);
  void* memory = AllocationRoutines != nullptr
                     ? AllocationRoutines->Allocate(AllocationRoutines->UserContext, sizeof(Handle))
                     : ::operator new(sizeof(Handle), std::nothrow);
  if (memory == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
  auto* h = new (memory) Handle;
  h->raw = (Algorithm & COMPRESS_RAW) != 0;
  if (AllocationRoutines != nullptr) h->routines = *AllocationRoutines;
  AcquireSRWLockExclusive(&openLock);
  bool added = false;
  try {
    added = openHandles<Handle>().insert(h).second;
  } catch (const std::bad_alloc&) {
  }
  ReleaseSRWLockExclusive(&openLock);
  if (!added) {
    release(h);
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  out = h;
  return TRUE;
}

template <typename Handle>
BOOL close(Handle* h) {
  AcquireSRWLockExclusive(&openLock);
  const bool wasOpen = openHandles<Handle>().erase(h) != 0;
  ReleaseSRWLockExclusive(&openLock);
  if (!wasOpen) return fail(ERROR_INVALID_HANDLE);
  release(h);
  return TRUE;
}

}  // namespace

extern "C" {

BOOL WINAPI CreateDecompressor(DWORD Algorithm, PCOMPRESS_ALLOCATION_ROUTINES AllocationRoutines,
                               PDECOMPRESSOR_HANDLE DecompressorHandle) {
  if (DecompressorHandle == nullptr) return fail(ERROR_INVALID_PARAMETER);
  Decompressor* d = nullptr;
  const BOOL made = create(Algorithm, AllocationRoutines, d);
  *DecompressorHandle = reinterpret_cast<DECOMPRESSOR_HANDLE>(d);
  return made;
}

BOOL WINAPI Decompress(DECOMPRESSOR_HANDLE DecompressorHandle, PVOID CompressedData, SIZE_T CompressedDataSize,
                       PVOID UncompressedBuffer, SIZE_T UncompressedBufferSize, PSIZE_T UncompressedDataSize) {
  auto* d = reinterpret_cast<Decompressor*>(DecompressorHandle);
  if (!isOpen(d)) return fail(ERROR_INVALID_HANDLE);
  if (CompressedData == nullptr || UncompressedDataSize == nullptr) return fail(ERROR_INVALID_PARAMETER);
  *UncompressedDataSize = 0;
  const auto* in = static_cast<const uint8_t*>(CompressedData);
  auto* out = static_cast<uint8_t*>(UncompressedBuffer);
  try {
    if (d->raw) {
      // Block mode: the input is one raw LZMS chunk of exactly the buffer's size.
      if (out == nullptr) return fail(ERROR_INVALID_PARAMETER);
      if (!d->chunks.decode(in, CompressedDataSize, out, UncompressedBufferSize)) return fail(ERROR_BAD_COMPRESSION_BUFFER);
      *UncompressedDataSize = UncompressedBufferSize;
      return TRUE;
    }
    uint64_t total = 0;
    const zs::standin::Outcome outcome =
        zs::standin::decompressBuffer(d->chunks, in, CompressedDataSize, out, out == nullptr ? 0 : UncompressedBufferSize, total);
    // A total beyond this process's address space cannot be a buffer made for it.
    if (outcome == zs::standin::Outcome::BadData || total > std::numeric_limits<SIZE_T>::max())
      return fail(ERROR_BAD_COMPRESSION_BUFFER);
    *UncompressedDataSize = static_cast<SIZE_T>(total);
    if (outcome == zs::standin::Outcome::BufferTooSmall) return fail(ERROR_INSUFFICIENT_BUFFER);
    return TRUE;
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

BOOL WINAPI CloseDecompressor(DECOMPRESSOR_HANDLE DecompressorHandle) {
  return close(reinterpret_cast<Decompressor*>(DecompressorHandle));
}

BOOL WINAPI CreateCompressor(DWORD Algorithm, PCOMPRESS_ALLOCATION_ROUTINES AllocationRoutines,
                             PCOMPRESSOR_HANDLE CompressorHandle) {
  if (CompressorHandle == nullptr) return fail(ERROR_INVALID_PARAMETER);
  Compressor* c = nullptr;
  const BOOL made = create(Algorithm, AllocationRoutines, c);
  *CompressorHandle = reinterpret_cast<COMPRESSOR_HANDLE>(c);
  return made;
}

BOOL WINAPI SetCompressorInformation(COMPRESSOR_HANDLE CompressorHandle, COMPRESS_INFORMATION_CLASS CompressInformationClass,
                                     PVOID CompressInformation, SIZE_T CompressInformationSize) {
  auto* c = reinterpret_cast<Compressor*>(CompressorHandle);
  if (!isOpen(c)) return fail(ERROR_INVALID_HANDLE);
  if (CompressInformationClass != COMPRESS_INFORMATION_CLASS_BLOCK_SIZE || CompressInformation == nullptr ||
      CompressInformationSize != sizeof(DWORD))
    return fail(ERROR_INVALID_PARAMETER);
  DWORD size;
  std::memcpy(&size, CompressInformation, sizeof(size));
  if (size < kMinBlockSize || size > kMaxBlockSize) return fail(ERROR_INVALID_PARAMETER);
  c->blockSize = size;
  return TRUE;
}

// mingw-w64 declares the input as PVOID where Microsoft's header has LPCVOID; it is only read.
BOOL WINAPI Compress(COMPRESSOR_HANDLE CompressorHandle, PVOID UncompressedData, SIZE_T UncompressedDataSize,
                     PVOID CompressedBuffer, SIZE_T CompressedBufferSize, PSIZE_T CompressedDataSize) {
  auto* c = reinterpret_cast<Compressor*>(CompressorHandle);
  if (!isOpen(c)) return fail(ERROR_INVALID_HANDLE);
  if (CompressedDataSize == nullptr || (UncompressedData == nullptr && UncompressedDataSize != 0))
    return fail(ERROR_INVALID_PARAMETER);
  *CompressedDataSize = 0;
  if (c->raw && (UncompressedDataSize == 0 || UncompressedDataSize > c->blockSize)) return fail(ERROR_INVALID_PARAMETER);
  const auto* in = static_cast<const uint8_t*>(UncompressedData);
  // What makes the call succeed whatever the data: every chunk stored; a raw chunk is coded even
  // when it grows, but a literal never takes 16 bits.
  const uint64_t bound = c->raw ? 2 * uint64_t{UncompressedDataSize} + 64
                                : zs::standin::compressedBound(UncompressedDataSize, c->blockSize);
  if (bound > std::numeric_limits<SIZE_T>::max()) return fail(ERROR_NOT_ENOUGH_MEMORY);
  if (CompressedBuffer == nullptr || CompressedBufferSize == 0) {
    *CompressedDataSize = static_cast<SIZE_T>(bound);
    return fail(ERROR_INSUFFICIENT_BUFFER);
  }
  try {
    const std::vector<uint8_t> out = c->raw ? zs::standin::encodeLzmsChunk(in, UncompressedDataSize)
                                            : zs::standin::compressBuffer(in, UncompressedDataSize, c->blockSize);
    if (out.size() > CompressedBufferSize) {
      *CompressedDataSize = static_cast<SIZE_T>(bound);
      return fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(CompressedBuffer, out.data(), out.size());
    *CompressedDataSize = out.size();
    return TRUE;
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
}

BOOL WINAPI CloseCompressor(COMPRESSOR_HANDLE CompressorHandle) {
  return close(reinterpret_cast<Compressor*>(CompressorHandle));
}

// Not cabinet.dll exports: let a test see that every handle it caused was closed.
DWORD WINAPI ZsOpenDecompressors() { return openCount<Decompressor>(); }
DWORD WINAPI ZsOpenCompressors() { return openCount<Compressor>(); }

}  // extern "C"
