// The warm-up: Zelvan is run once in the background as the signed-in user, never elevated, so
// that its first real start is quick. It happens before the commit, so it can still be cancelled;
// its outcome is only logged and never fails the install.
#pragma once

#include <functional>
#include <string>

#include "install/install_state.h"
#include "platform/process.h"

namespace zs {

// Whose warm-up this is: whether that user's token is known, whether a token of that user that is
// not elevated exists, and how a program is started with it.
struct WarmUpUser {
  bool tokenKnown = false;
  bool unelevated = false;
  std::function<ProcessResult(const std::wstring& program, const std::wstring& arguments,
                              const std::wstring& workingDirectory, const std::wstring& environment,
                              DWORD timeLimitMs, const ProcessHooks& hooks)>
      start;
};

// The signed-in user of this process (signed_in_user.h).
WarmUpUser signedInWarmUpUser();

// Runs every "warmup" [Run] entry for the given user; its progress is the warm-up step's, up to 90
// percent. True when at least one of them started.
bool runWarmUp(InstallRun& run, const WarmUpUser& user);

// The transaction's step, as the signed-in user; true when a warm-up ran.
bool warmUp(InstallRun& run);

}  // namespace zs
