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

// Decompress with the Compression API's contract, one decoder reused across calls.
class BufferDecoder {
 public:
  // Decompresses the whole buffer into `out` (at least `needed` bytes). `needed` is the total
  // from the header whenever the header is sound. With no output buffer this reads only the
  // header. Bytes after the last chunk are refused.
  BufferResult decompress(const uint8_t* in, size_t inSize, uint8_t* out, size_t outCapacity,
                          uint64_t& needed);

 private:
  ChunkDecoder chunk_;
};

}  // namespace zs::lzms
