// A stand-in for ngen.exe in tests. It keeps the set of "native images" it holds in images.txt
// next to itself (one assembly path a line), so that a test can see what install and uninstall
// did. "install" adds, "uninstall" removes; both write a "Compiling assembly" line like the real
// tool. An assembly whose name holds "fail" makes it exit with 3; one whose name holds "hang"
// makes it wait for a minute.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::wstring imagesFile() {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  return path.substr(0, path.rfind(L'\\')) + L"\\images.txt";
}

std::vector<std::string> readLines(const std::wstring& path) {
  std::vector<std::string> lines;
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (f == nullptr) return lines;
  char buf[4096];
  while (fgets(buf, sizeof(buf), f) != nullptr) {
    std::string line(buf);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  fclose(f);
  return lines;
}

void writeLines(const std::wstring& path, const std::vector<std::string>& lines) {
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (f == nullptr) return;
  for (const std::string& line : lines) fprintf(f, "%s\n", line.c_str());
  fclose(f);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  std::wstring verb = argv[1];
  std::wstring assembly = argc >= 3 && argv[2][0] != L'/' ? argv[2] : L"";
  std::string name(assembly.begin(), assembly.end());  // tests use ASCII paths
  std::wstring extras;
  for (int i = assembly.empty() ? 2 : 3; i < argc; ++i) extras += std::wstring(L" ") + argv[i];
  std::vector<std::string> images = readLines(imagesFile());
  std::vector<std::string> kept;
  for (const std::string& image : images) {
    if (_stricmp(image.c_str(), name.c_str()) != 0) kept.push_back(image);
  }
  printf("Fake ngen %ls%ls\n", verb.c_str(), extras.c_str());
  fflush(stdout);
  if (name.find("fail") != std::string::npos) return 3;
  if (name.find("hang") != std::string::npos) Sleep(60000);
  if (verb == L"install") {
    printf("Compiling assembly %s\n", name.c_str());
    kept.push_back(name);
  } else if (verb != L"uninstall") {
    return 0;
  }
  writeLines(imagesFile(), kept);
  return 0;
}
