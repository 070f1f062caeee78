#include "ui/ui_state.h"

#include <algorithm>

#include "base/failure.h"
#include "base/text.h"
#include "script/script.h"
#include "ui/plain_messages.h"

namespace zs::ui {

namespace {

constexpr int32_t kLineStep = 19;
constexpr int32_t kPageStep = 224;

bool isTaskBox(int32_t element) { return element >= kElemFirstTask && element < kElemFirstTask + kShownTaskBoxes; }

bool isCheckBox(int32_t element) { return element == kElemAccept || isTaskBox(element); }

bool isButton(int32_t element) {
  switch (element) {
    case kElemClose:
    case kElemCancel:
    case kElemNext:
    case kElemBrowse:
    case kElemBack:
    case kElemInstall:
    case kElemLink:
    case kElemOpenApp:
    case kElemUninstall:
    case kElemSecondary:
    case kElemPrimary:
    case kElemTitleClose: return true;
    default: return false;
  }
}

bool isCloseKind(int32_t kind) { return kind == kInputEscape || kind == kInputClose; }

int32_t closeWith(UiState& s, int32_t result) {
  s.result = result;
  return kActCloseWindow;
}

int32_t answerQuestion(UiState& s, int32_t kind) {
  int32_t question = s.question;
  s.question = 0;
  s.focus = defaultFocus(s);
  bool yes = kind == kInputPrimary || kind == kInputYes;
  switch (question) {
    case kQuestionAppOpen:
    case kQuestionAppDidNotClose: return yes ? kActCloseApp : kActNone;
    case kQuestionStop:
      if (!yes) return kActNone;
      s.stopRequested = true;
      s.focus = 0;
      return kActStopEngine;
    case kQuestionFileInUse: return yes ? kActRetryInUse : kActCancelInUse;
    default: return kActNone;
  }
}

void scrollLicense(UiState& s, int32_t to, int32_t maxScroll) {
  s.licenseScroll = std::clamp(to, 0, std::max(maxScroll, 0));
}

}  // namespace

UiState installState(const SetupScript& script, const std::wstring& folder,
                     const std::vector<std::wstring>& chosenTasks, bool noRun) {
  UiState s;
  s.licenseAccepted = script.setup.licenseTicked;
  s.folder = folder;
  s.noRun = noRun;
  for (const TaskEntry& t : script.tasks) {
    bool on = std::any_of(chosenTasks.begin(), chosenTasks.end(),
                          [&](const std::wstring& name) { return equalsNoCase(name, t.name); });
    s.tasks.push_back({t.name, t.label, t.detail, on, t.visible});
  }
  s.focus = defaultFocus(s);
  return s;
}

std::vector<std::wstring> tasksOn(const UiState& s) {
  std::vector<std::wstring> names;
  for (const TaskChoice& t : s.tasks)
    if (t.on) names.push_back(t.name);
  return names;
}

bool stopOffered(const UiState& s) { return s.cancelAllowed && !s.stopRequested; }

bool openAppOffered(const UiState& s) { return !s.noRun; }

int32_t defaultFocus(const UiState& s) {
  if (s.question != 0) return kElemPrimary;
  switch (s.page) {
    case kPageWelcome: return s.licenseAccepted ? kElemNext : kElemAccept;
    case kPageOptions: return kElemInstall;
    case kPageInstalling: return stopOffered(s) ? kElemCancel : 0;
    case kPageRollingBack:
    case kPageRemoving: return 0;
    case kPageReady: return openAppOffered(s) ? kElemOpenApp : kElemClose;
    case kPageConfirmUninstall: return kElemUninstall;
    default: return kElemClose;
  }
}

void moveToPage(UiState& s, int32_t page) {
  s.page = page;
  s.question = 0;
  s.hover = 0;
  s.pressed = 0;
  s.dragging = false;
  s.focus = defaultFocus(s);
}

void showQuestion(UiState& s, int32_t question) {
  s.question = question;
  s.focus = kElemPrimary;
}

std::vector<int32_t> tabOrder(const UiState& s) {
  if (s.question == kQuestionCouldNotOpen) return {kElemPrimary};
  if (s.question != 0) return {kElemSecondary, kElemPrimary};
  switch (s.page) {
    case kPageWelcome:
      if (s.licenseAccepted) return {kElemLicenseBox, kElemAccept, kElemCancel, kElemNext};
      return {kElemLicenseBox, kElemAccept, kElemCancel};
    case kPageOptions: {
      std::vector<int32_t> order{kElemFolder, kElemBrowse};
      for (int32_t n = 0; n < kShownTaskBoxes && n < static_cast<int32_t>(s.tasks.size()); ++n)
        if (s.tasks[n].visible) order.push_back(kElemFirstTask + n);
      order.push_back(kElemBack);
      order.push_back(kElemInstall);
      return order;
    }
    case kPageInstalling:
      if (stopOffered(s)) return {kElemCancel};
      return {};
    case kPageRollingBack:
    case kPageRemoving: return {};
    case kPageReady:
      if (openAppOffered(s)) return {kElemLink, kElemClose, kElemOpenApp};
      return {kElemLink, kElemClose};
    case kPageConfirmUninstall: return {kElemCancel, kElemUninstall};
    case kPageStopped:
    case kPageFailed:
    case kPageIncomplete:
    case kPageNoDotNet:
    case kPageRemoved:
    case kPageAlmostDone: return {kElemLink, kElemClose};
    default: return {kElemClose};
  }
}

void moveFocus(UiState& s, bool backward) {
  s.focusVisible = true;
  std::vector<int32_t> order = tabOrder(s);
  if (order.empty()) return;
  auto at = std::find(order.begin(), order.end(), s.focus);
  if (at == order.end()) {
    s.focus = backward ? order.back() : order.front();
    return;
  }
  size_t i = static_cast<size_t>(at - order.begin());
  size_t n = order.size();
  s.focus = order[backward ? (i + n - 1) % n : (i + 1) % n];
}

int32_t activationKind(const UiState& s, int32_t element) {
  switch (element) {
    case kElemClose: return s.page == kPageReady && openAppOffered(s) ? kInputBack : kInputPrimary;
    case kElemCancel:
    case kElemBack: return kInputBack;
    case kElemNext:
    case kElemInstall:
    case kElemOpenApp:
    case kElemUninstall: return kInputPrimary;
    case kElemLink: return kInputLink;
    case kElemSecondary: return kInputNo;
    case kElemPrimary: return kInputYes;
    case kElemTitleClose: return kInputClose;
    default: return -1;
  }
}

int32_t activate(UiState& s, int32_t element) {
  if (s.closingApp) return kActNone;
  if (element == kElemAccept) {
    s.licenseAccepted = !s.licenseAccepted;
    return kActNone;
  }
  if (isTaskBox(element)) {
    size_t n = static_cast<size_t>(element - kElemFirstTask);
    if (n < s.tasks.size()) s.tasks[n].on = !s.tasks[n].on;
    return kActNone;
  }
  if (element == kElemBrowse) return kActPickFolder;
  int32_t kind = activationKind(s, element);
  return kind < 0 ? kActNone : applyInput(s, kind);
}

int32_t applyInput(UiState& s, int32_t kind) {
  if (s.question != 0) return answerQuestion(s, kind);
  bool close = isCloseKind(kind);
  bool back = kind == kInputBack;
  switch (s.page) {
    case kPageWelcome:
      if (close || back) return closeWith(s, 2);
      if (kind == kInputPrimary && s.licenseAccepted) moveToPage(s, kPageOptions);
      return kActNone;
    case kPageOptions:
      if (close) return closeWith(s, 2);
      if (back) moveToPage(s, kPageWelcome);
      return kind == kInputPrimary ? kActStartInstall : kActNone;
    case kPageInstalling:
      if ((close || back) && stopOffered(s)) showQuestion(s, kQuestionStop);
      return kActNone;
    case kPageRollingBack:
    case kPageRemoving: return kActNone;
    case kPageReady:
      if (close || back) return closeWith(s, 0);
      if (kind == kInputLink) return kActOpenLog;
      if (kind == kInputPrimary) {
        s.result = 0;
        return openAppOffered(s) ? kActOpenApp : kActCloseWindow;
      }
      return kActNone;
    case kPageConfirmUninstall:
      if (close || back) return closeWith(s, 2);
      if (kind == kInputPrimary) {
        moveToPage(s, kPageRemoving);
        return kActUninstallConfirmed;
      }
      return kActNone;
    default:
      if (s.page < kPageStopped || s.page >= kPageCount) return kActNone;
      if (kind == kInputLink) {
        if (s.page == kPageNoDotNet) return kActOpenDownload;
        bool hasLog = s.page == kPageStopped || s.page == kPageFailed || s.page == kPageIncomplete ||
                      s.page == kPageRemoved || s.page == kPageAlmostDone;
        return hasLog ? kActOpenLog : kActNone;
      }
      if (close || kind == kInputPrimary) return closeWith(s, pageResultCode(s.page));
      return kActNone;
  }
}

int32_t pressKey(UiState& s, UiKey key, bool shift, bool repeat, int32_t maxScroll) {
  if (s.closingApp) return kActNone;
  bool once = key == UiKey::Enter || key == UiKey::Escape || key == UiKey::Space;
  if (once && repeat) return kActNone;
  switch (key) {
    case UiKey::Tab: moveFocus(s, shift); return kActNone;
    case UiKey::Escape: return applyInput(s, kInputEscape);
    case UiKey::Enter: return isButton(s.focus) ? activate(s, s.focus) : applyInput(s, kInputPrimary);
    case UiKey::Space: return isButton(s.focus) || isCheckBox(s.focus) ? activate(s, s.focus) : kActNone;
    default: break;
  }
  if (s.page != kPageWelcome || s.question != 0 || s.focus != kElemLicenseBox) return kActNone;
  switch (key) {
    case UiKey::Up: scrollLicense(s, s.licenseScroll - kLineStep, maxScroll); break;
    case UiKey::Down: scrollLicense(s, s.licenseScroll + kLineStep, maxScroll); break;
    case UiKey::PageUp: scrollLicense(s, s.licenseScroll - kPageStep, maxScroll); break;
    case UiKey::PageDown: scrollLicense(s, s.licenseScroll + kPageStep, maxScroll); break;
    case UiKey::Home: scrollLicense(s, 0, maxScroll); break;
    case UiKey::End: scrollLicense(s, maxScroll, maxScroll); break;
    default: break;
  }
  return kActNone;
}

int32_t closeRequested(UiState& s) { return s.closingApp ? kActNone : applyInput(s, kInputClose); }

void wheelLicense(UiState& s, int32_t wheelDelta, int32_t maxScroll) {
  if (s.closingApp) return;
  scrollLicense(s, s.licenseScroll - wheelDelta * 57 / 120, maxScroll);
}

void takeStep(UiState& s, int32_t step, int32_t status, int32_t percent) {
  if (step < 0 || step > 4) return;
  s.steps[step].status = status;
  s.steps[step].percent = percent;
}

void takeCommitted(UiState& s) {
  s.cancelAllowed = false;
  if (s.question == kQuestionStop) s.question = 0;
  if (s.question == 0) s.focus = defaultFocus(s);
}

void takeRollingBack(UiState& s) { moveToPage(s, kPageRollingBack); }

void takeFileInUse(UiState& s, const std::wstring& fileName) {
  s.inUseFile = fileName;
  showQuestion(s, kQuestionFileInUse);
}

int32_t finalPage(int32_t outcome) {
  switch (outcome) {
    case 0: return kPageReady;
    case 2: return kPageStopped;
    case 10: return kPageIncomplete;
    default: return kPageFailed;
  }
}

void takeWorkerDone(UiState& s, const WorkerResult& r, const std::wstring& logPath) {
  moveToPage(s, finalPage(r.outcome));
  s.notOptimized = !r.optimized;
  s.failureText = userText(static_cast<StopCategory>(r.category), r.detail);
  s.result = r.outcome;
  s.logPath = logPath;
  s.stopRequested = false;
}

void takeStopRefused(UiState& s) {
  s.cancelAllowed = false;
  s.stopRequested = false;
  s.focus = defaultFocus(s);
}

bool takeCloseAppFinished(UiState& s, bool closed, bool stillHeld) {
  s.closingApp = false;
  if (closed && !stillHeld) return true;
  showQuestion(s, kQuestionAppDidNotClose);
  return false;
}

void takeFolderVerdict(UiState& s, int32_t code, const std::wstring& text) {
  s.folderError = code;
  s.folderErrorText = code == 0 ? std::wstring() : text;
  if (code != 0) s.focus = kElemFolder;
}

}  // namespace zs::ui
