// Compression of one buffer into the Compression API's LZMS buffer format (payload/lzms/
// buffer_format.h). Natively it uses wimlib's LZMS compressor on independent chunks, several at
// once, and stores a chunk that does not shrink; on Windows it asks the Compression API itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zs::build {

// The chunk size for a block of `size` bytes when none is asked for: one chunk up to 16 MiB; above
// that the fewest chunks of at most 64 MiB (the largest Windows' own compressor may use), at least
// two and an even number, so that two cores finish together, each a whole number of MiB. It
// depends on the size alone, never on the machine, so the same files give the same bytes
// everywhere.
uint64_t defaultChunkSize(uint64_t size);

// Compresses `size` bytes into `out`. chunkSize: 1 to 64 MiB (Windows' compressor wants at least
// 64 KiB). jobs: how many chunks are compressed at once, 0 for one per hardware thread; the bytes
// do not depend on it, and each job holds at most one chunk's output beyond `out`. Windows'
// compressor takes the whole buffer in one call and ignores it. On failure returns false with a
// reason in `error`.
bool compressLzmsBuffer(const uint8_t* data, size_t size, uint64_t chunkSize, unsigned jobs,
                        std::vector<uint8_t>& out, std::string& error);

// One job per hardware thread.
inline bool compressLzmsBuffer(const uint8_t* data, size_t size, uint64_t chunkSize,
                               std::vector<uint8_t>& out, std::string& error) {
  return compressLzmsBuffer(data, size, chunkSize, 0, out, error);
}

}  // namespace zs::build
