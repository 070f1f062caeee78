#include "payload/decompressor.h"

#include <windows.h>
#include <compressapi.h>

#include <limits>
#include <memory>

#include "base/log.h"
#include "payload/lzms/buffer_format.h"

// What Decompress reports for damaged data; missing from mingw-w64's winerror.h.
#ifndef ERROR_BAD_COMPRESSION_BUFFER
#define ERROR_BAD_COMPRESSION_BUFFER 605L
#endif

namespace zs {

namespace {

using CreateDecompressorFn = BOOL(WINAPI*)(DWORD, PCOMPRESS_ALLOCATION_ROUTINES, PDECOMPRESSOR_HANDLE);
using DecompressFn = BOOL(WINAPI*)(DECOMPRESSOR_HANDLE, PVOID, SIZE_T, PVOID, SIZE_T, PSIZE_T);
using CloseDecompressorFn = BOOL(WINAPI*)(DECOMPRESSOR_HANDLE);

struct Api {
  DWORD loadError = ERROR_SUCCESS;  // cabinet.dll could not be loaded
  bool builtIn = false;
  CreateDecompressorFn create = nullptr;
  DecompressFn decompress = nullptr;
  CloseDecompressorFn close = nullptr;
};

template <typename Fn>
Fn procedure(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Decided once; the module stays loaded for the life of the process.
const Api& api() {
  static const Api chosen = [] {
    Api a;
    HMODULE cabinet = LoadLibraryExW(L"cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (cabinet == nullptr) {
      a.loadError = GetLastError();
      if (a.loadError == ERROR_SUCCESS) a.loadError = ERROR_MOD_NOT_FOUND;
      return a;
    }
    a.create = procedure<CreateDecompressorFn>(cabinet, "CreateDecompressor");
    a.decompress = procedure<DecompressFn>(cabinet, "Decompress");
    a.close = procedure<CloseDecompressorFn>(cabinet, "CloseDecompressor");
    if (a.create == nullptr || a.decompress == nullptr || a.close == nullptr) {
      a.builtIn = true;
      logLine(L"cabinet.dll has no Compression API; using the built-in LZMS decoder.");
    }
    return a;
  }();
  return chosen;
}

// One decompressor of either kind, closed when it goes out of scope.
class Session {
 public:
  bool open(DWORD& error) {
    const Api& a = api();
    if (a.loadError != ERROR_SUCCESS) {
      error = a.loadError;
      return false;
    }
    if (a.builtIn) {
      builtIn_ = std::make_unique<lzms::BufferDecoder>();
      return true;
    }
    DECOMPRESSOR_HANDLE handle = nullptr;
    if (!a.create(COMPRESS_ALGORITHM_LZMS, nullptr, &handle)) {
      error = GetLastError();
      return false;
    }
    handle_ = handle;
    return true;
  }

  ~Session() {
    if (handle_ != nullptr) api().close(handle_);
  }

  // Decompress's contract: TRUE with the bytes written, or FALSE with the Windows error and, for
  // ERROR_INSUFFICIENT_BUFFER, the size needed.
  // `ready` follows the built-in decoder's output chunk by chunk.
  bool run(const uint8_t* in, SIZE_T inSize, uint8_t* out, SIZE_T outSize, SIZE_T& size, DWORD& error,
           const lzms::ReadyBytes& ready = nullptr) {
    if (!builtIn_) {
      if (api().decompress(handle_, const_cast<uint8_t*>(in), inSize, out, outSize, &size)) return true;
      error = GetLastError();
      return false;
    }
    uint64_t needed = 0;
    const lzms::BufferResult result = builtIn_->decompress(in, inSize, out, outSize, needed, ready);
    if (result != lzms::BufferResult::InvalidData && needed > std::numeric_limits<SIZE_T>::max()) {
      error = ERROR_INVALID_DATA;  // cannot be this process's buffer
      return false;
    }
    size = static_cast<SIZE_T>(needed);
    if (result == lzms::BufferResult::Ok) return true;
    error = result == lzms::BufferResult::OutputTooSmall ? ERROR_INSUFFICIENT_BUFFER : ERROR_BAD_COMPRESSION_BUFFER;
    return false;
  }

 private:
  DECOMPRESSOR_HANDLE handle_ = nullptr;
  std::unique_ptr<lzms::BufferDecoder> builtIn_;
};

// Lengths the system's SIZE_T cannot carry are refused before a session is opened.
bool openSession(Session& session, uint64_t blockLength, uint64_t size, unsigned long& error) {
  if (blockLength > std::numeric_limits<SIZE_T>::max() || size > std::numeric_limits<SIZE_T>::max()) {
    error = ERROR_INVALID_DATA;
    return false;
  }
  DWORD code = ERROR_SUCCESS;
  if (!session.open(code)) {
    error = code;
    return false;
  }
  return true;
}

}  // namespace

bool blockDecompressedLength(const uint8_t* block, uint64_t blockLength, uint64_t& size,
                             unsigned long& error) {
  Session session;
  if (!openSession(session, blockLength, 0, error)) return false;
  DWORD code = ERROR_SUCCESS;
  SIZE_T needed = 0;
  if (session.run(block, static_cast<SIZE_T>(blockLength), nullptr, 0, needed, code)) {
    if (needed != 0) {
      error = ERROR_INVALID_DATA;
      return false;
    }
    size = 0;
    return true;
  }
  if (code != ERROR_INSUFFICIENT_BUFFER) {
    error = code;
    return false;
  }
  size = needed;
  return true;
}

bool decompressBlock(const uint8_t* block, uint64_t blockLength, uint8_t* out, uint64_t size,
                     unsigned long& error) {
  return decompressBlock(block, blockLength, out, size, error, nullptr);
}

bool decompressBlock(const uint8_t* block, uint64_t blockLength, uint8_t* out, uint64_t size,
                     unsigned long& error, const std::function<void(uint64_t ready)>& ready) {
  Session session;
  if (!openSession(session, blockLength, size, error)) return false;
  DWORD code = ERROR_SUCCESS;
  uint8_t nothing = 0;
  if (out == nullptr && size == 0) out = &nothing;  // an empty block still gets a (zero-length) buffer
  SIZE_T written = 0;
  // The built-in decoder's last report is its header's total, which may differ from `size`: only
  // whole chunks inside `size` are passed on, and the end once the length is right.
  uint64_t passed = 0;
  const lzms::ReadyBytes partial = [&](uint64_t bytes) {
    if (bytes >= size || !ready) return;
    passed = bytes;
    ready(bytes);
  };
  if (!session.run(block, static_cast<SIZE_T>(blockLength), out, static_cast<SIZE_T>(size), written, code,
                   ready ? partial : nullptr)) {
    error = code;
    return false;
  }
  if (written != size) {
    error = ERROR_INVALID_DATA;
    return false;
  }
  if (ready && size > passed) ready(size);
  return true;
}

bool usesBuiltInDecoder() { return api().builtIn; }

}  // namespace zs
