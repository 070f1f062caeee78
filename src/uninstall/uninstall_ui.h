// The interface through which the uninstall run asks and reports. The uninstaller owns it and its
// front ends implement it (the drawn window, message boxes); a silent run passes none.
//
// The base answers every question the silent way: go on, do not close Zelvan, do not retry.
#pragma once

#include <cstdint>

#include "journal/engine_sink.h"

namespace zs {

// The uninstall's reported steps, in the order they run.
enum class UninstallStep : int32_t {
  NativeImages = 0,
  ShortcutsAndFileTypes = 1,
  Files = 2,
};
inline constexpr int32_t kUninstallStepCount = 3;

namespace uninstall {

class Ui {
 public:
  virtual ~Ui() = default;
  virtual bool confirmUninstall() { return true; }
  virtual bool askCloseApp() { return false; }
  virtual bool askRetryClose() { return false; }
  virtual void onProgress(UninstallStep step, StepStatus status) { (void)step, (void)status; }
  virtual void onRecordMissing() {}
  virtual void onFinished(bool restartNeeded) { (void)restartNeeded; }
  // The sink for the recovery and rollback inside the uninstall run; not owned by the caller.
  virtual EngineSink* engineSink() { return nullptr; }
};

}  // namespace uninstall

}  // namespace zs
