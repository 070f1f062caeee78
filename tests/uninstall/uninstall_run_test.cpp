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
#include "support/log_capture.h"
#include "support/temp_folder.h"
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
  EXPECT_EQ(finishCutShortUninstall(copySwitches(app), copy, app, nullptr), UninstallExit::Removed);
  EXPECT_FALSE(pathExists(app)) << "the folder went once empty";

  ASSERT_TRUE(createFolder(app));
  ASSERT_TRUE(test::writeBytes(uninstaller, "MZ"));
  ASSERT_TRUE(test::writeBytes(record, "ZSU1\napp\t" + wideToUtf8(app) + "\nfile\tZelvan.exe\n"));
  ASSERT_TRUE(test::writeBytes(app + L"\\Zelvan.exe", "named by the record"));
  EXPECT_EQ(finishCutShortUninstall(copySwitches(app), copy, app, nullptr), UninstallExit::Removed);
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
  EXPECT_EQ(finishCutShortUninstall(SwitchSet{}, uninstaller, app, nullptr), UninstallExit::Incomplete);
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
  UninstallExit result = finishCutShortUninstall(SwitchSet{}, uninstaller, app, nullptr);
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

}  // namespace
}  // namespace zs
