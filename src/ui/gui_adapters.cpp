#include "ui/gui_adapters.h"

#include "base/log.h"
#include "ui/plain_messages.h"
#include "ui/plain_uninstall.h"
#include "ui/setup_window.h"
#include "ui/ui_state.h"

namespace zs::ui {

namespace {

UiState windowState(Role role, Page page, Theme theme) {
  UiState s;
  s.role = role;
  s.theme = theme;
  s.versionText = ownVersionText();
  for (StepSlot& slot : s.steps) slot.percent = -1;
  moveToPage(s, page);
  return s;
}

}  // namespace

GuiUninstall::GuiUninstall(Theme theme) : theme_(theme) {}
GuiUninstall::~GuiUninstall() { close(); }

void GuiUninstall::close() {
  if (window_ != nullptr) window_->closeAndWait();
}

bool GuiUninstall::ensureWindow(Page page) {
  if (fellBack_) return false;
  if (window_ != nullptr && window_->running()) return true;
  if (window_ == nullptr) {
    window_ = std::make_unique<SetupWindow>(windowState(Role::Uninstall, page, theme_));
    if (window_->startThread()) return true;
  }
  fellBack_ = true;
  return false;
}

Answer GuiUninstall::askOnWindow(Page page, Question question) {
  if (!ensureWindow(page)) return Answer::Unavailable;
  Answer answer = window_->ask([page, question](UiState& s) {
    if (question == Question::None) {
      moveToPage(s, page);
    } else {
      showQuestion(s, question);
    }
  });
  if (answer == Answer::Unavailable) fellBack_ = true;
  return answer;
}

bool GuiUninstall::confirmUninstall() {
  Answer answer = askOnWindow(Page::ConfirmUninstall, Question::None);
  return answer == Answer::Unavailable ? thePlainUninstall.confirmUninstall() : answer == Answer::Yes;
}

bool GuiUninstall::askCloseApp() {
  Answer answer = askOnWindow(Page::Removing, Question::AppOpen);
  return answer == Answer::Unavailable ? thePlainUninstall.askCloseApp() : answer == Answer::Yes;
}

bool GuiUninstall::askRetryClose() {
  Answer answer = askOnWindow(Page::Removing, Question::AppDidNotClose);
  return answer == Answer::Unavailable ? thePlainUninstall.askRetryClose() : answer == Answer::Yes;
}

void GuiUninstall::onProgress(UninstallStep which, StepStatus shown) {
  if (!ensureWindow(Page::Removing)) return;
  int32_t step = static_cast<int32_t>(which);
  SlotStatus status = slotStatus(shown);
  window_->postChange([step, status](UiState& s) {
    if (s.page != Page::Removing) moveToPage(s, Page::Removing);
    if (step >= 0 && step < kUninstallStepCount) {
      s.steps[step].status = status;
      s.steps[step].percent = -1;
    }
  });
}

void GuiUninstall::onRecordMissing() {
  if (!ensureWindow(Page::CantUninstall)) {
    thePlainUninstall.onRecordMissing();
    return;
  }
  window_->postChange([](UiState& s) {
    moveToPage(s, Page::CantUninstall);
    s.result = pageResultCode(Page::CantUninstall);
  });
  window_->waitForEnd();
  if (window_->movedToPlain()) thePlainUninstall.onRecordMissing();
}

void GuiUninstall::onFinished(bool restartNeeded) {
  if (!ensureWindow(Page::Removed)) {
    thePlainUninstall.onFinished(restartNeeded);
    return;
  }
  std::wstring logPath = theLog().openPath();
  window_->postChange([restartNeeded, logPath](UiState& s) {
    s.errorDetail.clear();
    s.logPath = logPath;
    moveToPage(s, restartNeeded ? Page::AlmostDone : Page::Removed);
  });
  window_->waitForEnd();
  if (window_->movedToPlain()) thePlainUninstall.onFinished(restartNeeded);
}

void GuiUninstall::onRollingBack() {
  if (!ensureWindow(Page::RollingBack)) return;
  window_->postChange([](UiState& s) { moveToPage(s, Page::RollingBack); });
}

StartupRollback::StartupRollback(Theme theme) : theme_(theme) {}
StartupRollback::~StartupRollback() { close(); }

void StartupRollback::onRollingBack() {
  if (window_ != nullptr) return;
  window_ = std::make_unique<SetupWindow>(windowState(Role::Install, Page::RollingBack, theme_));
  if (!window_->startThread()) window_.reset();
}

void StartupRollback::close() {
  if (window_ != nullptr) window_->closeAndWait();
  window_.reset();
}

}  // namespace zs::ui
