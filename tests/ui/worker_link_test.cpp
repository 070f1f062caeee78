#include "ui/worker_link.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include <functional>
#include <thread>
#include <vector>

#include "platform/registry.h"
#include "platform/known_folders.h"
#include "support/temp_folder.h"
#include "support/test_payload.h"

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
  link.onStep(InstallStep::CopyingFiles, StepStatus::Running, 0);
  link.onStep(InstallStep::CopyingFiles, StepStatus::Running, 0);
  link.onStep(InstallStep::CopyingFiles, StepStatus::Running, 30);
  link.onStep(InstallStep::CopyingFiles, StepStatus::Running, 30);
  link.onStep(InstallStep::CheckingImages, StepStatus::Done, 100);
  link.onCommitted();
  link.onRollingBack();
  std::vector<MSG> got = t.drain();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0].message, kMsgStep);
  EXPECT_EQ(got[1].lParam, 30);
  EXPECT_EQ(stepOf(got[2].wParam), 3);
  EXPECT_EQ(statusOf(got[2].wParam), SlotStatus::Done);
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

// Real installs through the link: the engine on its worker thread, its reports as messages here.
class LinkedInstall : public testing::Test {
 protected:
  test::TempFolder root;
  std::wstring folder = root / L"Zelvan";
  test::TestPayload payload{{{L"{app}\\Zelvan.exe", "program"}, {L"{app}\\Zelvan.exe.config", "config"}}};
  Target target;
  WorkerLink link;
  HANDLE held = INVALID_HANDLE_VALUE;

  void SetUp() override { link.setTarget(target.window); }

  void TearDown() override {
    release();
    link.waitForWorker();
    for (RegView view : {RegView::View64, RegView::View32})
      deleteKeyTree(RegRoot::Hklm, view, uninstallKeyOf(L"{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}"));
  }

  // Another program's file where the install puts its config, open without any sharing.
  void holdForeignConfig() {
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    std::wstring path = folder + L"\\Zelvan.exe.config";
    held = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
  }
  void release() {
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    held = INVALID_HANDLE_VALUE;
  }

  void start() {
    ASSERT_TRUE(payload.accepted());
    InstallRequest request;
    request.payload = &payload.payload();
    request.folder = folder;
    request.noRun = true;
    ASSERT_TRUE(link.start(std::move(request), knownFolders()));
  }

  // Takes the link's messages until the worker's end, handing each to `each`.
  std::vector<UINT> runToEnd(const std::function<void(const MSG&)>& each = {}, ULONGLONG limitMs = 120000) {
    std::vector<UINT> seen;
    ULONGLONG deadline = GetTickCount64() + limitMs;
    while (GetTickCount64() < deadline) {
      MSG m;
      if (!PeekMessageW(&m, target.window, WM_APP, WM_APP + 20, PM_REMOVE)) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_POSTMESSAGE);
        continue;
      }
      seen.push_back(m.message);
      if (each) each(m);
      if (m.message == kMsgWorkerDone) break;
    }
    EXPECT_TRUE(link.done()) << "the worker did not end";
    if (link.waiting()) link.answer(false);  // a worker left waiting fails the test, never hangs it
    link.waitForWorker();
    return seen;
  }

  static bool has(const std::vector<UINT>& seen, UINT message) {
    return std::find(seen.begin(), seen.end(), message) != seen.end();
  }
};

TEST_F(LinkedInstall, AfterTheCommitACancelIsRefused) {
  start();
  bool refused = false;
  std::vector<UINT> seen = runToEnd([&](const MSG& m) {
    if (m.message == kMsgCommitted) refused = !link.requestCancel();
  });
  EXPECT_EQ(link.result().outcome, 0) << link.result().detail;
  EXPECT_TRUE(has(seen, kMsgCommitted));
  EXPECT_TRUE(refused);
  EXPECT_FALSE(has(seen, kMsgRollingBack));
  EXPECT_FALSE(link.requestCancel()) << "nothing to stop once the worker has ended";
}

TEST_F(LinkedInstall, ACancelWhileCopyingReachesTheEngine) {
  holdForeignConfig();
  start();
  bool accepted = false;
  std::vector<UINT> seen = runToEnd([&](const MSG& m) {
    // Staging is done at 90; the held file keeps the engine in its copying step.
    if (m.message == kMsgStep && stepOf(m.wParam) == 0 && m.lParam == 90) accepted = link.requestCancel();
    if (m.message == kMsgFileInUse) link.answer(false);
  });
  EXPECT_TRUE(accepted);
  EXPECT_EQ(link.result().outcome, 2);
  EXPECT_TRUE(has(seen, kMsgRollingBack));
  EXPECT_FALSE(has(seen, kMsgCommitted));
  EXPECT_FALSE(has(seen, kMsgFileInUse)) << "the cancel came before the tries ran out";
}

TEST_F(LinkedInstall, TheFileInUseAnswerDecides) {
  struct Case { bool retry; int32_t outcome; };
  // "Cancel" on the question is the user stopping the install: it ends as stopped (2), not failed.
  for (Case c : {Case{false, 2}, Case{true, 0}}) {
    TearDown();
    folder = root / (c.retry ? L"Retried" : L"Refused");
    holdForeignConfig();
    start();
    int asked = 0;
    runToEnd([&](const MSG& m) {
      if (m.message != kMsgFileInUse) return;
      ++asked;
      EXPECT_EQ(link.questionText(), L"Zelvan.exe.config");
      if (c.retry) release();
      link.answer(c.retry);
    });
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(link.result().outcome, c.outcome) << "retry " << c.retry;
  }
}

// A stop the user asked for, by any way, ends as "Installation stopped", never as a failure, and
// never leaves the worker waiting on its question.
TEST_F(LinkedInstall, EveryStopWhileTheWorkerAsksEndsAsStopped) {
  // "Cancel" on the question itself: TheFileInUseAnswerDecides.
  enum class Way { StopInstalling, WindowGone };
  for (Way way : {Way::StopInstalling, Way::WindowGone}) {
    TearDown();
    SCOPED_TRACE(static_cast<int>(way));
    folder = root / (L"Way" + std::to_wstring(static_cast<int>(way)));
    holdForeignConfig();
    start();
    bool gone = false;
    runToEnd([&](const MSG& m) {
      if (m.message != kMsgFileInUse) return;
      if (way == Way::StopInstalling) {
        EXPECT_TRUE(link.requestCancel());
      }
      if (way != Way::WindowGone) return;
      // The window ends without answering; waiting for the worker must not hang.
      std::atomic<bool> returned{false};
      std::thread closing([&] {
        link.waitForWorker();
        returned = true;
      });
      for (int i = 0; i < 200 && !returned; ++i) Sleep(50);
      gone = returned;
      if (!returned) link.answer(false);
      closing.join();
    }, 30000);
    if (way == Way::WindowGone) {
      EXPECT_TRUE(gone) << "the worker stayed blocked on its question";
    }
    EXPECT_FALSE(link.waiting());
    EXPECT_EQ(link.result().outcome, 2) << "stopped, not failed: " << link.result().detail;
  }
}

}  // namespace
}  // namespace zs::ui
