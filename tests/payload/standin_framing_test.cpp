// The cabinet.dll stand-in's reading of the Compression API's buffer format, natively: it reads
// what the builder's compressor writes, and on damaged framing it comes to the same verdict as the
// setup's own decoder (the two are written apart, from what is published about the format).
#include <gtest/gtest.h>

#include <functional>

#include "buffer_mode.h"
#include "lzms_compress.h"
#include "lzms_test_data.h"
#include "payload/lzms/buffer_format.h"

namespace zs::test {
namespace {

using standin::Outcome;

Bytes compressed(const Bytes& plain, uint64_t chunkSize) {
  std::vector<uint8_t> out;
  std::string error;
  EXPECT_TRUE(build::compressLzmsBuffer(plain.data(), plain.size(), chunkSize, out, error)) << error;
  return out;
}

// The stand-in's verdict, with the bytes it wrote when it took the buffer.
Outcome standinReads(const Bytes& block, size_t capacity, uint64_t& total, Bytes& out) {
  lzms::ChunkDecoder chunks;
  out.assign(capacity + 1, 0);  // never a null buffer, even for an empty result
  const Outcome outcome = standin::decompressBuffer(chunks, block.data(), block.size(), out.data(), capacity, total);
  out.resize(capacity);
  return outcome;
}

TEST(StandinFraming, ReadsWhatTheBuilderWrites) {
  const struct {
    const char* what;
    Bytes plain;
    uint64_t chunkSize;
  } cases[] = {
      {"empty", {}, 65536},
      {"one byte", {0x42}, 65536},
      {"text in one whole chunk", pseudoText(65536, 1), 65536},
      {"text, the last chunk short", pseudoText(3 * 65536 + 7, 2), 65536},
      {"random bytes: stored chunks", randomBytes(2 * 65536 + 100, 3), 65536},
      {"counting words in 1 MiB chunks", countingWords((1 << 20) + 5), 1 << 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes block = compressed(c.plain, c.chunkSize);
    lzms::ChunkDecoder chunks;
    uint64_t total = 99;
    EXPECT_EQ(standin::decompressBuffer(chunks, block.data(), block.size(), nullptr, 0, total), Outcome::BufferTooSmall);
    EXPECT_EQ(total, c.plain.size()) << "the length query";
    Bytes out;
    if (!c.plain.empty()) {
      EXPECT_EQ(standinReads(block, c.plain.size() - 1, total, out), Outcome::BufferTooSmall);
    }
    ASSERT_EQ(standinReads(block, c.plain.size(), total, out), Outcome::Ok);
    EXPECT_TRUE(out == c.plain);
    EXPECT_EQ(standinReads(block, c.plain.size() + 10, total, out), Outcome::Ok) << "a larger buffer";
    EXPECT_EQ(total, c.plain.size());
  }
}

// Writes the header's check byte for the header as it now stands.
void reseal(Bytes& b) {
  const uint32_t crc = lzms::crc32(lzms::crc32(0, b.data(), 6), b.data() + 7, lzms::kBufferHeaderSize - 7);
  b[6] = static_cast<uint8_t>(crc);
}

void setField(Bytes& b, size_t at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST(StandinFraming, DamagedFramingGetsTheSameVerdictAsTheSetupsDecoder) {
  const Bytes plain = pseudoText(2 * 65536 + 300, 7);
  const Bytes good = compressed(plain, 65536);
  const uint64_t firstChunk = good[24] | (good[25] << 8) | (good[26] << 16) | (uint64_t{good[27]} << 24);
  const struct {
    const char* what;
    std::function<void(Bytes&)> damage;
    Outcome expected;
  } cases[] = {
      {"untouched", [](Bytes&) {}, Outcome::Ok},
      {"check byte", [](Bytes& b) { b[6] ^= 0x01; }, Outcome::BadData},
      {"magic", [](Bytes& b) { b[1] ^= 0x01; reseal(b); }, Outcome::BadData},
      {"header size", [](Bytes& b) { b[4] = 0x20; reseal(b); }, Outcome::BadData},
      {"algorithm MSZIP", [](Bytes& b) { b[7] = 2; reseal(b); }, Outcome::BadData},
      {"header cut short", [](Bytes& b) { b.resize(23); }, Outcome::BadData},
      {"header alone", [](Bytes& b) { b.resize(24); }, Outcome::BadData},
      {"last byte missing", [](Bytes& b) { b.pop_back(); }, Outcome::BadData},
      {"a byte after the last chunk", [](Bytes& b) { b.push_back(0); }, Outcome::BadData},
      {"chunk size 0", [](Bytes& b) { setField(b, 16, 0, 8); reseal(b); }, Outcome::BadData},
      {"chunk size past the input", [](Bytes& b) { setField(b, 24, b.size(), 4); }, Outcome::BadData},
      {"chunk size 0 in a chunk", [](Bytes& b) { setField(b, 24, 0, 4); }, Outcome::BadData},
      {"chunk size two short", [=](Bytes& b) { setField(b, 24, firstChunk - 2, 4); }, Outcome::BadData},
      {"total one more", [&](Bytes& b) { setField(b, 8, plain.size() + 1, 8); reseal(b); }, Outcome::BufferTooSmall},
      {"total one less", [&](Bytes& b) { setField(b, 8, plain.size() - 1, 8); reseal(b); }, Outcome::BadData},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes block = good;
    c.damage(block);
    uint64_t total = 0;
    Bytes out;
    EXPECT_EQ(standinReads(block, plain.size(), total, out), c.expected);

    lzms::BufferDecoder setups;
    Bytes theirs(plain.size() + 1);
    uint64_t needed = 0;
    const lzms::BufferResult result = setups.decompress(block.data(), block.size(), theirs.data(), plain.size(), needed);
    const Outcome same = result == lzms::BufferResult::Ok               ? Outcome::Ok
                         : result == lzms::BufferResult::OutputTooSmall ? Outcome::BufferTooSmall
                                                                        : Outcome::BadData;
    EXPECT_EQ(same, c.expected) << "the setup's decoder";
  }

  // Third-party writers put their chunk size in the header even when the total is smaller; both
  // read the smaller of the two.
  const Bytes small = pseudoText(1000, 8);
  Bytes block = compressed(small, 65536);
  setField(block, 16, 65536, 8);
  reseal(block);
  uint64_t total = 0;
  Bytes out;
  EXPECT_EQ(standinReads(block, small.size(), total, out), Outcome::Ok);
  EXPECT_TRUE(out == small);
}

}  // namespace
}  // namespace zs::test
