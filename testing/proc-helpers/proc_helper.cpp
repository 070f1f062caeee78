// Stand-in child process for the platform tests. The first argument picks the role:
//   print-ab                 writes "a", CR LF, "b" and exits 0
//   lines N                  writes N lines "line <i>" and exits 0
//   exit N                   exits with code N
//   sleep MS                 sleeps MS milliseconds and exits 0
//   forever                  sleeps until killed
//   grandchild PIDFILE       starts "forever" sharing its output, writes the grandchild's id to
//                            PIDFILE, prints "started" and exits 0
//   env NAME                 prints NAME=<value> or NAME unset
//   cmdline                  prints its command line
//   envis NAME VALUE         exits 0 when the variable NAME has that value, 1 otherwise
//   touch FILE               creates FILE and exits 0
//   window [ignore-close]    shows a top-level window; WM_CLOSE ends it unless ignore-close
//   hold FILE                opens FILE without sharing, shows a window like "window"
//   holdread FILE            opens FILE sharing reads only (it can be read and run, not deleted),
//                            shows a window like "window"
//   answer CAPTION BUTTON    waits up to 60 s for a message box with that caption and answers
//                            it with BUTTON (yes, no or ok); exits 6 when none came
//   handle HEX               prints "inherited" when the handle of that value reads "zs-marker"
//                            from the start of its file, "not inherited" otherwise
//   result N CODE MS         writes CODE as a 32-bit number to the handle whose decimal value is
//                            N, then sleeps MS milliseconds and exits 0 (a copy that tells its
//                            launcher its result and goes on)
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

bool ignoreClose = false;

LRESULT CALLBACK windowProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_CLOSE) {
    if (ignoreClose) return 0;
    DestroyWindow(w);
    return 0;
  }
  if (msg == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(w, msg, wp, lp);
}

int runWindow() {
  WNDCLASSW wc{};
  wc.lpfnWndProc = windowProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"ZsProcHelperWindow";
  RegisterClassW(&wc);
  HWND w = CreateWindowExW(0, wc.lpszClassName, L"helper", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                           nullptr, nullptr, wc.hInstance, nullptr);
  if (w == nullptr) return 3;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}

std::wstring ownPath() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, n);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);  // bytes as written, no CR added
  std::wstring role = argc > 1 ? argv[1] : L"";
  if (role == L"print-ab") {
    std::fwrite("a\r\nb", 1, 4, stdout);
    return 0;
  }
  if (role == L"lines" && argc > 2) {
    int n = _wtoi(argv[2]);
    for (int i = 0; i < n; ++i) std::printf("line %d\n", i);
    return 0;
  }
  if (role == L"exit" && argc > 2) return _wtoi(argv[2]);
  if (role == L"sleep" && argc > 2) {
    Sleep(static_cast<DWORD>(_wtoi(argv[2])));
    return 0;
  }
  if (role == L"forever") {
    for (;;) Sleep(1000);
  }
  if (role == L"grandchild" && argc > 2) {
    std::wstring self = ownPath();
    std::wstring cmd = L"\"" + self + L"\" forever";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(self.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &si, &pi)) {
      return 4;
    }
    FILE* f = _wfopen(argv[2], L"w");
    if (f != nullptr) {
      std::fprintf(f, "%lu", pi.dwProcessId);
      std::fclose(f);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::printf("started\n");
    return 0;
  }
  if (role == L"env" && argc > 2) {
    wchar_t value[1024];
    DWORD n = GetEnvironmentVariableW(argv[2], value, 1024);
    if (n == 0 || n >= 1024) std::printf("%ls unset\n", argv[2]);
    else std::printf("%ls=%ls\n", argv[2], value);
    return 0;
  }
  if (role == L"envis" && argc > 3) {
    wchar_t value[1024];
    DWORD n = GetEnvironmentVariableW(argv[2], value, 1024);
    return n > 0 && n < 1024 && std::wstring(value, n) == argv[3] ? 0 : 1;
  }
  if (role == L"touch" && argc > 2) {
    FILE* f = _wfopen(argv[2], L"w");
    if (f == nullptr) return 1;
    std::fclose(f);
    return 0;
  }
  if (role == L"answer" && argc > 3) {
    std::wstring button = argv[3];
    WPARAM id = button == L"yes" ? IDYES : button == L"no" ? IDNO : IDOK;
    for (int i = 0; i < 600; ++i) {
      HWND box = FindWindowW(L"#32770", argv[2]);
      if (box != nullptr) return PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0) ? 0 : 7;
      Sleep(100);
    }
    return 6;
  }
  if (role == L"handle" && argc > 2) {
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoul(argv[2], nullptr, 16)));
    char bytes[9] = {};
    DWORD got = 0;
    OVERLAPPED at{};  // from offset 0, whatever the file pointer
    bool marker = ReadFile(h, bytes, sizeof(bytes), &got, &at) && got == sizeof(bytes) &&
                  std::string(bytes, sizeof(bytes)) == "zs-marker";
    std::printf(marker ? "inherited\n" : "not inherited\n");
    return 0;
  }
  if (role == L"result" && argc > 4) {
    HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoul(argv[2], nullptr, 10)));
    int32_t code = static_cast<int32_t>(_wtoi(argv[3]));
    DWORD wrote = 0;
    if (!WriteFile(h, &code, sizeof(code), &wrote, nullptr) || wrote != sizeof(code)) return 3;
    CloseHandle(h);
    Sleep(static_cast<DWORD>(_wtoi(argv[4])));
    return 0;
  }
  if (role == L"cmdline") {
    std::printf("%ls\n", GetCommandLineW());
    return 0;
  }
  if (role == L"window") {
    ignoreClose = argc > 2 && std::wstring(argv[2]) == L"ignore-close";
    return runWindow();
  }
  if ((role == L"hold" || role == L"holdread") && argc > 2) {
    bool shared = role == L"holdread";
    HANDLE h = CreateFileW(argv[2], shared ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE, shared ? FILE_SHARE_READ : 0,
                           nullptr, shared ? OPEN_EXISTING : OPEN_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return 5;
    int rc = runWindow();
    CloseHandle(h);
    return rc;
  }
  // Takes a kernel object name with an event, so that a mutex of that name cannot be made; then
  // writes the ready file and waits to be killed.
  if (role == L"squat" && argc > 3) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, argv[2]);
    if (event == nullptr) return 5;
    FILE* f = _wfopen(argv[3], L"w");
    if (f == nullptr) return 1;
    std::fclose(f);
    WaitForSingleObject(event, INFINITE);
    return 0;
  }
  std::fprintf(stderr, "unknown role\n");
  return 2;
}
