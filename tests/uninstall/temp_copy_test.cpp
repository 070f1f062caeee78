#include "uninstall/temp_copy.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include "base/switches.h"
#include "platform/files.h"
#include "platform/handle.h"
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
    SwitchSet copy = copysSwitches(temporaryCopyArguments(42, L"C:\\Program Files\\Zelvan", launcher),
                                   L"C:\\windows\\system32");
    EXPECT_EQ(copy.logPath, launcher.logPath) << launch.back();
    EXPECT_EQ(copy.silent, launcher.silent);
    EXPECT_EQ(copy.closeApps, launcher.closeApps);
    EXPECT_EQ(copy.runParentId, 42);
    EXPECT_EQ(copy.appHint, L"C:\\Program Files\\Zelvan");
    EXPECT_TRUE(copy.badSwitch.empty());
  }
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

}  // namespace
}  // namespace zs
