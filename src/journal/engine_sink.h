// The interface through which the install engine reports: the transaction, its commit and
// rollback, and the start-up recovery. The engine owns it and front ends implement it (the silent
// sink, the wizard's worker link, the start-up rollback window).
//
// Engines hold a plain pointer to a sink (possibly null) and never own it. The base does nothing
// and answers every question the silent way, so a null sink and the base behave alike.
#pragma once

#include <cstdint>
#include <string>

namespace zs {

// The install's reported steps, in the order they run.
enum class InstallStep : int32_t {
  CopyingFiles = 0,
  ShortcutsAndFileTypes = 1,
  NativeImages = 2,
  CheckingImages = 3,
  WarmingUp = 4,
};
inline constexpr int32_t kInstallStepCount = 5;

// A step's state as a front end shows it. The values travel in window messages.
enum class StepStatus : int32_t {
  Running = 1,
  Done = 2,
};

class EngineSink {
 public:
  virtual ~EngineSink() = default;
  // A step starts, moves (percent 0..100 within the step) or ends.
  virtual void onStep(InstallStep step, StepStatus status, int32_t percent) { (void)step, (void)status, (void)percent; }
  // Right after the commit record is durable; from then on a cancel is refused.
  virtual void onCommitted() {}
  // Once, when a rollback starts.
  virtual void onRollingBack() {}
  // A file stayed in use through a series of tries; true asks for another series.
  virtual bool askRetryInUse(const std::wstring& fileName) { (void)fileName; return false; }
};

}  // namespace zs
