#include "lzms_compress.h"

#include <cstring>

#include "payload/lzms/buffer_format.h"

#ifdef _WIN32
#include <windows.h>
#include <compressapi.h>
#else
#include <wimlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#endif

namespace zs::build {

namespace {

// A block up to this size stays one chunk. Above it, one chunk would keep the second core idle
// for the whole build: two halves build in about half the time, for a block a few percent larger
// (about 5 % on 35 MB of source text, measured), and decode two at a time as well.
constexpr uint64_t kWholeUpTo = uint64_t{16} << 20;

}  // namespace

uint64_t defaultChunkSize(uint64_t size) {
  const uint64_t most = lzms::kMaxChunkSize;
  if (size <= kWholeUpTo) return most;
  uint64_t count = (size + most - 1) / most;
  count += count % 2;  // one chunk becomes two
  const uint64_t mib = uint64_t{1} << 20;
  const uint64_t chunk = (size + count - 1) / count;
  return (chunk + mib - 1) / mib * mib;
}

#ifndef _WIN32

namespace {

// From level 35 up, wimlib's LZMS compressor takes markedly longer for a block a little smaller.
// On the benchmark's corpora, against level 100: level 34 built 2,000 source files (35 MB) 23 %
// faster for a block 1.2 % larger, and 2,000 documents and DLLs (193 MB) 34 % faster for 1.9 %
// larger. On the source files level 35 was only 10 % faster for 0.6 % larger, and level 20 hardly
// faster than 34 for 2.8 % larger.
constexpr unsigned kLevel = 34;

void append32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// What the workers share. Chunks are taken in order from `next` and go out strictly in order
// (`written` says how many have), whichever worker finishes first, so the bytes are those of one
// worker going through them one by one.
struct ChunkQueue {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t chunk = 0;
  size_t count = 0;
  std::vector<uint8_t>* out = nullptr;
  std::atomic<size_t> next{0};
  std::mutex mutex;
  std::condition_variable turn;
  size_t written = 0;
};

// A worker that is ahead waits with its one finished chunk, which bounds the memory to one chunk
// per worker.
void compressChunks(ChunkQueue& queue, wimlib_compressor* compressor) {
  std::vector<uint8_t> packed(queue.chunk);
  for (;;) {
    const size_t index = queue.next.fetch_add(1);
    if (index >= queue.count) return;
    const size_t done = index * queue.chunk;
    const size_t plain = queue.size - done < queue.chunk ? queue.size - done : queue.chunk;
    const uint8_t* input = queue.data + done;
    // A compressed chunk must come out shorter than its input: one of equal size means "stored".
    const size_t packedSize = plain > 1 ? wimlib_compress(input, plain, packed.data(), plain - 1, compressor) : 0;
    const uint8_t* bytes = packedSize == 0 ? input : packed.data();
    const size_t length = packedSize == 0 ? plain : packedSize;
    std::unique_lock<std::mutex> lock(queue.mutex);
    queue.turn.wait(lock, [&] { return queue.written == index; });
    append32(*queue.out, static_cast<uint32_t>(length));
    queue.out->insert(queue.out->end(), bytes, bytes + length);
    ++queue.written;
    queue.turn.notify_all();
  }
}

}  // namespace

bool compressLzmsBuffer(const uint8_t* data, size_t size, uint64_t chunkSize, unsigned jobs,
                        std::vector<uint8_t>& out, std::string& error) {
  if (chunkSize == 0 || chunkSize > lzms::kMaxChunkSize) {
    error = "the chunk size must be 1 byte to 64 MiB";
    return false;
  }
  out.assign(lzms::kBufferHeaderSize, 0);
  lzms::writeBufferHeader(size, chunkSize, out.data());
  if (size == 0) return true;

  const size_t chunk = static_cast<size_t>(size < chunkSize ? size : chunkSize);
  ChunkQueue queue;
  queue.data = data;
  queue.size = size;
  queue.chunk = chunk;
  queue.count = (size + chunk - 1) / chunk;
  queue.out = &out;
  // Room for every chunk stored as it is, taken here: the workers' appends then never reallocate,
  // and a shortage of memory shows up in this thread rather than in a worker.
  out.reserve(lzms::kBufferHeaderSize + queue.count * 4 + size);
  if (jobs == 0) jobs = std::thread::hardware_concurrency();
  const size_t workers = std::clamp<size_t>(jobs, 1, queue.count);

  // One compressor per worker (a compressor is not to be shared between threads); a compressor
  // keeps no state between chunks.
  std::vector<wimlib_compressor*> compressors;
  for (size_t i = 0; i < workers; ++i) {
    wimlib_compressor* compressor = nullptr;
    if (wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, chunk, kLevel, &compressor) != 0) {
      for (wimlib_compressor* c : compressors) wimlib_free_compressor(c);
      error = "wimlib could not create an LZMS compressor";
      return false;
    }
    compressors.push_back(compressor);
  }
  std::vector<std::thread> threads;
  for (size_t i = 1; i < workers; ++i) {
    // Fewer threads than asked for give the same bytes, only later: this thread works as well.
    try {
      threads.emplace_back(compressChunks, std::ref(queue), compressors[i]);
    } catch (const std::system_error&) {
      break;
    }
  }
  compressChunks(queue, compressors[0]);
  for (std::thread& t : threads) t.join();
  for (wimlib_compressor* c : compressors) wimlib_free_compressor(c);
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

bool compressLzmsBuffer(const uint8_t* data, size_t size, uint64_t chunkSize, unsigned /*jobs*/,
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
