// The LZMS decoder and its buffer framing against wimlib's LZMS compressor and decompressor.
#include <gtest/gtest.h>
#include <wimlib.h>

#include <cstring>
#include <random>

#include "lzms_compress.h"
#include "lzms_test_data.h"
#include "payload/lzms/buffer_format.h"
#include "payload/lzms/lzms_decoder.h"

namespace zs::test {
namespace {

using lzms::BufferDecoder;
using lzms::BufferResult;

Bytes compress(const Bytes& data, uint64_t chunkSize = lzms::kMaxChunkSize) {
  Bytes out;
  std::string error;
  EXPECT_TRUE(build::compressLzmsBuffer(data.data(), data.size(), chunkSize, out, error)) << error;
  return out;
}

// Decodes a whole buffer and checks it against the original, byte for byte.
void expectRoundTrip(const Bytes& data, uint64_t chunkSize, const char* what) {
  SCOPED_TRACE(what);
  const Bytes packed = compress(data, chunkSize);
  BufferDecoder decoder;
  uint64_t needed = 0;
  ASSERT_EQ(decoder.decompress(packed.data(), packed.size(), nullptr, 0, needed), BufferResult::OutputTooSmall);
  ASSERT_EQ(needed, data.size());
  Bytes out(data.size() + 1, 0xCC);
  ASSERT_EQ(decoder.decompress(packed.data(), packed.size(), out.data(), data.size(), needed), BufferResult::Ok);
  EXPECT_EQ(out.back(), 0xCC) << "wrote past the end";
  out.pop_back();
  ASSERT_TRUE(out == data) << "decoded bytes differ (" << data.size() << " bytes, chunk " << chunkSize << ")";
}

TEST(LzmsRoundTrip, SmallAndEdgeSizes) {
  for (size_t size : {0, 1, 2, 3, 4, 5, 16, 17, 18, 19, 64, 255, 1000, 4096}) {
    expectRoundTrip(repeatedPattern(size, "ab"), lzms::kMaxChunkSize, "pattern");
    expectRoundTrip(randomBytes(size, 11), lzms::kMaxChunkSize, "random");
    expectRoundTrip(pseudoText(size, 5), lzms::kMaxChunkSize, "text");
  }
}

TEST(LzmsRoundTrip, KindsOfData) {
  expectRoundTrip(Bytes(1 << 20, 0), lzms::kMaxChunkSize, "zeros");
  expectRoundTrip(randomBytes(1 << 20, 1), lzms::kMaxChunkSize, "incompressible");
  expectRoundTrip(repeatedPattern(3 << 20, "Zelvan Setup\r\n"), lzms::kMaxChunkSize, "repetitive");
  expectRoundTrip(countingWords(2 << 20), lzms::kMaxChunkSize, "counting words (delta matches)");
  expectRoundTrip(pseudoText(3 << 20, 9), lzms::kMaxChunkSize, "text");
  Bytes mixed = pseudoText(300000, 3);
  Bytes noise = randomBytes(200000, 4);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  Bytes words = countingWords(300000);
  mixed.insert(mixed.end(), words.begin(), words.end());
  expectRoundTrip(mixed, lzms::kMaxChunkSize, "mixed");
}

TEST(LzmsRoundTrip, RealExecutablesAndText) {
  const Bytes pe = machineCorpus(kPeFiles, 12 << 20);
  const Bytes elf = machineCorpus(kElfFiles, 12 << 20);
  const Bytes text = machineCorpus(kTextFiles, 6 << 20);
  if (pe.size() < (1 << 20) || elf.size() < (1 << 20) || text.size() < (1 << 20)) {
    GTEST_SKIP() << "this machine lacks the Windows DLLs, programs or headers used as test data";
  }
  expectRoundTrip(pe, lzms::kMaxChunkSize, "32-bit Windows DLLs");
  expectRoundTrip(elf, lzms::kMaxChunkSize, "ELF programs");
  expectRoundTrip(text, lzms::kMaxChunkSize, "text files");
}

TEST(LzmsRoundTrip, SeveralChunks) {
  const Bytes pe = machineCorpus(kPeFiles, 3 << 20);
  ASSERT_GT(pe.size(), 1u << 20);
  expectRoundTrip(pe, 65536, "64 KiB chunks");
  expectRoundTrip(pe, 1000001, "odd chunk size");
  // The last chunk one byte long, and chunks of a few bytes each.
  expectRoundTrip(pseudoText(65537, 2), 65536, "one-byte last chunk");
  expectRoundTrip(pseudoText(1000, 7), 3, "three-byte chunks");
  expectRoundTrip(pseudoText(200, 7), 1, "one-byte chunks");
  // Stored and compressed chunks side by side.
  Bytes alternating;
  for (int i = 0; i < 6; ++i) {
    Bytes part = i % 2 ? randomBytes(65536, i) : pseudoText(65536, i);
    alternating.insert(alternating.end(), part.begin(), part.end());
  }
  expectRoundTrip(alternating, 65536, "stored and compressed chunks");
}

TEST(LzmsRoundTrip, LargestChunkSize) {
  // 64 MiB chunks: one full chunk and a short one after it.
  Bytes data = machineCorpus(kPeFiles, 40 << 20);
  Bytes text = pseudoText(((64 << 20) + 300000) - std::min<size_t>(data.size(), 64 << 20), 8);
  data.insert(data.end(), text.begin(), text.end());
  ASSERT_GT(data.size(), size_t{64} << 20);
  const Bytes packed = compress(data, lzms::kMaxChunkSize);
  lzms::BufferHeader header;
  ASSERT_TRUE(lzms::readBufferHeader(packed.data(), packed.size(), header));
  EXPECT_EQ(header.chunkSize, lzms::kMaxChunkSize);
  Bytes out(data.size());
  uint64_t needed = 0;
  BufferDecoder decoder;
  ASSERT_EQ(decoder.decompress(packed.data(), packed.size(), out.data(), out.size(), needed), BufferResult::Ok);
  EXPECT_TRUE(out == data);
}

// The frames of a buffer: where each chunk's stored bytes start, and how many there are.
std::vector<std::pair<size_t, uint32_t>> framesOf(const Bytes& packed) {
  std::vector<std::pair<size_t, uint32_t>> frames;
  for (size_t pos = lzms::kBufferHeaderSize; pos + 4 <= packed.size();) {
    uint32_t stored = 0;
    std::memcpy(&stored, packed.data() + pos, 4);
    frames.push_back({pos + 4, stored});
    pos += 4 + stored;
  }
  return frames;
}

// One more byte at the end of a compressed chunk: its frame stays in step with the others, and the
// chunk becomes an odd number of bytes, which no LZMS chunk is.
Bytes withChunkDamaged(const Bytes& packed, size_t chunk) {
  const auto frames = framesOf(packed);
  Bytes damaged = packed;
  const auto [at, stored] = frames.at(chunk);
  EXPECT_EQ(stored % 2, 0u) << "chunk " << chunk << " is stored, not compressed";
  const uint32_t grown = stored + 1;
  std::memcpy(damaged.data() + at - 4, &grown, 4);
  damaged.insert(damaged.begin() + static_cast<ptrdiff_t>(at + stored), 0x5A);
  return damaged;
}

// Decoding on several threads gives the bytes of decoding chunk by chunk, and reports the output
// as final only in order and only up to what is decoded.
TEST(LzmsParallel, SameBytesAsOneChunkAtATime) {
  Bytes alternating;
  for (int i = 0; i < 9; ++i) {
    Bytes part = i % 3 == 1 ? randomBytes(65536, i) : pseudoText(65536, i);
    alternating.insert(alternating.end(), part.begin(), part.end());
  }
  const struct {
    const char* what;
    Bytes data;
    uint64_t chunk;
  } cases[] = {
      {"Windows DLLs, 64 KiB chunks", machineCorpus(kPeFiles, 2 << 20), 65536},
      {"stored and compressed chunks", alternating, 65536},
      {"odd chunk size, short last chunk", pseudoText(700001, 3), 100003},
      {"seven-byte chunks", pseudoText(5000, 4), 7},
      {"one chunk", pseudoText(50000, 5), 65536},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_GT(c.data.size(), 0u);
    const Bytes packed = compress(c.data, c.chunk);
    for (unsigned workers : {1u, 2u, 3u, 8u}) {
      SCOPED_TRACE(workers);
      BufferDecoder decoder(workers);
      Bytes out(c.data.size(), 0xCC);
      std::vector<uint64_t> ready;
      uint64_t needed = 0;
      ASSERT_EQ(decoder.decompress(packed.data(), packed.size(), out.data(), out.size(), needed,
                                   [&](uint64_t r) { ready.push_back(r); }),
                BufferResult::Ok);
      EXPECT_TRUE(out == c.data);
      EXPECT_EQ(decoder.firstDamagedChunk(), -1);
      ASSERT_FALSE(ready.empty());
      EXPECT_EQ(ready.back(), c.data.size());
      for (size_t i = 0; i < ready.size(); ++i) {
        if (i > 0) {
          EXPECT_GT(ready[i], ready[i - 1]);
        }
        EXPECT_TRUE(ready[i] % c.chunk == 0 || ready[i] == c.data.size()) << ready[i];
      }
    }
  }
}

// Whichever worker finishes first, the first damaged chunk in buffer order decides, and nothing
// from it on is reported final.
TEST(LzmsParallel, FirstDamagedChunkDecides) {
  const uint64_t chunk = 65536;
  const Bytes data = machineCorpus(kPeFiles, 12 * chunk);
  ASSERT_GT(data.size(), 10 * chunk);
  const Bytes packed = compress(data, chunk);
  const size_t last = framesOf(packed).size() - 1;
  Bytes twoDamaged = withChunkDamaged(withChunkDamaged(packed, 7), 3);
  Bytes frameZero = withChunkDamaged(packed, 2);
  std::memset(frameZero.data() + framesOf(packed).at(5).first - 4, 0, 4);  // chunk 5's frame: size 0
  Bytes frameRunsOff = packed;
  std::memset(frameRunsOff.data() + framesOf(packed).at(last).first - 4, 0xFF, 4);
  Bytes trailing = packed;
  trailing.push_back(0);
  const struct {
    const char* what;
    Bytes in;
    int64_t first;
  } cases[] = {
      {"the last chunk's data", withChunkDamaged(packed, last), static_cast<int64_t>(last)},
      {"a middle chunk's data", withChunkDamaged(packed, 6), 6},
      {"two chunks, the later one damaged first", twoDamaged, 3},
      {"a chunk's data, and a later frame", frameZero, 2},
      {"the last frame runs past the end", frameRunsOff, static_cast<int64_t>(last)},
      {"bytes after the last chunk", trailing, static_cast<int64_t>(last)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (unsigned workers : {1u, 2u, 4u}) {
      SCOPED_TRACE(workers);
      BufferDecoder decoder(workers);
      Bytes out(data.size());
      uint64_t readyMost = 0;
      uint64_t needed = 0;
      EXPECT_EQ(decoder.decompress(c.in.data(), c.in.size(), out.data(), out.size(), needed,
                                   [&](uint64_t r) { readyMost = r; }),
                BufferResult::InvalidData);
      EXPECT_EQ(decoder.firstDamagedChunk(), c.first);
      EXPECT_LE(readyMost, static_cast<uint64_t>(c.first) * chunk);
      EXPECT_TRUE(std::equal(out.begin(), out.begin() + static_cast<ptrdiff_t>(readyMost), data.begin()));
    }
  }
}

// The header's check byte, verified on headers that Windows' Compress wrote (MSZIP, algorithm 2,
// published with the data they came from): the rule is the same for every algorithm.
TEST(LzmsFraming, CheckByteMatchesWindowsHeaders) {
  const uint8_t a[24] = {0x0a, 0x51, 0xe5, 0xc0, 0x18, 0x00, 0x0c, 0x02, 0x9c, 0, 0, 0, 0, 0, 0, 0,
                         0x9c, 0, 0, 0, 0, 0, 0, 0};
  const uint8_t b[24] = {0x0a, 0x51, 0xe5, 0xc0, 0x18, 0x00, 0xc1, 0x02, 0xc9, 0xfc, 0, 0, 0, 0, 0, 0,
                         0x00, 0x80, 0, 0, 0, 0, 0, 0};
  for (const uint8_t* h : {a, b}) {
    uint32_t crc = lzms::crc32(0, h, 6);
    crc = lzms::crc32(crc, h + 7, 17);
    EXPECT_EQ(static_cast<uint8_t>(crc), h[6]);
  }
  // Our own header for the same sizes differs only in the algorithm byte and so in the check byte.
  uint8_t ours[24];
  lzms::writeBufferHeader(0x9c, 0x8000, ours);
  EXPECT_EQ(0, std::memcmp(ours, a, 6));
  EXPECT_EQ(ours[7], 5);
  EXPECT_EQ(0, std::memcmp(ours + 8, a + 8, 16)) << "the chunk field holds the smaller of total and chunk";
}

TEST(LzmsFraming, HeaderChecks) {
  uint8_t h[24];
  lzms::writeBufferHeader(1000, 65536, h);
  lzms::BufferHeader header;
  ASSERT_TRUE(lzms::readBufferHeader(h, 24, header));
  EXPECT_EQ(header.totalSize, 1000u);
  EXPECT_EQ(header.chunkSize, 1000u);
  EXPECT_FALSE(lzms::readBufferHeader(h, 23, header)) << "short";
  for (size_t i = 0; i < 24; ++i) {
    uint8_t bad[24];
    std::memcpy(bad, h, 24);
    bad[i] ^= 0x01;
    EXPECT_FALSE(lzms::readBufferHeader(bad, 24, header)) << "flipped byte " << i;
  }
  uint8_t other[24];
  lzms::writeBufferHeader(100 << 20, (64 << 20) + 1, other);  // chunk field above 64 MiB
  EXPECT_FALSE(lzms::readBufferHeader(other, 24, header));
  lzms::writeBufferHeader(5, 0, other);  // no chunk size
  EXPECT_FALSE(lzms::readBufferHeader(other, 24, header));
  lzms::writeBufferHeader(0, 65536, other);  // empty: the header alone
  ASSERT_TRUE(lzms::readBufferHeader(other, 24, header));
  BufferDecoder decoder;
  uint64_t needed = 99;
  uint8_t sink = 0;
  EXPECT_EQ(decoder.decompress(other, 24, &sink, 0, needed), BufferResult::Ok);
  EXPECT_EQ(needed, 0u);
}

// A writer may put its chunk size in the header even when the total is smaller (Windows decodes
// such buffers): the one chunk then holds the whole total.
TEST(LzmsFraming, ChunkFieldLargerThanTheTotal) {
  const Bytes data = pseudoText(1000, 4);
  Bytes packed = compress(data, 65536);
  uint64_t chunk = 4 << 20;
  for (int i = 0; i < 8; ++i) packed[16 + i] = static_cast<uint8_t>(chunk >> (8 * i));
  uint32_t crc = lzms::crc32(0, packed.data(), 6);
  packed[6] = static_cast<uint8_t>(lzms::crc32(crc, packed.data() + 7, 17));
  BufferDecoder decoder;
  Bytes out(data.size());
  uint64_t needed = 0;
  ASSERT_EQ(decoder.decompress(packed.data(), packed.size(), out.data(), out.size(), needed), BufferResult::Ok);
  EXPECT_TRUE(out == data);
}

TEST(LzmsFraming, DamagedChunksAreRefused) {
  const Bytes data = pseudoText(300000, 1);
  const Bytes packed = compress(data, 65536);
  BufferDecoder decoder;
  uint64_t needed = 0;
  Bytes out(data.size());
  auto run = [&](const Bytes& in) { return decoder.decompress(in.data(), in.size(), out.data(), out.size(), needed); };

  Bytes truncated(packed.begin(), packed.end() - 1);
  EXPECT_EQ(run(truncated), BufferResult::InvalidData);
  Bytes trailing = packed;
  trailing.push_back(0);
  EXPECT_EQ(run(trailing), BufferResult::InvalidData);
  Bytes zeroChunk = packed;
  std::memset(zeroChunk.data() + 24, 0, 4);
  EXPECT_EQ(run(zeroChunk), BufferResult::InvalidData);
  Bytes huge = packed;
  std::memset(huge.data() + 24, 0xFF, 4);
  EXPECT_EQ(run(huge), BufferResult::InvalidData);
  Bytes headerOnly(packed.begin(), packed.begin() + 24);
  EXPECT_EQ(run(headerOnly), BufferResult::InvalidData);

  // Too small an output buffer: nothing is decoded and the needed length is reported.
  needed = 0;
  EXPECT_EQ(decoder.decompress(packed.data(), packed.size(), out.data(), out.size() - 1, needed),
            BufferResult::OutputTooSmall);
  EXPECT_EQ(needed, data.size());
  // Still usable afterwards.
  EXPECT_EQ(run(packed), BufferResult::Ok);
  EXPECT_TRUE(out == data);
}

// Raw chunks as wimlib's own decoder sees them: on damaged data, whatever wimlib accepts we must
// decode to the same bytes, and nothing may crash. Several kinds of data, so that literals, LZ and
// delta matches and the recent-offset queues all get damaged somewhere.
TEST(LzmsChunk, AgreesWithWimlibOnDamagedData) {
  const Bytes inputs[] = {machineCorpus(kPeFiles, 200000), pseudoText(150000, 21), countingWords(120000)};
  int bothAccepted = 0, bothRefused = 0;
  std::mt19937 rng(1234);
  for (const Bytes& original : inputs) {
    ASSERT_GT(original.size(), 100000u);
    wimlib_compressor* c = nullptr;
    ASSERT_EQ(wimlib_create_compressor(WIMLIB_COMPRESSION_TYPE_LZMS, original.size(), 0, &c), 0);
    Bytes packed(original.size());
    const size_t packedSize = wimlib_compress(original.data(), original.size(), packed.data(), packed.size(), c);
    wimlib_free_compressor(c);
    ASSERT_GT(packedSize, 0u);
    packed.resize(packedSize);

    wimlib_decompressor* d = nullptr;
    ASSERT_EQ(wimlib_create_decompressor(WIMLIB_COMPRESSION_TYPE_LZMS, original.size(), &d), 0);
    lzms::ChunkDecoder ours;
    Bytes mine(original.size()), theirs(original.size());
    ASSERT_TRUE(ours.decode(packed.data(), packed.size(), mine.data(), mine.size()));
    ASSERT_TRUE(mine == original);

    for (int round = 0; round < 500; ++round) {
      Bytes damaged = packed;
      const int flips = 1 + static_cast<int>(rng() % 4);
      for (int f = 0; f < flips; ++f) damaged[rng() % damaged.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      if (round % 7 == 0) damaged.resize(damaged.size() - 2 * (1 + rng() % 16));
      const bool mineOk = ours.decode(damaged.data(), damaged.size(), mine.data(), mine.size());
      const bool theirsOk =
          wimlib_decompress(damaged.data(), damaged.size(), theirs.data(), theirs.size(), d) == 0;
      ASSERT_EQ(mineOk, theirsOk) << "round " << round;
      if (mineOk) {
        ASSERT_TRUE(mine == theirs) << "round " << round;
        ++bothAccepted;
      } else {
        ++bothRefused;
      }
    }
    wimlib_free_decompressor(d);
  }
  EXPECT_GT(bothRefused, 0);
  EXPECT_GT(bothAccepted, 0);
  std::printf("damaged chunks: %d decoded alike, %d refused by both\n", bothAccepted, bothRefused);
}

TEST(LzmsChunk, RefusesMalformedInput) {
  lzms::ChunkDecoder decoder;
  Bytes out(100);
  const uint8_t four[4] = {0, 0, 0, 0};
  const uint8_t five[5] = {0, 0, 0, 0, 0};
  EXPECT_FALSE(decoder.decode(four, 2, out.data(), out.size())) << "shorter than 4 bytes";
  EXPECT_FALSE(decoder.decode(five, 5, out.data(), out.size())) << "odd length";
  EXPECT_TRUE(decoder.decode(four, 0, out.data(), 0)) << "nothing to produce";
  // All-ones input: its first item is a match, before any byte it could copy.
  const Bytes ones(64, 0xFF);
  EXPECT_FALSE(decoder.decode(ones.data(), ones.size(), out.data(), out.size()));
}

}  // namespace
}  // namespace zs::test
