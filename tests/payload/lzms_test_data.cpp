#include "lzms_test_data.h"

#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>

namespace zs::test {

Bytes randomBytes(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

Bytes repeatedPattern(size_t size, const std::string& pattern) {
  Bytes out(size);
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>(pattern[i % pattern.size()]);
  return out;
}

Bytes countingWords(size_t size) {
  Bytes out;
  out.reserve(size);
  uint32_t a = 7, b = 1000;
  while (out.size() < size) {
    for (int i = 0; i < 2 && out.size() < size; ++i) out.push_back(static_cast<uint8_t>(a >> (8 * i)));
    for (int i = 0; i < 4 && out.size() < size; ++i) out.push_back(static_cast<uint8_t>(b >> (8 * i)));
    a += 3;
    b += 257;
  }
  return out;
}

Bytes pseudoText(size_t size, uint32_t seed) {
  static const char* words[] = {"setup", "payload", "the", "install", "folder", "Zelvan", "of",
                                "journal", "and", "file", "rollback", "registry", "a", "to"};
  std::mt19937 rng(seed);
  Bytes out;
  out.reserve(size + 16);
  while (out.size() < size) {
    const char* w = words[rng() % std::size(words)];
    out.insert(out.end(), w, w + std::char_traits<char>::length(w));
    out.push_back(rng() % 11 == 0 ? '\n' : ' ');
  }
  out.resize(size);
  return out;
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes machineCorpus(const std::vector<std::string>& patterns, size_t limit) {
  Bytes out;
  for (const std::string& pattern : patterns) {
    glob_t g{};
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0) {
      for (size_t i = 0; i < g.gl_pathc && out.size() < limit; ++i) {
        struct stat st{};
        if (stat(g.gl_pathv[i], &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 8 * 1024 * 1024) continue;
        Bytes file = readFile(g.gl_pathv[i]);
        out.insert(out.end(), file.begin(), file.end());
      }
    }
    globfree(&g);
    if (out.size() >= limit) break;
  }
  if (out.size() > limit) out.resize(limit);
  return out;
}

}  // namespace zs::test
