// The decompressor side of the Windows Compression API, as cabinet.dll exports it, for LZMS only.
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
// Not documented, chosen here: ERROR_INVALID_PARAMETER for the values COMPRESS_ALGORITHM_INVALID
// and COMPRESS_ALGORITHM_NULL, for other flag bits and for missing pointers; ERROR_INVALID_HANDLE
// for a handle that is not open.
#include <windows.h>
#include <compressapi.h>

#include <limits>
#include <new>
#include <set>

#include "buffer_mode.h"

#ifndef ERROR_BAD_COMPRESSION_BUFFER  // missing from mingw-w64's winerror.h
#define ERROR_BAD_COMPRESSION_BUFFER 605L
#endif

namespace {

struct Decompressor {
  bool raw = false;
  COMPRESS_ALLOCATION_ROUTINES routines{};  // Allocate is null when the caller gave none
  zs::lzms::ChunkDecoder chunks;
};

// The handles that are open, so that a wrong or closed one is refused rather than followed.
SRWLOCK openLock = SRWLOCK_INIT;
std::set<Decompressor*>& openHandles() {
  static std::set<Decompressor*> handles;
  return handles;
}

bool isOpen(Decompressor* d) {
  AcquireSRWLockShared(&openLock);
  const bool open = openHandles().count(d) != 0;
  ReleaseSRWLockShared(&openLock);
  return open;
}

// Gives the memory back the way it was taken: through the caller's routines when it gave some.
void release(Decompressor* d) {
  const COMPRESS_ALLOCATION_ROUTINES routines = d->routines;
  d->~Decompressor();
  if (routines.Free != nullptr) {
    routines.Free(routines.UserContext, d);
  } else {
    ::operator delete(d);
  }
}

BOOL fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace

extern "C" {

BOOL WINAPI CreateDecompressor(DWORD Algorithm, PCOMPRESS_ALLOCATION_ROUTINES AllocationRoutines,
                               PDECOMPRESSOR_HANDLE DecompressorHandle) {
  if (DecompressorHandle == nullptr) return fail(ERROR_INVALID_PARAMETER);
  *DecompressorHandle = nullptr;
  const DWORD algorithm = Algorithm & ~static_cast<DWORD>(COMPRESS_RAW);
  if (algorithm <= COMPRESS_ALGORITHM_NULL || algorithm > 0xFF) return fail(ERROR_INVALID_PARAMETER);
  if (algorithm != COMPRESS_ALGORITHM_LZMS) return fail(ERROR_NOT_SUPPORTED);
  if (AllocationRoutines != nullptr && (AllocationRoutines->Allocate == nullptr || AllocationRoutines->Free == nullptr))
    return fail(ERROR_INVALID_PARAMETER);

  void* memory = AllocationRoutines != nullptr
                     ? AllocationRoutines->Allocate(AllocationRoutines->UserContext, sizeof(Decompressor))
                     : ::operator new(sizeof(Decompressor), std::nothrow);
  if (memory == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
  auto* d = new (memory) Decompressor;
  d->raw = (Algorithm & COMPRESS_RAW) != 0;
  if (AllocationRoutines != nullptr) d->routines = *AllocationRoutines;
  AcquireSRWLockExclusive(&openLock);
  bool added = false;
  try {
    added = openHandles().insert(d).second;
  } catch (const std::bad_alloc&) {
  }
  ReleaseSRWLockExclusive(&openLock);
  if (!added) {
    release(d);
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  *DecompressorHandle = reinterpret_cast<DECOMPRESSOR_HANDLE>(d);
  return TRUE;
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
  auto* d = reinterpret_cast<Decompressor*>(DecompressorHandle);
  AcquireSRWLockExclusive(&openLock);
  const bool wasOpen = openHandles().erase(d) != 0;
  ReleaseSRWLockExclusive(&openLock);
  if (!wasOpen) return fail(ERROR_INVALID_HANDLE);
  release(d);
  return TRUE;
}

// Not a cabinet.dll export: lets a test see that every decompressor it caused was closed.
DWORD WINAPI ZsOpenDecompressors() {
  AcquireSRWLockShared(&openLock);
  const DWORD count = static_cast<DWORD>(openHandles().size());
  ReleaseSRWLockShared(&openLock);
  return count;
}

}  // extern "C"
