// The two front ends that open the drawn window only when there is something to show, on a window
// thread of their own while the calling thread works: the uninstaller's window (which falls back
// to message boxes for good once the window cannot be had) and the window of a start-up rollback.
#pragma once

#include <memory>

#include "ui/silent_sink.h"
#include "ui/theme_choice.h"
#include "ui/ui_state.h"

namespace zs::ui {

class SetupWindow;

class GuiUninstall : public uninstall::Ui, public EngineSink {
 public:
  explicit GuiUninstall(Theme theme);
  ~GuiUninstall() override;

  bool confirmUninstall() override;
  bool askCloseApp() override;
  bool askRetryClose() override;
  void onProgress(UninstallStep step, StepStatus status) override;
  void onRecordMissing() override;
  void onFinished(bool restartNeeded) override;
  EngineSink* engineSink() override { return this; }

  // Its EngineSink part: the rollback inside the uninstall run.
  void onRollingBack() override;

  // Ends the window, if it still runs, and waits for its thread.
  void close();

 private:
  bool ensureWindow(Page page);
  Answer askOnWindow(Page page, Question question);

  Theme theme_;
  std::unique_ptr<SetupWindow> window_;
  bool fellBack_ = false;
};

class StartupRollback : public EngineSink {
 public:
  explicit StartupRollback(Theme theme);
  ~StartupRollback() override;
  void onRollingBack() override;
  void close();

 private:
  Theme theme_;
  std::unique_ptr<SetupWindow> window_;
};

}  // namespace zs::ui
