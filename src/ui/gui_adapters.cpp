#include "ui/gui_adapters.h"

#include "base/log.h"
#include "ui/plain_messages.h"
#include "ui/plain_uninstall.h"
#include "ui/setup_window.h"
#include "ui/ui_state.h"

namespace zs::ui {

namespace {

UiState windowState(int32_t role, int32_t page, int theme) {
  UiState s;
  s.role = role;
  s.theme = theme;
  s.versionText = ownVersionText();
  for (StepSlot& slot : s.steps) slot.percent = -1;
  moveToPage(s, page);
  return s;
}

}  // namespace

GuiUninstall::GuiUninstall(int theme) : theme_(theme) {}
GuiUninstall::~GuiUninstall() { close(); }

void GuiUninstall::close() {
  if (window_ != nullptr) window_->closeAndWait();
}

bool GuiUninstall::ensureWindow(int32_t page) {
  if (fellBack_) return false;
  if (window_ != nullptr && window_->running()) return true;
  if (window_ == nullptr) {
    window_ = std::make_unique<SetupWindow>(windowState(kRoleUninstall, page, theme_));
    if (window_->startThread()) return true;
  }
  fellBack_ = true;
  return false;
}

int32_t GuiUninstall::askOnWindow(int32_t page, int32_t question) {
  if (!ensureWindow(page)) return -1;
  int32_t answer = window_->ask([page, question](UiState& s) {
    if (question == 0) {
      moveToPage(s, page);
    } else {
      showQuestion(s, question);
    }
  });
  if (answer < 0) fellBack_ = true;
  return answer;
}

bool GuiUninstall::confirmUninstall() {
  int32_t answer = askOnWindow(kPageConfirmUninstall, 0);
  return answer < 0 ? thePlainUninstall.confirmUninstall() : answer == 1;
}

bool GuiUninstall::askCloseApp() {
  int32_t answer = askOnWindow(kPageRemoving, kQuestionAppOpen);
  return answer < 0 ? thePlainUninstall.askCloseApp() : answer == 1;
}

bool GuiUninstall::askRetryClose() {
  int32_t answer = askOnWindow(kPageRemoving, kQuestionAppDidNotClose);
  return answer < 0 ? thePlainUninstall.askRetryClose() : answer == 1;
}

void GuiUninstall::onProgress(UninstallStep which, StepStatus shown) {
  if (!ensureWindow(kPageRemoving)) return;
  int32_t step = static_cast<int32_t>(which);
  int32_t status = static_cast<int32_t>(shown);
  window_->postChange([step, status](UiState& s) {
    if (s.page != kPageRemoving) moveToPage(s, kPageRemoving);
    if (step >= 0 && step < kUninstallStepCount) {
      s.steps[step].status = status;
      s.steps[step].percent = -1;
    }
  });
}

void GuiUninstall::onRecordMissing() {
  if (!ensureWindow(kPageCantUninstall)) {
    thePlainUninstall.onRecordMissing();
    return;
  }
  window_->postChange([](UiState& s) {
    moveToPage(s, kPageCantUninstall);
    s.result = pageResultCode(kPageCantUninstall);
  });
  window_->waitForEnd();
  if (window_->movedToPlain()) thePlainUninstall.onRecordMissing();
}

void GuiUninstall::onFinished(bool restartNeeded) {
  if (!ensureWindow(kPageRemoved)) {
    thePlainUninstall.onFinished(restartNeeded);
    return;
  }
  std::wstring logPath = theLog().openPath();
  window_->postChange([restartNeeded, logPath](UiState& s) {
    s.errorDetail.clear();
    s.logPath = logPath;
    moveToPage(s, restartNeeded ? kPageAlmostDone : kPageRemoved);
  });
  window_->waitForEnd();
  if (window_->movedToPlain()) thePlainUninstall.onFinished(restartNeeded);
}

void GuiUninstall::onRollingBack() {
  if (!ensureWindow(kPageRollingBack)) return;
  window_->postChange([](UiState& s) { moveToPage(s, kPageRollingBack); });
}

StartupRollback::StartupRollback(int theme) : theme_(theme) {}
StartupRollback::~StartupRollback() { close(); }

void StartupRollback::onRollingBack() {
  if (window_ != nullptr) return;
  window_ = std::make_unique<SetupWindow>(windowState(kRoleInstall, kPageRollingBack, theme_));
  if (!window_->startThread()) window_.reset();
}

void StartupRollback::close() {
  if (window_ != nullptr) window_->closeAndWait();
  window_.reset();
}

}  // namespace zs::ui
