#include "journal/setup_data.h"

#include <windows.h>
#include <shlobj.h>

#include "base/log.h"
#include "platform/files.h"
#include "platform/security.h"
#include "base/text.h"

namespace zs {

namespace {

constexpr int kRenameCandidates = 999;
constexpr int kCreateAttempts = 3;

// Not a link, a real folder, and no account but the trusted ones can change it. The security
// check itself knows which accounts are trusted (under Wine the process's own account too).
bool isOurs(const std::wstring& folder) { return !isLink(folder) && isTrustedFolder(folder); }

bool exists(const std::wstring& path) {
  // A dangling link still exists as a name; only a plain "not there" counts as absent.
  if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
  DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}

}  // namespace

std::wstring setupDataPath() {
  PWSTR programData = nullptr;
  std::wstring path;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramData, KF_FLAG_DONT_VERIFY, nullptr, &programData)) &&
      programData != nullptr && programData[0] != L'\0') {
    path = std::wstring(programData) + L"\\ZelvanSetup";
  }
  CoTaskMemFree(programData);
  return path;
}

bool checkSetupData(const std::wstring& folder) {
  if (folder.empty()) return false;
  if (!exists(folder) || isOurs(folder)) return true;
  for (int n = 1; n <= kRenameCandidates; ++n) {
    std::wstring candidate = folder + format(16, L".bad-%d", n);
    if (exists(candidate)) continue;
    DWORD error = 0;
    if (moveFile(folder, candidate, false, &error)) {
      logf(L"{setupdata} was not ours: renamed to %ls", candidate.c_str());
      return true;
    }
    logWinError(L"{setupdata} is not ours and can't be renamed", error);
    return false;
  }
  return false;
}

bool prepareSetupDataAt(const std::wstring& folder) {
  for (int attempt = 1;; ++attempt) {
    if (!checkSetupData(folder)) return false;
    if (exists(folder)) break;
    DWORD error = 0;
    if (createProtectedFolder(folder, &error)) break;
    if (error != ERROR_ALREADY_EXISTS) {
      logWinError(L"Create {setupdata}", error);
      return false;
    }
    // Someone made it between the check and the create: check what they made.
    if (attempt >= kCreateAttempts) {
      logLine(L"{setupdata} keeps coming back wrong.");
      return false;
    }
  }
  if (!protectFolder(folder)) {
    logLine(L"Could not protect {setupdata}.");
    return false;
  }
  return true;
}

bool prepareSetupData(std::wstring& folder) {
  std::wstring path = setupDataPath();
  if (path.empty() || !prepareSetupDataAt(path)) return false;
  folder = path;
  return true;
}

}  // namespace zs
