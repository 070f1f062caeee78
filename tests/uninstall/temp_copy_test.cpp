#include "uninstall/temp_copy.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include "base/switches.h"
#include "platform/files.h"
#include "platform/handle.h"
#include "platform/lock_file.h"
#include "platform/proc_helper_path.h"
#include "support/temp_folder.h"

namespace zs {
namespace {

using test::TempFolder;

// The copy reads its command line back the way every program does.
SwitchSet copysSwitches(const std::wstring& arguments, std::wstring_view copysStartDir) {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW((L"\"C:\\D\\un-1\\ZelvanUninstall.exe\"" + arguments).c_str(), &argc);
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  LocalFree(argv);
  return parseSwitches(args, copysStartDir);
}

TEST(TemporaryCopy, TheCopyWritesTheLogItsLauncherWasToldTo) {
  const std::vector<std::vector<std::wstring>> launches = {
      {L"/silent", L"/log=logs\\u.log"},
      {L"/LOG=..\\u 1.log", L"/closeapps"},
      {L"/log=D:\\Elsewhere\\u.log"},
      {L"/silent"},
  };
  for (const std::vector<std::wstring>& launch : launches) {
    SwitchSet launcher = parseSwitches(launch, L"D:\\Start\\Here");
    SwitchSet copy = copysSwitches(temporaryCopyArguments(42, L"C:\\Program Files\\Zelvan", launcher, 1234),
                                   L"C:\\windows\\system32");
    EXPECT_EQ(copy.logPath, launcher.logPath) << launch.back();
    EXPECT_EQ(copy.silent, launcher.silent);
    EXPECT_EQ(copy.closeApps, launcher.closeApps);
    EXPECT_EQ(copy.runParentId, 42);
    EXPECT_EQ(copy.appHint, L"C:\\Program Files\\Zelvan");
    EXPECT_EQ(copy.resultHandle, 1234u) << "the pipe its launcher waits on";
    EXPECT_EQ(copy.switchText.find(L"/result="), std::wstring::npos) << "never passed on, nor logged";
    EXPECT_TRUE(copy.badSwitch.empty());
  }
}

TEST(TemporaryCopy, TheCopyEndsWithTheRestartCodeItsLauncherWasGiven) {
  SwitchSet launcher = parseSwitches({L"/silent", L"/restartexitcode=3010"}, L"D:\\Start");
  SwitchSet copy = copysSwitches(temporaryCopyArguments(42, L"C:\\Z", launcher, 8), L"C:\\windows\\system32");
  EXPECT_EQ(copy.restartExitCode, std::optional<int32_t>(3010));
}

TEST(TemporaryCopy, LeftoverCopiesGoUnlessTheyRunOrHoldMore) {
  TempFolder data;
  for (const wchar_t* name : {L"un-left", L"un-running", L"un-more", L"kept"}) {
    ASSERT_TRUE(createFolder(data / name));
    ASSERT_TRUE(CopyFileW(test::procHelperPath().c_str(), (data / name + L"\\ZelvanUninstall.exe").c_str(), TRUE));
  }
  ASSERT_TRUE(createFolder(data / L"un-empty"));
  ASSERT_TRUE(test::writeBytes(data / L"un-more\\note.txt", "not a copy's"));

  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  std::wstring cmd = L"\"" + data / L"un-running\\ZelvanUninstall.exe" + L"\" sleep 60000";
  ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  UniqueHandle process(pi.hProcess);
  CloseHandle(pi.hThread);

  removeStaleTemporaryCopies(data.path());

  EXPECT_FALSE(pathExists(data / L"un-left"));
  EXPECT_FALSE(pathExists(data / L"un-empty"));
  EXPECT_TRUE(pathExists(data / L"un-running\\ZelvanUninstall.exe")) << "its program runs";
  EXPECT_TRUE(pathExists(data / L"un-more\\note.txt"));
  EXPECT_FALSE(pathExists(data / L"un-more\\ZelvanUninstall.exe"));
  EXPECT_TRUE(pathExists(data / L"kept\\ZelvanUninstall.exe")) << "not a copy's folder";

  TerminateProcess(process.get(), 0);
  WaitForSingleObject(process.get(), 10000);
}

// A setup's sweep once ran between an uninstaller's writing its copy and starting it, took the
// brand-new copy for a leftover and deleted it; the uninstaller then ran in place and met the
// setup's lock. The launcher's lock, taken before the folder is made, marks the copy as about to run.
TEST(TemporaryCopy, ACopyAboutToStartIsNotTakenForALeftover) {
  TempFolder data;
  const std::wstring made = data / L"un-made";      // folder made, copy not written yet
  const std::wstring written = data / L"un-written";  // copy written, not started yet
  const std::wstring stale = data / L"un-stale";     // a launcher that a power cut ended
  for (const std::wstring& folder : {made, written, stale}) ASSERT_TRUE(createFolder(folder));
  for (const std::wstring& folder : {written, stale})
    ASSERT_TRUE(CopyFileW(test::procHelperPath().c_str(), (folder + L"\\ZelvanUninstall.exe").c_str(), TRUE));
  UniqueHandle madeLock = createLockFile(temporaryCopyLockPath(made));
  UniqueHandle writtenLock = createLockFile(temporaryCopyLockPath(written));
  ASSERT_TRUE(madeLock && writtenLock);
  ASSERT_TRUE(test::writeBytes(temporaryCopyLockPath(stale), ""));
  // A lock whose folder never came, left by a power cut too.
  ASSERT_TRUE(test::writeBytes(temporaryCopyLockPath(data / L"un-never"), ""));

  removeStaleTemporaryCopies(data.path());
  EXPECT_TRUE(isDirectory(made)) << "its launcher holds the lock";
  EXPECT_TRUE(pathExists(written + L"\\ZelvanUninstall.exe")) << "its launcher holds the lock";
  EXPECT_TRUE(pathExists(temporaryCopyLockPath(written)));
  EXPECT_FALSE(pathExists(stale)) << "a lock nobody holds keeps nothing";
  EXPECT_FALSE(pathExists(temporaryCopyLockPath(stale)));
  EXPECT_FALSE(pathExists(temporaryCopyLockPath(data / L"un-never")));

  // Once the launcher has ended (and its copy with it), the same folders are leftovers.
  madeLock.reset();
  writtenLock.reset();
  EXPECT_FALSE(pathExists(temporaryCopyLockPath(written))) << "the lock goes with its handle";
  removeStaleTemporaryCopies(data.path());
  EXPECT_FALSE(pathExists(made));
  EXPECT_FALSE(pathExists(written));
}

// Only one launcher may hold a folder's lock; it is refused while held and free again once let go.
TEST(TemporaryCopy, ALockIsHeldByOneAndDeletedByNoOtherWhileHeld) {
  TempFolder data;
  const std::wstring lock = temporaryCopyLockPath(data / L"un-1");
  DWORD error = 0;
  UniqueHandle first = createLockFile(lock, &error);
  ASSERT_TRUE(first) << error;
  EXPECT_FALSE(createLockFile(lock, &error));
  EXPECT_FALSE(deleteFile(lock, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  first.reset();
  EXPECT_FALSE(pathExists(lock));
  EXPECT_TRUE(createLockFile(lock, &error));
}

}  // namespace
}  // namespace zs
