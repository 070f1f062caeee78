// The cabinet.dll stand-in's reading of the Compression API's buffer format, natively: it reads
// what the builder's compressor writes, and on damaged framing it comes to the same verdict as the
// setup's own decoder (the two are written apart, from what is published about the format). What
// its compressor writes reads back through the setup's decoder, its own and wimlib's.
#include <gtest/gtest.h>

#include <wimlib.h>

#include <functional>

#include "buffer_mode.h"
#include "lzms_encoder.h"
#include "lzms_compress.h"
#include "lzms_test_data.h"
#include "payload/lzms/buffer_format.h"

namespace zs::test {
namespace {

using standin::Outcome;

constexpr size_t kMaxTranslatedSample = 1 << 18;

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

// Raw chunks as wimlib's own LZMS decoder reads them.
Bytes wimlibDecodes(const Bytes& chunk, size_t size) {
  wimlib_decompressor* d = nullptr;
  EXPECT_EQ(wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, size, &d), 0);
  Bytes out(size);
  const int failed = wimlib_decompress(chunk.data(), chunk.size(), out.data(), size, d);
  wimlib_free_decompressor(d);
  return failed == 0 ? out : Bytes();
}

// The x86 code that the translation works on: the machine's 32-bit Windows DLLs, else ELF programs.
Bytes machineCode(size_t limit) {
  Bytes code = machineCorpus(kPeFiles, limit);
  if (code.size() < limit) code = machineCorpus(kElfFiles, limit);
  return code.size() > limit ? Bytes(code.begin(), code.begin() + static_cast<long>(limit)) : code;
}

TEST(StandinCompressor, WritesWhatEveryDecoderReadsBack) {
  const uint32_t kChunk = 65536;
  const struct {
    const char* what;
    Bytes plain;
    double atMost;  // the largest block, as a share of the input; 0 when it may grow
  } cases[] = {
      {"empty", {}, 0},
      {"one byte", {0x42}, 0},
      {"eighteen bytes, the shortest the x86 translation touches", Bytes{0x90, 0xE8, 0x10, 0, 0, 0, 0x90, 0xE8, 0x20, 0, 0, 0, 1, 2, 3, 4, 5, 6}, 0},
      {"text over several chunks, the last one short", pseudoText(3 * kChunk + 7, 2), 0.75},
      {"random bytes: stored chunks", randomBytes(2 * kChunk + 100, 3), 1.001},
      {"one repeated letter", repeatedPattern(5 * kChunk, "a"), 0.15},
      {"counting words", countingWords(kChunk + 5), 0.95},
      {"x86 code", machineCode(3 * kChunk), 0.95},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const Bytes block = standin::compressBuffer(c.plain.data(), c.plain.size(), kChunk);
    EXPECT_LE(block.size(), standin::compressedBound(c.plain.size(), kChunk));
    if (c.atMost > 0) {
      EXPECT_LE(block.size(), c.atMost * c.plain.size());
    }

    uint64_t total = 0;
    Bytes out;
    ASSERT_EQ(standinReads(block, c.plain.size(), total, out), Outcome::Ok);
    EXPECT_TRUE(out == c.plain) << "the stand-in's own decompressor";

    lzms::BufferDecoder setups;
    Bytes theirs(c.plain.size() + 1);
    uint64_t needed = 0;
    ASSERT_EQ(setups.decompress(block.data(), block.size(), theirs.data(), c.plain.size(), needed), lzms::BufferResult::Ok);
    theirs.resize(c.plain.size());
    EXPECT_TRUE(theirs == c.plain) << "the setup's decoder";

    // Each chunk alone, as a raw LZMS stream, through wimlib (whose decompressor crashes when made
    // for outputs of 1 or 2 bytes, so those are left to the other two).
    for (size_t done = 0; c.plain.size() >= 3 && done < c.plain.size(); done += kChunk) {
      const size_t plain = std::min<size_t>(kChunk, c.plain.size() - done);
      if (plain < 3) continue;
      const Bytes chunk = standin::encodeLzmsChunk(c.plain.data() + done, plain);
      const Bytes back = wimlibDecodes(chunk, plain);
      EXPECT_TRUE(back == Bytes(c.plain.begin() + static_cast<long>(done), c.plain.begin() + static_cast<long>(done + plain)))
          << "wimlib, chunk at " << done;
    }
  }
}

// The translation only turns relative operands into absolute ones where it finds x86 code; the
// decoders undo it, so a translation that did nothing would fail the round trip above on code.
TEST(StandinCompressor, TranslatesX86CallsAndNothingElse) {
  Bytes code = machineCode(kMaxTranslatedSample);
  Bytes translated = code;
  standin::translateX86(translated.data(), translated.size());
  EXPECT_NE(translated, code) << "x86 code is translated";
  Bytes text = pseudoText(65536, 9);
  Bytes same = text;
  standin::translateX86(same.data(), same.size());
  EXPECT_EQ(same, text) << "text has no 0xE8, 0xFF 0x15 or REX.W opcode to translate";
  Bytes shortCall = {0x90, 0xE8, 1, 2, 3, 4, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90};
  Bytes untouched = shortCall;
  standin::translateX86(untouched.data(), untouched.size());
  EXPECT_EQ(untouched, shortCall) << "17 bytes or fewer are never translated";
}

}  // namespace
}  // namespace zs::test
