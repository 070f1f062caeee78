#include "uninstall/launcher_link.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "base/switches.h"
#include "platform/child_result.h"
#include "platform/handle.h"
#include "platform/proc_helper_path.h"
#include "support/log_capture.h"

namespace zs {
namespace {

using test::contains;
using test::LogCapture;

// The launcher's end of a pipe and the end a copy inherits, as the launcher makes them.
struct Pipe {
  UniqueHandle read;
  UniqueHandle write;
  Pipe() {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    if (CreatePipe(&r, &w, &inherit, 0)) {
      read.reset(r);
      write.reset(w);
    }
  }
  uint32_t writeNumber() const { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(write.get())); }
  // What arrived, once every write end is closed: the bytes read as 32-bit numbers.
  std::vector<int32_t> received() {
    std::vector<int32_t> out;
    int32_t value = 0;
    DWORD got = 0;
    while (ReadFile(read.get(), &value, sizeof(value), &got, nullptr) && got == sizeof(value)) out.push_back(value);
    return out;
  }
};

SwitchSet copyOf(uint32_t resultHandle, int32_t parent = 4) {
  SwitchSet s;
  s.runParentId = parent;
  s.resultHandle = resultHandle;
  return s;
}

// ---- The launcher's side ----

TEST(LauncherWait, TheResultArrivesWhileTheCopyGoesOn) {
  ReportingChild child;
  DWORD error = 0;
  ASSERT_TRUE(startReportingChild(
      test::procHelperPath(), [](uint32_t h) { return L"result " + std::to_wstring(h) + L" 3010 20000"; }, child,
      &error))
      << error;
  ChildResult result = waitForChildResult(child);
  EXPECT_TRUE(result.received);
  EXPECT_EQ(result.value, 3010);
  EXPECT_EQ(WaitForSingleObject(child.process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
      << "the copy still runs: it deletes the launcher's file after the launcher has ended";
  TerminateProcess(child.process.get(), 0);
  WaitForSingleObject(child.process.get(), 10000);
}

TEST(LauncherWait, ACopyThatEndsWithoutAResultIsNotWaitedForLonger) {
  struct Case {
    const wchar_t* role;
    DWORD exitCode;
  };
  for (const Case& c : {Case{L"exit 0", 0}, Case{L"exit 3", 3}}) {
    ReportingChild child;
    ASSERT_TRUE(startReportingChild(test::procHelperPath(), [&](uint32_t) { return std::wstring(c.role); }, child));
    ChildResult result = waitForChildResult(child);
    EXPECT_FALSE(result.received) << c.role;
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_BROKEN_PIPE)) << c.role;
    EXPECT_EQ(result.childExitCode, c.exitCode) << "not taken for a result: " << c.role;
  }
}

// ---- The copy's side ----

TEST(LauncherLinkTest, TheLauncherIsToldOnceAndTheCopysChildrenNeverHoldItsPipe) {
  Pipe pipe;
  ASSERT_TRUE(pipe.read && pipe.write);
  LogCapture log;
  LauncherLink link(copyOf(pipe.writeNumber()));
  EXPECT_TRUE(link.waits());
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(pipe.write.get(), &flags));
  EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u) << "ngen and the warm-up must not keep the launcher waiting";

  link.tell(1);
  link.tell(0);
  EXPECT_TRUE(link.told());
  pipe.write.release();  // the link closed it
  EXPECT_EQ(pipe.received(), std::vector<int32_t>{1});
  EXPECT_TRUE(contains(log.lines(), "Told the uninstaller that started this copy: exit code 1."));
}

TEST(LauncherLinkTest, OnlyACopyWithAPipeHasALauncherToTell) {
  Pipe pipe;
  EXPECT_FALSE(LauncherLink(copyOf(pipe.writeNumber(), 0)).waits()) << "no /run=: not a copy";
  EXPECT_FALSE(LauncherLink(copyOf(0)).waits()) << "no /result=: a copy started by hand";

  // A number that names no pipe (a hand-made command line): nothing is written through it.
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  UniqueHandle owned(event);
  LogCapture log;
  LauncherLink link(copyOf(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event))));
  link.tell(0);
  std::vector<std::string> lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("The pipe to the uninstaller that started this copy can't be used: Windows error ", 0), 0u)
      << lines[0];
  EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the event is untouched";
}

}  // namespace
}  // namespace zs
