// Everything an install or uninstall window shows and everything the user chose, and the rules
// that move it: pages, the question over a page, focus and Tab order, and what each input asks
// the window to do. Plain data and free functions without a window, so that the drawn wizard and
// plain mode decide alike: a front end only feeds input in and carries the returned action out.
// Touched only on the window's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "journal/engine_sink.h"
#include "ui/theme_choice.h"

namespace zs {
struct SetupScript;
}

namespace zs::ui {

// The install or the uninstall: which wizard the window is.
enum class Role : int32_t { Install = 0, Uninstall = 1 };

// The pages. The values index the page tables and travel in the gallery's state lists.
enum class Page : int32_t {
  Welcome = 0,
  Options = 1,
  Installing = 2,
  RollingBack = 3,
  Ready = 4,
  Stopped = 5,
  Failed = 6,
  Incomplete = 7,
  OldWindows = 8,
  NoDotNet = 9,
  Damaged = 10,
  NewerInstalled = 11,
  MsiCopy = 12,
  BadSwitch = 13,
  ConfirmUninstall = 14,
  Removing = 15,
  Removed = 16,
  AlmostDone = 17,
  CantUninstall = 18,
};
inline constexpr int32_t kPageCount = 19;

// The question over a page.
enum class Question : int32_t {
  None = 0,
  AppOpen = 1,
  AppDidNotClose = 2,
  Stop = 3,
  FileInUse = 4,
  CouldNotOpen = 5,
};

// The answer to a question a caller had the window ask: unavailable when the window moved to
// plain mode or was not running.
enum class Answer : int32_t { Unavailable = -1, No = 0, Yes = 1 };

// Elements that can be focused, hovered, pressed or hit.
enum class Element : int32_t {
  None = 0,
  Close = 1,
  LicenseBox = 2,
  Accept = 3,
  Cancel = 4,
  Next = 5,
  Folder = 6,
  Browse = 7,
  FirstTask = 8,  // the boxes of the first three [Tasks] entries
  SecondTask = 9,
  ThirdTask = 10,
  Back = 11,
  Install = 12,
  Link = 13,
  OpenApp = 14,
  Uninstall = 15,
  Secondary = 16,
  Primary = 17,
  TitleClose = 18,
  Thumb = 19,
};
inline constexpr int32_t kShownTaskBoxes = 3;
// The box of the n-th [Tasks] entry, n below kShownTaskBoxes.
Element taskBox(size_t n);
bool isTaskBox(Element element);
// The [Tasks] entry a task box stands for.
size_t taskOf(Element taskBox);

// Input kinds: what an activation or a key means before the page decides.
enum class Input : int32_t {
  Primary = 0,  // Next, Install, Open Zelvan, Uninstall, Enter
  Back = 1,     // Back, Cancel, Close beside Open Zelvan
  Escape = 2,
  Close = 3,  // the window's close
  Link = 4,
  Yes = 5,  // a question's primary button
  No = 6,   // a question's secondary button
};

// Actions the front end carries out.
enum class Action : int32_t {
  None = 0,
  CloseWindow = 1,
  StartInstall = 2,
  UninstallConfirmed = 3,
  StopEngine = 4,
  OpenApp = 5,
  OpenLog = 6,
  OpenDownload = 7,
  CloseApp = 8,
  RetryInUse = 9,
  CancelInUse = 10,
  PickFolder = 11,
};

// A step slot's status: the engine's last report for the step, or none yet. The values are the
// engine's, so that a report crosses the window message unchanged.
enum class SlotStatus : int32_t {
  NotStarted = 0,
  Running = static_cast<int32_t>(StepStatus::Running),
  Done = static_cast<int32_t>(StepStatus::Done),
};
SlotStatus slotStatus(StepStatus reported);

struct TaskChoice {
  std::wstring name;
  std::wstring label;
  std::wstring detail;
  bool on = false;
  bool visible = true;
};

struct StepSlot {
  SlotStatus status = SlotStatus::NotStarted;
  int32_t percent = 0;  // -1 = none
  std::wstring text;
};

struct UiState {
  Role role = Role::Install;
  Page page = Page::Welcome;
  Question question = Question::None;
  Theme theme = Theme::Light;
  double scale = 1.0;
  bool licenseAccepted = true;
  int32_t licenseScroll = 0;
  std::vector<std::wstring> licenseLines;
  std::wstring folder;
  int32_t folderError = 0;
  std::wstring folderErrorText;
  std::vector<TaskChoice> tasks;
  StepSlot steps[5];
  bool notOptimized = false;
  std::wstring logPath;
  std::wstring failureText;
  std::wstring errorDetail;
  std::wstring versionText;
  std::wstring inUseFile;
  Element focus = Element::None;
  Element hover = Element::None;
  Element pressed = Element::None;
  bool focusVisible = false;
  bool noRun = false;
  bool cancelAllowed = true;
  bool stopRequested = false;
  bool closingApp = false;
  bool dragging = false;
  float dragStartY = 0;
  int32_t dragStartScroll = 0;
  bool editShown = false;
  int32_t spinnerAngle = 0;
  int32_t result = 0;
};

// The install wizard's starting state: the licence box as the script ticks it, the folder as
// chosen (not yet validated), and every [Tasks] entry with the chosen ones on.
UiState installState(const SetupScript& script, const std::wstring& folder,
                     const std::vector<std::wstring>& chosenTasks, bool noRun);

// The names of the tasks that are on, in [Tasks] order.
std::vector<std::wstring> tasksOn(const UiState& s);

// Whether the install may still be stopped from the page: before the commit, no stop asked yet.
bool stopOffered(const UiState& s);
// Whether the end page offers "Open Zelvan".
bool openAppOffered(const UiState& s);

Element defaultFocus(const UiState& s);
// Sets the page, drops the question, hover, press and drag, and puts the focus on its default.
void moveToPage(UiState& s, Page page);
void showQuestion(UiState& s, Question question);

std::vector<Element> tabOrder(const UiState& s);
void moveFocus(UiState& s, bool backward);

// The input kind an element gives when activated; none for one that toggles or acts directly.
std::optional<Input> activationKind(const UiState& s, Element element);
// A click released over the element it was pressed on, or Enter or Space on a focused button:
// toggles a check box, or returns the action.
Action activate(UiState& s, Element element);
// The state machine: what an input kind does on the current page or question.
Action applyInput(UiState& s, Input kind);

enum class UiKey { Tab, Enter, Escape, Space, Up, Down, PageUp, PageDown, Home, End };
// A key press on the window. repeat: the key was already down. maxScroll: the licence text's
// height less its box's, in layout units.
Action pressKey(UiState& s, UiKey key, bool shift, bool repeat, int32_t maxScroll = 0);
// WM_CLOSE.
Action closeRequested(UiState& s);
// The mouse wheel over the licence box or its thumb.
void wheelLicense(UiState& s, int32_t wheelDelta, int32_t maxScroll);

// Whether a closed step ended without doing its work (the engine closes it at 0 percent).
bool stepSkipped(const UiState& s, int32_t step);

// What the worker's messages do to the state.
void takeStep(UiState& s, int32_t step, SlotStatus status, int32_t percent);
void takeCommitted(UiState& s);
void takeRollingBack(UiState& s);
// Shows "A file is in use" unless another question is being answered (false then: the front end
// asks once that one is gone, while the worker still waits).
bool takeFileInUse(UiState& s, const std::wstring& fileName);
// Plain mode taking over the drawn window's state: the drawn window's open question and its
// closing of Zelvan end with it (plain mode asks by message boxes whatever is still waited for).
void takeOverInPlainMode(UiState& s);

// The run's outcome as the worker leaves it: the engine's result (a RunOutcome code), the failure
// category, its detail and whether native images were made.
struct WorkerResult {
  int32_t outcome = 0;
  int32_t category = 0;
  std::wstring detail;
  bool optimized = false;
};
Page finalPage(int32_t outcome);
void takeWorkerDone(UiState& s, const WorkerResult& r, const std::wstring& logPath);

// The engine refused to stop (it has committed).
void takeStopRefused(UiState& s);
// The close-app thread's end: whether it closed Zelvan, and whether files are still held.
// True when the install can go on; otherwise the question "Zelvan didn't close" is shown.
bool takeCloseAppFinished(UiState& s, bool closed, bool stillHeld);
// A folder refusal from the install start, or none (code 0).
void takeFolderVerdict(UiState& s, int32_t code, const std::wstring& text);

}  // namespace zs::ui
