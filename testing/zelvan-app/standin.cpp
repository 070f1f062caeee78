// A stand-in for one of Zelvan's programs (Zelvan.exe, ZelvanLauncher.exe, zelvan-cli.exe): it
// prints its name and what it was given, and exits with 0. Zelvan.exe takes the warm-up argument
// "--warmup" like the real one. When ZELVAN_STANDIN_LOG names a file, the same line is appended
// there, so that tests can see that (and how) a program was started.
#include <windows.h>

#include <cstdio>
#include <string>

#ifndef ZS_STANDIN_NAME
#error "ZS_STANDIN_NAME names the program"
#endif

int wmain(int argc, wchar_t** argv) {
  std::wstring line = ZS_STANDIN_NAME;
  line += L":";
  for (int i = 1; i < argc; ++i) {
    line += L" [";
    line += argv[i];
    line += L"]";
  }
  for (int i = 1; i < argc; ++i) {
    if (lstrcmpiW(argv[i], L"--warmup") == 0) line += L" (warm-up)";
  }
  wchar_t env[64];
  if (GetEnvironmentVariableW(L"ZELVAN_WARMUP", env, 64) > 0 && env[0] != 0) {
    line += L" ZELVAN_WARMUP=";
    line += env;
  }
  std::fwprintf(stdout, L"%ls\n", line.c_str());

  wchar_t logPath[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"ZELVAN_STANDIN_LOG", logPath, MAX_PATH);
  if (n > 0 && n < MAX_PATH) {
    HANDLE log = CreateFileW(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
      line += L"\r\n";
      const int bytes = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), nullptr, 0,
                                            nullptr, nullptr);
      std::string utf8(static_cast<size_t>(bytes), '\0');
      WideCharToMultiByte(CP_UTF8, 0, line.c_str(), static_cast<int>(line.size()), utf8.data(), bytes, nullptr,
                          nullptr);
      DWORD written = 0;
      WriteFile(log, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
      CloseHandle(log);
    }
  }
  return 0;
}
