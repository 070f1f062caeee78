// Benchmark of the setup's own (32-bit) LZMS decoding: decodes a buffer file made by lzms_bench
// (LZMS_BENCH_SAVE), or a payload's block, a few times and prints the output rate. WORKERS: how many
// chunks are decoded at once, 0 (the default) for one per hardware thread, as the setup does. Run
// by hand under Wine or Windows.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "payload/lzms/buffer_format.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2 && argc != 3) {
    std::fwprintf(stderr, L"usage: lzms_bench_win BUFFER.lzms [WORKERS]\n");
    return 2;
  }
  const unsigned workers = argc == 3 ? static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10)) : 0;
  FILE* f = _wfopen(argv[1], L"rb");
  if (f == nullptr) return 1;
  std::vector<uint8_t> packed;
  uint8_t chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0) packed.insert(packed.end(), chunk, chunk + n);
  std::fclose(f);
  zs::lzms::BufferDecoder decoder(workers);
  uint64_t needed = 0;
  if (decoder.decompress(packed.data(), packed.size(), nullptr, 0, needed) != zs::lzms::BufferResult::OutputTooSmall) {
    return 1;
  }
  std::vector<uint8_t> out(static_cast<size_t>(needed));
  LARGE_INTEGER freq, t0, t1;
  QueryPerformanceFrequency(&freq);
  double best = 1e30;
  for (int run = 0; run < 3; ++run) {
    QueryPerformanceCounter(&t0);
    if (decoder.decompress(packed.data(), packed.size(), out.data(), out.size(), needed) != zs::lzms::BufferResult::Ok) {
      std::fwprintf(stderr, L"decoding failed\n");
      return 1;
    }
    QueryPerformanceCounter(&t1);
    const double s = double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart);
    if (s < best) best = s;
  }
  std::printf("32-bit decode, %u workers: %.1f MB -> %.1f MB in %.3f s: %.1f MB/s\n", workers, packed.size() / 1e6,
              out.size() / 1e6, best, out.size() / 1e6 / best);
  return 0;
}
