// Decoder of one raw LZMS chunk: the bitstream that the Windows Compression API (algorithm 5) and
// WIM files use for each independently compressed chunk.
//
// The input is untrusted. Every read is bounds-checked (a bitstream that runs dry reads zeros, as
// the format's own decoders do), every match is checked against the output written so far and the
// output's end, nothing recurses, and the decoder's state has a fixed size (about 300 KB) whatever
// the input says. Decoding always ends: every item writes at least one byte of the fixed-size
// output.
//
// Portable: no Windows headers. Never throws (beyond allocation failure in create) and never logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace zs::lzms {

// The largest chunk this decoder accepts (the format's own limit is 1 GiB; the buffer framing
// allows 64 MiB).
inline constexpr size_t kMaxRawChunkSize = size_t{1} << 30;

struct DecoderState;

class ChunkDecoder {
 public:
  ChunkDecoder();
  ~ChunkDecoder();
  ChunkDecoder(const ChunkDecoder&) = delete;
  ChunkDecoder& operator=(const ChunkDecoder&) = delete;

  // Decodes `inSize` compressed bytes into exactly `outSize` bytes at `out`. Returns false when
  // the data is not a valid LZMS chunk of that size (odd or too short input, a match reaching
  // before the start or past the end, an undecodable symbol). On false the output holds
  // unspecified bytes.
  bool decode(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize);

 private:
  std::unique_ptr<DecoderState> state_;
};

}  // namespace zs::lzms
