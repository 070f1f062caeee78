#include "ui/ui_state.h"

#include <gtest/gtest.h>

#include "ui/printed_codes.h"

namespace zs::ui {
namespace {

UiState on(Page page, Question question = Question::None) {
  UiState s;
  s.tasks = {{L"desktopicon", L"Desktop", L"", true, true},
             {L"fileassoc", L"Types", L"", true, false},
             {L"startfaster", L"Faster", L"", false, true},
             {L"fourth", L"Fourth", L"", false, true}};
  moveToPage(s, page);
  if (question != Question::None) showQuestion(s, question);
  return s;
}

// One input on a page (and maybe under a question): the action, and where the state goes.
struct Move {
  const char* what;
  Page page;
  Question question;
  Input kind;
  Action action;
  Page pageAfter;
  Question questionAfter;
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
  if (s.question == Question::None) {
    EXPECT_EQ(s.focus, defaultFocus(s)) << "the focus goes back to the page's default";
  }
}

INSTANTIATE_TEST_SUITE_P(Pages, StateMachine, testing::Values(
    Move{"welcome: Escape stops with 2", Page::Welcome, Question::None, Input::Escape, Action::CloseWindow,
         Page::Welcome, Question::None, 2},
    Move{"welcome: Cancel stops with 2", Page::Welcome, Question::None, Input::Back, Action::CloseWindow,
         Page::Welcome, Question::None, 2},
    Move{"welcome: Next goes to options", Page::Welcome, Question::None, Input::Primary, Action::None,
         Page::Options, Question::None, -7},
    Move{"welcome: a link does nothing", Page::Welcome, Question::None, Input::Link, Action::None,
         Page::Welcome, Question::None, -7},
    Move{"options: close stops with 2", Page::Options, Question::None, Input::Close, Action::CloseWindow,
         Page::Options, Question::None, 2},
    Move{"options: Back goes to welcome", Page::Options, Question::None, Input::Back, Action::None,
         Page::Welcome, Question::None, -7},
    Move{"options: Install starts", Page::Options, Question::None, Input::Primary, Action::StartInstall,
         Page::Options, Question::None, -7},
    Move{"installing: Escape asks to stop", Page::Installing, Question::None, Input::Escape, Action::None,
         Page::Installing, Question::Stop, -7},
    Move{"installing: Cancel asks to stop", Page::Installing, Question::None, Input::Back, Action::None,
         Page::Installing, Question::Stop, -7},
    Move{"installing: Enter does nothing", Page::Installing, Question::None, Input::Primary, Action::None,
         Page::Installing, Question::None, -7},
    Move{"rolling back: close does nothing", Page::RollingBack, Question::None, Input::Close, Action::None,
         Page::RollingBack, Question::None, -7},
    Move{"removing: Enter does nothing", Page::Removing, Question::None, Input::Primary, Action::None,
         Page::Removing, Question::None, -7},
    Move{"ready: close ends with 0", Page::Ready, Question::None, Input::Close, Action::CloseWindow,
         Page::Ready, Question::None, 0},
    Move{"ready: Close beside Open ends with 0", Page::Ready, Question::None, Input::Back, Action::CloseWindow,
         Page::Ready, Question::None, 0},
    Move{"ready: Open Zelvan", Page::Ready, Question::None, Input::Primary, Action::OpenApp,
         Page::Ready, Question::None, 0},
    Move{"ready: the log link", Page::Ready, Question::None, Input::Link, Action::OpenLog,
         Page::Ready, Question::None, -7},
    Move{"uninstall: confirmed", Page::ConfirmUninstall, Question::None, Input::Primary, Action::UninstallConfirmed,
         Page::Removing, Question::None, -7},
    Move{"uninstall: Escape is no", Page::ConfirmUninstall, Question::None, Input::Escape, Action::CloseWindow,
         Page::ConfirmUninstall, Question::None, 2},
    Move{".NET page: download link", Page::NoDotNet, Question::None, Input::Link, Action::OpenDownload,
         Page::NoDotNet, Question::None, -7},
    Move{".NET page: close gives 3", Page::NoDotNet, Question::None, Input::Close, Action::CloseWindow,
         Page::NoDotNet, Question::None, 3},
    Move{"stopped: log link", Page::Stopped, Question::None, Input::Link, Action::OpenLog,
         Page::Stopped, Question::None, -7},
    Move{"stopped: Close gives 2", Page::Stopped, Question::None, Input::Primary, Action::CloseWindow,
         Page::Stopped, Question::None, 2},
    Move{"failed: Escape gives 1", Page::Failed, Question::None, Input::Escape, Action::CloseWindow,
         Page::Failed, Question::None, 1},
    Move{"incomplete: Close gives 10", Page::Incomplete, Question::None, Input::Primary, Action::CloseWindow,
         Page::Incomplete, Question::None, 10},
    Move{"old Windows: Close gives 4", Page::OldWindows, Question::None, Input::Primary, Action::CloseWindow,
         Page::OldWindows, Question::None, 4},
    Move{"damaged: close gives 9", Page::Damaged, Question::None, Input::Close, Action::CloseWindow,
         Page::Damaged, Question::None, 9},
    Move{"damaged: no log link", Page::Damaged, Question::None, Input::Link, Action::None,
         Page::Damaged, Question::None, -7},
    Move{"newer: Close gives 5", Page::NewerInstalled, Question::None, Input::Primary, Action::CloseWindow,
         Page::NewerInstalled, Question::None, 5},
    Move{"msi copy: Close gives 11", Page::MsiCopy, Question::None, Input::Primary, Action::CloseWindow,
         Page::MsiCopy, Question::None, 11},
    Move{"bad switch: Close gives 6", Page::BadSwitch, Question::None, Input::Primary, Action::CloseWindow,
         Page::BadSwitch, Question::None, 6},
    Move{"removed: Close gives 0", Page::Removed, Question::None, Input::Primary, Action::CloseWindow,
         Page::Removed, Question::None, 0},
    Move{"almost done: log link", Page::AlmostDone, Question::None, Input::Link, Action::OpenLog,
         Page::AlmostDone, Question::None, -7},
    Move{"can't uninstall: Back does nothing", Page::CantUninstall, Question::None, Input::Back, Action::None,
         Page::CantUninstall, Question::None, -7}));

INSTANTIATE_TEST_SUITE_P(Questions, StateMachine, testing::Values(
    Move{"app open: Close Zelvan", Page::Options, Question::AppOpen, Input::Yes, Action::CloseApp,
         Page::Options, Question::None, -7},
    Move{"app open: Enter", Page::Options, Question::AppOpen, Input::Primary, Action::CloseApp,
         Page::Options, Question::None, -7},
    Move{"app open: Cancel", Page::Options, Question::AppOpen, Input::No, Action::None,
         Page::Options, Question::None, -7},
    Move{"app open: Escape only drops it", Page::Options, Question::AppOpen, Input::Escape, Action::None,
         Page::Options, Question::None, -7},
    Move{"didn't close: Try again", Page::Options, Question::AppDidNotClose, Input::Yes, Action::CloseApp,
         Page::Options, Question::None, -7},
    Move{"didn't close: close", Page::Options, Question::AppDidNotClose, Input::Close, Action::None,
         Page::Options, Question::None, -7},
    Move{"stop: Stop installing", Page::Installing, Question::Stop, Input::Yes, Action::StopEngine,
         Page::Installing, Question::None, -7},
    Move{"stop: Keep installing", Page::Installing, Question::Stop, Input::No, Action::None,
         Page::Installing, Question::None, -7},
    Move{"in use: Try again", Page::Installing, Question::FileInUse, Input::Yes, Action::RetryInUse,
         Page::Installing, Question::None, -7},
    Move{"in use: Cancel", Page::Installing, Question::FileInUse, Input::No, Action::CancelInUse,
         Page::Installing, Question::None, -7},
    Move{"in use: Escape cancels", Page::Installing, Question::FileInUse, Input::Escape, Action::CancelInUse,
         Page::Installing, Question::None, -7},
    Move{"couldn't open: Close", Page::Ready, Question::CouldNotOpen, Input::Yes, Action::None,
         Page::Ready, Question::None, -7},
    Move{"couldn't open: Escape", Page::Ready, Question::CouldNotOpen, Input::Escape, Action::None,
         Page::Ready, Question::None, -7}));

TEST(StateMachine, StopIsOfferedOnlyBeforeTheCommitAndOnce) {
  UiState s = on(Page::Installing);
  EXPECT_EQ(s.focus, Element::Cancel);
  applyInput(s, Input::Escape);
  EXPECT_EQ(applyInput(s, Input::Yes), Action::StopEngine);
  EXPECT_TRUE(s.stopRequested);
  EXPECT_EQ(s.focus, Element::None);
  EXPECT_EQ(applyInput(s, Input::Escape), Action::None) << "a second stop is not asked once one was accepted";
  EXPECT_EQ(s.question, Question::None);

  UiState c = on(Page::Installing);
  takeCommitted(c);
  EXPECT_EQ(c.focus, Element::None);
  EXPECT_EQ(applyInput(c, Input::Escape), Action::None);
  EXPECT_EQ(closeRequested(c), Action::None);
  EXPECT_EQ(c.question, Question::None) << "after the commit, Cancel does nothing";
  EXPECT_TRUE(tabOrder(c).empty());
}

TEST(StateMachine, TheCommitDropsAStopQuestionButNotAFileInUseOne) {
  UiState s = on(Page::Installing, Question::Stop);
  takeCommitted(s);
  EXPECT_EQ(s.question, Question::None);
  EXPECT_EQ(s.focus, Element::None);

  UiState f = on(Page::Installing, Question::FileInUse);
  takeCommitted(f);
  EXPECT_EQ(f.question, Question::FileInUse);
  EXPECT_EQ(f.focus, Element::Primary);
}

TEST(StateMachine, ARefusedStopLeavesTheInstallRunning) {
  UiState s = on(Page::Installing, Question::Stop);
  ASSERT_EQ(applyInput(s, Input::Yes), Action::StopEngine);
  takeStopRefused(s);
  EXPECT_FALSE(s.cancelAllowed);
  EXPECT_FALSE(s.stopRequested);
  EXPECT_EQ(s.focus, Element::None);
}

TEST(StateMachine, WhileZelvanIsBeingClosedInputIsIgnored) {
  UiState s = on(Page::Options);
  s.closingApp = true;
  EXPECT_EQ(pressKey(s, UiKey::Enter, false, false), Action::None);
  EXPECT_EQ(pressKey(s, UiKey::Escape, false, false), Action::None);
  EXPECT_EQ(activate(s, Element::Install), Action::None);
  EXPECT_EQ(activate(s, Element::FirstTask), Action::None);
  EXPECT_TRUE(s.tasks[0].on);
  EXPECT_EQ(closeRequested(s), Action::None);
  pressKey(s, UiKey::Tab, false, false);
  EXPECT_EQ(s.focus, Element::Install);
  EXPECT_EQ(s.page, Page::Options);
}

TEST(StateMachine, CloseAppOutcomes) {
  struct Case { bool closed, stillHeld, goOn; };
  for (Case c : {Case{true, false, true}, Case{true, true, false}, Case{false, false, false}}) {
    UiState s = on(Page::Options);
    s.closingApp = true;
    EXPECT_EQ(takeCloseAppFinished(s, c.closed, c.stillHeld), c.goOn);
    EXPECT_FALSE(s.closingApp);
    EXPECT_EQ(s.question, c.goOn ? Question::None : Question::AppDidNotClose);
  }
}

TEST(StateMachine, DefaultFocusByPage) {
  struct Case { Page page; bool accepted, noRun; Element focus; };
  for (Case c :
       {Case{Page::Welcome, false, false, Element::Accept}, Case{Page::Welcome, true, false, Element::Next},
        Case{Page::Options, true, false, Element::Install}, Case{Page::Installing, true, false, Element::Cancel},
        Case{Page::RollingBack, true, false, Element::None}, Case{Page::Removing, true, false, Element::None},
        Case{Page::Ready, true, false, Element::OpenApp}, Case{Page::Ready, true, true, Element::Close},
        Case{Page::ConfirmUninstall, true, false, Element::Uninstall},
        Case{Page::NoDotNet, true, false, Element::Close}}) {
    UiState s;
    s.licenseAccepted = c.accepted;
    s.noRun = c.noRun;
    moveToPage(s, c.page);
    EXPECT_EQ(s.focus, c.focus) << "page " << c.page;
  }
  UiState q = on(Page::Ready, Question::CouldNotOpen);
  EXPECT_EQ(defaultFocus(q), Element::Primary);
}

TEST(StateMachine, TabOrderByPage) {
  struct Case { Page page; Question question; bool accepted, noRun; std::vector<Element> order; };
  const Case cases[] = {
      {Page::Welcome, Question::None, false, false, {Element::LicenseBox, Element::Accept, Element::Cancel}},
      {Page::Welcome, Question::None, true, false,
       {Element::LicenseBox, Element::Accept, Element::Cancel, Element::Next}},
      // The hidden second task has no box; the fourth gets none at all.
      {Page::Options, Question::None, true, false,
       {Element::Folder, Element::Browse, Element::FirstTask, Element::ThirdTask, Element::Back, Element::Install}},
      {Page::Installing, Question::None, true, false, {Element::Cancel}},
      {Page::RollingBack, Question::None, true, false, {}},
      {Page::Ready, Question::None, true, false, {Element::Link, Element::Close, Element::OpenApp}},
      {Page::Ready, Question::None, true, true, {Element::Link, Element::Close}},
      {Page::ConfirmUninstall, Question::None, true, false, {Element::Cancel, Element::Uninstall}},
      {Page::Failed, Question::None, true, false, {Element::Link, Element::Close}},
      {Page::NoDotNet, Question::None, true, false, {Element::Link, Element::Close}},
      {Page::Damaged, Question::None, true, false, {Element::Close}},
      {Page::Installing, Question::Stop, true, false, {Element::Secondary, Element::Primary}},
      {Page::Ready, Question::CouldNotOpen, true, false, {Element::Primary}},
  };
  for (const Case& c : cases) {
    UiState s = on(c.page, c.question);
    s.licenseAccepted = c.accepted;
    s.noRun = c.noRun;
    EXPECT_EQ(tabOrder(s), c.order) << "page " << c.page << " question " << c.question;
  }
}

TEST(StateMachine, TabWrapsBothWaysAndEntersTheListAtItsEnds) {
  UiState s = on(Page::Options);
  s.focus = Element::None;
  moveFocus(s, false);
  EXPECT_TRUE(s.focusVisible);
  EXPECT_EQ(s.focus, Element::Folder);
  moveFocus(s, true);
  EXPECT_EQ(s.focus, Element::Install);
  moveFocus(s, false);
  EXPECT_EQ(s.focus, Element::Folder);
  s.focus = Element::Next;  // not on this page
  moveFocus(s, true);
  EXPECT_EQ(s.focus, Element::Install);
}

TEST(StateMachine, ActivatingElements) {
  struct Case { const char* what; Page page; Element element; Action action; Page pageAfter; };
  const Case cases[] = {
      {"Next", Page::Welcome, Element::Next, Action::None, Page::Options},
      {"Cancel on welcome", Page::Welcome, Element::Cancel, Action::CloseWindow, Page::Welcome},
      {"Back", Page::Options, Element::Back, Action::None, Page::Welcome},
      {"Install", Page::Options, Element::Install, Action::StartInstall, Page::Options},
      {"Browse", Page::Options, Element::Browse, Action::PickFolder, Page::Options},
      {"Open Zelvan", Page::Ready, Element::OpenApp, Action::OpenApp, Page::Ready},
      {"Close beside Open Zelvan", Page::Ready, Element::Close, Action::CloseWindow, Page::Ready},
      {"title close on options", Page::Options, Element::TitleClose, Action::CloseWindow, Page::Options},
      {"log link on failure", Page::Failed, Element::Link, Action::OpenLog, Page::Failed},
      {"Uninstall", Page::ConfirmUninstall, Element::Uninstall, Action::UninstallConfirmed, Page::Removing},
      {"the licence box is no button", Page::Welcome, Element::LicenseBox, Action::None, Page::Welcome},
  };
  for (const Case& c : cases) {
    UiState s = on(c.page);
    EXPECT_EQ(activate(s, c.element), c.action) << c.what;
    EXPECT_EQ(s.page, c.pageAfter) << c.what;
  }
}

TEST(StateMachine, CheckBoxesToggleAndGiveNoAction) {
  UiState s = on(Page::Welcome);
  s.licenseAccepted = false;
  EXPECT_EQ(activate(s, Element::Accept), Action::None);
  EXPECT_TRUE(s.licenseAccepted);
  s.focus = Element::Accept;
  EXPECT_EQ(pressKey(s, UiKey::Space, false, false), Action::None);
  EXPECT_FALSE(s.licenseAccepted);

  UiState o = on(Page::Options);
  EXPECT_EQ(activate(o, Element::ThirdTask), Action::None);
  EXPECT_EQ(tasksOn(o), (std::vector<std::wstring>{L"desktopicon", L"fileassoc", L"startfaster"}));
}

TEST(StateMachine, EnterOnTheWelcomePageNeedsTheLicenceAccepted) {
  for (Element focus : {Element::LicenseBox, Element::Accept}) {
    UiState s = on(Page::Welcome);
    s.licenseAccepted = false;
    s.focus = focus;
    EXPECT_EQ(pressKey(s, UiKey::Enter, false, false), Action::None);
    EXPECT_EQ(s.page, Page::Welcome) << "focus " << focus;
    s.licenseAccepted = true;
    EXPECT_EQ(pressKey(s, UiKey::Enter, false, false), Action::None);
    EXPECT_EQ(s.page, Page::Options) << "focus " << focus;
  }
}

TEST(StateMachine, RepeatedEnterEscapeAndSpaceAreIgnoredOtherKeysRepeat) {
  UiState s = on(Page::Options);
  EXPECT_EQ(pressKey(s, UiKey::Enter, false, true), Action::None);
  EXPECT_EQ(pressKey(s, UiKey::Escape, false, true), Action::None);
  EXPECT_EQ(pressKey(s, UiKey::Enter, false, false), Action::StartInstall);
  pressKey(s, UiKey::Tab, false, true);
  EXPECT_EQ(s.focus, Element::Folder);
}

TEST(StateMachine, LicenceScrollingIsClamped) {
  struct Case { UiKey key; int32_t from, to; };
  const Case cases[] = {{UiKey::Down, 0, 19}, {UiKey::Up, 10, 0}, {UiKey::PageDown, 0, 224},
                        {UiKey::PageDown, 900, 1000}, {UiKey::PageUp, 300, 76}, {UiKey::Home, 500, 0},
                        {UiKey::End, 0, 1000}};
  for (const Case& c : cases) {
    UiState s = on(Page::Welcome);
    s.focus = Element::LicenseBox;
    s.licenseScroll = c.from;
    pressKey(s, c.key, false, false, 1000);
    EXPECT_EQ(s.licenseScroll, c.to) << static_cast<int>(c.key) << " from " << c.from;
  }
  UiState s = on(Page::Welcome);
  s.focus = Element::Accept;
  pressKey(s, UiKey::Down, false, false, 1000);
  EXPECT_EQ(s.licenseScroll, 0) << "only a focused licence box scrolls by keys";
  wheelLicense(s, -240, 1000);
  EXPECT_EQ(s.licenseScroll, 114);
  wheelLicense(s, 1200, 1000);
  EXPECT_EQ(s.licenseScroll, 0);
}

TEST(StateMachine, WorkerMessages) {
  UiState s = on(Page::Installing);
  takeStep(s, 3, SlotStatus::Running, 40);
  takeStep(s, 5, SlotStatus::Running, 10);
  takeStep(s, -1, SlotStatus::Running, 10);
  EXPECT_EQ(s.steps[3].status, SlotStatus::Running);
  EXPECT_EQ(s.steps[3].percent, 40);

  takeFileInUse(s, L"Zelvan.exe");
  EXPECT_EQ(s.question, Question::FileInUse);
  EXPECT_EQ(s.inUseFile, L"Zelvan.exe");
  EXPECT_EQ(s.focus, Element::Primary);

  takeRollingBack(s);
  EXPECT_EQ(s.page, Page::RollingBack);
  EXPECT_EQ(s.question, Question::None) << "a question never outlives a page move";
}

// The worker's question arriving while the user answers another one waits for that answer.
TEST(StateMachine, AFileInUseNeverReplacesAQuestionBeingAnswered) {
  struct Case { Question open; bool shown; Question after; };
  for (Case c : {Case{Question::None, true, Question::FileInUse}, Case{Question::Stop, false, Question::Stop},
                 Case{Question::FileInUse, true, Question::FileInUse}}) {
    UiState s = on(Page::Installing, c.open);
    EXPECT_EQ(takeFileInUse(s, L"Zelvan.dll"), c.shown) << static_cast<int>(c.open);
    EXPECT_EQ(s.question, c.after) << static_cast<int>(c.open);
    EXPECT_EQ(s.inUseFile, c.shown ? L"Zelvan.dll" : L"");
  }
  // "Keep installing": the waiting question comes next.
  UiState s = on(Page::Installing, Question::Stop);
  takeFileInUse(s, L"Zelvan.dll");
  EXPECT_EQ(applyInput(s, Input::No), Action::None);
  EXPECT_TRUE(takeFileInUse(s, L"Zelvan.dll"));
  EXPECT_EQ(applyInput(s, Input::Escape), Action::CancelInUse);
}

// What the drawn window had open when plain mode takes over must not block plain mode's own
// questions or its Cancel.
TEST(StateMachine, PlainModeTakesOverWithoutTheDrawnWindowsQuestion) {
  for (Page page : {Page::Welcome, Page::Options, Page::Installing}) {
    for (Question open : {Question::AppOpen, Question::Stop, Question::FileInUse}) {
      UiState s = on(page, open);
      s.closingApp = true;
      s.pressed = Element::Primary;
      takeOverInPlainMode(s);
      EXPECT_EQ(s.question, Question::None);
      EXPECT_FALSE(s.closingApp);
      EXPECT_EQ(s.pressed, Element::None);
      EXPECT_TRUE(takeFileInUse(s, L"Zelvan.exe"));
      s.question = Question::None;
      Action close = closeRequested(s);
      if (page == Page::Installing) {
        EXPECT_EQ(s.question, Question::Stop) << "Cancel asks to stop";
      } else {
        EXPECT_EQ(close, Action::CloseWindow) << "Cancel closes page " << static_cast<int>(page);
      }
    }
  }
}

TEST(StateMachine, FinalPageFromTheWorkersResult) {
  struct Case { int32_t outcome; Page page; };
  for (Case c : {Case{0, Page::Ready}, Case{1, Page::Failed}, Case{2, Page::Stopped}, Case{10, Page::Incomplete},
                 Case{6, Page::Failed}}) {
    UiState s = on(Page::Installing);
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
  UiState s = on(Page::Options);
  takeFolderVerdict(s, 3, L"refused");
  EXPECT_EQ(s.folderError, 3);
  EXPECT_EQ(s.focus, Element::Folder);
  takeFolderVerdict(s, 0, L"");
  EXPECT_EQ(s.folderError, 0);
  EXPECT_EQ(s.folderErrorText, L"");
}

}  // namespace
}  // namespace zs::ui
