#include "install/warm_up.h"

#include <algorithm>

#include "base/log.h"
#include "platform/signed_in_user.h"
#include "journal/engine_sink.h"

namespace zs {

namespace {

constexpr uint32_t kDefaultTimeoutSeconds = 60;

}  // namespace

WarmUpUser signedInWarmUpUser() {
  WarmUpUser user;
  user.tokenKnown = signedInUserTokens().impersonation != nullptr;
  user.unelevated = signedInUserTokens().primary != nullptr;
  user.start = runAsSignedInUser;
  return user;
}

bool runWarmUp(InstallRun& run, const WarmUpUser& user) {
  run.cancelPoint();
  if (run.request.noRun) {
    logLine(L"Warm-up skipped: /norun.");
    return false;
  }
  bool ran = false;
  for (const RunEntry& entry : run.script.runs) {
    if (entry.when != L"warmup" || !entry.enabled) continue;
    std::wstring file = expandPaths(entry.file, run.variables);
    std::wstring args = expandPaths(entry.args, run.variables);
    if (!user.tokenKnown) {
      logLine(L"Warm-up skipped: no signed-in user's token.");
      continue;
    }
    if (!user.unelevated) {
      logLine(L"Warm-up skipped: the only token here is elevated, and the warm-up never runs elevated.");
      continue;
    }
    // Kept below what a 32-bit count of milliseconds holds (and below "no limit").
    const uint32_t seconds = std::min<uint32_t>(entry.timeout == 0 ? kDefaultTimeoutSeconds : entry.timeout, 4000000u);
    const DWORD limitMs = seconds * 1000u;
    logf(L"Warm-up: \"%ls\" %ls", file.c_str(), args.c_str());
    const ULONGLONG startMs = GetTickCount64();

    ProcessHooks hooks;
    hooks.tick = [&] {
      const double ratio = std::min(1.0, static_cast<double>(GetTickCount64() - startMs) / limitMs);
      run.report(InstallStep::WarmingUp, StepStatus::Running, static_cast<int32_t>(90 * ratio));
    };
    hooks.cancel = [&] { return run.cancel.cancelRequested(); };
    ProcessResult result = user.start(file, args, run.folder, entry.env, limitMs, hooks);
    ran = ran || result.started;
    if (result.started) {
      logf(L"Warm-up exit %lu%ls", static_cast<unsigned long>(result.exitCode),
           result.timedOut ? L" (ended at its limit)" : L"");
    } else {
      logWinError(L"Warm-up could not start", result.error);
    }
    run.cancelPoint();
  }
  return ran;
}

bool warmUp(InstallRun& run) { return runWarmUp(run, signedInWarmUpUser()); }

}  // namespace zs
