// Builds a real, accepted payload in memory for engine tests: a script with the given [Files]
// lines (plus any extra sections), a licence, and a block in the Compression API's buffer format
// whose chunks are stored (the form the format uses for data that does not compress), so the
// setup's own decompressor reads it like any other.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "payload/payload_reader.h"

namespace zs::test {

struct TestFile {
  std::wstring dest;     // e.g. {app}\Zelvan.exe
  std::string content;
  bool seed = false;
};

// The [Setup] section of a small valid script (AppId of the stub, version 2.5.0.0, default folder
// {pf}\Zelvan); `setupExtra` lines are appended to it.
std::string testSetupSection(const std::string& fileVersion = "2.5.0.0", const std::string& setupExtra = "");

class TestPayload {
 public:
  // `sections` is script text appended after [Files] (for [Tasks], [Legacy] and so on).
  explicit TestPayload(const std::vector<TestFile>& files, const std::string& sections = "",
                       const std::string& fileVersion = "2.5.0.0");
  bool accepted() const { return accepted_; }
  const Payload& payload() const { return payload_; }
  Payload& payload() { return payload_; }
  std::vector<uint8_t>& bytes() { return bytes_; }
  // The SHA-256 of text as 64 lower-case hexadecimal digits.
  static std::string shaHex(const std::string& content);

 private:
  std::vector<uint8_t> bytes_;
  Payload payload_;
  bool accepted_ = false;
};

}  // namespace zs::test
