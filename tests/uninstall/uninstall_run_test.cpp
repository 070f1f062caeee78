#include "uninstall/uninstall_run.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "base/switches.h"
#include "base/text.h"
#include "journal/sandbox.h"
#include "journal/setup_data.h"
#include "platform/files.h"
#include "platform/known_folders.h"
#include "platform/registry.h"
#include "platform/handle.h"
#include "platform/proc_helper_path.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"
#include "uninstall/launcher_link.h"
#include "uninstall/record_format.h"

namespace zs {
namespace {

using test::contains;
using test::LogCapture;
using test::TempFolder;

const wchar_t* kSessionManager = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// ---- Links above the install folder ----

TEST(UninstallLinks, AFolderAboveTheBaseThatBecameALinkStopsEveryRemoval) {
  TempFolder t;
  ASSERT_TRUE(createFolder(t / L"other"));
  ASSERT_TRUE(createFolder(t / L"other\\Zelvan"));
  ASSERT_TRUE(test::writeBytes(t / L"other\\Zelvan\\Zelvan.exe", "someone else's"));
  ASSERT_TRUE(test::plantLink(t / L"Apps", t / L"other"));
  const std::wstring linked = t / L"Apps\\Zelvan";
  const std::wstring real = t / L"other\\Zelvan";

  EXPECT_FALSE(mayTouchPath(linked, linked + L"\\Zelvan.exe"));
  EXPECT_FALSE(mayTouchPath(linked, linked + L"\\de\\Zelvan.resources.dll"));
  EXPECT_FALSE(noLinkFromDriveRoot(linked));
  // The same folder reached without the link is the base's own.
  EXPECT_TRUE(mayTouchPath(real, real + L"\\Zelvan.exe"));
  EXPECT_TRUE(noLinkFromDriveRoot(real));
  EXPECT_TRUE(test::removeLink(t / L"Apps"));
}

// ---- An uninstall cut short after its entry went ----

class CutShort : public ::testing::Test {
 protected:
  TempFolder temp;
  std::wstring app = normalizePath(temp / L"Zelvan");
  std::wstring uninstaller = app + L"\\ZelvanUninstall.exe";
  std::wstring record = app + L"\\" + std::wstring(kUninstallRecordName);
  // A copy's path under {setupdata}; it needs no file to be recognised by.
  std::wstring copy = setupDataPath() + L"\\un-0123456789abcdef0123456789abcdef\\ZelvanUninstall.exe";

  void SetUp() override {
    ASSERT_TRUE(createFolder(app));
    ASSERT_TRUE(test::writeBytes(uninstaller, "MZ"));
    ASSERT_TRUE(test::writeBytes(record, "ZSU1\napp\t" + wideToUtf8(app) + "\nfile\tZelvan.exe\n"));
  }
  std::vector<std::wstring> oursOnTheRestartList() const {
    std::vector<std::wstring> ours;
    for (const std::wstring& path : pendingDeletes())
      if (equalsNoCase(path, app) || startsWithNoCase(path, app + L"\\")) ours.push_back(path);
    return ours;
  }
  static SwitchSet copySwitches(const std::wstring& hint) {
    SwitchSet s;
    s.silent = true;
    s.runParentId = 4;
    s.appHint = hint;
    return s;
  }
};

TEST_F(CutShort, OnlyAFolderWhoseRecordNamesItQualifies) {
  const KnownFolders& folders = knownFolders();
  EXPECT_EQ(cutShortInstallFolder(SwitchSet{}, uninstaller, folders), app) << "the uninstaller's own folder";
  EXPECT_EQ(cutShortInstallFolder(copySwitches(app), copy, folders), app) << "the copy's hint";
  EXPECT_EQ(cutShortInstallFolder(copySwitches(temp.path()), copy, folders), L"") << "a hint without a record";
  EXPECT_EQ(cutShortInstallFolder(copySwitches(app), temp / L"ZelvanUninstall.exe", folders), L"")
      << "only a copy under {setupdata} takes a hint";
  EXPECT_EQ(cutShortInstallFolder(copySwitches(L"C:\\Windows"), copy, folders), L"");

  ASSERT_TRUE(test::writeBytes(record, "ZSU1\napp\t" + wideToUtf8(temp.path()) + "\n"));
  EXPECT_EQ(cutShortInstallFolder(SwitchSet{}, uninstaller, folders), L"") << "a record of another folder";
  ASSERT_TRUE(test::writeBytes(record, "ZSU1\napp\t" + wideToUtf8(app) + "\nfile\t..\\x\n"));
  EXPECT_EQ(cutShortInstallFolder(SwitchSet{}, uninstaller, folders), L"") << "a record that does not read well";
}

TEST_F(CutShort, TheRecordTheUninstallerAndTheEmptyFolderGoAndNothingElse) {
  LogCapture log;
  EXPECT_EQ(finishCutShortUninstall(copySwitches(app), copy, app, nullptr).exit, UninstallExit::Removed);
  EXPECT_FALSE(pathExists(app)) << "the folder went once empty";

  ASSERT_TRUE(createFolder(app));
  ASSERT_TRUE(test::writeBytes(uninstaller, "MZ"));
  ASSERT_TRUE(test::writeBytes(record, "ZSU1\napp\t" + wideToUtf8(app) + "\nfile\tZelvan.exe\n"));
  ASSERT_TRUE(test::writeBytes(app + L"\\Zelvan.exe", "named by the record"));
  EXPECT_EQ(finishCutShortUninstall(copySwitches(app), copy, app, nullptr).exit, UninstallExit::Removed);
  EXPECT_FALSE(pathExists(record));
  EXPECT_FALSE(pathExists(uninstaller));
  EXPECT_TRUE(pathExists(app + L"\\Zelvan.exe")) << "nothing else the record names is touched";
  EXPECT_TRUE(contains(log.lines(), "Left in place, it holds files that are not ours: " + wideToUtf8(app)));
  EXPECT_EQ(oursOnTheRestartList(), std::vector<std::wstring>{})
      << "what went needs no restart, and a folder kept for files not ours is not the restart's";
}

// The restart finishes what a running uninstaller cannot: itself, then its folder once empty.
TEST_F(CutShort, RunningInPlaceLeavesItselfAndTheFolderToTheRestart) {
  LogCapture log;
  EXPECT_EQ(finishCutShortUninstall(SwitchSet{}, uninstaller, app, nullptr).exit, UninstallExit::Incomplete);
  std::vector<std::wstring> left = oursOnTheRestartList();
  removePendingDeletes({uninstaller, record, app});
  EXPECT_EQ(left, (std::vector<std::wstring>{uninstaller, app}));
  EXPECT_FALSE(pathExists(record));
  EXPECT_TRUE(contains(log.lines(), "It goes at the next restart: " + wideToUtf8(uninstaller)));
  EXPECT_FALSE(contains(log.lines(), "Left in place, it holds files that are not ours: " + wideToUtf8(app)));
}

// A file that can be neither deleted nor scheduled stays, and the run says so.
TEST_F(CutShort, AFailedSchedulingIsReportedAsStaying) {
  // Windows keeps the restart-time deletes in one REG_MULTI_SZ value: one of another type makes
  // every scheduling fail.
  DWORD type = 0;
  std::string saved;
  bool had = readValue(RegRoot::Hklm, RegView::View64, kSessionManager, L"PendingFileRenameOperations", type, saved);
  const DWORD broken = 1;
  ASSERT_TRUE(writeValue(RegRoot::Hklm, RegView::View64, kSessionManager, L"PendingFileRenameOperations", REG_DWORD,
                         &broken, sizeof(broken)));
  LogCapture log;
  // Running in place: the running uninstaller cannot delete its own file.
  UninstallExit result = finishCutShortUninstall(SwitchSet{}, uninstaller, app, nullptr).exit;
  if (had)
    writeValue(RegRoot::Hklm, RegView::View64, kSessionManager, L"PendingFileRenameOperations", type, saved.data(),
               static_cast<DWORD>(saved.size()));
  else
    deleteValue(RegRoot::Hklm, RegView::View64, kSessionManager, L"PendingFileRenameOperations");

  EXPECT_EQ(result, UninstallExit::Incomplete);
  std::vector<std::string> lines = log.lines();
  EXPECT_TRUE(contains(lines, "It stays: " + wideToUtf8(uninstaller)));
  EXPECT_FALSE(contains(lines, "It goes at the next restart: " + wideToUtf8(uninstaller)));
  EXPECT_FALSE(contains(lines, "Uninstall finished, some files go at the next restart."));
  EXPECT_TRUE(pathExists(uninstaller));
}

// The launcher ends with what the copy tells it: the number the run ends with, told before the
// launcher's file goes, with /restartexitcode= standing in for a removal that only the restart
// completes.
TEST_F(CutShort, TheLauncherIsToldTheNumberTheRunEndsWith) {
  // A launcher that has ended already: the copy does not wait for it.
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  std::wstring cmd = L"\"" + test::procHelperPath() + L"\" exit 0";
  ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  UniqueHandle launcherProcess(pi.hProcess);
  CloseHandle(pi.hThread);
  WaitForSingleObject(launcherProcess.get(), 10000);

  struct Case {
    const char* name;
    bool inPlace;  // the running uninstaller is the installed one: it goes at the restart
    std::optional<int32_t> restartExitCode;
    UninstallExit exit;
    int32_t told;
  };
  const Case cases[] = {
      {"a copy removes everything", false, std::nullopt, UninstallExit::Removed, 0},
      {"a copy, with a restart code it does not need", false, 3010, UninstallExit::Removed, 0},
      {"in place, the restart finishes", true, std::nullopt, UninstallExit::Incomplete, 1},
      {"in place, with a restart code", true, 3010, UninstallExit::Incomplete, 3010},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!pathExists(app)) {
      ASSERT_TRUE(createFolder(app));
      ASSERT_TRUE(test::writeBytes(uninstaller, "MZ"));
      ASSERT_TRUE(test::writeBytes(record, "ZSU1\napp\t" + wideToUtf8(app) + "\nfile\tZelvan.exe\n"));
    }
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &inherit, 0));
    UniqueHandle launcherEnd(readEnd);
    SwitchSet s = copySwitches(app);
    s.runParentId = static_cast<int32_t>(pi.dwProcessId);
    s.resultHandle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(writeEnd));
    s.restartExitCode = c.restartExitCode;
    LauncherLink launcher(s);
    const UninstallEnd end = finishCutShortUninstall(s, c.inPlace ? uninstaller : copy, app, nullptr, &launcher);
    removePendingDeletes({uninstaller, record, app});

    EXPECT_EQ(end.exit, c.exit);
    EXPECT_EQ(exitNumber(end, s), c.told);
    EXPECT_TRUE(launcher.told());
    int32_t told = -1;
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(launcherEnd.get(), &told, sizeof(told), &got, nullptr) && got == sizeof(told));
    EXPECT_EQ(told, c.told);
    EXPECT_FALSE(ReadFile(launcherEnd.get(), &told, sizeof(told), &got, nullptr) && got != 0)
        << "one result, then the pipe ends";
    if (c.inPlace) {
      DeleteFileW(uninstaller.c_str());
      RemoveDirectoryW(app.c_str());
    }
  }
}

}  // namespace
}  // namespace zs
