#include "ui/ui_state.h"

#include <algorithm>
#include <iterator>

#include "base/failure.h"
#include "base/text.h"
#include "install/install_state.h"
#include "script/script.h"
#include "ui/plain_messages.h"

namespace zs::ui {

namespace {

constexpr int32_t kLineStep = 19;
constexpr int32_t kPageStep = 224;

constexpr Element kTaskBoxes[kShownTaskBoxes] = {Element::FirstTask, Element::SecondTask, Element::ThirdTask};

bool isCheckBox(Element element) { return element == Element::Accept || isTaskBox(element); }

bool isButton(Element element) {
  switch (element) {
    case Element::Close:
    case Element::Cancel:
    case Element::Next:
    case Element::Browse:
    case Element::Back:
    case Element::Install:
    case Element::Link:
    case Element::OpenApp:
    case Element::Uninstall:
    case Element::Secondary:
    case Element::Primary:
    case Element::TitleClose: return true;
    default: return false;
  }
}

bool isCloseKind(Input kind) { return kind == Input::Escape || kind == Input::Close; }

Action closeWith(UiState& s, int32_t result) {
  s.result = result;
  return Action::CloseWindow;
}

Action answerQuestion(UiState& s, Input kind) {
  Question question = s.question;
  s.question = Question::None;
  s.focus = defaultFocus(s);
  bool yes = kind == Input::Primary || kind == Input::Yes;
  switch (question) {
    case Question::AppOpen:
    case Question::AppDidNotClose: return yes ? Action::CloseApp : Action::None;
    case Question::Stop:
      if (!yes) return Action::None;
      s.stopRequested = true;
      s.focus = Element::None;
      return Action::StopEngine;
    case Question::FileInUse: return yes ? Action::RetryInUse : Action::CancelInUse;
    default: return Action::None;
  }
}

void scrollLicense(UiState& s, int32_t to, int32_t maxScroll) {
  s.licenseScroll = std::clamp(to, 0, std::max(maxScroll, 0));
}

}  // namespace

Element taskBox(size_t n) { return kTaskBoxes[n]; }

bool isTaskBox(Element element) { return element >= Element::FirstTask && element <= Element::ThirdTask; }

size_t taskOf(Element taskBox) {
  return static_cast<size_t>(std::find(std::begin(kTaskBoxes), std::end(kTaskBoxes), taskBox) - std::begin(kTaskBoxes));
}

SlotStatus slotStatus(StepStatus reported) { return static_cast<SlotStatus>(static_cast<int32_t>(reported)); }

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

Element defaultFocus(const UiState& s) {
  if (s.question != Question::None) return Element::Primary;
  switch (s.page) {
    case Page::Welcome: return s.licenseAccepted ? Element::Next : Element::Accept;
    case Page::Options: return Element::Install;
    case Page::Installing: return stopOffered(s) ? Element::Cancel : Element::None;
    case Page::RollingBack:
    case Page::Removing: return Element::None;
    case Page::Ready: return openAppOffered(s) ? Element::OpenApp : Element::Close;
    case Page::ConfirmUninstall: return Element::Uninstall;
    default: return Element::Close;
  }
}

void moveToPage(UiState& s, Page page) {
  s.page = page;
  s.question = Question::None;
  s.hover = Element::None;
  s.pressed = Element::None;
  s.dragging = false;
  s.focus = defaultFocus(s);
}

void showQuestion(UiState& s, Question question) {
  s.question = question;
  s.focus = Element::Primary;
}

std::vector<Element> tabOrder(const UiState& s) {
  if (s.question == Question::CouldNotOpen) return {Element::Primary};
  if (s.question != Question::None) return {Element::Secondary, Element::Primary};
  switch (s.page) {
    case Page::Welcome:
      if (s.licenseAccepted) return {Element::LicenseBox, Element::Accept, Element::Cancel, Element::Next};
      return {Element::LicenseBox, Element::Accept, Element::Cancel};
    case Page::Options: {
      std::vector<Element> order{Element::Folder, Element::Browse};
      for (int32_t n = 0; n < kShownTaskBoxes && n < static_cast<int32_t>(s.tasks.size()); ++n)
        if (s.tasks[n].visible) order.push_back(taskBox(static_cast<size_t>(n)));
      order.push_back(Element::Back);
      order.push_back(Element::Install);
      return order;
    }
    case Page::Installing:
      if (stopOffered(s)) return {Element::Cancel};
      return {};
    case Page::RollingBack:
    case Page::Removing: return {};
    case Page::Ready:
      if (openAppOffered(s)) return {Element::Link, Element::Close, Element::OpenApp};
      return {Element::Link, Element::Close};
    case Page::ConfirmUninstall: return {Element::Cancel, Element::Uninstall};
    case Page::Stopped:
    case Page::Failed:
    case Page::Incomplete:
    case Page::NoDotNet:
    case Page::Removed:
    case Page::AlmostDone: return {Element::Link, Element::Close};
    default: return {Element::Close};
  }
}

void moveFocus(UiState& s, bool backward) {
  s.focusVisible = true;
  std::vector<Element> order = tabOrder(s);
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

std::optional<Input> activationKind(const UiState& s, Element element) {
  switch (element) {
    case Element::Close: return s.page == Page::Ready && openAppOffered(s) ? Input::Back : Input::Primary;
    case Element::Cancel:
    case Element::Back: return Input::Back;
    case Element::Next:
    case Element::Install:
    case Element::OpenApp:
    case Element::Uninstall: return Input::Primary;
    case Element::Link: return Input::Link;
    case Element::Secondary: return Input::No;
    case Element::Primary: return Input::Yes;
    case Element::TitleClose: return Input::Close;
    default: return std::nullopt;
  }
}

Action activate(UiState& s, Element element) {
  if (s.closingApp) return Action::None;
  if (element == Element::Accept) {
    s.licenseAccepted = !s.licenseAccepted;
    return Action::None;
  }
  if (isTaskBox(element)) {
    size_t n = taskOf(element);
    if (n < s.tasks.size()) s.tasks[n].on = !s.tasks[n].on;
    return Action::None;
  }
  if (element == Element::Browse) return Action::PickFolder;
  std::optional<Input> kind = activationKind(s, element);
  return kind ? applyInput(s, *kind) : Action::None;
}

Action applyInput(UiState& s, Input kind) {
  if (s.question != Question::None) return answerQuestion(s, kind);
  bool close = isCloseKind(kind);
  bool back = kind == Input::Back;
  switch (s.page) {
    case Page::Welcome:
      if (close || back) return closeWith(s, exitNumber(ExitCode::Cancelled));
      if (kind == Input::Primary && s.licenseAccepted) moveToPage(s, Page::Options);
      return Action::None;
    case Page::Options:
      if (close) return closeWith(s, exitNumber(ExitCode::Cancelled));
      if (back) moveToPage(s, Page::Welcome);
      return kind == Input::Primary ? Action::StartInstall : Action::None;
    case Page::Installing:
      if ((close || back) && stopOffered(s)) showQuestion(s, Question::Stop);
      return Action::None;
    case Page::RollingBack:
    case Page::Removing: return Action::None;
    case Page::Ready:
      if (close || back) return closeWith(s, exitNumber(ExitCode::Installed));
      if (kind == Input::Link) return Action::OpenLog;
      if (kind == Input::Primary) {
        s.result = exitNumber(ExitCode::Installed);
        return openAppOffered(s) ? Action::OpenApp : Action::CloseWindow;
      }
      return Action::None;
    case Page::ConfirmUninstall:
      if (close || back) return closeWith(s, exitNumber(ExitCode::Cancelled));
      if (kind == Input::Primary) {
        moveToPage(s, Page::Removing);
        return Action::UninstallConfirmed;
      }
      return Action::None;
    case Page::Stopped:
    case Page::Failed:
    case Page::Incomplete:
    case Page::OldWindows:
    case Page::NoDotNet:
    case Page::Damaged:
    case Page::NewerInstalled:
    case Page::MsiCopy:
    case Page::BadSwitch:
    case Page::Removed:
    case Page::AlmostDone:
    case Page::CantUninstall:
      if (kind == Input::Link) {
        if (s.page == Page::NoDotNet) return Action::OpenDownload;
        bool hasLog = s.page == Page::Stopped || s.page == Page::Failed || s.page == Page::Incomplete ||
                      s.page == Page::Removed || s.page == Page::AlmostDone;
        return hasLog ? Action::OpenLog : Action::None;
      }
      if (close || kind == Input::Primary) return closeWith(s, pageResultCode(s.page));
      return Action::None;
  }
  return Action::None;
}

Action pressKey(UiState& s, UiKey key, bool shift, bool repeat, int32_t maxScroll) {
  if (s.closingApp) return Action::None;
  bool once = key == UiKey::Enter || key == UiKey::Escape || key == UiKey::Space;
  if (once && repeat) return Action::None;
  switch (key) {
    case UiKey::Tab: moveFocus(s, shift); return Action::None;
    case UiKey::Escape: return applyInput(s, Input::Escape);
    case UiKey::Enter: return isButton(s.focus) ? activate(s, s.focus) : applyInput(s, Input::Primary);
    case UiKey::Space: return isButton(s.focus) || isCheckBox(s.focus) ? activate(s, s.focus) : Action::None;
    default: break;
  }
  if (s.page != Page::Welcome || s.question != Question::None || s.focus != Element::LicenseBox) return Action::None;
  switch (key) {
    case UiKey::Up: scrollLicense(s, s.licenseScroll - kLineStep, maxScroll); break;
    case UiKey::Down: scrollLicense(s, s.licenseScroll + kLineStep, maxScroll); break;
    case UiKey::PageUp: scrollLicense(s, s.licenseScroll - kPageStep, maxScroll); break;
    case UiKey::PageDown: scrollLicense(s, s.licenseScroll + kPageStep, maxScroll); break;
    case UiKey::Home: scrollLicense(s, 0, maxScroll); break;
    case UiKey::End: scrollLicense(s, maxScroll, maxScroll); break;
    default: break;
  }
  return Action::None;
}

Action closeRequested(UiState& s) { return s.closingApp ? Action::None : applyInput(s, Input::Close); }

void wheelLicense(UiState& s, int32_t wheelDelta, int32_t maxScroll) {
  if (s.closingApp) return;
  scrollLicense(s, s.licenseScroll - wheelDelta * 57 / 120, maxScroll);
}

void takeStep(UiState& s, int32_t step, SlotStatus status, int32_t percent) {
  if (step < 0 || step > 4) return;
  s.steps[step].status = status;
  s.steps[step].percent = percent;
}

bool stepSkipped(const UiState& s, int32_t step) {
  if (step < 0 || step > 4) return false;
  return s.steps[step].status == SlotStatus::Done && s.steps[step].percent == kStepSkippedPercent;
}

void takeCommitted(UiState& s) {
  s.cancelAllowed = false;
  if (s.question == Question::Stop) s.question = Question::None;
  if (s.question == Question::None) s.focus = defaultFocus(s);
}

void takeRollingBack(UiState& s) { moveToPage(s, Page::RollingBack); }

bool takeFileInUse(UiState& s, const std::wstring& fileName) {
  // A question the user is answering is never swapped for another under the pointer: the worker
  // keeps waiting and is asked about once that one is answered.
  if (s.question != Question::None && s.question != Question::FileInUse) return false;
  s.inUseFile = fileName;
  showQuestion(s, Question::FileInUse);
  return true;
}

void takeOverInPlainMode(UiState& s) {
  s.question = Question::None;
  s.closingApp = false;
  s.hover = Element::None;
  s.pressed = Element::None;
  s.dragging = false;
  s.focus = defaultFocus(s);
}

Page finalPage(int32_t outcome) {
  switch (outcome) {
    case exitNumber(ExitCode::Installed): return Page::Ready;
    case exitNumber(ExitCode::Cancelled): return Page::Stopped;
    case exitNumber(ExitCode::RollbackIncomplete): return Page::Incomplete;
    default: return Page::Failed;
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
  showQuestion(s, Question::AppDidNotClose);
  return false;
}

void takeFolderVerdict(UiState& s, int32_t code, const std::wstring& text) {
  s.folderError = code;
  s.folderErrorText = code == 0 ? std::wstring() : text;
  if (code != 0) s.focus = Element::Folder;
}

}  // namespace zs::ui
