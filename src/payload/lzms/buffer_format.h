// The buffer format of the Windows Compression API with the LZMS algorithm: what Compress writes
// and Decompress reads when a compressor is created without COMPRESS_RAW. README.md beside this
// file says which facts about it are established and which are inferred.
//
//   offset 0   6 bytes  0A 51 E5 C0 18 00 (the last two: the header size, 24, as 16 bits)
//   offset 6   1 byte   low 8 bits of the CRC-32 of header bytes 0-5 and 7-23
//   offset 7   1 byte   algorithm, 5 for LZMS
//   offset 8   8 bytes  total uncompressed size
//   offset 16  8 bytes  uncompressed size of a chunk (the last chunk holds the rest)
//   then one chunk after another: 4-byte size, then that many bytes. A chunk whose size equals its
//   uncompressed size is stored as it is; any other is one raw LZMS chunk.
//
// Portable: no Windows headers. Never throws (beyond allocation failure) and never logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "payload/lzms/lzms_decoder.h"

namespace zs::lzms {

inline constexpr size_t kBufferHeaderSize = 24;
inline constexpr uint8_t kAlgorithmLzms = 5;
// The largest chunk Windows lets a compressor use (its block-size setting ends there).
inline constexpr uint64_t kMaxChunkSize = uint64_t{64} << 20;

struct BufferHeader {
  uint64_t totalSize = 0;
  uint64_t chunkSize = 0;
};

// CRC-32 as zlib computes it; pass the previous result to continue.
uint32_t crc32(uint32_t previous, const uint8_t* data, size_t size);

// Reads and checks the header alone: the fixed bytes, the check byte, the algorithm, and a chunk
// size of 1 to 64 MiB (any size up to that when the total is 0).
bool readBufferHeader(const uint8_t* in, size_t inSize, BufferHeader& header);

// The 24 header bytes for a buffer of `totalSize` bytes cut into chunks of `chunkSize`. The chunk
// field holds the smaller of the two, as Windows writes it.
void writeBufferHeader(uint64_t totalSize, uint64_t chunkSize, uint8_t out[kBufferHeaderSize]);

enum class BufferResult {
  Ok,
  OutputTooSmall,  // no output buffer, or one shorter than the total: `needed` says how long
  InvalidData,     // the header or a chunk is damaged
};

// Told, in order and never from two threads at once, how many leading bytes of the output are
// final: each value is larger than the one before, and the last is the total (only when the whole
// buffer decodes).
using ReadyBytes = std::function<void(uint64_t ready)>;

// Decompress with the Compression API's contract, decoders reused across calls.
//
// The chunks are independent, so several are decoded at once, one per worker thread, each worker
// with its own chunk decoder: the memory beyond the output is one decoder's state per worker,
// whatever the buffer holds. The chunk table is read in order as the workers take chunks, so a
// damaged frame stops the work where a decoder going chunk by chunk would stop. The output and
// the result are those of decoding the chunks one by one: a damaged chunk makes the whole buffer
// InvalidData, whichever chunk a worker finished first.
class BufferDecoder {
 public:
  // workers: how many chunks are decoded at once, 0 for one per hardware thread.
  explicit BufferDecoder(unsigned workers = 0);
  ~BufferDecoder();
  BufferDecoder(const BufferDecoder&) = delete;
  BufferDecoder& operator=(const BufferDecoder&) = delete;

  // Decompresses the whole buffer into `out` (at least `needed` bytes). `needed` is the total
  // from the header whenever the header is sound. With no output buffer this reads only the
  // header. Bytes after the last chunk are refused. `ready`, when given, follows the output as it
  // becomes final (see ReadyBytes); it is called on the worker threads and must not throw.
  BufferResult decompress(const uint8_t* in, size_t inSize, uint8_t* out, size_t outCapacity,
                          uint64_t& needed, const ReadyBytes& ready = nullptr);

  // Index of the first chunk, in buffer order, that the last call found damaged (its frame or
  // its data); -1 when it found none.
  int64_t firstDamagedChunk() const { return firstDamaged_; }

 private:
  unsigned workers_;
  std::vector<std::unique_ptr<ChunkDecoder>> chunks_;
  int64_t firstDamaged_ = -1;
};

}  // namespace zs::lzms
