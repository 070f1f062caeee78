// The signed-in user, for an elevated setup that may run under another administrator's account:
// that user's token (found once per process), acting as that user for a call, starting a
// process with the token, and opening a file through the desktop shell, which runs as that user.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "platform/process.h"

namespace zs {

struct UserTokens {
  HANDLE impersonation = nullptr;  // query and impersonate; null when no user token was found
  HANDLE primary = nullptr;        // only when the user's token is not elevated
};

// How the token was found, for the caller's log line.
enum class UserTokenSource { None, LocalSystem, DesktopShell, OwnProcess };

// Finds the token afresh; the caller owns the handles (closeUserTokens).
UserTokens acquireUserTokens(UserTokenSource* source = nullptr);
void closeUserTokens(UserTokens& tokens);

// The process-wide tokens: found on the first call, then only read. The first call must come
// from the main thread before other threads exist (the known-folder record makes it).
const UserTokens& signedInUserTokens();

// True when the token is elevated or when that cannot be told.
bool isElevated(HANDLE token);

// Runs the callable on this thread while impersonating the signed-in user; false (and the
// callable not run) without a token or when impersonation fails.
bool runAsUser(const std::function<void()>& work);

// Starts a process with the primary token (error 1008 without one); see runWithToken.
ProcessResult runAsSignedInUser(const std::wstring& program, const std::wstring& arguments,
                                const std::wstring& workingDirectory,
                                const std::wstring& extraEnvironment, DWORD timeLimitMs,
                                const ProcessHooks& hooks);

// Asks the desktop shell to open the file; logs "Couldn't start %s as the signed-in user." on
// failure.
bool openAsSignedInUser(const std::wstring& file, const std::wstring& arguments,
                        const std::wstring& workingDirectory);

}  // namespace zs
