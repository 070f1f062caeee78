// The uninstaller's front end as message boxes: the confirmation, the questions about a running
// Zelvan, and the end. It is what an interactive uninstall shows until the drawn window exists, and
// what the drawn window falls back to when it cannot be had. Progress shows nothing.
#pragma once

#include <cstdint>

#include "ui/silent_sink.h"

namespace zs {

// One message box of the uninstaller: caption, text and MB_* flags (icon and buttons).
struct PlainUninstallBox {
  const wchar_t* caption;
  const wchar_t* text;
  unsigned flags;
};

enum class PlainUninstallAsk { Confirm, CloseApp, RetryClose, RecordMissing, Finished, FinishedRestart };
PlainUninstallBox plainUninstallBox(PlainUninstallAsk ask);

class PlainUninstall : public uninstall::Ui {
 public:
  constexpr PlainUninstall() = default;
  bool confirmUninstall() override;
  bool askCloseApp() override;
  bool askRetryClose() override;
  void onRecordMissing() override;
  void onFinished(bool restartNeeded) override;
};

// The one process-wide instance; it needs no construction and lives until the process ends.
extern PlainUninstall thePlainUninstall;

}  // namespace zs
