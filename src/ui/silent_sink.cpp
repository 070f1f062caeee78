#include "ui/silent_sink.h"

#include "base/log.h"

namespace zs {

namespace {

struct StepText {
  const wchar_t* name;
  const wchar_t* detail;
};

constexpr StepText kInstallSteps[kInstallStepCount] = {
    {L"Copying files", L"Putting Zelvan's files in place."},
    {L"Setting up shortcuts and file types", L"Adding the Start menu entry and file types."},
    {L"Optimizing for instant start", L"Preparing Zelvan for this PC. This happens once and can take a minute."},
    {L"Checking the result", L"Making sure the prepared copy matches this version."},
    {L"Warming up Zelvan", L"Running Zelvan once in the background so the first launch is quick."},
};

constexpr StepText kUninstallSteps[kUninstallStepCount] = {
    {L"Removing native images", L"Taking back what setup prepared."},
    {L"Removing shortcuts and file types", L"Tidying up the Start menu and file types."},
    {L"Removing files", L"Removing Zelvan's program files."},
};

template <size_t N>
const StepText* lookup(const StepText (&table)[N], int32_t step) {
  if (step < 0 || static_cast<size_t>(step) >= N) return nullptr;
  return &table[step];
}

}  // namespace

const wchar_t* installStepName(int32_t step) {
  const StepText* t = lookup(kInstallSteps, step);
  return t ? t->name : L"";
}
const wchar_t* installStepDetail(int32_t step) {
  const StepText* t = lookup(kInstallSteps, step);
  return t ? t->detail : L"";
}
const wchar_t* uninstallStepName(int32_t step) {
  const StepText* t = lookup(kUninstallSteps, step);
  return t ? t->name : L"";
}
const wchar_t* uninstallStepDetail(int32_t step) {
  const StepText* t = lookup(kUninstallSteps, step);
  return t ? t->detail : L"";
}

void SilentSink::onStep(InstallStep step, StepStatus status, int32_t percent) {
  (void)percent;
  if (reported_ && step == lastStep_ && status == lastStatus_) return;
  reported_ = true;
  lastStep_ = step;
  lastStatus_ = status;
  if (status == StepStatus::Running) logf(L"Step: %ls", installStepName(step));
}

void SilentSink::onRollingBack() { logLine(L"Putting things back."); }

}  // namespace zs
