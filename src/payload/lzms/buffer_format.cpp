#include "payload/lzms/buffer_format.h"

#include <array>
#include <cstring>

namespace zs::lzms {

namespace {

constexpr uint8_t kFixedBytes[6] = {0x0A, 0x51, 0xE5, 0xC0, 0x18, 0x00};
constexpr size_t kCheckByte = 6;

constexpr std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

uint64_t load64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint32_t load32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void store64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint8_t headerCheck(const uint8_t* header) {
  uint32_t crc = crc32(0, header, kCheckByte);
  crc = crc32(crc, header + kCheckByte + 1, kBufferHeaderSize - kCheckByte - 1);
  return static_cast<uint8_t>(crc);
}

}  // namespace

uint32_t crc32(uint32_t previous, const uint8_t* data, size_t size) {
  uint32_t c = ~previous;
  for (size_t i = 0; i < size; ++i) c = kCrcTable[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return ~c;
}

bool readBufferHeader(const uint8_t* in, size_t inSize, BufferHeader& header) {
  if (in == nullptr || inSize < kBufferHeaderSize) return false;
  if (std::memcmp(in, kFixedBytes, sizeof(kFixedBytes)) != 0) return false;
  if (in[kCheckByte] != headerCheck(in)) return false;
  if (in[7] != kAlgorithmLzms) return false;
  const uint64_t total = load64(in + 8);
  const uint64_t chunk = load64(in + 16);
  if (chunk > kMaxChunkSize) return false;
  if (total != 0 && chunk == 0) return false;
  header.totalSize = total;
  header.chunkSize = chunk;
  return true;
}

void writeBufferHeader(uint64_t totalSize, uint64_t chunkSize, uint8_t out[kBufferHeaderSize]) {
  std::memcpy(out, kFixedBytes, sizeof(kFixedBytes));
  out[7] = kAlgorithmLzms;
  store64(out + 8, totalSize);
  store64(out + 16, totalSize < chunkSize ? totalSize : chunkSize);
  out[kCheckByte] = headerCheck(out);
}

BufferResult BufferDecoder::decompress(const uint8_t* in, size_t inSize, uint8_t* out,
                                       size_t outCapacity, uint64_t& needed) {
  BufferHeader header;
  if (!readBufferHeader(in, inSize, header)) return BufferResult::InvalidData;
  needed = header.totalSize;
  if (out == nullptr || outCapacity < header.totalSize) return BufferResult::OutputTooSmall;

  size_t pos = kBufferHeaderSize;
  uint64_t written = 0;
  while (written < header.totalSize) {
    if (inSize - pos < 4) return BufferResult::InvalidData;
    const uint32_t stored = load32(in + pos);
    pos += 4;
    if (stored == 0 || stored > inSize - pos) return BufferResult::InvalidData;
    const uint64_t remaining = header.totalSize - written;
    // Fits in size_t: it is at most the chunk size (64 MiB).
    const size_t plain = static_cast<size_t>(remaining < header.chunkSize ? remaining : header.chunkSize);
    uint8_t* target = out + written;
    if (stored == plain) {
      std::memcpy(target, in + pos, plain);
    } else if (!chunk_.decode(in + pos, stored, target, plain)) {
      return BufferResult::InvalidData;
    }
    pos += stored;
    written += plain;
  }
  if (pos != inSize) return BufferResult::InvalidData;
  return BufferResult::Ok;
}

}  // namespace zs::lzms
