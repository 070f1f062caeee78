#include "support/test_payload.h"

#include <cstring>

#include "payload/lzms/buffer_format.h"
#include "payload/payload_format.h"
#include "platform/sha256.h"
#include "base/text.h"

namespace zs::test {

namespace {

void put32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The block as the buffer format stores data that does not compress: each chunk copied as is.
std::vector<uint8_t> storedBlock(const std::string& data) {
  constexpr uint64_t kChunk = 65536;
  std::vector<uint8_t> out(lzms::kBufferHeaderSize);
  lzms::writeBufferHeader(data.size(), kChunk, out.data());
  for (uint64_t at = 0; at < data.size(); at += kChunk) {
    uint64_t n = std::min<uint64_t>(kChunk, data.size() - at);
    put32(out, static_cast<uint32_t>(n));
    out.insert(out.end(), data.begin() + static_cast<ptrdiff_t>(at), data.begin() + static_cast<ptrdiff_t>(at + n));
  }
  return out;
}

}  // namespace

std::string TestPayload::shaHex(const std::string& content) {
  uint8_t digest[kSha256Size];
  if (!sha256(content.data(), content.size(), digest)) return {};
  static const char* hex = "0123456789abcdef";
  std::string s;
  for (uint8_t b : digest) {
    s.push_back(hex[b >> 4]);
    s.push_back(hex[b & 15]);
  }
  return s;
}

std::string testSetupSection(const std::string& fileVersion, const std::string& setupExtra) {
  return "[Setup]\n"
         "AppId = 3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7\n"
         "AppName = Zelvan\n"
         "AppVersion = 2.5\n"
         "Publisher = Brightmoor\n"
         "DefaultDir = {pf}\\Zelvan\n"
         "MinDotNet = 528040\n"
         "MinWindows = 6.3\n"
         "FileVersion = " +
         fileVersion + "\n" + setupExtra;
}

TestPayload::TestPayload(const std::vector<TestFile>& files, const std::string& sections,
                         const std::string& fileVersion) {
  std::string block;
  std::string script = testSetupSection(fileVersion) + "\n[Files]\n";
  for (const TestFile& f : files) {
    script += "Dest: " + wideToUtf8(f.dest) + (f.seed ? "; Flags: seed" : "") + "; Off: " + std::to_string(block.size()) +
              "; Size: " + std::to_string(f.content.size()) + "; Sha: " + shaHex(f.content) + "\n";
    block += f.content;
  }
  script += sections;
  std::string licence = "Licence text.\r\n";
  std::vector<uint8_t> compressed = storedBlock(block);

  PayloadHeader header;
  header.scriptLength = script.size();
  header.licenseLength = licence.size();
  header.blockLength = compressed.size();
  header.uncompressedSize = block.size();
  std::vector<uint8_t> body(script.begin(), script.end());
  body.insert(body.end(), licence.begin(), licence.end());
  body.insert(body.end(), compressed.begin(), compressed.end());
  sha256(body.data(), body.size(), header.sha256);
  bytes_.resize(kPayloadHeaderSize);
  writePayloadHeader(header, bytes_.data());
  bytes_.insert(bytes_.end(), body.begin(), body.end());
  accepted_ = verifyPayload(bytes_.data(), static_cast<uint32_t>(bytes_.size()), payload_) == kPayloadAccepted;
}

}  // namespace zs::test
