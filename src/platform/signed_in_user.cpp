#include "platform/signed_in_user.h"

#include <objbase.h>
#include <wtsapi32.h>

#include <vector>

#include "base/log.h"
#include "platform/handle.h"
#include "platform/shell.h"
#include "platform/system_library.h"
#include "base/text.h"

namespace zs {
namespace {

constexpr DWORD kSourceTokenRights = TOKEN_DUPLICATE | TOKEN_IMPERSONATE | TOKEN_QUERY;
constexpr DWORD kPrimaryRights = TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY |
                                 TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID;

bool runsAsLocalSystem() {
  HANDLE raw = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return false;
  UniqueHandle token(raw);
  DWORD size = 0;
  GetTokenInformation(raw, TokenUser, nullptr, 0, &size);
  if (size == 0) return false;
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(raw, TokenUser, buffer.data(), size, &size)) return false;
  return IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, WinLocalSystemSid);
}

HANDLE desktopShellToken() {
  HWND shell = GetShellWindow();
  if (shell == nullptr) return nullptr;
  DWORD pid = 0;
  GetWindowThreadProcessId(shell, &pid);
  if (pid == 0) return nullptr;
  UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  if (!process) return nullptr;
  HANDLE token = nullptr;
  if (!OpenProcessToken(process.get(), kSourceTokenRights, &token)) return nullptr;
  return token;
}

bool sessionUserIsThisUser() {
  using QueryFn = BOOL(WINAPI*)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);
  using FreeFn = void(WINAPI*)(PVOID);
  HMODULE wts = loadSystemLibrary(L"wtsapi32.dll");
  auto query = systemProc<QueryFn>(wts, "WTSQuerySessionInformationW");
  auto release = systemProc<FreeFn>(wts, "WTSFreeMemory");
  if (query == nullptr || release == nullptr) return false;
  wchar_t* sessionUser = nullptr;
  DWORD bytes = 0;
  if (!query(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION, WTSUserName, &sessionUser, &bytes) ||
      sessionUser == nullptr) {
    return false;
  }
  std::wstring session = sessionUser;
  release(sessionUser);
  wchar_t own[256];
  DWORD length = 256;
  if (!GetUserNameW(own, &length)) return false;
  return !session.empty() && equalsNoCase(session, own);
}

}  // namespace

bool isElevated(HANDLE token) {
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size)) {
    return true;
  }
  return elevation.TokenIsElevated != 0;
}

UserTokens acquireUserTokens(UserTokenSource* source) {
  UserTokens tokens;
  UserTokenSource found = UserTokenSource::None;
  if (runsAsLocalSystem()) {
    if (source != nullptr) *source = UserTokenSource::LocalSystem;
    return tokens;
  }
  UniqueHandle token(desktopShellToken());
  if (token) {
    found = UserTokenSource::DesktopShell;
  } else if (sessionUserIsThisUser()) {
    HANDLE own = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), kSourceTokenRights, &own)) {
      token.reset(own);
      found = UserTokenSource::OwnProcess;
    }
  }
  if (token) {
    HANDLE impersonation = nullptr;
    if (DuplicateTokenEx(token.get(), TOKEN_QUERY | TOKEN_IMPERSONATE, nullptr,
                         SecurityImpersonation, TokenImpersonation, &impersonation)) {
      tokens.impersonation = impersonation;
      if (!isElevated(token.get())) {
        HANDLE primary = nullptr;
        if (DuplicateTokenEx(token.get(), kPrimaryRights, nullptr, SecurityImpersonation,
                             TokenPrimary, &primary)) {
          tokens.primary = primary;
        }
      }
    } else {
      found = UserTokenSource::None;
    }
  }
  if (source != nullptr) *source = found;
  return tokens;
}

void closeUserTokens(UserTokens& tokens) {
  if (tokens.impersonation != nullptr) CloseHandle(tokens.impersonation);
  if (tokens.primary != nullptr) CloseHandle(tokens.primary);
  tokens = UserTokens{};
}

namespace {
struct ProcessUser {
  UserTokens tokens;
  UserTokenSource source = UserTokenSource::None;
};
const ProcessUser& processUser() {
  static const ProcessUser user = [] {
    ProcessUser u;
    u.tokens = acquireUserTokens(&u.source);
    return u;
  }();
  return user;
}
}  // namespace

const UserTokens& signedInUserTokens() { return processUser().tokens; }

bool runAsUser(const std::function<void()>& work) {
  HANDLE token = signedInUserTokens().impersonation;
  if (token == nullptr || !SetThreadToken(nullptr, token)) return false;
  struct Revert {
    ~Revert() { RevertToSelf(); }
  } revert;
  work();
  return true;
}

ProcessResult runAsSignedInUser(const std::wstring& program, const std::wstring& arguments,
                                const std::wstring& workingDirectory,
                                const std::wstring& extraEnvironment, DWORD timeLimitMs,
                                const ProcessHooks& hooks) {
  return runWithToken(signedInUserTokens().primary, program, arguments, workingDirectory,
                      extraEnvironment, timeLimitMs, hooks);
}

bool openAsSignedInUser(const std::wstring& file, const std::wstring& arguments,
                        const std::wstring& workingDirectory) {
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  bool ok = shellExecuteAsUser(file, arguments, workingDirectory);
  if (SUCCEEDED(init)) CoUninitialize();
  if (!ok) logf(L"Couldn't start %ls as the signed-in user.", file.c_str());
  return ok;
}

}  // namespace zs
