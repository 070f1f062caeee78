#include "ui/worker_link.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace zs::ui {
namespace {

// A message-only window on this thread that collects what the link posts.
struct Target {
  HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ~Target() { DestroyWindow(window); }

  std::vector<MSG> drain() {
    std::vector<MSG> out;
    MSG m;
    while (PeekMessageW(&m, window, WM_APP, WM_APP + 20, PM_REMOVE)) out.push_back(m);
    return out;
  }
};

TEST(WorkerLink, RepeatedStepReportsPostOneMessage) {
  Target t;
  ASSERT_NE(t.window, nullptr);
  WorkerLink link;
  link.setTarget(t.window);
  link.onStep(0, kStepRunning, 0);
  link.onStep(0, kStepRunning, 0);
  link.onStep(0, kStepRunning, 30);
  link.onStep(0, kStepRunning, 30);
  link.onStep(3, kStepDone, 100);
  link.onCommitted();
  link.onRollingBack();
  std::vector<MSG> got = t.drain();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0].message, kMsgStep);
  EXPECT_EQ(got[1].lParam, 30);
  EXPECT_EQ(stepOf(got[2].wParam), 3);
  EXPECT_EQ(statusOf(got[2].wParam), kStepDone);
  EXPECT_EQ(got[2].lParam, 100);
  EXPECT_EQ(got[3].message, kMsgCommitted);
  EXPECT_EQ(got[4].message, kMsgRollingBack);
}

TEST(WorkerLink, TheFileInUseQuestionWaitsForTheWindowsAnswer) {
  Target t;
  WorkerLink link;
  link.setTarget(t.window);
  for (bool retry : {true, false}) {
    bool answered = !retry;
    std::thread worker([&] { answered = link.askRetryInUse(L"Zelvan.exe"); });
    MSG m;
    // The worker posts to a window of this thread: the message arrives here.
    while (!PeekMessageW(&m, t.window, kMsgFileInUse, kMsgFileInUse, PM_REMOVE)) Sleep(5);
    EXPECT_TRUE(link.waiting());
    EXPECT_EQ(link.questionText(), L"Zelvan.exe");
    link.answer(retry);
    worker.join();
    EXPECT_EQ(answered, retry);
    EXPECT_FALSE(link.waiting());
  }
}

TEST(WorkerLink, NoCancelWithoutAnEngine) {
  WorkerLink link;
  EXPECT_FALSE(link.requestCancel());
  EXPECT_FALSE(link.started());
  link.waitForWorker();
}

}  // namespace
}  // namespace zs::ui
