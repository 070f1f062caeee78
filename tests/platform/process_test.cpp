#include "platform/process.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/handle.h"
#include "proc_helper_path.h"
#include "temp_folder.h"

namespace zs {
namespace {

using test::procHelperPath;
using TempFolder = test::DriveRootFolder;

struct Outcome {
  ProcessResult result;
  std::vector<std::string> lines;
  int ticks = 0;
  DWORD tickThread = 0;
};

Outcome run(const std::wstring& arguments, DWORD limit = 0, std::function<bool()> cancel = {},
        const std::wstring& program = procHelperPath()) {
  Outcome r;
  ProcessHooks hooks;
  hooks.line = [&](const std::string& line) { r.lines.push_back(line); };
  hooks.tick = [&] {
    ++r.ticks;
    r.tickThread = GetCurrentThreadId();
  };
  hooks.cancel = std::move(cancel);
  r.result = runWithOutput(program, arguments, L"C:\\", limit, hooks);
  return r;
}

bool processEnded(DWORD pid) {
  UniqueHandle h(OpenProcess(SYNCHRONIZE, FALSE, pid));
  if (!h) return true;
  return WaitForSingleObject(h.get(), 5000) == WAIT_OBJECT_0;
}

TEST(ProcessRunner, LinesIncludingTheLastIncompleteOne) {
  Outcome r = run(L"print-ab");
  ASSERT_TRUE(r.result.started) << r.result.error;
  EXPECT_EQ(r.result.exitCode, 0u);
  EXPECT_FALSE(r.result.timedOut);
  EXPECT_FALSE(r.result.cancelled);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(r.tickThread, GetCurrentThreadId());  // hooks run on the watching thread
}

TEST(ProcessRunner, ManyLinesInOrder) {
  Outcome r = run(L"lines 3000");
  ASSERT_TRUE(r.result.started);
  ASSERT_EQ(r.lines.size(), 3000u);
  for (size_t i = 0; i < r.lines.size(); ++i) {
    ASSERT_EQ(r.lines[i], "line " + std::to_string(i));
  }
}

TEST(ProcessRunner, ExitCodeAndTicks) {
  Outcome r = run(L"exit 7");
  EXPECT_EQ(r.result.exitCode, 7u);
  r = run(L"sleep 700");
  EXPECT_EQ(r.result.exitCode, 0u);
  EXPECT_GE(r.ticks, 5);
}

TEST(ProcessRunner, TimeLimitEndsTheRun) {
  ULONGLONG start = GetTickCount64();
  Outcome r = run(L"forever", 1000);
  EXPECT_TRUE(r.result.started);
  EXPECT_TRUE(r.result.timedOut);
  EXPECT_FALSE(r.result.cancelled);
  EXPECT_EQ(r.result.exitCode, 1u);
  EXPECT_GE(GetTickCount64() - start, 1000u);
}

TEST(ProcessRunner, CancelEndsTheRun) {
  int asked = 0;
  Outcome r = run(L"forever", 0, [&] { return ++asked == 3; });
  EXPECT_TRUE(r.result.cancelled);
  EXPECT_FALSE(r.result.timedOut);
  EXPECT_EQ(r.result.exitCode, 1u);
  EXPECT_EQ(asked, 3);
}

// The grandchild inherits the pipe and lives on: the runner must still return, with the
// child's lines, and closing the job must end the grandchild.
TEST(ProcessRunner, GrandchildHoldingThePipeDoesNotHang) {
  TempFolder t;
  std::wstring pidFile = t / L"pid.txt";
  Outcome r = run(L"grandchild \"" + pidFile + L"\"", 60000);
  ASSERT_TRUE(r.result.started);
  EXPECT_FALSE(r.result.timedOut);
  EXPECT_EQ(r.result.exitCode, 0u);
  EXPECT_EQ(r.lines, (std::vector<std::string>{"started"}));
  DWORD pid = static_cast<DWORD>(std::stoul(test::readText(pidFile)));
  ASSERT_NE(pid, 0u);
  EXPECT_TRUE(processEnded(pid));
}

TEST(ProcessRunner, ProgramPathWithBlanks) {
  TempFolder t;
  std::wstring folder = t / L"with blanks";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  std::wstring copy = folder + L"\\helper copy.exe";
  ASSERT_TRUE(CopyFileW(procHelperPath().c_str(), copy.c_str(), TRUE));
  Outcome r = run(L"cmdline", 0, {}, copy);
  ASSERT_TRUE(r.result.started) << r.result.error;
  ASSERT_EQ(r.lines.size(), 1u);
  std::string expected(1, '"');
  for (wchar_t c : copy) expected.push_back(static_cast<char>(c));
  expected.append("\" cmdline");
  EXPECT_EQ(r.lines[0], expected);
  EXPECT_EQ(commandLineFor(L"C:\\a b\\c.exe", L"x \"y z\""), L"\"C:\\a b\\c.exe\" x \"y z\"");
}

TEST(ProcessRunner, StartFailure) {
  Outcome r = run(L"x", 0, {}, L"C:\\zs-no-such-folder\\none.exe");
  EXPECT_FALSE(r.result.started);
  EXPECT_TRUE(r.result.error == ERROR_FILE_NOT_FOUND || r.result.error == ERROR_PATH_NOT_FOUND)
      << r.result.error;
  EXPECT_TRUE(r.lines.empty());
  EXPECT_EQ(r.ticks, 0);
}

TEST(ProcessRunner, WithoutATokenNothingStarts) {
  ProcessResult r = runWithToken(nullptr, procHelperPath(), L"exit 0", L"C:\\", L"", 0, {});
  EXPECT_FALSE(r.started);
  EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NO_TOKEN));
}

// The child gets the pipe it writes to and nothing else, however many inheritable handles this
// process holds at the time (another thread may be running a child of its own).
TEST(ProcessRunner, TheChildInheritsOnlyItsOutputPipe) {
  TempFolder t;
  std::wstring path = t / L"marker.txt";
  SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &inheritable,
                                CREATE_NEW, 0, nullptr));
  ASSERT_TRUE(file);
  DWORD wrote = 0;
  ASSERT_TRUE(WriteFile(file.get(), "zs-marker", 9, &wrote, nullptr));
  wchar_t value[32];
  swprintf(value, 32, L"%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(file.get())));
  Outcome r = run(std::wstring(L"handle ") + value);
  ASSERT_TRUE(r.result.started) << r.result.error;
  EXPECT_EQ(r.lines, (std::vector<std::string>{"not inherited"}));
}

// Environment blocks written with "|" for each terminating zero.
std::wstring block(std::wstring text) {
  for (wchar_t& c : text)
    if (c == L'|') c = L'\0';
  return text;
}

TEST(ProcessRunner, AGivenEnvironmentEntryTakesThePlaceOfOneOfTheSameName) {
  struct Case {
    const wchar_t *in, *entry, *expected;
  } cases[] = {
      {L"A=1|Path=C:\\x|B=2||", L"PATH=C:\\y", L"A=1|PATH=C:\\y|B=2||"},
      {L"TEMPDIR=1||", L"temp=2", L"TEMPDIR=1|temp=2||"},
      {L"=C:=C:\\|X=1|x=2||", L"X=3", L"=C:=C:\\|X=3||"},
      {L"A=1||", L"", L"A=1||"},
      {L"|", L"Z=1", L"Z=1||"},
      {L"|", L"", L"||"},
  };
  for (const Case& c : cases) {
    std::wstring in = block(c.in);
    std::vector<wchar_t> out = environmentWith(in.c_str(), c.entry);
    EXPECT_EQ(std::wstring(out.begin(), out.end()), block(c.expected)) << c.in << " + " << c.entry;
  }
}

}  // namespace
}  // namespace zs
