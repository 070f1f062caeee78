// Benchmark: LZMS decoding speed (MB of output per second) and compressed sizes next to xz -9.
//
//   lzms_bench [MB]          realistic corpus of about MB megabytes (default 256): 32-bit Windows
//                            DLLs, ELF programs and text files of this machine
//   lzms_bench FILE...       the given files, concatenated (for example a payload's block)
//   LZMS_BENCH_SAVE=PATH     also writes the last compressed buffer to PATH (for the Windows
//                            benchmark, lzms_bench_win.exe, which decodes it with the 32-bit build)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lzms_compress.h"
#include "lzms_test_data.h"
#include "payload/lzms/buffer_format.h"

using zs::test::Bytes;

namespace {

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

size_t xzSize(const Bytes& data) {
  char name[] = "/tmp/lzms_bench_XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return 0;
  FILE* f = fdopen(fd, "wb");
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
  const std::string command = std::string("xz -9 -T1 -c '") + name + "' | wc -c";
  FILE* p = popen(command.c_str(), "r");
  unsigned long long size = 0;
  if (p != nullptr) {
    if (std::fscanf(p, "%llu", &size) != 1) size = 0;
    pclose(p);
  }
  std::remove(name);
  return static_cast<size_t>(size);
}

bool measure(const char* what, const Bytes& data) {
  if (data.empty()) {
    std::printf("%-28s no data on this machine\n", what);
    return true;
  }
  Bytes packed;
  std::string error;
  auto t0 = std::chrono::steady_clock::now();
  if (!zs::build::compressLzmsBuffer(data.data(), data.size(), zs::lzms::kMaxChunkSize, packed, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return false;
  }
  const double compressTime = seconds(std::chrono::steady_clock::now() - t0);
  Bytes out(data.size());
  zs::lzms::BufferDecoder decoder;
  double best = 1e30;
  for (int run = 0; run < 3; ++run) {
    uint64_t needed = 0;
    t0 = std::chrono::steady_clock::now();
    if (decoder.decompress(packed.data(), packed.size(), out.data(), out.size(), needed) !=
        zs::lzms::BufferResult::Ok || out != data) {
      std::fprintf(stderr, "%s: decoding failed\n", what);
      return false;
    }
    best = std::min(best, seconds(std::chrono::steady_clock::now() - t0));
  }
  if (const char* save = std::getenv("LZMS_BENCH_SAVE")) {
    if (FILE* f = std::fopen(save, "wb")) {
      std::fwrite(packed.data(), 1, packed.size(), f);
      std::fclose(f);
    }
  }
  const size_t xz = xzSize(data);
  const double mb = data.size() / 1e6;
  std::printf("%-28s %9.1f MB  LZMS %9.1f MB (%5.1f%%)  xz -9 %9.1f MB (%5.1f%%)  decode %7.1f MB/s  compress %5.1f MB/s\n",
              what, mb, packed.size() / 1e6, 100.0 * packed.size() / data.size(), xz / 1e6,
              100.0 * xz / data.size(), mb / best, mb / compressTime);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::atoi(argv[1]) == 0) {
    Bytes all;
    for (int i = 1; i < argc; ++i) {
      Bytes file = zs::test::readFile(argv[i]);
      all.insert(all.end(), file.begin(), file.end());
    }
    return measure("given files", all) ? 0 : 1;
  }
  const size_t mb = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 256;
  const Bytes pe = zs::test::machineCorpus(zs::test::kPeFiles, mb * 1000000 / 2);
  const Bytes elf = zs::test::machineCorpus(zs::test::kElfFiles, mb * 1000000 * 3 / 10);
  const Bytes text = zs::test::machineCorpus(zs::test::kTextFiles, mb * 1000000 / 5);
  bool ok = measure("Windows DLLs (x86)", pe) && measure("ELF programs", elf) && measure("text", text);
  Bytes all = pe;
  all.insert(all.end(), elf.begin(), elf.end());
  all.insert(all.end(), text.begin(), text.end());
  ok = ok && measure("all of the above", all);
  return ok ? 0 : 1;
}
