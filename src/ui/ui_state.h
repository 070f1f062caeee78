// Everything an install or uninstall window shows and everything the user chose, and the rules
// that move it: pages, the question over a page, focus and Tab order, and what each input asks
// the window to do. Plain data and free functions without a window, so that the drawn wizard and
// plain mode decide alike: a front end only feeds input in and carries the returned action out.
// Touched only on the window's thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "journal/engine_sink.h"

namespace zs {
struct SetupScript;
}

namespace zs::ui {

// Pages.
// A step slot's status as the engine last reported it; 0 before the step starts.
inline constexpr int32_t kStepRunning = static_cast<int32_t>(StepStatus::Running);
inline constexpr int32_t kStepDone = static_cast<int32_t>(StepStatus::Done);

inline constexpr int32_t kPageWelcome = 0;
inline constexpr int32_t kPageOptions = 1;
inline constexpr int32_t kPageInstalling = 2;
inline constexpr int32_t kPageRollingBack = 3;
inline constexpr int32_t kPageReady = 4;
inline constexpr int32_t kPageStopped = 5;
inline constexpr int32_t kPageFailed = 6;
inline constexpr int32_t kPageIncomplete = 7;
inline constexpr int32_t kPageOldWindows = 8;
inline constexpr int32_t kPageNoDotNet = 9;
inline constexpr int32_t kPageDamaged = 10;
inline constexpr int32_t kPageNewerInstalled = 11;
inline constexpr int32_t kPageMsiCopy = 12;
inline constexpr int32_t kPageBadSwitch = 13;
inline constexpr int32_t kPageConfirmUninstall = 14;
inline constexpr int32_t kPageRemoving = 15;
inline constexpr int32_t kPageRemoved = 16;
inline constexpr int32_t kPageAlmostDone = 17;
inline constexpr int32_t kPageCantUninstall = 18;
inline constexpr int32_t kPageCount = 19;

// Questions over a page; 0 is none.
inline constexpr int32_t kQuestionAppOpen = 1;
inline constexpr int32_t kQuestionAppDidNotClose = 2;
inline constexpr int32_t kQuestionStop = 3;
inline constexpr int32_t kQuestionFileInUse = 4;
inline constexpr int32_t kQuestionCouldNotOpen = 5;

// Elements that can be focused, hovered, pressed or hit; 0 is none.
inline constexpr int32_t kElemClose = 1;
inline constexpr int32_t kElemLicenseBox = 2;
inline constexpr int32_t kElemAccept = 3;
inline constexpr int32_t kElemCancel = 4;
inline constexpr int32_t kElemNext = 5;
inline constexpr int32_t kElemFolder = 6;
inline constexpr int32_t kElemBrowse = 7;
inline constexpr int32_t kElemFirstTask = 8;  // 8, 9, 10: the first three [Tasks] entries
inline constexpr int32_t kShownTaskBoxes = 3;
inline constexpr int32_t kElemBack = 11;
inline constexpr int32_t kElemInstall = 12;
inline constexpr int32_t kElemLink = 13;
inline constexpr int32_t kElemOpenApp = 14;
inline constexpr int32_t kElemUninstall = 15;
inline constexpr int32_t kElemSecondary = 16;
inline constexpr int32_t kElemPrimary = 17;
inline constexpr int32_t kElemTitleClose = 18;
inline constexpr int32_t kElemThumb = 19;

// Input kinds: what an activation or a key means before the page decides.
inline constexpr int32_t kInputPrimary = 0;  // Next, Install, Open Zelvan, Uninstall, Enter
inline constexpr int32_t kInputBack = 1;     // Back, Cancel, Close beside Open Zelvan
inline constexpr int32_t kInputEscape = 2;
inline constexpr int32_t kInputClose = 3;    // the window's close
inline constexpr int32_t kInputLink = 4;
inline constexpr int32_t kInputYes = 5;      // a question's primary button
inline constexpr int32_t kInputNo = 6;       // a question's secondary button

// Actions the front end carries out.
inline constexpr int32_t kActNone = 0;
inline constexpr int32_t kActCloseWindow = 1;
inline constexpr int32_t kActStartInstall = 2;
inline constexpr int32_t kActUninstallConfirmed = 3;
inline constexpr int32_t kActStopEngine = 4;
inline constexpr int32_t kActOpenApp = 5;
inline constexpr int32_t kActOpenLog = 6;
inline constexpr int32_t kActOpenDownload = 7;
inline constexpr int32_t kActCloseApp = 8;
inline constexpr int32_t kActRetryInUse = 9;
inline constexpr int32_t kActCancelInUse = 10;
inline constexpr int32_t kActPickFolder = 11;

inline constexpr int32_t kRoleInstall = 0;
inline constexpr int32_t kRoleUninstall = 1;

struct TaskChoice {
  std::wstring name;
  std::wstring label;
  std::wstring detail;
  bool on = false;
  bool visible = true;
};

struct StepSlot {
  int32_t status = 0;
  int32_t percent = 0;  // -1 = none
  std::wstring text;
};

struct UiState {
  int32_t role = kRoleInstall;
  int32_t page = kPageWelcome;
  int32_t question = 0;
  int32_t theme = 0;
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
  int32_t focus = 0;
  int32_t hover = 0;
  int32_t pressed = 0;
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

int32_t defaultFocus(const UiState& s);
// Sets the page, drops the question, hover, press and drag, and puts the focus on its default.
void moveToPage(UiState& s, int32_t page);
void showQuestion(UiState& s, int32_t question);

std::vector<int32_t> tabOrder(const UiState& s);
void moveFocus(UiState& s, bool backward);

// The input kind an element gives when activated; -1 for one that toggles or acts directly.
int32_t activationKind(const UiState& s, int32_t element);
// A click released over the element it was pressed on, or Enter or Space on a focused button:
// toggles a check box, or returns the action.
int32_t activate(UiState& s, int32_t element);
// The state machine: what an input kind does on the current page or question.
int32_t applyInput(UiState& s, int32_t kind);

enum class UiKey { Tab, Enter, Escape, Space, Up, Down, PageUp, PageDown, Home, End };
// A key press on the window. repeat: the key was already down. maxScroll: the licence text's
// height less its box's, in layout units.
int32_t pressKey(UiState& s, UiKey key, bool shift, bool repeat, int32_t maxScroll = 0);
// WM_CLOSE.
int32_t closeRequested(UiState& s);
// The mouse wheel over the licence box or its thumb.
void wheelLicense(UiState& s, int32_t wheelDelta, int32_t maxScroll);

// What the worker's messages do to the state.
void takeStep(UiState& s, int32_t step, int32_t status, int32_t percent);
void takeCommitted(UiState& s);
void takeRollingBack(UiState& s);
void takeFileInUse(UiState& s, const std::wstring& fileName);

// The run's outcome as the worker leaves it: outcome (0, 1, 2, 10), the failure category, its
// detail and whether native images were made.
struct WorkerResult {
  int32_t outcome = 0;
  int32_t category = 0;
  std::wstring detail;
  bool optimized = false;
};
int32_t finalPage(int32_t outcome);
void takeWorkerDone(UiState& s, const WorkerResult& r, const std::wstring& logPath);

// The engine refused to stop (it has committed).
void takeStopRefused(UiState& s);
// The close-app thread's end: whether it closed Zelvan, and whether files are still held.
// True when the install can go on; otherwise the question "Zelvan didn't close" is shown.
bool takeCloseAppFinished(UiState& s, bool closed, bool stillHeld);
// A folder refusal from the install start, or none (code 0).
void takeFolderVerdict(UiState& s, int32_t code, const std::wstring& text);

}  // namespace zs::ui
