// The two interfaces through which the engines report, and their do-nothing bases.
//
// The install transaction, its commit and rollback, and the start-up recovery report to an
// EngineSink; the uninstall run reports to an uninstall::Ui. Engines hold a plain pointer to one
// (possibly null) and never own it. The bases do nothing and answer every question the silent way,
// so a null sink and the base behave alike.
#pragma once

#include <cstdint>
#include <string>

namespace zs {

// Step status values sent with onStep and onProgress.
inline constexpr int32_t kStepRunning = 1;
inline constexpr int32_t kStepDone = 2;

// Install steps 0..4 and uninstall steps 0..2: the names and detail lines every front end shows.
// Out-of-range numbers give empty texts.
const wchar_t* installStepName(int32_t step);
const wchar_t* installStepDetail(int32_t step);
const wchar_t* uninstallStepName(int32_t step);
const wchar_t* uninstallStepDetail(int32_t step);
inline constexpr int32_t kInstallStepCount = 5;
inline constexpr int32_t kUninstallStepCount = 3;

class EngineSink {
 public:
  virtual ~EngineSink() = default;
  // step 0..4, status running or done, percent 0..100 within the step.
  virtual void onStep(int32_t step, int32_t status, int32_t percent) { (void)step, (void)status, (void)percent; }
  // Right after the commit record is durable; from then on a cancel is refused.
  virtual void onCommitted() {}
  // Once, when a rollback starts.
  virtual void onRollingBack() {}
  // A file stayed in use through a series of tries; true asks for another series.
  virtual bool askRetryInUse(const std::wstring& fileName) { (void)fileName; return false; }
};

// Silent mode: one "Step: <name>" log line per step, and "Putting things back." on rollback.
class SilentSink : public EngineSink {
 public:
  void onStep(int32_t step, int32_t status, int32_t percent) override;
  void onRollingBack() override;

 private:
  int32_t lastStep_ = -1;
  int32_t lastStatus_ = 0;
};

namespace uninstall {

class Ui {
 public:
  virtual ~Ui() = default;
  virtual bool confirmUninstall() { return true; }
  virtual bool askCloseApp() { return false; }
  virtual bool askRetryClose() { return false; }
  virtual void onProgress(int32_t step, int32_t status) { (void)step, (void)status; }
  virtual void onRecordMissing() {}
  virtual void onFinished(bool restartNeeded) { (void)restartNeeded; }
  // The sink for the recovery and rollback inside the uninstall run; not owned by the caller.
  virtual EngineSink* engineSink() { return nullptr; }
};

}  // namespace uninstall

}  // namespace zs
