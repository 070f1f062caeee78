#include "lzms_compress.h"

#include <cstring>

#include "payload/lzms/buffer_format.h"

#ifdef _WIN32
#include <windows.h>
#include <compressapi.h>
#else
#include <wimlib.h>
#endif

namespace zs::build {

#ifndef _WIN32

namespace {

void append32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

bool compressLzmsBuffer(const uint8_t* data, size_t size, uint64_t chunkSize,
                        std::vector<uint8_t>& out, std::string& error) {
  if (chunkSize == 0 || chunkSize > lzms::kMaxChunkSize) {
    error = "the chunk size must be 1 byte to 64 MiB";
    return false;
  }
  out.assign(lzms::kBufferHeaderSize, 0);
  lzms::writeBufferHeader(size, chunkSize, out.data());
  if (size == 0) return true;

  const size_t chunk = static_cast<size_t>(size < chunkSize ? size : chunkSize);
  wimlib_compressor* compressor = nullptr;
  // Level 0 is wimlib's default for LZMS; the compressor keeps no state between chunks.
  if (wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, chunk, 0, &compressor) != 0) {
    error = "wimlib could not create an LZMS compressor";
    return false;
  }
  std::vector<uint8_t> packed(chunk);
  for (size_t done = 0; done < size;) {
    const size_t plain = size - done < chunk ? size - done : chunk;
    // A compressed chunk must come out shorter than its input: one of equal size means "stored".
    const size_t packedSize = plain > 1 ? wimlib_compress(data + done, plain, packed.data(), plain - 1, compressor) : 0;
    if (packedSize == 0) {
      append32(out, static_cast<uint32_t>(plain));
      out.insert(out.end(), data + done, data + done + plain);
    } else {
      append32(out, static_cast<uint32_t>(packedSize));
      out.insert(out.end(), packed.data(), packed.data() + packedSize);
    }
    done += plain;
  }
  wimlib_free_compressor(compressor);
  return true;
}

#else

namespace {

using CreateCompressorFn = BOOL(WINAPI*)(DWORD, PCOMPRESS_ALLOCATION_ROUTINES, PCOMPRESSOR_HANDLE);
using SetCompressorInformationFn = BOOL(WINAPI*)(COMPRESSOR_HANDLE, COMPRESS_INFORMATION_CLASS, LPCVOID, SIZE_T);
using CompressFn = BOOL(WINAPI*)(COMPRESSOR_HANDLE, LPCVOID, SIZE_T, PVOID, SIZE_T, PSIZE_T);
using CloseCompressorFn = BOOL(WINAPI*)(COMPRESSOR_HANDLE);

template <typename Fn>
Fn procedure(HMODULE module, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

bool compressLzmsBuffer(const uint8_t* data, size_t size, uint64_t chunkSize,
                        std::vector<uint8_t>& out, std::string& error) {
  if (chunkSize < 65536 || chunkSize > lzms::kMaxChunkSize) {
    error = "the chunk size must be 64 KiB to 64 MiB";
    return false;
  }
  if (size == 0) {
    out.assign(lzms::kBufferHeaderSize, 0);
    lzms::writeBufferHeader(0, chunkSize, out.data());
    return true;
  }
  HMODULE cabinet = LoadLibraryExW(L"cabinet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  const auto create = cabinet ? procedure<CreateCompressorFn>(cabinet, "CreateCompressor") : nullptr;
  const auto setInformation = cabinet ? procedure<SetCompressorInformationFn>(cabinet, "SetCompressorInformation") : nullptr;
  const auto compress = cabinet ? procedure<CompressFn>(cabinet, "Compress") : nullptr;
  const auto close = cabinet ? procedure<CloseCompressorFn>(cabinet, "CloseCompressor") : nullptr;
  if (!create || !setInformation || !compress || !close) {
    error = "this system's cabinet.dll has no Compression API";
    return false;
  }
  COMPRESSOR_HANDLE compressor = nullptr;
  if (!create(COMPRESS_ALGORITHM_LZMS, nullptr, &compressor)) {
    error = "CreateCompressor failed: Windows error " + std::to_string(GetLastError());
    return false;
  }
  DWORD block = static_cast<DWORD>(chunkSize);
  bool ok = setInformation(compressor, COMPRESS_INFORMATION_CLASS_BLOCK_SIZE, &block, sizeof(block));
  SIZE_T needed = 0;
  if (ok && !compress(compressor, data, size, nullptr, 0, &needed) && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    ok = false;
  }
  if (ok) {
    out.resize(needed);
    SIZE_T written = 0;
    ok = compress(compressor, data, size, out.data(), out.size(), &written);
    if (ok) out.resize(written);
  }
  const DWORD code = GetLastError();
  close(compressor);
  if (!ok) {
    error = "the Compression API failed: Windows error " + std::to_string(code);
    return false;
  }
  return true;
}

#endif

}  // namespace zs::build
