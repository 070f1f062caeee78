// Benchmark (run by hand, under Wine or Windows): what one flush costs in the folder given, the
// floor under an install's time. Three cases, each over COUNT flushes:
//   - a small record appended to one file and flushed, as the journal does for every change;
//   - a new file of SIZE bytes written and flushed, one after the other, as staging once did;
//   - the same on 4, 8 and 16 threads at once (staging writes with several).
//
//   flush_bench.exe FOLDER [COUNT [SIZE]]     (defaults: 500 flushes, 90,000-byte files)
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "platform/files.h"

namespace {

double now() {
  LARGE_INTEGER f, t;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&t);
  return double(t.QuadPart) / double(f.QuadPart);
}

bool appendAndFlush(const std::wstring& folder, int count) {
  const std::wstring path = folder + L"\\journal.bin";
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const char record[] = "PUT\tC:\\Program Files\\Zelvan\\Corpus\\wine32\\some-library.dll\tcrc\n";
  bool ok = true;
  for (int i = 0; i < count && ok; ++i) {
    DWORD wrote = 0;
    ok = WriteFile(h, record, sizeof(record) - 1, &wrote, nullptr) && FlushFileBuffers(h);
  }
  CloseHandle(h);
  DeleteFileW(path.c_str());
  return ok;
}

// Writes `count` new files with `threads` writers; false when one cannot be written.
bool writeFiles(const std::wstring& folder, int count, size_t size, int threads) {
  const std::vector<char> data(size, 'z');
  std::atomic<int> next{0};
  std::atomic<bool> ok{true};
  auto work = [&] {
    for (int i = next++; i < count; i = next++) {
      if (!zs::writeNewFile(folder + L"\\f" + std::to_wstring(i) + L".bin", data.data(), data.size())) ok = false;
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  for (int i = 0; i < count; ++i) DeleteFileW((folder + L"\\f" + std::to_wstring(i) + L".bin").c_str());
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2 || argc > 4) {
    std::fwprintf(stderr, L"usage: flush_bench FOLDER [COUNT [SIZE]]\n");
    return 2;
  }
  const std::wstring folder = argv[1];
  const int count = argc > 2 ? static_cast<int>(std::wcstol(argv[2], nullptr, 10)) : 500;
  const size_t size = argc > 3 ? static_cast<size_t>(std::wcstoul(argv[3], nullptr, 10)) : 90000;
  if (count <= 0) return 2;
  double t = now();
  if (!appendAndFlush(folder, count)) return 1;
  std::printf("small append + flush: %.2f ms each\n", (now() - t) * 1000 / count);
  for (int threads : {1, 4, 8, 16}) {
    t = now();
    if (!writeFiles(folder, count, size, threads)) return 1;
    std::printf("new %u-byte file + flush, %d writer%s: %.2f ms each\n", static_cast<unsigned>(size), threads, threads == 1 ? "" : "s",
                (now() - t) * 1000 / count);
  }
  return 0;
}
