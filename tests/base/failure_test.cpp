#include "base/failure.h"

#include <gtest/gtest.h>

#include <thread>

#include "base/text.h"
#include "support/log_capture.h"

namespace zs {
namespace {

using test::LogCapture;

// A category as a number, the way it travels to a window; numbers outside the categories included.
StopCategory category(int number) { return static_cast<StopCategory>(number); }

TEST(Failure, UserTextsNameWhatTheCategorySaysAndNoNumbers) {
  EXPECT_EQ(userText(category(1), L"C:\\Program Files\\Zelvan\\a.dll"), L"Couldn't write to C:\\Program Files\\Zelvan\\a.dll.");
  EXPECT_EQ(userText(category(2), L"ignored"), L"There wasn't enough disk space.");
  EXPECT_EQ(userText(category(3), L"HKLM\\SOFTWARE\\Brightmoor"), L"Couldn't change the Windows registry.");
  EXPECT_EQ(userText(category(4), L""), L"This setup file is damaged.");
  EXPECT_EQ(userText(category(5), L"Zelvan.exe"), L"A file is in use: Zelvan.exe.");
  EXPECT_EQ(userText(category(6), L""), L"Something unexpected happened. The log has the details.");
  EXPECT_EQ(userText(category(0), L"x"), L"");
  EXPECT_EQ(userText(category(7), L"x"), L"");
  EXPECT_EQ(userText(category(-1), L"x"), L"");
}

Stop catchStop(void (*f)()) {
  try {
    f();
  } catch (const Stop& s) {
    return s;
  }
  ADD_FAILURE() << "no Stop was thrown";
  return {};
}

TEST(Failure, WriteFailuresLogTheErrorThenStop) {
  LogCapture log;
  Stop denied = catchStop([] { raiseWriteFailure(L"C:\\Z\\a.dll", 5); });
  EXPECT_EQ(denied.kind, StopKind::Failed);
  EXPECT_EQ(denied.category, StopCategory::WriteFailed);
  EXPECT_EQ(denied.detail, L"C:\\Z\\a.dll");
  EXPECT_EQ(userText(denied.category, denied.detail), L"Couldn't write to C:\\Z\\a.dll.");

  for (unsigned long code : {112ul, 39ul}) {
    Stop full = code == 112 ? catchStop([] { raiseWriteFailure(L"C:\\Z\\b.dll", 112); })
                            : catchStop([] { raiseWriteFailure(L"C:\\Z\\b.dll", 39); });
    EXPECT_EQ(full.category, StopCategory::DiskFull) << code;
    EXPECT_TRUE(full.detail.empty());
    EXPECT_EQ(userText(full.category, full.detail), L"There wasn't enough disk space.");
  }
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 3u) << "one log line per failure";
  EXPECT_EQ(lines[0], wideToUtf8(windowsErrorText(L"Couldn't write C:\\Z\\a.dll", 5)));
  EXPECT_EQ(lines[1].rfind("Couldn't write C:\\Z\\b.dll: Windows error 112: ", 0), 0u);
}

TEST(Failure, RegistryFailuresCarryTheKeyButDoNotShowIt) {
  LogCapture log;
  Stop s = catchStop([] { raiseRegistryFailure(L"HKLM\\SOFTWARE\\Brightmoor", 5); });
  EXPECT_EQ(s.category, StopCategory::RegistryFailed);
  EXPECT_EQ(s.detail, L"HKLM\\SOFTWARE\\Brightmoor");
  EXPECT_EQ(userText(s.category, s.detail).find(L"Brightmoor"), std::wstring::npos);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("Couldn't change the registry key HKLM\\SOFTWARE\\Brightmoor: Windows error 5: ", 0), 0u);
}

TEST(Failure, CancelIsHonouredBeforeTheCommitAndRefusedAfterIt) {
  CancelState state;
  EXPECT_NO_THROW(state.cancelPoint());
  EXPECT_TRUE(state.requestCancel());
  LogCapture log;
  try {
    state.cancelPoint();
    ADD_FAILURE() << "no Stop";
  } catch (const Stop& s) {
    EXPECT_EQ(s.kind, StopKind::Cancelled);
    EXPECT_EQ(s.category, StopCategory::None);
    EXPECT_TRUE(s.detail.empty());
  }
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Cancel was asked for."}));

  CancelState committed;
  {
    std::lock_guard<std::mutex> guard(committed.lock());
    committed.markCommittedLocked();
  }
  EXPECT_FALSE(committed.requestCancel()) << "too late to cancel";
  EXPECT_FALSE(committed.cancelRequested());
  EXPECT_NO_THROW(committed.cancelPoint());
}

TEST(Failure, ACancelRaceWithTheCommitHasExactlyOneWinner) {
  // Whatever the interleaving, either the cancel was accepted before the commit record, or it was
  // refused after it: never both, never neither.
  for (int round = 0; round < 200; ++round) {
    CancelState state;
    bool accepted = false;
    bool sawCancelAtCommit = false;
    std::thread canceller([&] { accepted = state.requestCancel(); });
    {
      std::lock_guard<std::mutex> guard(state.lock());
      sawCancelAtCommit = state.cancelRequested();
      if (!sawCancelAtCommit) state.markCommittedLocked();
    }
    canceller.join();
    EXPECT_EQ(accepted, sawCancelAtCommit) << "round " << round;
  }
}

}  // namespace
}  // namespace zs
