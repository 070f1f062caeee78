#include "ui/ui_state.h"

#include <gtest/gtest.h>

namespace zs::ui {
namespace {

UiState on(int32_t page, int32_t question = 0) {
  UiState s;
  s.tasks = {{L"desktopicon", L"Desktop", L"", true, true},
             {L"fileassoc", L"Types", L"", true, false},
             {L"startfaster", L"Faster", L"", false, true},
             {L"fourth", L"Fourth", L"", false, true}};
  moveToPage(s, page);
  if (question != 0) showQuestion(s, question);
  return s;
}

// One input on a page (and maybe under a question): the action, and where the state goes.
struct Move {
  const char* what;
  int32_t page;
  int32_t question;
  int32_t kind;
  int32_t action;
  int32_t pageAfter;
  int32_t questionAfter;
  int32_t resultAfter;  // -1: not looked at
};

class StateMachine : public testing::TestWithParam<Move> {};

TEST_P(StateMachine, InputLeadsWhereTheWizardSays) {
  const Move& m = GetParam();
  UiState s = on(m.page, m.question);
  s.result = -7;
  EXPECT_EQ(applyInput(s, m.kind), m.action);
  EXPECT_EQ(s.page, m.pageAfter);
  EXPECT_EQ(s.question, m.questionAfter);
  if (m.resultAfter != -1) {
    EXPECT_EQ(s.result, m.resultAfter);
  }
  if (s.question == 0) {
    EXPECT_EQ(s.focus, defaultFocus(s)) << "the focus goes back to the page's default";
  }
}

INSTANTIATE_TEST_SUITE_P(Pages, StateMachine, testing::Values(
    Move{"welcome: Escape stops with 2", 0, 0, kInputEscape, kActCloseWindow, 0, 0, 2},
    Move{"welcome: Cancel stops with 2", 0, 0, kInputBack, kActCloseWindow, 0, 0, 2},
    Move{"welcome: Next goes to options", 0, 0, kInputPrimary, kActNone, 1, 0, -7},
    Move{"welcome: a link does nothing", 0, 0, kInputLink, kActNone, 0, 0, -7},
    Move{"options: close stops with 2", 1, 0, kInputClose, kActCloseWindow, 1, 0, 2},
    Move{"options: Back goes to welcome", 1, 0, kInputBack, kActNone, 0, 0, -7},
    Move{"options: Install starts", 1, 0, kInputPrimary, kActStartInstall, 1, 0, -7},
    Move{"installing: Escape asks to stop", 2, 0, kInputEscape, kActNone, 2, 3, -7},
    Move{"installing: Cancel asks to stop", 2, 0, kInputBack, kActNone, 2, 3, -7},
    Move{"installing: Enter does nothing", 2, 0, kInputPrimary, kActNone, 2, 0, -7},
    Move{"rolling back: close does nothing", 3, 0, kInputClose, kActNone, 3, 0, -7},
    Move{"removing: Enter does nothing", 15, 0, kInputPrimary, kActNone, 15, 0, -7},
    Move{"ready: close ends with 0", 4, 0, kInputClose, kActCloseWindow, 4, 0, 0},
    Move{"ready: Close beside Open ends with 0", 4, 0, kInputBack, kActCloseWindow, 4, 0, 0},
    Move{"ready: Open Zelvan", 4, 0, kInputPrimary, kActOpenApp, 4, 0, 0},
    Move{"ready: the log link", 4, 0, kInputLink, kActOpenLog, 4, 0, -7},
    Move{"uninstall: confirmed", 14, 0, kInputPrimary, kActUninstallConfirmed, 15, 0, -7},
    Move{"uninstall: Escape is no", 14, 0, kInputEscape, kActCloseWindow, 14, 0, 2},
    Move{".NET page: download link", 9, 0, kInputLink, kActOpenDownload, 9, 0, -7},
    Move{".NET page: close gives 3", 9, 0, kInputClose, kActCloseWindow, 9, 0, 3},
    Move{"stopped: log link", 5, 0, kInputLink, kActOpenLog, 5, 0, -7},
    Move{"stopped: Close gives 2", 5, 0, kInputPrimary, kActCloseWindow, 5, 0, 2},
    Move{"failed: Escape gives 1", 6, 0, kInputEscape, kActCloseWindow, 6, 0, 1},
    Move{"incomplete: Close gives 10", 7, 0, kInputPrimary, kActCloseWindow, 7, 0, 10},
    Move{"old Windows: Close gives 4", 8, 0, kInputPrimary, kActCloseWindow, 8, 0, 4},
    Move{"damaged: close gives 9", 10, 0, kInputClose, kActCloseWindow, 10, 0, 9},
    Move{"damaged: no log link", 10, 0, kInputLink, kActNone, 10, 0, -7},
    Move{"newer: Close gives 5", 11, 0, kInputPrimary, kActCloseWindow, 11, 0, 5},
    Move{"msi copy: Close gives 11", 12, 0, kInputPrimary, kActCloseWindow, 12, 0, 11},
    Move{"bad switch: Close gives 6", 13, 0, kInputPrimary, kActCloseWindow, 13, 0, 6},
    Move{"removed: Close gives 0", 16, 0, kInputPrimary, kActCloseWindow, 16, 0, 0},
    Move{"almost done: log link", 17, 0, kInputLink, kActOpenLog, 17, 0, -7},
    Move{"can't uninstall: Back does nothing", 18, 0, kInputBack, kActNone, 18, 0, -7}));

INSTANTIATE_TEST_SUITE_P(Questions, StateMachine, testing::Values(
    Move{"app open: Close Zelvan", 1, 1, kInputYes, kActCloseApp, 1, 0, -7},
    Move{"app open: Enter", 1, 1, kInputPrimary, kActCloseApp, 1, 0, -7},
    Move{"app open: Cancel", 1, 1, kInputNo, kActNone, 1, 0, -7},
    Move{"app open: Escape only drops it", 1, 1, kInputEscape, kActNone, 1, 0, -7},
    Move{"didn't close: Try again", 1, 2, kInputYes, kActCloseApp, 1, 0, -7},
    Move{"didn't close: close", 1, 2, kInputClose, kActNone, 1, 0, -7},
    Move{"stop: Stop installing", 2, 3, kInputYes, kActStopEngine, 2, 0, -7},
    Move{"stop: Keep installing", 2, 3, kInputNo, kActNone, 2, 0, -7},
    Move{"in use: Try again", 2, 4, kInputYes, kActRetryInUse, 2, 0, -7},
    Move{"in use: Cancel", 2, 4, kInputNo, kActCancelInUse, 2, 0, -7},
    Move{"in use: Escape cancels", 2, 4, kInputEscape, kActCancelInUse, 2, 0, -7},
    Move{"couldn't open: Close", 4, 5, kInputYes, kActNone, 4, 0, -7},
    Move{"couldn't open: Escape", 4, 5, kInputEscape, kActNone, 4, 0, -7}));

TEST(StateMachine, StopIsOfferedOnlyBeforeTheCommitAndOnce) {
  UiState s = on(kPageInstalling);
  EXPECT_EQ(s.focus, kElemCancel);
  applyInput(s, kInputEscape);
  EXPECT_EQ(applyInput(s, kInputYes), kActStopEngine);
  EXPECT_TRUE(s.stopRequested);
  EXPECT_EQ(s.focus, 0);
  EXPECT_EQ(applyInput(s, kInputEscape), kActNone) << "a second stop is not asked once one was accepted";
  EXPECT_EQ(s.question, 0);

  UiState c = on(kPageInstalling);
  takeCommitted(c);
  EXPECT_EQ(c.focus, 0);
  EXPECT_EQ(applyInput(c, kInputEscape), kActNone);
  EXPECT_EQ(closeRequested(c), kActNone);
  EXPECT_EQ(c.question, 0) << "after the commit, Cancel does nothing";
  EXPECT_TRUE(tabOrder(c).empty());
}

TEST(StateMachine, TheCommitDropsAStopQuestionButNotAFileInUseOne) {
  UiState s = on(kPageInstalling, kQuestionStop);
  takeCommitted(s);
  EXPECT_EQ(s.question, 0);
  EXPECT_EQ(s.focus, 0);

  UiState f = on(kPageInstalling, kQuestionFileInUse);
  takeCommitted(f);
  EXPECT_EQ(f.question, kQuestionFileInUse);
  EXPECT_EQ(f.focus, kElemPrimary);
}

TEST(StateMachine, ARefusedStopLeavesTheInstallRunning) {
  UiState s = on(kPageInstalling, kQuestionStop);
  ASSERT_EQ(applyInput(s, kInputYes), kActStopEngine);
  takeStopRefused(s);
  EXPECT_FALSE(s.cancelAllowed);
  EXPECT_FALSE(s.stopRequested);
  EXPECT_EQ(s.focus, 0);
}

TEST(StateMachine, WhileZelvanIsBeingClosedInputIsIgnored) {
  UiState s = on(kPageOptions);
  s.closingApp = true;
  EXPECT_EQ(pressKey(s, UiKey::Enter, false, false), kActNone);
  EXPECT_EQ(pressKey(s, UiKey::Escape, false, false), kActNone);
  EXPECT_EQ(activate(s, kElemInstall), kActNone);
  EXPECT_EQ(activate(s, kElemFirstTask), kActNone);
  EXPECT_TRUE(s.tasks[0].on);
  EXPECT_EQ(closeRequested(s), kActNone);
  pressKey(s, UiKey::Tab, false, false);
  EXPECT_EQ(s.focus, kElemInstall);
  EXPECT_EQ(s.page, kPageOptions);
}

TEST(StateMachine, CloseAppOutcomes) {
  struct Case { bool closed, stillHeld, goOn; };
  for (Case c : {Case{true, false, true}, Case{true, true, false}, Case{false, false, false}}) {
    UiState s = on(kPageOptions);
    s.closingApp = true;
    EXPECT_EQ(takeCloseAppFinished(s, c.closed, c.stillHeld), c.goOn);
    EXPECT_FALSE(s.closingApp);
    EXPECT_EQ(s.question, c.goOn ? 0 : kQuestionAppDidNotClose);
  }
}

TEST(StateMachine, DefaultFocusByPage) {
  struct Case { int32_t page; bool accepted, noRun; int32_t focus; };
  for (Case c : {Case{0, false, false, kElemAccept}, Case{0, true, false, kElemNext}, Case{1, true, false, kElemInstall},
                 Case{2, true, false, kElemCancel}, Case{3, true, false, 0}, Case{15, true, false, 0},
                 Case{4, true, false, kElemOpenApp}, Case{4, true, true, kElemClose},
                 Case{14, true, false, kElemUninstall}, Case{9, true, false, kElemClose}}) {
    UiState s;
    s.licenseAccepted = c.accepted;
    s.noRun = c.noRun;
    moveToPage(s, c.page);
    EXPECT_EQ(s.focus, c.focus) << "page " << c.page;
  }
  UiState q = on(kPageReady, kQuestionCouldNotOpen);
  EXPECT_EQ(defaultFocus(q), kElemPrimary);
}

TEST(StateMachine, TabOrderByPage) {
  struct Case { int32_t page, question; bool accepted, noRun; std::vector<int32_t> order; };
  const Case cases[] = {
      {0, 0, false, false, {2, 3, 4}},
      {0, 0, true, false, {2, 3, 4, 5}},
      // The hidden second task has no box; the fourth gets none at all.
      {1, 0, true, false, {6, 7, 8, 10, 11, 12}},
      {2, 0, true, false, {4}},
      {3, 0, true, false, {}},
      {4, 0, true, false, {13, 1, 14}},
      {4, 0, true, true, {13, 1}},
      {14, 0, true, false, {4, 15}},
      {6, 0, true, false, {13, 1}},
      {9, 0, true, false, {13, 1}},
      {10, 0, true, false, {1}},
      {2, 3, true, false, {16, 17}},
      {4, 5, true, false, {17}},
  };
  for (const Case& c : cases) {
    UiState s = on(c.page, c.question);
    s.licenseAccepted = c.accepted;
    s.noRun = c.noRun;
    EXPECT_EQ(tabOrder(s), c.order) << "page " << c.page << " question " << c.question;
  }
}

TEST(StateMachine, TabWrapsBothWaysAndEntersTheListAtItsEnds) {
  UiState s = on(kPageOptions);
  s.focus = 0;
  moveFocus(s, false);
  EXPECT_TRUE(s.focusVisible);
  EXPECT_EQ(s.focus, kElemFolder);
  moveFocus(s, true);
  EXPECT_EQ(s.focus, kElemInstall);
  moveFocus(s, false);
  EXPECT_EQ(s.focus, kElemFolder);
  s.focus = kElemNext;  // not on this page
  moveFocus(s, true);
  EXPECT_EQ(s.focus, kElemInstall);
}

TEST(StateMachine, ActivatingElements) {
  struct Case { const char* what; int32_t page; int32_t element; int32_t action; int32_t pageAfter; };
  const Case cases[] = {
      {"Next", 0, kElemNext, kActNone, 1},
      {"Cancel on welcome", 0, kElemCancel, kActCloseWindow, 0},
      {"Back", 1, kElemBack, kActNone, 0},
      {"Install", 1, kElemInstall, kActStartInstall, 1},
      {"Browse", 1, kElemBrowse, kActPickFolder, 1},
      {"Open Zelvan", 4, kElemOpenApp, kActOpenApp, 4},
      {"Close beside Open Zelvan", 4, kElemClose, kActCloseWindow, 4},
      {"title close on options", 1, kElemTitleClose, kActCloseWindow, 1},
      {"log link on failure", 6, kElemLink, kActOpenLog, 6},
      {"Uninstall", 14, kElemUninstall, kActUninstallConfirmed, 15},
      {"the licence box is no button", 0, kElemLicenseBox, kActNone, 0},
  };
  for (const Case& c : cases) {
    UiState s = on(c.page);
    EXPECT_EQ(activate(s, c.element), c.action) << c.what;
    EXPECT_EQ(s.page, c.pageAfter) << c.what;
  }
}

TEST(StateMachine, CheckBoxesToggleAndGiveNoAction) {
  UiState s = on(kPageWelcome);
  s.licenseAccepted = false;
  EXPECT_EQ(activate(s, kElemAccept), kActNone);
  EXPECT_TRUE(s.licenseAccepted);
  s.focus = kElemAccept;
  EXPECT_EQ(pressKey(s, UiKey::Space, false, false), kActNone);
  EXPECT_FALSE(s.licenseAccepted);

  UiState o = on(kPageOptions);
  EXPECT_EQ(activate(o, kElemFirstTask + 2), kActNone);
  EXPECT_EQ(tasksOn(o), (std::vector<std::wstring>{L"desktopicon", L"fileassoc", L"startfaster"}));
}

TEST(StateMachine, EnterOnTheWelcomePageNeedsTheLicenceAccepted) {
  for (int32_t focus : {kElemLicenseBox, kElemAccept}) {
    UiState s = on(kPageWelcome);
    s.licenseAccepted = false;
    s.focus = focus;
    EXPECT_EQ(pressKey(s, UiKey::Enter, false, false), kActNone);
    EXPECT_EQ(s.page, kPageWelcome) << "focus " << focus;
    s.licenseAccepted = true;
    EXPECT_EQ(pressKey(s, UiKey::Enter, false, false), kActNone);
    EXPECT_EQ(s.page, kPageOptions) << "focus " << focus;
  }
}

TEST(StateMachine, RepeatedEnterEscapeAndSpaceAreIgnoredOtherKeysRepeat) {
  UiState s = on(kPageOptions);
  EXPECT_EQ(pressKey(s, UiKey::Enter, false, true), kActNone);
  EXPECT_EQ(pressKey(s, UiKey::Escape, false, true), kActNone);
  EXPECT_EQ(pressKey(s, UiKey::Enter, false, false), kActStartInstall);
  pressKey(s, UiKey::Tab, false, true);
  EXPECT_EQ(s.focus, kElemFolder);
}

TEST(StateMachine, LicenceScrollingIsClamped) {
  struct Case { UiKey key; int32_t from, to; };
  const Case cases[] = {{UiKey::Down, 0, 19}, {UiKey::Up, 10, 0}, {UiKey::PageDown, 0, 224},
                        {UiKey::PageDown, 900, 1000}, {UiKey::PageUp, 300, 76}, {UiKey::Home, 500, 0},
                        {UiKey::End, 0, 1000}};
  for (const Case& c : cases) {
    UiState s = on(kPageWelcome);
    s.focus = kElemLicenseBox;
    s.licenseScroll = c.from;
    pressKey(s, c.key, false, false, 1000);
    EXPECT_EQ(s.licenseScroll, c.to) << static_cast<int>(c.key) << " from " << c.from;
  }
  UiState s = on(kPageWelcome);
  s.focus = kElemAccept;
  pressKey(s, UiKey::Down, false, false, 1000);
  EXPECT_EQ(s.licenseScroll, 0) << "only a focused licence box scrolls by keys";
  wheelLicense(s, -240, 1000);
  EXPECT_EQ(s.licenseScroll, 114);
  wheelLicense(s, 1200, 1000);
  EXPECT_EQ(s.licenseScroll, 0);
}

TEST(StateMachine, WorkerMessages) {
  UiState s = on(kPageInstalling);
  takeStep(s, 3, 1, 40);
  takeStep(s, 5, 1, 10);
  takeStep(s, -1, 1, 10);
  EXPECT_EQ(s.steps[3].status, 1);
  EXPECT_EQ(s.steps[3].percent, 40);

  takeFileInUse(s, L"Zelvan.exe");
  EXPECT_EQ(s.question, kQuestionFileInUse);
  EXPECT_EQ(s.inUseFile, L"Zelvan.exe");
  EXPECT_EQ(s.focus, kElemPrimary);

  takeRollingBack(s);
  EXPECT_EQ(s.page, kPageRollingBack);
  EXPECT_EQ(s.question, 0) << "a question never outlives a page move";
}

TEST(StateMachine, FinalPageFromTheWorkersResult) {
  struct Case { int32_t outcome; int32_t page; };
  for (Case c : {Case{0, 4}, Case{1, 6}, Case{2, 5}, Case{10, 7}, Case{6, 6}}) {
    UiState s = on(kPageInstalling);
    s.stopRequested = true;
    takeWorkerDone(s, {c.outcome, 1, L"C:\\x", false}, L"C:\\log.log");
    EXPECT_EQ(s.page, c.page);
    EXPECT_EQ(s.result, c.outcome);
    EXPECT_FALSE(s.stopRequested);
    EXPECT_TRUE(s.notOptimized);
    EXPECT_EQ(s.logPath, L"C:\\log.log");
  }
}

TEST(StateMachine, FolderRefusalFocusesTheFolderAndAnAcceptanceClearsIt) {
  UiState s = on(kPageOptions);
  takeFolderVerdict(s, 3, L"refused");
  EXPECT_EQ(s.folderError, 3);
  EXPECT_EQ(s.focus, kElemFolder);
  takeFolderVerdict(s, 0, L"");
  EXPECT_EQ(s.folderError, 0);
  EXPECT_EQ(s.folderErrorText, L"");
}

}  // namespace
}  // namespace zs::ui
