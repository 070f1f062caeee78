// zsresource: puts a payload into a prebuilt setup stub, as the RCDATA resource "ZSPAYLOAD"
// (language neutral), replacing one that is there already. Works under Wine too.
//
//   zsresource [--force] SETUP.exe PAYLOAD.bin [OUT.exe]
//
// Without OUT.exe, SETUP.exe is changed in place. --force takes bytes that do not start like a
// payload (tests use it to make damaged setups).
//
// Exit code 0 on success, 1 with a message on failure, 2 for a wrong command line.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int fail(const wchar_t* what, const std::wstring& path, DWORD error) {
  std::fwprintf(stderr, L"zsresource: %ls %ls: Windows error %lu\n", what, path.c_str(), error);
  return 1;
}

bool readFile(const std::wstring& path, std::vector<char>& bytes, DWORD& error) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return false;
  }
  LARGE_INTEGER size{};
  bool ok = GetFileSizeEx(file, &size) != 0 && size.QuadPart < 0x7FFFFFFF;
  if (ok) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    ok = bytes.empty() || (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) != 0 &&
                           read == bytes.size());
  }
  error = ok ? ERROR_SUCCESS : (GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_FILE_TOO_LARGE);
  CloseHandle(file);
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool force = argc > 1 && lstrcmpW(argv[1], L"--force") == 0;
  if (force) {
    --argc;
    ++argv;
  }
  if (argc != 3 && argc != 4) {
    std::fwprintf(stderr, L"usage: zsresource [--force] SETUP.exe PAYLOAD.bin [OUT.exe]\n");
    return 2;
  }
  const std::wstring setup = argv[1];
  const std::wstring payloadPath = argv[2];
  const std::wstring out = argc == 4 ? argv[3] : setup;
  std::vector<char> payload;
  DWORD error = 0;
  if (!readFile(payloadPath, payload, error)) return fail(L"cannot read", payloadPath, error);
  if (!force && (payload.size() < 4 || payload[0] != 'Z' || payload[1] != 'S' || payload[2] != 'P' || payload[3] != '1')) {
    std::fwprintf(stderr, L"zsresource: %ls is not a payload (it does not start with ZSP1)\n", payloadPath.c_str());
    return 1;
  }
  if (out != setup && !CopyFileW(setup.c_str(), out.c_str(), FALSE)) return fail(L"cannot copy to", out, GetLastError());
  HANDLE update = BeginUpdateResourceW(out.c_str(), FALSE);
  if (update == nullptr) return fail(L"cannot open the resources of", out, GetLastError());
  if (!UpdateResourceW(update, MAKEINTRESOURCEW(10) /* RT_RCDATA */, L"ZSPAYLOAD", MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                       payload.data(), static_cast<DWORD>(payload.size()))) {
    error = GetLastError();
    EndUpdateResourceW(update, TRUE);
    return fail(L"cannot put the payload into", out, error);
  }
  if (!EndUpdateResourceW(update, FALSE)) return fail(L"cannot write", out, GetLastError());
  return 0;
}
