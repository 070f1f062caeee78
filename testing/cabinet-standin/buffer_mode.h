// What cabinet.dll's Decompress does with a buffer-mode LZMS buffer, and what Compress writes,
// written from what is published about the format rather than from the setup's own reader, so
// that the two check each other.
//
// Established (two sources agree, or Windows-made bytes show it):
//   - the 24-byte header: 0A 51 E5 C0 18 00, a check byte (low 8 bits of the zlib CRC-32 over
//     bytes 0-5 and then 7-23), the algorithm (5 for LZMS), the total size and the chunk size, both
//     64-bit little-endian;
//   - chunks follow the header, each a 32-bit little-endian size and that many bytes; every chunk
//     but the last holds a chunk size of output, the last the rest;
//   - each LZMS chunk is an independent raw LZMS stream, as in WIM files;
//   - asked with no (or too small an) output buffer, Decompress reports the total.
// Reported by one source only:
//   - a chunk whose stored size equals its output size is stored as it is;
//   - a chunk field larger than the total is read as the total.
// Chosen here, because nothing published says what Windows does:
//   - bytes after the last chunk make the buffer bad;
//   - a chunk field of 0 with a non-zero total is bad; the largest chunk accepted is the largest
//     the LZMS decoder can take (1 GiB), not the 64 MiB the setup's reader allows.
//
// Portable: no Windows headers, so it can be checked natively against the builder's output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "payload/lzms/lzms_decoder.h"

namespace zs::standin {

enum class Outcome {
  Ok,              // `total` bytes written
  BufferTooSmall,  // no output buffer, or a shorter one than `total`
  BadData,         // the header or a chunk is damaged, or the buffer is not LZMS
};

// Decompresses a whole buffer-mode buffer into `out`. `total` is set whenever the header is
// sound; with no output buffer only the header is read.
Outcome decompressBuffer(lzms::ChunkDecoder& chunks, const uint8_t* in, size_t inSize, uint8_t* out,
                         size_t capacity, uint64_t& total);

// The most bytes compressBuffer writes for `size` bytes in chunks of `chunkSize`: every chunk
// stored.
uint64_t compressedBound(uint64_t size, uint64_t chunkSize);

// What Compress writes in buffer mode: the header, then each chunk of `chunkSize` bytes (the last
// one shorter) coded by the literal LZMS encoder, or stored as it is when coding does not make it
// shorter. The header's chunk field is the smaller of the total and the chunk size; an empty input
// is the header alone. `chunkSize` is 65,536 to 67,108,864, the range the API accepts.
std::vector<uint8_t> compressBuffer(const uint8_t* in, size_t size, uint32_t chunkSize);

}  // namespace zs::standin
