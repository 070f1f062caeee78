// Silent mode, and the texts every front end shows for the engines' steps.
#pragma once

#include <cstdint>

#include "journal/engine_sink.h"
#include "uninstall/uninstall_ui.h"

namespace zs {

// The name and detail line of each install and uninstall step. Numbers outside the steps (which
// only a broken message could carry) give empty texts.
const wchar_t* installStepName(int32_t step);
const wchar_t* installStepDetail(int32_t step);
const wchar_t* uninstallStepName(int32_t step);
const wchar_t* uninstallStepDetail(int32_t step);
inline const wchar_t* installStepName(InstallStep step) { return installStepName(static_cast<int32_t>(step)); }

// Silent mode: one "Step: <name>" log line per step, and "Putting things back." on rollback.
class SilentSink : public EngineSink {
 public:
  void onStep(InstallStep step, StepStatus status, int32_t percent) override;
  void onRollingBack() override;

 private:
  InstallStep lastStep_ = InstallStep::CopyingFiles;
  StepStatus lastStatus_ = StepStatus::Done;
  bool reported_ = false;
};

}  // namespace zs
