#include "platform/app_processes.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "base/log.h"
#include "platform/handle.h"
#include "platform/process.h"
#include "proc_helper_path.h"
#include "base/paths.h"
#include "temp_folder.h"

namespace zs {
namespace {

using test::procHelperPath;
using TempFolder = test::DriveRootFolder;

bool haveDisplay() {
  wchar_t value[64];
  return GetEnvironmentVariableW(L"DISPLAY", value, 64) > 0;
}

struct WindowSearch {
  DWORD pid;
  bool found;
};

BOOL CALLBACK findWindowOf(HWND w, LPARAM p) {
  auto* search = reinterpret_cast<WindowSearch*>(p);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid == search->pid) search->found = true;
  return !search->found;
}

// A copy of the helper program under a given name, started in a given role; ended at the end.
class Running {
 public:
  Running(const std::wstring& folder, const std::wstring& name, const std::wstring& role) {
    CreateDirectoryW(folder.c_str(), nullptr);
    path_ = folder + L"\\" + name;
    CopyFileW(procHelperPath().c_str(), path_.c_str(), FALSE);
    std::wstring commandLine = commandLineFor(path_, role);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(path_.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       nullptr, &si, &pi)) {
      CloseHandle(pi.hThread);
      process_.reset(pi.hProcess);
      pid_ = pi.dwProcessId;
      if (role.rfind(L"window", 0) == 0) waitForWindow();
    }
  }
  ~Running() {
    if (process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT) {
      TerminateProcess(process_.get(), 0);
      WaitForSingleObject(process_.get(), 5000);
    }
  }
  // WM_CLOSE only reaches a window that exists.
  void waitForWindow() {
    for (int i = 0; i < 100; ++i) {
      WindowSearch search{pid_, false};
      EnumWindows(findWindowOf, reinterpret_cast<LPARAM>(&search));
      if (search.found) return;
      Sleep(50);
    }
  }
  void end() {
    TerminateProcess(process_.get(), 0);
    WaitForSingleObject(process_.get(), 5000);
  }
  DWORD pid() const { return pid_; }
  const std::wstring& path() const { return path_; }
  bool ended(DWORD waitMs = 0) const { return WaitForSingleObject(process_.get(), waitMs) == WAIT_OBJECT_0; }

 private:
  std::wstring path_;
  UniqueHandle process_;
  DWORD pid_ = 0;
};

bool holds(const std::vector<AppProcess>& list, DWORD pid) {
  return std::any_of(list.begin(), list.end(), [&](const AppProcess& p) { return p.pid == pid; });
}

std::string logSince(size_t start) { return theLog().pendingBytes().substr(start); }

TEST(AppProcesses, NamesAndPlaces) {
  EXPECT_TRUE(isAppProgramName(L"C:\\A\\Zelvan.exe"));
  EXPECT_TRUE(isAppProgramName(L"C:\\A\\ZELVAN-CLI.EXE"));
  EXPECT_FALSE(isAppProgramName(L"C:\\Zelvan.exe\\other.exe"));
  EXPECT_FALSE(isAppProgramName(L"C:\\A\\Zelvan.exe.bak"));
  EXPECT_TRUE(isImageInside(L"C:\\Apps\\Zelvan\\bin\\Zelvan.exe", {L"", L"C:\\Apps\\Zelvan"}));
  EXPECT_FALSE(isImageInside(L"C:\\Apps\\Zelvan2\\Zelvan.exe", {L"C:\\Apps\\Zelvan"}));
  EXPECT_FALSE(isImageInside(L"C:\\Apps\\Zelvan.exe", {L""}));
}

TEST(AppProcesses, ProcessQueries) {
  TempFolder t;
  Running r(t / L"app", L"tool.exe", L"forever");
  ASSERT_NE(r.pid(), 0u);
  std::wstring image;
  FILETIME created{};
  ASSERT_TRUE(processImage(r.pid(), image, &created));
  EXPECT_EQ(normalizePath(image), normalizePath(r.path()));
  EXPECT_TRUE(created.dwLowDateTime != 0 || created.dwHighDateTime != 0);
  auto all = listProcesses();
  EXPECT_TRUE(holds(all, r.pid()));
  EXPECT_TRUE(holds(all, GetCurrentProcessId()));
}

// The stand-in Zelvan.exe from the install folder is found; the same program from another
// folder is not, and neither is another program from the folder while the program scan only
// looks for Zelvan's names.
TEST(AppProcesses, FindsOnlyZelvanFromTheInstallFolder) {
  TempFolder t;
  std::wstring app = t / L"Zelvan";
  Running ours(app, L"Zelvan.exe", L"forever");
  Running cli(app, L"zelvan-cli.exe", L"forever");
  Running tool(app, L"tool.exe", L"forever");
  Running elsewhere(t / L"Elsewhere", L"Zelvan.exe", L"forever");
  ASSERT_TRUE(ours.pid() && cli.pid() && tool.pid() && elsewhere.pid());
  auto found = findAppProcesses({app + L"\\Zelvan.exe", app + L"\\Zelvan.dll"}, {app});
  EXPECT_TRUE(holds(found, ours.pid()));
  EXPECT_TRUE(holds(found, cli.pid()));
  EXPECT_FALSE(holds(found, elsewhere.pid()));
  // Wine's Restart Manager answers with an empty list, which counts as working.
  EXPECT_FALSE(holds(found, tool.pid()));
  auto byPid = std::count_if(found.begin(), found.end(), [&](const AppProcess& p) { return p.pid == ours.pid(); });
  EXPECT_EQ(byPid, 1);
}

TEST(AppProcesses, ScanWithoutRestartManagerTakesEveryProgram) {
  TempFolder t;
  std::wstring app = t / L"Zelvan";
  Running ours(app, L"Zelvan.exe", L"forever");
  Running tool(app, L"tool.exe", L"forever");
  Running elsewhere(t / L"Elsewhere", L"tool.exe", L"forever");
  std::vector<AppProcess> list;
  scanAppProcesses({app}, true, list);
  EXPECT_TRUE(holds(list, ours.pid()));
  EXPECT_TRUE(holds(list, tool.pid()));
  EXPECT_FALSE(holds(list, elsewhere.pid()));
  scanAppProcesses({app}, true, list);  // nothing twice
  EXPECT_EQ(std::count_if(list.begin(), list.end(), [&](const AppProcess& p) { return p.pid == tool.pid(); }), 1);
  list.clear();
  scanAppProcesses({app}, false, list);
  EXPECT_TRUE(holds(list, ours.pid()));
  EXPECT_FALSE(holds(list, tool.pid()));
}

RM_UNIQUE_PROCESS keyOf(DWORD pid) {
  RM_UNIQUE_PROCESS key{pid, {}};
  std::wstring image;
  processImage(pid, image, &key.ProcessStartTime);
  return key;
}

// Wine's Restart Manager names no holders, so what is done with its answer is tested directly:
// an editor outside the install folder is only logged, and an id that belongs to a process
// started at another time than the one Restart Manager named is not taken.
TEST(AppProcesses, RestartManagerHitsOutsideAreLeftAlone) {
  TempFolder t;
  std::wstring app = t / L"Zelvan";
  Running ours(app, L"Zelvan.Core.dll-host.exe", L"forever");
  Running editor(t / L"Editor", L"editor.exe", L"forever");
  Running later(app, L"Zelvan.exe", L"forever");
  RM_UNIQUE_PROCESS reused = keyOf(later.pid());
  reused.ProcessStartTime.dwLowDateTime ^= 1;
  size_t mark = theLog().pendingBytes().size();
  std::vector<AppProcess> list;
  takeRestartManagerHits({keyOf(ours.pid()), keyOf(editor.pid()), keyOf(ours.pid()), {0xFFFFFFF0u, {}}, reused},
                         {app}, list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].pid, ours.pid());
  EXPECT_NE(list[0].process, nullptr) << "kept from the moment it was found";
  std::string log = logSince(mark);
  EXPECT_NE(log.find("Left alone: "), std::string::npos) << log;
  EXPECT_NE(log.find("editor.exe holds a target file (pid " + std::to_string(editor.pid()) + ")"),
            std::string::npos) << log;
  EXPECT_EQ(log.find("Zelvan.Core"), std::string::npos) << log;
}

TEST(AppProcesses, ClosesTheFoundOneOnly) {
  if (!haveDisplay()) GTEST_SKIP() << "no display: the stand-in cannot make its window";
  TempFolder t;
  std::wstring app = t / L"Zelvan";
  Running ours(app, L"Zelvan.exe", L"window");
  Running elsewhere(t / L"Elsewhere", L"Zelvan.exe", L"window");
  auto found = findAppProcesses({app + L"\\Zelvan.exe"}, {app});
  ASSERT_TRUE(holds(found, ours.pid()));
  ASSERT_FALSE(holds(found, elsewhere.pid()));
  size_t mark = theLog().pendingBytes().size();
  EXPECT_TRUE(closeAppProcesses(found));
  EXPECT_TRUE(ours.ended(5000));
  EXPECT_FALSE(elsewhere.ended());
  std::string log = logSince(mark);
  EXPECT_TRUE(log.find("Closed with WM_CLOSE.") != std::string::npos ||
              log.find("Closed through Restart Manager.") != std::string::npos) << log;
  EXPECT_NE(log.find("RmShutdown returned"), std::string::npos) << log;
  EXPECT_TRUE(closeAppProcesses({}));
}

// A process found once is the one waited for and sent WM_CLOSE, even when its id has since passed
// to another program: that program's windows are never closed.
TEST(AppProcesses, AnIdTakenOverByAnotherProgramIsNeverSentClose) {
  if (!haveDisplay()) GTEST_SKIP() << "no display: the stand-ins cannot make their windows";
  TempFolder t;
  std::wstring app = t / L"Zelvan";
  Running ours(app, L"Zelvan.exe", L"window");
  Running other(t / L"Editor", L"editor.exe", L"window");
  auto found = findAppProcesses({app + L"\\Zelvan.exe"}, {app});
  ASSERT_EQ(found.size(), 1u);
  ASSERT_EQ(found[0].pid, ours.pid());
  // Zelvan ends on its own, and the id it had is handed to the editor.
  ours.end();
  found[0].pid = other.pid();
  EXPECT_TRUE(closeAppProcesses(found)) << "the Zelvan that was found has closed";
  EXPECT_FALSE(other.ended(1000));
}

TEST(AppProcesses, OneThatIgnoresCloseIsNeverKilled) {
  if (!haveDisplay()) GTEST_SKIP() << "no display: the stand-in cannot make its window";
  TempFolder t;
  std::wstring app = t / L"Zelvan";
  Running stubborn(app, L"Zelvan.exe", L"window ignore-close");
  auto found = findAppProcesses({app + L"\\Zelvan.exe"}, {app});
  ASSERT_TRUE(holds(found, stubborn.pid()));
  size_t mark = theLog().pendingBytes().size();
  EXPECT_FALSE(closeAppProcesses(found));
  EXPECT_FALSE(stubborn.ended());
  EXPECT_NE(logSince(mark).find("A Zelvan process did not close."), std::string::npos);
}

}  // namespace
}  // namespace zs
