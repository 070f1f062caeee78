#include "buffer_mode.h"

#include <cstring>

#include "lzms_encoder.h"
#include "payload/lzms/buffer_format.h"

namespace zs::standin {

namespace {

constexpr size_t kHeaderSize = 24;
constexpr size_t kCheckAt = 6;
constexpr uint8_t kLead[kCheckAt] = {0x0A, 0x51, 0xE5, 0xC0, kHeaderSize, 0x00};
constexpr uint8_t kLzms = 5;

uint64_t littleEndian(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  while (bytes-- > 0) v = (v << 8) | p[bytes];
  return v;
}

struct Header {
  uint64_t total = 0;
  uint64_t chunk = 0;
};

bool readHeader(const uint8_t* in, size_t inSize, Header& header) {
  if (in == nullptr || inSize < kHeaderSize || std::memcmp(in, kLead, kCheckAt) != 0) return false;
  const uint32_t crc = lzms::crc32(lzms::crc32(0, in, kCheckAt), in + kCheckAt + 1, kHeaderSize - kCheckAt - 1);
  if (in[kCheckAt] != static_cast<uint8_t>(crc) || in[7] != kLzms) return false;
  header.total = littleEndian(in + 8, 8);
  header.chunk = littleEndian(in + 16, 8);
  if (header.chunk > header.total) header.chunk = header.total;
  return header.total == 0 || (header.chunk != 0 && header.chunk <= lzms::kMaxRawChunkSize);
}

}  // namespace

Outcome decompressBuffer(lzms::ChunkDecoder& chunks, const uint8_t* in, size_t inSize, uint8_t* out,
                         size_t capacity, uint64_t& total) {
  Header header;
  if (!readHeader(in, inSize, header)) return Outcome::BadData;
  total = header.total;
  if (out == nullptr || capacity < header.total) return Outcome::BufferTooSmall;

  const uint8_t* at = in + kHeaderSize;
  const uint8_t* const end = in + inSize;
  for (uint64_t done = 0; done < header.total;) {
    if (end - at < 4) return Outcome::BadData;
    const uint64_t stored = littleEndian(at, 4);
    at += 4;
    if (stored > static_cast<uint64_t>(end - at)) return Outcome::BadData;
    // At most the chunk size, which the header check kept within size_t.
    const size_t plain = static_cast<size_t>(header.total - done < header.chunk ? header.total - done : header.chunk);
    if (stored == plain) {
      std::memcpy(out + done, at, plain);
    } else if (!chunks.decode(at, static_cast<size_t>(stored), out + done, plain)) {
      return Outcome::BadData;
    }
    at += stored;
    done += plain;
  }
  return at == end ? Outcome::Ok : Outcome::BadData;
}

uint64_t compressedBound(uint64_t size, uint64_t chunkSize) {
  const uint64_t chunks = chunkSize == 0 ? 0 : (size + chunkSize - 1) / chunkSize;
  return kHeaderSize + 4 * chunks + size;
}

std::vector<uint8_t> compressBuffer(const uint8_t* in, size_t size, uint32_t chunkSize) {
  std::vector<uint8_t> out(kHeaderSize);
  std::memcpy(out.data(), kLead, kCheckAt);
  out[7] = kLzms;
  const uint64_t field = size < chunkSize ? size : chunkSize;
  for (int i = 0; i < 8; ++i) {
    out[8 + i] = static_cast<uint8_t>(static_cast<uint64_t>(size) >> (8 * i));
    out[16 + i] = static_cast<uint8_t>(field >> (8 * i));
  }
  out[kCheckAt] = static_cast<uint8_t>(lzms::crc32(lzms::crc32(0, out.data(), kCheckAt), out.data() + kCheckAt + 1,
                                                   kHeaderSize - kCheckAt - 1));
  for (size_t done = 0; done < size;) {
    const size_t plain = size - done < chunkSize ? size - done : chunkSize;
    const std::vector<uint8_t> coded = encodeLzmsChunk(in + done, plain);
    // A chunk as long as its output reads as stored, so a coded one must come out shorter.
    const bool store = coded.size() >= plain;
    const uint8_t* bytes = store ? in + done : coded.data();
    const size_t length = store ? plain : coded.size();
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(length >> (8 * i)));
    out.insert(out.end(), bytes, bytes + length);
    done += plain;
  }
  return out;
}

}  // namespace zs::standin
