#include "ui/silent_sink.h"

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "ui/plain_messages.h"

namespace zs {
namespace {

using test::LogCapture;

InstallStep step(int number) { return static_cast<InstallStep>(number); }
constexpr StepStatus kRunning = StepStatus::Running;
constexpr StepStatus kDone = StepStatus::Done;

TEST(SilentSink, OneStepLinePerStepWhateverThePercents) {
  LogCapture log;
  SilentSink sink;
  for (int n = 0; n < kInstallStepCount; ++n) {
    sink.onStep(step(n), kRunning, 0);
    if (n == 1) {
      sink.onStep(step(1), kRunning, 30);
      sink.onStep(step(1), kRunning, 60);
    }
    sink.onStep(step(n), kDone, 100);
  }
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             "Step: Copying files",
                             "Step: Setting up shortcuts and file types",
                             "Step: Optimizing for instant start",
                             "Step: Checking the result",
                             "Step: Warming up Zelvan",
                         }));
}

TEST(SilentSink, UnknownStepsLogAnEmptyNameAndRollbackIsAnnounced) {
  LogCapture log;
  SilentSink sink;
  sink.onStep(step(7), kRunning, 0);
  sink.onStep(step(7), kRunning, 50);
  sink.onStep(step(-1), kRunning, 0);
  sink.onRollingBack();
  EXPECT_FALSE(sink.askRetryInUse(L"Zelvan.exe")) << "a silent install never waits beyond the engine's tries";
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Step: ", "Step: ", "Putting things back."}));
}

TEST(SilentSink, AStepAnnouncedAgainAfterAnotherIsLoggedAgain) {
  LogCapture log;
  SilentSink sink;
  sink.onStep(step(0), kRunning, 0);
  sink.onStep(step(0), kDone, 100);
  sink.onStep(step(0), kRunning, 0);
  EXPECT_EQ(log.lines().size(), 2u);
}

TEST(EngineSinkBase, DoesNothingAndAnswersTheSilentWay) {
  LogCapture log;
  EngineSink base;
  base.onStep(step(0), kRunning, 0);
  base.onCommitted();
  base.onRollingBack();
  EXPECT_FALSE(base.askRetryInUse(L"a.dll"));
  uninstall::Ui ui;
  EXPECT_TRUE(ui.confirmUninstall());
  EXPECT_FALSE(ui.askCloseApp());
  EXPECT_FALSE(ui.askRetryClose());
  ui.onProgress(UninstallStep::NativeImages, kRunning);
  ui.onRecordMissing();
  ui.onFinished(true);
  EXPECT_EQ(ui.engineSink(), nullptr);
  EXPECT_TRUE(log.lines().empty());
}

TEST(StepTables, NamesAndDetailsInRangeAndEmptyOutside) {
  EXPECT_STREQ(installStepName(2), L"Optimizing for instant start");
  EXPECT_STREQ(installStepDetail(4), L"Running Zelvan once in the background so the first launch is quick.");
  EXPECT_STREQ(uninstallStepName(0), L"Removing native images");
  EXPECT_STREQ(uninstallStepDetail(2), L"Removing Zelvan's program files.");
  for (int bad : {-1, 5, 100}) {
    EXPECT_STREQ(installStepName(bad), L"");
    EXPECT_STREQ(installStepDetail(bad), L"");
  }
  for (int bad : {-1, 3}) {
    EXPECT_STREQ(uninstallStepName(bad), L"");
    EXPECT_STREQ(uninstallStepDetail(bad), L"");
  }
}

TEST(ErrorPages, ResultCodesFollowThePages) {
  using ui::Page;
  const std::pair<Page, int> table[] = {{Page::Stopped, 2},       {Page::Failed, 1},          {Page::AlmostDone, 1},
                                        {Page::CantUninstall, 1}, {Page::Incomplete, 10},     {Page::OldWindows, 4},
                                        {Page::NoDotNet, 3},      {Page::Damaged, 9},         {Page::NewerInstalled, 5},
                                        {Page::MsiCopy, 11},      {Page::BadSwitch, 6},       {Page::Ready, 0},
                                        {Page::Welcome, 0},       {Page::ConfirmUninstall, 0}};
  for (auto [page, code] : table) EXPECT_EQ(pageResultCode(page), code) << "page " << static_cast<int>(page);
}

TEST(ErrorPages, PlainTextsAndCaptions) {
  PlainErrorText bad = plainErrorText(ui::Page::BadSwitch, L"/bogus");
  EXPECT_STREQ(bad.caption, L"Can't start");
  EXPECT_EQ(bad.text, L"Setup doesn't recognise this switch: /bogus");
  EXPECT_FALSE(bad.yesNo);
  PlainErrorText net = plainErrorText(ui::Page::NoDotNet, L"");
  EXPECT_TRUE(net.yesNo);
  EXPECT_NE(net.text.find(L"\r\n\r\nOpen Microsoft's download page?"), std::wstring::npos);
  EXPECT_EQ(plainErrorText(ui::Page::Damaged, L"").text,
            L"This setup file is damaged. Please download it again. Nothing has been changed.");
  const ui::Page noPage = static_cast<ui::Page>(42);
  EXPECT_STREQ(plainErrorText(noPage, L"x").caption, L"Can't install");
  EXPECT_EQ(plainErrorText(noPage, L"x").text, L"");
}

}  // namespace
}  // namespace zs

namespace zs {
namespace {

TEST(ClosingMessages, OnePerFinalPage) {
  ClosingMessage ready = closingMessage(0, 0, L"", true, L"C:\\Program Files\\Zelvan", L"C:\\log.log");
  EXPECT_EQ(ready.page, ui::Page::Ready);
  EXPECT_STREQ(ready.caption, L"Zelvan is ready");
  EXPECT_EQ(ready.text, L"Prepared for this PC, so it opens quickly from the first launch.\r\n\r\nInstalled to: "
                        L"C:\\Program Files\\Zelvan");
  EXPECT_EQ(closingMessage(0, 0, L"", false, L"C:\\Z", L"").text.rfind(L"Installed and ready. It couldn't", 0), 0u);
  EXPECT_EQ(closingMessage(2, 0, L"", false, L"", L"").page, ui::Page::Stopped);
  ClosingMessage failed = closingMessage(1, 5, L"Zelvan.exe", false, L"", L"C:\\x.log");
  EXPECT_EQ(failed.page, ui::Page::Failed);
  EXPECT_EQ(failed.text, L"Setup ran into a problem and put everything back the way it was.\r\n\r\nA file is in use: "
                         L"Zelvan.exe.\r\n\r\nThe log is at C:\\x.log");
  ClosingMessage stuck = closingMessage(10, 1, L"C:\\Z", false, L"", L"C:\\x.log");
  EXPECT_EQ(stuck.page, ui::Page::Incomplete);
  EXPECT_STREQ(stuck.caption, L"Setup couldn't finish");
}

}  // namespace
}  // namespace zs
