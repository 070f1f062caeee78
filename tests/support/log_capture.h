// Reads what the process log gained since the capture began (the tests never open its file, so
// every line stays in memory).
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "base/log.h"

namespace zs::test {

class LogCapture {
 public:
  LogCapture() : start_(theLog().pendingBytes().size()) {}

  // The new lines without their time stamps.
  std::vector<std::string> lines() const {
    std::string bytes = theLog().pendingBytes().substr(start_);
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < bytes.size()) {
      size_t end = bytes.find("\r\n", pos);
      if (end == std::string::npos) end = bytes.size();
      std::string line = bytes.substr(pos, end - pos);
      out.push_back(line.size() >= 14 ? line.substr(14) : line);
      pos = end + 2;
    }
    return out;
  }

 private:
  size_t start_;
};

// Whether a line stands among the captured lines.
inline bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

}  // namespace zs::test
