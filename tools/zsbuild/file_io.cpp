#include "file_io.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <system_error>

namespace zs::build {

namespace fs = std::filesystem;

std::string pathText(const fs::path& p) {
  const auto u8 = p.u8string();
  return std::string(u8.begin(), u8.end());
}

fs::path resolveScriptPath(const fs::path& scriptFolder, const std::string& written) {
  std::string s = written;
  std::replace(s.begin(), s.end(), '\\', '/');
  const fs::path p(std::u8string(reinterpret_cast<const char8_t*>(s.data()), s.size()));
  return p.is_absolute() ? p : scriptFolder / p;
}

bool readWhole(const fs::path& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool writeWhole(const fs::path& path, const std::string& bytes, std::string& message) {
  fs::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush()) {
      message = pathText(path) + ": cannot be written";
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    message = pathText(path) + ": cannot be written (" + ec.message() + ")";
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

}  // namespace zs::build
