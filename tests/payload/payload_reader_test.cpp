// The payload reader, its SHA-256 and its decompressor, under Wine: real compressed blocks (made by
// the builder's compressor and linked in as resources), and every refusal the reader knows.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "payload/decompressor.h"
#include "payload/lzms/buffer_format.h"
#include "payload/payload_format.h"
#include "payload/payload_reader.h"
#include "platform/sha256.h"
#include "base/text.h"

#ifndef ERROR_BAD_COMPRESSION_BUFFER  // missing from mingw-w64's winerror.h
#define ERROR_BAD_COMPRESSION_BUFFER 605L
#endif

namespace zs::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes resourceBytes(const wchar_t* name) {
  HRSRC found = FindResourceW(nullptr, name, MAKEINTRESOURCEW(10));
  if (found == nullptr) return {};
  const DWORD size = SizeofResource(nullptr, found);
  const auto* data = static_cast<const uint8_t*>(LockResource(LoadResource(nullptr, found)));
  return data == nullptr ? Bytes{} : Bytes(data, data + size);
}

// The block made by the builder's compressor: 365,536 bytes of x86 code, text, noise and counting
// words in 64 KiB chunks, one of them stored.
const Bytes& mixedBlock() {
  static const Bytes b = resourceBytes(L"LZMS_MIXED");
  return b;
}
const Bytes& mixedPlain() {
  static const Bytes b = resourceBytes(L"PLAIN_MIXED");
  return b;
}

std::string hexOf(const uint8_t* data, size_t size) {
  uint8_t digest[kSha256Size];
  EXPECT_TRUE(sha256(data, size, digest));
  return wideToUtf8(digestToHex(digest));
}

const char kSetupSection[] =
    "[Setup]\n"
    "AppId = 7D2B4E91-5C3A-4F08-B6E1-0A9C3D5F7E24\n"
    "AppName = Zelvan\n"
    "AppVersion = 2.5\n"
    "Publisher = Brightmoor\n"
    "PublisherUrl = https://www.brightmoor.example/\n"
    "SupportUrl = https://www.brightmoor.example/support\n"
    "UpdatesUrl = https://www.brightmoor.example/zelvan/download\n"
    "DefaultDir = {pf}\\Zelvan\n"
    "MinDotNet = 528040\n"
    "MinWindows = 6.3\n"
    "ThemeFile = {appdata}\\Zelvan\\settings.ini\n"
    "LicenseTicked = no\n"
    "FileVersion = 2.5.0.1412\n";

struct FileLine {
  std::string dest;
  uint64_t off;
  uint64_t size;
  std::string sha;
};

std::string scriptFor(const std::vector<FileLine>& files) {
  std::string s = kSetupSection;
  s += "\n[Files]\n";
  for (const FileLine& f : files) {
    s += "Dest: " + f.dest + "; Off: " + std::to_string(f.off) + "; Size: " + std::to_string(f.size) +
         "; Sha: " + f.sha + "\n";
  }
  return s;
}

// The three files that tile the mixed block.
std::vector<FileLine> mixedFiles() {
  const Bytes& plain = mixedPlain();
  const uint64_t cuts[] = {0, 160000, 260000, plain.size()};
  const char* names[] = {"{app}\\Zelvan.exe", "{app}\\Readme.txt", "{app}\\Data\\blob.bin"};
  std::vector<FileLine> files;
  for (int i = 0; i < 3; ++i) {
    files.push_back({names[i], cuts[i], cuts[i + 1] - cuts[i], hexOf(plain.data() + cuts[i], cuts[i + 1] - cuts[i])});
  }
  return files;
}

const std::string kLicence = "Zelvan licence\r\nYou may use it.\r\n";

// A resource with a correct header and digest over whatever script, licence and block it is given.
Bytes makePayload(const std::string& script, const std::string& licence, const Bytes& block,
                  uint64_t uncompressedSize) {
  Bytes body(script.begin(), script.end());
  body.insert(body.end(), licence.begin(), licence.end());
  body.insert(body.end(), block.begin(), block.end());
  PayloadHeader h;
  h.scriptLength = script.size();
  h.licenseLength = licence.size();
  h.blockLength = block.size();
  h.uncompressedSize = uncompressedSize;
  EXPECT_TRUE(sha256(body.data(), body.size(), h.sha256));
  Bytes out(kPayloadHeaderSize);
  writePayloadHeader(h, out.data());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes goodPayload() { return makePayload(scriptFor(mixedFiles()), kLicence, mixedBlock(), mixedPlain().size()); }

// Runs the reader and returns its result and its refusal line (empty when none).
struct Outcome {
  int result;
  std::string refusal;
};

Outcome verify(const Bytes& bytes) {
  LogCapture capture;
  Payload payload;
  const int result = verifyPayload(bytes.data(), static_cast<uint32_t>(bytes.size()), payload);
  std::string refusal;
  for (const std::string& line : capture.lines()) {
    if (line.rfind("Payload refused: ", 0) == 0) {
      EXPECT_TRUE(refusal.empty()) << "two refusal lines";
      refusal = line.substr(17);
    }
  }
  EXPECT_EQ(result == kPayloadAccepted, refusal.empty()) << refusal;
  return {result, refusal};
}

void rewriteHeader(Bytes& bytes, void (*change)(PayloadHeader&)) {
  PayloadHeader h;
  ASSERT_TRUE(readPayloadHeader(bytes.data(), bytes.size(), h));
  change(h);
  writePayloadHeader(h, bytes.data());
}

TEST(Sha256, KnownDigestsAndPieces) {
  uint8_t d[kSha256Size];
  ASSERT_TRUE(sha256("abc", 3, d));
  EXPECT_EQ(digestToHex(d), L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  ASSERT_TRUE(sha256(nullptr, 0, d));
  EXPECT_EQ(digestToHex(d), L"e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  const std::string million(1000000, 'a');
  Sha256 pieces;  // fed in uneven pieces, the digest is the same as in one go
  ASSERT_TRUE(pieces.add(million.data(), 1));
  ASSERT_TRUE(pieces.add(million.data() + 1, 499999));
  ASSERT_TRUE(pieces.add(million.data() + 500000, 500000));
  ASSERT_TRUE(pieces.finish(d));
  EXPECT_EQ(digestToHex(d), L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
  EXPECT_FALSE(pieces.add("x", 1)) << "a finished hash takes no more data";
  EXPECT_TRUE(digestEqualsHex(d, L"CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0"));
  EXPECT_FALSE(digestEqualsHex(d, L"cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd1"));
  EXPECT_FALSE(digestEqualsHex(d, L"cdc76e5c"));
}

// Set for the run in a prefix that has the cabinet.dll stand-in, whose Compression API the setup
// must then use, as on Windows. Wine's own cabinet.dll lacks it and the built-in decoder stands in.
bool compressionApiExpected() { return GetEnvironmentVariableW(L"ZS_CABINET_STANDIN", nullptr, 0) != 0; }

TEST(Decompressor, DecodesTheBuildersBlockOnTheRightPath) {
  ASSERT_FALSE(mixedBlock().empty());
  ASSERT_EQ(mixedPlain().size(), 365536u);
  uint64_t length = 0;
  unsigned long error = 0;
  ASSERT_TRUE(blockDecompressedLength(mixedBlock().data(), mixedBlock().size(), length, error)) << error;
  EXPECT_EQ(length, mixedPlain().size());
  Bytes out(static_cast<size_t>(length));
  ASSERT_TRUE(decompressBlock(mixedBlock().data(), mixedBlock().size(), out.data(), out.size(), error)) << error;
  EXPECT_TRUE(out == mixedPlain());

  // The built-in decoder is said once in the log, and only where it is used.
  EXPECT_EQ(usesBuiltInDecoder(), !compressionApiExpected());
  ASSERT_TRUE(blockDecompressedLength(mixedBlock().data(), mixedBlock().size(), length, error));
  const std::string log = theLog().pendingBytes();
  const std::string once = "cabinet.dll has no Compression API; using the built-in LZMS decoder.";
  const size_t first = log.find(once);
  if (compressionApiExpected()) {
    EXPECT_EQ(first, std::string::npos) << "the stand-in's Compression API was not used";
  } else {
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(log.find(once, first + 1), std::string::npos);
  }
}

// Every decompressor is closed again, after a failure too. Only the stand-in can count them.
TEST(Decompressor, EveryDecompressorIsClosed) {
  if (!compressionApiExpected()) GTEST_SKIP() << "needs the cabinet.dll stand-in";
  uint64_t length = 0;
  unsigned long error = 0;
  ASSERT_TRUE(blockDecompressedLength(mixedBlock().data(), mixedBlock().size(), length, error)) << error;
  using CountFn = DWORD(WINAPI*)();
  const auto openDecompressors =
      reinterpret_cast<CountFn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"cabinet.dll"), "ZsOpenDecompressors")));
  ASSERT_NE(openDecompressors, nullptr);
  EXPECT_EQ(openDecompressors(), 0u);

  Bytes damagedHeader = mixedBlock();
  damagedHeader[6] ^= 0x01;
  EXPECT_FALSE(blockDecompressedLength(damagedHeader.data(), damagedHeader.size(), length, error));
  EXPECT_EQ(openDecompressors(), 0u) << "after a damaged header";
  Bytes out(mixedPlain().size());
  EXPECT_TRUE(decompressBlock(mixedBlock().data(), mixedBlock().size(), out.data(), out.size(), error));
  EXPECT_EQ(openDecompressors(), 0u) << "after decompressing";
  const Bytes cut(mixedBlock().begin(), mixedBlock().end() - 1);
  EXPECT_FALSE(decompressBlock(cut.data(), cut.size(), out.data(), out.size(), error));
  EXPECT_EQ(openDecompressors(), 0u) << "after a damaged chunk";
  EXPECT_FALSE(decompressBlock(mixedBlock().data(), mixedBlock().size(), out.data(), out.size() - 1, error));
  EXPECT_EQ(openDecompressors(), 0u) << "after a short buffer";
}

// Whichever decoder runs, the errors are the Compression API's: ERROR_BAD_COMPRESSION_BUFFER for
// damaged data, ERROR_INSUFFICIENT_BUFFER for a buffer that is too short, and ERROR_INVALID_DATA
// when the block does not fill its buffer exactly.
TEST(Decompressor, ErrorsAreTheApisOwn) {
  const size_t plain = mixedPlain().size();
  const auto setChunkSize = [](Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[lzms::kBufferHeaderSize + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  const struct {
    const char* what;
    std::function<void(Bytes&)> damage;
    size_t buffer;
    DWORD lengthError;  // 0: the length query gives the plain size
    DWORD decompressError;
  } cases[] = {
      {"check byte", [](Bytes& b) { b[6] ^= 0x40; }, plain, ERROR_BAD_COMPRESSION_BUFFER, ERROR_BAD_COMPRESSION_BUFFER},
      {"algorithm MSZIP, check byte to match",
       [](Bytes& b) {
         b[7] = 2;
         b[6] = static_cast<uint8_t>(lzms::crc32(lzms::crc32(0, b.data(), 6), b.data() + 7, 17));
       },
       plain, ERROR_BAD_COMPRESSION_BUFFER, ERROR_BAD_COMPRESSION_BUFFER},
      {"last byte missing", [](Bytes& b) { b.pop_back(); }, plain, 0, ERROR_BAD_COMPRESSION_BUFFER},
      {"first chunk past the end", [&](Bytes& b) { setChunkSize(b, static_cast<uint32_t>(b.size())); }, plain, 0,
       ERROR_BAD_COMPRESSION_BUFFER},
      {"buffer one byte short", [](Bytes&) {}, plain - 1, 0, ERROR_INSUFFICIENT_BUFFER},
      {"buffer one byte long", [](Bytes&) {}, plain + 1, 0, ERROR_INVALID_DATA},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes block = mixedBlock();
    c.damage(block);
    uint64_t length = 0;
    unsigned long error = 0;
    EXPECT_EQ(blockDecompressedLength(block.data(), block.size(), length, error), c.lengthError == 0);
    if (c.lengthError == 0) {
      EXPECT_EQ(length, plain);
    } else {
      EXPECT_EQ(error, c.lengthError);
    }
    Bytes out(c.buffer);
    error = 0;
    EXPECT_FALSE(decompressBlock(block.data(), block.size(), out.data(), out.size(), error));
    EXPECT_EQ(error, c.decompressError);
  }

  // A flipped byte inside a compressed chunk: refused, or at least not taken for the original.
  Bytes damaged = mixedBlock();
  damaged[damaged.size() / 3] ^= 0x10;
  Bytes out(plain);
  unsigned long error = 0;
  const bool ok = decompressBlock(damaged.data(), damaged.size(), out.data(), out.size(), error);
  EXPECT_TRUE(!ok ? error == ERROR_BAD_COMPRESSION_BUFFER : out != mixedPlain()) << "a damaged chunk went unnoticed";

  // An empty block: a header alone, length 0.
  uint8_t empty[lzms::kBufferHeaderSize];
  lzms::writeBufferHeader(0, 65536, empty);
  uint64_t length = 1;
  ASSERT_TRUE(blockDecompressedLength(empty, sizeof(empty), length, error));
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(decompressBlock(empty, sizeof(empty), nullptr, 0, error)) << error;
}

TEST(PayloadReader, AcceptsAGoodPayloadAndFillsTheRecord) {
  const Bytes bytes = goodPayload();
  Payload payload;
  ASSERT_EQ(verifyPayload(bytes.data(), static_cast<uint32_t>(bytes.size()), payload), kPayloadAccepted);
  EXPECT_EQ(payload.data, bytes.data()) << "used in place";
  EXPECT_EQ(payload.size, bytes.size());
  EXPECT_EQ(0, memcmp(payload.header, bytes.data(), kPayloadHeaderSize));
  const std::string script = scriptFor(mixedFiles());
  EXPECT_EQ(payload.licence, bytes.data() + kPayloadHeaderSize + script.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(payload.licence), payload.licenceLength), kLicence);
  EXPECT_EQ(payload.block, payload.licence + kLicence.size());
  EXPECT_EQ(payload.blockLength, mixedBlock().size());
  EXPECT_EQ(payload.uncompressedSize, mixedPlain().size());
  ASSERT_EQ(payload.script.files.size(), 3u);
  EXPECT_EQ(payload.script.files[2].dest, L"{app}\\Data\\blob.bin");
  EXPECT_EQ(payload.script.setup.appName, L"Zelvan");
  EXPECT_EQ(verify(bytes).result, kPayloadAccepted);
}

TEST(PayloadReader, HeaderAndSizes) {
  const Bytes good = goodPayload();
  EXPECT_EQ(verify(Bytes(good.begin(), good.begin() + 95)).refusal, "header or sizes");
  Bytes appended = good;
  appended.push_back(0);
  EXPECT_EQ(verify(appended).refusal, "header or sizes");
  Bytes shortened(good.begin(), good.end() - 1);
  EXPECT_EQ(verify(shortened).refusal, "header or sizes");

  const std::pair<size_t, const char*> fields[] = {{0, "magic"}, {4, "headerSize"}, {8, "formatVersion"},
                                                   {12, "layoutVersion"}, {16, "scriptLength"},
                                                   {24, "licenseLength"}, {32, "blockLength"}};
  for (const auto& [offset, name] : fields) {
    Bytes bad = good;
    bad[offset] ^= 0x01;
    EXPECT_EQ(verify(bad).refusal, "header or sizes") << name;
  }
  // Lengths that would wrap 64-bit arithmetic.
  Bytes wrap = good;
  rewriteHeader(wrap, [](PayloadHeader& h) {
    h.scriptLength = ~uint64_t{0};
    h.licenseLength = 2;
  });
  EXPECT_EQ(verify(wrap).refusal, "header or sizes");
  wrap = good;
  rewriteHeader(wrap, [](PayloadHeader& h) {
    h.licenseLength += uint64_t{1} << 63;
    h.blockLength += uint64_t{1} << 63;
  });
  EXPECT_EQ(verify(wrap).refusal, "header or sizes");
}

TEST(PayloadReader, UpperSizeLimit) {
  // A block whose header claims 512 MiB: the reader reads only the header, so it accepts it.
  uint8_t claim[lzms::kBufferHeaderSize];
  lzms::writeBufferHeader(kMaxUncompressedSize, lzms::kMaxChunkSize, claim);
  const Bytes block(claim, claim + sizeof(claim));
  const std::string zeros(64, '0');
  const std::string script = scriptFor({{"{app}\\big.bin", 0, kMaxUncompressedSize, zeros}});
  EXPECT_EQ(verify(makePayload(script, kLicence, block, kMaxUncompressedSize)).result, kPayloadAccepted);
  const std::string over = scriptFor({{"{app}\\big.bin", 0, kMaxUncompressedSize + 1, zeros}});
  EXPECT_EQ(verify(makePayload(over, kLicence, block, kMaxUncompressedSize + 1)).refusal, "header or sizes");
  EXPECT_EQ(verify(makePayload(over, kLicence, block, uint64_t{1} << 32)).refusal, "header or sizes");
}

TEST(PayloadReader, DigestCoversScriptLicenceAndBlock) {
  const Bytes good = goodPayload();
  PayloadHeader h;
  ASSERT_TRUE(readPayloadHeader(good.data(), good.size(), h));
  const size_t script = kPayloadHeaderSize;
  const size_t licence = script + static_cast<size_t>(h.scriptLength);
  const size_t block = licence + static_cast<size_t>(h.licenseLength);
  for (size_t at : {script, script + 40, licence, licence + 5, block, block + 30, block + 100000, good.size() - 1}) {
    Bytes bad = good;
    bad[at] ^= 0x20;
    EXPECT_EQ(verify(bad).refusal, "SHA-256 differs") << "byte " << at;
  }
  Bytes digest = good;
  digest[48 + 31] ^= 0x01;
  EXPECT_EQ(verify(digest).refusal, "SHA-256 differs");
  for (size_t at = 80; at < 96; at += 5) {
    Bytes reserved = good;
    reserved[at] ^= 0xFF;
    EXPECT_EQ(verify(reserved).result, kPayloadAccepted) << "reserved byte " << at << " is not checked";
  }
}

TEST(PayloadReader, ScriptErrorsNameTheLine) {
  std::string script = scriptFor(mixedFiles());
  script.insert(script.find("[Files]"), "[Nonsense]\n");
  const int line = static_cast<int>(std::count(script.begin(), script.begin() + script.find("[Nonsense]"), '\n')) + 1;
  const Outcome o = verify(makePayload(script, kLicence, mixedBlock(), mixedPlain().size()));
  EXPECT_EQ(o.result, kPayloadRefused);
  EXPECT_EQ(o.refusal.rfind("manifest line " + std::to_string(line) + ": ZS04 ", 0), 0u) << o.refusal;
}

TEST(PayloadReader, FileLinesMustTileTheBlock) {
  std::vector<FileLine> files = mixedFiles();
  const uint64_t total = mixedPlain().size();
  auto run = [&](const std::vector<FileLine>& f, uint64_t uncompressed) {
    return verify(makePayload(scriptFor(f), kLicence, mixedBlock(), uncompressed)).refusal;
  };
  std::vector<FileLine> overlap = files;
  overlap[1].off -= 1;  // overlaps the first by one byte
  overlap[1].size += 1;
  EXPECT_EQ(run(overlap, total), "a file line is out of order or overlaps");
  std::vector<FileLine> swapped = overlap;
  std::swap(swapped[0], swapped[1]);
  EXPECT_EQ(run(swapped, total), "a file line is out of order or overlaps");
  std::vector<FileLine> gap = files;
  gap[2].size -= 1;  // ends one byte short of the block
  EXPECT_EQ(run(gap, total), "the sizes do not add up to the original size");
  std::vector<FileLine> past = files;
  past[2].size += 1;
  EXPECT_EQ(run(past, total), "Off + Size is past the block");
  std::vector<FileLine> huge = files;
  huge[2].size = ~uint64_t{0} - 5;  // Off + Size would wrap
  EXPECT_EQ(run(huge, total), "Off + Size is past the block");
  // The block really is 365,536 bytes long; a header that says otherwise is caught by the length query.
  std::vector<FileLine> longer = files;
  longer[2].size += 10;
  EXPECT_EQ(run(longer, total + 10), "the compressed block is a different length");
}

TEST(PayloadReader, NoFileLines) {
  uint8_t empty[lzms::kBufferHeaderSize];
  lzms::writeBufferHeader(0, 65536, empty);
  const Bytes emptyBlock(empty, empty + sizeof(empty));
  EXPECT_EQ(verify(makePayload(scriptFor({}), kLicence, emptyBlock, 0)).result, kPayloadAccepted);
  EXPECT_EQ(verify(makePayload(scriptFor({}), kLicence, mixedBlock(), 0)).refusal,
            "the compressed block is a different length");
  EXPECT_EQ(verify(makePayload(scriptFor({}), kLicence, emptyBlock, 5)).refusal,
            "the sizes do not add up to the original size");
}

TEST(PayloadReader, UnreadableBlockHeader) {
  Bytes garbage(100, 0x41);
  const std::vector<FileLine> files = mixedFiles();
  const Outcome o = verify(makePayload(scriptFor(files), kLicence, garbage, mixedPlain().size()));
  EXPECT_EQ(o.refusal, "the compressed block's header is unreadable");
  Bytes wrongAlgorithm = mixedBlock();
  wrongAlgorithm[7] = 2;  // MSZIP, with a check byte to match
  uint32_t crc = lzms::crc32(0, wrongAlgorithm.data(), 6);
  wrongAlgorithm[6] = static_cast<uint8_t>(lzms::crc32(crc, wrongAlgorithm.data() + 7, 17));
  EXPECT_EQ(verify(makePayload(scriptFor(files), kLicence, wrongAlgorithm, mixedPlain().size())).refusal,
            "the compressed block's header is unreadable");
}

TEST(PayloadReader, NoResourceInThisExecutable) {
  Payload payload;
  LogCapture capture;
  EXPECT_EQ(loadPayload(payload), kPayloadMissing);
  EXPECT_TRUE(capture.lines().empty());
}

}  // namespace
}  // namespace zs::test
