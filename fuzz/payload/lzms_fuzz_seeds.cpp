// Writes a seed corpus for the LZMS fuzzer: valid buffers and raw chunks made by the compressor.
#include <algorithm>
#include <cstdio>
#include <string>

#include "lzms_compress.h"
#include "lzms_test_data.h"

using zs::test::Bytes;

namespace {

bool writeSeed(const std::string& dir, const std::string& name, uint8_t mode, const Bytes& body) {
  FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
  if (f == nullptr) return false;
  std::fputc(mode, f);
  const bool ok = std::fwrite(body.data(), 1, body.size(), f) == body.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: lzms_fuzz_seeds FOLDER\n");
    return 2;
  }
  const std::string dir = argv[1];
  const Bytes inputs[] = {zs::test::pseudoText(3000, 1), zs::test::repeatedPattern(5000, "abcab"),
                          zs::test::countingWords(4000), zs::test::randomBytes(300, 2),
                          zs::test::machineCorpus(zs::test::kPeFiles, 20000)};
  int n = 0;
  for (const Bytes& input : inputs) {
    for (uint64_t chunk : {uint64_t{1} << 20, uint64_t{1024}}) {
      Bytes packed;
      std::string error;
      if (!zs::build::compressLzmsBuffer(input.data(), input.size(), chunk, packed, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
      }
      if (!writeSeed(dir, "buffer" + std::to_string(n), static_cast<uint8_t>(n % 2), packed)) return 1;
      // The same data as one raw chunk: three length bytes, then the chunk after its size field.
      if (chunk == (uint64_t{1} << 20) && packed.size() > 28) {
        const size_t len = input.size() - 1;
        Bytes raw(3 + packed.size() - 28);
        raw[0] = static_cast<uint8_t>(len);
        raw[1] = static_cast<uint8_t>(len >> 8);
        raw[2] = static_cast<uint8_t>(len >> 16);
        std::copy(packed.begin() + 28, packed.end(), raw.begin() + 3);
        if (!writeSeed(dir, "chunk" + std::to_string(n), 2, raw)) return 1;
      }
      ++n;
    }
  }
  return 0;
}
