// libFuzzer target over the LZMS decoder and its buffer framing (built with ASan and UBSan).
//
// The first input byte picks what the rest is:
//   0: a whole buffer as it stands;
//   1: a whole buffer whose header is made sound first (fixed bytes, algorithm, check byte), so
//      that mutations reach the chunks behind it;
//   2: one raw chunk; the next three bytes give the output length (at most 256 KiB).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "payload/lzms/buffer_format.h"
#include "payload/lzms/lzms_decoder.h"

namespace {

constexpr uint64_t kMaxOutput = 1u << 18;  // small outputs keep the runs many

void decodeBuffer(const uint8_t* data, size_t size) {
  static zs::lzms::BufferDecoder decoder;
  uint64_t needed = 0;
  if (decoder.decompress(data, size, nullptr, 0, needed) != zs::lzms::BufferResult::OutputTooSmall) return;
  if (needed == 0 || needed > kMaxOutput) return;
  std::vector<uint8_t> out(static_cast<size_t>(needed));
  decoder.decompress(data, size, out.data(), out.size(), needed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] % 3;
  ++data;
  --size;
  if (mode == 0) {
    decodeBuffer(data, size);
  } else if (mode == 1) {
    if (size < zs::lzms::kBufferHeaderSize) return 0;
    std::vector<uint8_t> copy(data, data + size);
    uint64_t total = 0, chunk = 0;
    for (int i = 7; i >= 0; --i) total = (total << 8) | copy[8 + i];
    for (int i = 7; i >= 0; --i) chunk = (chunk << 8) | copy[16 + i];
    total %= kMaxOutput + 1;
    chunk = chunk % kMaxOutput + 1;
    uint8_t header[zs::lzms::kBufferHeaderSize];
    zs::lzms::writeBufferHeader(total, chunk, header);
    // Keep the fuzzer's own chunk field when it is not larger than the total.
    std::memcpy(copy.data(), header, sizeof(header));
    decodeBuffer(copy.data(), copy.size());
  } else {
    if (size < 3) return 0;
    const size_t outSize = 1 + (data[0] | (data[1] << 8) | ((data[2] & 0x03) << 16));
    static zs::lzms::ChunkDecoder decoder;
    std::vector<uint8_t> out(outSize);
    decoder.decode(data + 3, size - 3, out.data(), out.size());
  }
  return 0;
}
