// The stand-in's LZMS encoder: a raw LZMS chunk made of literals alone. It is no match for a real
// compressor (no LZ or delta matches), but every chunk it writes is a valid LZMS stream that any
// LZMS decoder reads back: the range-coded item bits, the adaptive Huffman code for literals
// rebuilt on the format's schedule, and the x86 translation that decoders undo after decoding.
// Written from the published description of the format, apart from the setup's decoder, so that
// each checks the other.
//
// Portable: no Windows headers, so that it is checked natively against wimlib's decoder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zs::standin {

// Encodes `size` bytes (1 byte to 1 GiB) as one raw LZMS chunk. The result is never shorter than
// 6 bytes, so a tiny input comes out longer than it went in.
std::vector<uint8_t> encodeLzmsChunk(const uint8_t* data, size_t size);

// The x86 translation an LZMS compressor applies before coding (exposed for tests): relative
// call and RIP-relative operands become absolute where nearby code suggests x86 code.
void translateX86(uint8_t* data, size_t size);

}  // namespace zs::standin
