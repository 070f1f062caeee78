// A stand-in for ngen.exe in tests. It keeps the set of "native images" it holds in images.txt
// next to itself, one a line: the assembly path, and "|" with the MVID the image was made from
// when the assembly's MVID could be read. So a test can see what install and uninstall did.
//
// - "install" adds (replacing an earlier image of the same path) and writes a "Compiling assembly"
//   line like the real tool; "uninstall" removes.
// - "display" lists the images of the assembly in the real tool's verbose layout (a heading with
//   the display name, then an indented "Source MVID:" line). When display.txt lies next to the
//   stand-in, its content is written instead, as it is.
// - An assembly whose name holds "fail" makes every verb exit with 3; "hang" waits for a minute.
//   "stale" makes the first install of it record a wrong MVID (a later one records the right one),
//   "never" makes every install record a wrong MVID. With hang-queue.txt beside it,
//   "executeQueuedItems" waits for a minute.
// - When calls.txt lies next to the stand-in, every call is added to it: the verb, the assembly,
//   and the MVID of the assembly file as it is at that moment ("-" when it cannot be read), so a
//   test sees which build was on disk.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ngen/native_image_check.h"
#include "ngen/ngen.h"
#include "base/text.h"

namespace {

constexpr char kWrongMvid[] = "{00000000-0000-0000-0000-000000000001}";

std::wstring besideSelf(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  return path.substr(0, path.rfind(L'\\')) + L"\\" + name;
}

bool readFile(const std::wstring& path, std::string& out) {
  FILE* f = _wfopen(path.c_str(), L"rb");
  if (f == nullptr) return false;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), f)) > 0) out.append(buf, n);
  fclose(f);
  return true;
}

std::vector<std::string> readLines(const std::wstring& path) {
  std::vector<std::string> lines;
  std::string text;
  readFile(path, text);
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    begin = end + 1;
  }
  return lines;
}

void writeLines(const std::wstring& path, const std::vector<std::string>& lines) {
  FILE* f = _wfopen(path.c_str(), L"wb");
  if (f == nullptr) return;
  for (const std::string& line : lines) fprintf(f, "%s\n", line.c_str());
  fclose(f);
}

std::string pathOf(const std::string& image) { return image.substr(0, image.find('|')); }

std::string mvidOf(const std::string& image) {
  size_t bar = image.find('|');
  return bar == std::string::npos ? std::string() : image.substr(bar + 1);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  std::wstring verb = argv[1];
  std::wstring assembly = argc >= 3 && argv[2][0] != L'/' ? argv[2] : L"";
  std::string name = zs::wideToUtf8(assembly);
  std::wstring extras;
  for (int i = assembly.empty() ? 2 : 3; i < argc; ++i) {
    extras += L' ';
    extras += argv[i];
  }
  std::vector<std::string> images = readLines(besideSelf(L"images.txt"));
  std::vector<std::string> kept;
  std::string previous;
  for (const std::string& image : images) {
    if (_stricmp(pathOf(image).c_str(), name.c_str()) != 0) {
      kept.push_back(image);
    } else {
      previous = image;
    }
  }
  std::wstring onDisk;
  if (assembly.empty() || !zs::readMvid(assembly, onDisk)) onDisk = L"-";
  FILE* calls = GetFileAttributesW(besideSelf(L"calls.txt").c_str()) == INVALID_FILE_ATTRIBUTES
                    ? nullptr
                    : _wfopen(besideSelf(L"calls.txt").c_str(), L"ab");
  if (calls != nullptr) {
    fprintf(calls, "%ls%ls %s %ls\n", verb.c_str(), extras.c_str(), name.c_str(), onDisk.c_str());
    fclose(calls);
  }
  printf("Fake ngen %ls%ls\n", verb.c_str(), extras.c_str());
  fflush(stdout);
  if (name.find("fail") != std::string::npos) return 3;
  if (name.find("hang") != std::string::npos) Sleep(60000);
  if (verb == L"executeQueuedItems" && GetFileAttributesW(besideSelf(L"hang-queue.txt").c_str()) != INVALID_FILE_ATTRIBUTES)
    Sleep(60000);
  if (verb == L"install") {
    printf("Compiling assembly %s\n", name.c_str());
    std::wstring mvid = onDisk;
    std::string record = name;
    if (mvid != L"-") {
      bool wrong = name.find("never") != std::string::npos ||
                   (name.find("stale") != std::string::npos && previous.empty());
      record += '|';
      record += wrong ? std::string(kWrongMvid) : zs::wideToUtf8(mvid);
    }
    kept.push_back(record);
  } else if (verb == L"display") {
    std::string canned;
    if (readFile(besideSelf(L"display.txt"), canned)) {
      fwrite(canned.data(), 1, canned.size(), stdout);
      return 0;
    }
    printf("NGEN Roots:\n\n%s\n\nNative Images:\n\n", name.c_str());
    if (!previous.empty()) {
      printf("%s, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null\n", zs::wideToUtf8(zs::assemblyStem(assembly)).c_str());
      printf("\tSource MVID:\t%s\n\tNGen GUID sign:\t{0}\n", mvidOf(previous).c_str());
    }
    return 0;
  } else if (verb != L"uninstall") {
    return 0;
  }
  writeLines(besideSelf(L"images.txt"), kept);
  return 0;
}
