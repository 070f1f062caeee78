#include "ui/plain_window.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/known_folders.h"
#include "support/test_payload.h"
#include "ui/plain_messages.h"

namespace zs::ui {
namespace {

TEST(PlainWindow, LicenceBoxText) {
  struct Case { const char* utf8; const wchar_t* shown; };
  const Case cases[] = {
      {"one\ntwo\n", L"one\r\ntwo\r\n"},
      {"\xEF\xBB\xBFterms\r\nmore", L"terms\r\nmore"},
      {"\nfirst", L"\r\nfirst"},
      {"a\r\n\nb", L"a\r\n\r\nb"},
      {"Br\xC3\xBC" "cke", L"Br\u00FCcke"},
      {"", L""},
  };
  for (const Case& c : cases) {
    std::string bytes(c.utf8);
    EXPECT_EQ(licenseBoxText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), c.shown) << c.utf8;
  }
  EXPECT_EQ(licenseBoxText(nullptr, 10), L"");
}

TEST(PlainWindow, HiddenTasksTakeNoPlaceInTheColumn) {
  std::vector<TaskChoice> tasks{{L"a", L"", L"", true, true}, {L"b", L"", L"", true, false},
                                {L"c", L"", L"", false, true}, {L"d", L"", L"", false, true}};
  EXPECT_EQ(taskBoxTops(tasks), (std::vector<int>{330, 0, 354, 378}));
}

TEST(PlainWindow, ProgressFillsAFifthPerStep) {
  struct Case { int32_t step, percent, position; };
  for (Case c : {Case{0, 0, 0}, Case{0, 100, 20}, Case{3, 40, 68}, Case{4, 100, 100}, Case{2, 4, 40}})
    EXPECT_EQ(progressPosition(c.step, c.percent), c.position) << c.step << " " << c.percent;
}

TEST(PlainWindow, TheReadyMessageAsksToOpenZelvanUnlessNoRun) {
  ClosingMessage ask = closingMessage(0, 0, L"", true, L"C:\\Z", L"", true);
  EXPECT_TRUE(ask.yesNo);
  EXPECT_EQ(ask.text, L"Prepared for this PC, so it opens quickly from the first launch.\r\n\r\nInstalled to: C:\\Z"
                      L"\r\n\r\nOpen Zelvan now?");
  ClosingMessage plain = closingMessage(0, 0, L"", true, L"C:\\Z", L"", false);
  EXPECT_FALSE(plain.yesNo);
  EXPECT_EQ(plain.text.find(L"Open Zelvan"), std::wstring::npos);
  EXPECT_FALSE(closingMessage(2, 0, L"", true, L"C:\\Z", L"", true).yesNo) << "only the installed message asks";
}

struct TitledWindow {
  const wchar_t* caption;
  HWND found;
};

BOOL CALLBACK matchTitle(HWND w, LPARAM l) {
  auto* f = reinterpret_cast<TitledWindow*>(l);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  wchar_t text[64] = {};
  GetWindowTextW(w, text, 64);
  if (pid != GetCurrentProcessId() || wcscmp(text, f->caption) != 0 || !IsWindowVisible(w)) return TRUE;
  f->found = w;
  return FALSE;
}

// This process's visible top-level window with the caption, or none.
HWND ownWindowTitled(const wchar_t* caption) {
  TitledWindow find{caption, nullptr};
  EnumWindows(matchTitle, reinterpret_cast<LPARAM>(&find));
  return find.found;
}

// Plain mode taking over while the worker waits on "A file is in use": whatever the drawn window
// had open, plain mode asks at once, and the answer reaches the worker.
TEST(PlainWindow, TakingOverAsksTheWaitingQuestionAtOnce) {
  test::TestPayload payload{{{L"{app}\\Zelvan.exe", "program"}}};
  ASSERT_TRUE(payload.accepted());
  InstallSources run;
  run.payload = &payload.payload();
  run.folders = &knownFolders();
  struct Case { Question open; bool closingApp; };
  // Each case costs a window's life under Wine (about 4 s): the question the drawn window had set,
  // with and without a close of Zelvan under way, and another question it had open.
  for (Case c : {Case{Question::FileInUse, true}, Case{Question::Stop, false}}) {
    SCOPED_TRACE(testing::Message() << "question " << static_cast<int>(c.open) << ", closing " << c.closingApp);
    UiState state;
    moveToPage(state, Page::Installing);
    if (c.open != Question::None) showQuestion(state, c.open);
    state.closingApp = c.closingApp;
    WorkerLink link;  // no target: the worker's message is lost in the hand-over, as it can be
    std::atomic<int> answered{-1};
    std::thread worker([&] { answered = link.askRetryInUse(L"Zelvan.dll") ? 1 : 0; });
    while (!link.waiting()) Sleep(5);

    std::atomic<ULONGLONG> askedAfter{0};
    std::thread user([&] {
      ULONGLONG begin = GetTickCount64();
      HWND box = nullptr;
      while (box == nullptr && GetTickCount64() - begin < 4000) {
        Sleep(20);
        box = ownWindowTitled(L"A file is in use");
      }
      if (box != nullptr) {
        askedAfter = GetTickCount64() - begin;
        PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
        for (int i = 0; i < 200 && link.waiting(); ++i) Sleep(10);
      } else {
        link.answer(false);
      }
      for (int i = 0; i < 400 && link.target() == nullptr; ++i) Sleep(10);
      if (link.target() != nullptr) PostMessageW(link.target(), kMsgClose, 0, 0);
    });
    int32_t result = runPlainWindow(run, state, link);
    user.join();
    worker.join();
    if (result == 1 && askedAfter == 0) GTEST_SKIP() << "no display: the plain window needs one (set DISPLAY)";
    EXPECT_GT(askedAfter.load(), 0u) << "the question was never asked";
    RecordProperty("askedAfterMs", static_cast<int>(askedAfter.load()));
    EXPECT_LT(askedAfter.load(), 2000u);
    EXPECT_EQ(answered.load(), 0) << "Cancel on the box reaches the worker";
  }
}

}  // namespace
}  // namespace zs::ui
