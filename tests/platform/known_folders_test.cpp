// The folders behind the path variables, and normalizePath on a real file system.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "base/text.h"
#include "platform/known_folders.h"
#include "platform/signed_in_user.h"
#include "base/paths.h"

namespace zs {
namespace {

TEST(KnownFolders, MachineFoldersAreFoundOnce) {
  const KnownFolders& a = knownFolders();
  const KnownFolders& b = knownFolders();
  EXPECT_EQ(&a, &b);
  for (const std::wstring* f : {&a.pf, &a.pf32, &a.programs, &a.desktop, &a.win, &a.setupdata, &a.userProfiles}) {
    EXPECT_TRUE(isDrivePath(*f)) << wideToUtf8(*f);
    EXPECT_FALSE(hasBadPathChars(*f)) << wideToUtf8(*f);
    EXPECT_EQ(trimTrailingSlashes(*f), *f);
  }
  EXPECT_TRUE(endsWithNoCase(a.setupdata, L"\\ZelvanSetup"));
  wchar_t windows[MAX_PATH] = {};
  ASSERT_GT(GetWindowsDirectoryW(windows, MAX_PATH), 0u);
  EXPECT_TRUE(equalsNoCase(a.win, windows)) << wideToUtf8(a.win);
}

TEST(KnownFolders, SixtyFourBitWindowsUsesTheNativeProgramFiles) {
  const KnownFolders& f = knownFolders();
  BOOL wow64 = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
  EXPECT_EQ(isWindows64(), wow64 != FALSE);
  if (isWindows64()) {
    // A 32-bit process is shown "Program Files (x86)" as its Program Files; {pf} must not be that.
    EXPECT_FALSE(equalsNoCase(f.pf, f.pf32)) << wideToUtf8(f.pf);
    EXPECT_TRUE(endsWithNoCase(f.pf32, L" (x86)")) << wideToUtf8(f.pf32);
  } else {
    EXPECT_EQ(f.pf, f.pf32);
  }
}

TEST(KnownFolders, UserFoldersComeFromTheSignedInUsersToken) {
  const KnownFolders& f = knownFolders();
  // Under Wine the setup's own account is the signed-in user, so its token is found.
  ASSERT_NE(signedInUserTokens().impersonation, nullptr);
  EXPECT_TRUE(f.userFoldersKnown);
  EXPECT_TRUE(endsWithNoCase(f.docs, L"\\Documents")) << wideToUtf8(f.docs);
  EXPECT_TRUE(endsWithNoCase(f.appdata, L"\\AppData\\Roaming")) << wideToUtf8(f.appdata);
  EXPECT_TRUE(isInside(f.docs, f.profile)) << wideToUtf8(f.profile);
  // The machine-wide folders are found all the same, and a fresh computation agrees.
  KnownFolders again = resolveKnownFolders();
  EXPECT_EQ(again.pf, f.pf);
  EXPECT_EQ(again.setupdata, f.setupdata);
  EXPECT_EQ(again.docs, f.docs);
}

TEST(KnownFolders, ProgramFilesValueMustBeAPlainString) {
  const wchar_t value[] = L"D:\\Programs";
  EXPECT_EQ(programFilesFromRegistryValue(REG_SZ, value, sizeof(value)), L"D:\\Programs");
  // Without its terminating zero, and with rubbish after the zero.
  EXPECT_EQ(programFilesFromRegistryValue(REG_SZ, value, sizeof(value) - 2), L"D:\\Programs");
  const wchar_t tail[] = L"C:\\P\0junk";
  EXPECT_EQ(programFilesFromRegistryValue(REG_SZ, tail, sizeof(tail)), L"C:\\P");
  // REG_EXPAND_SZ and anything else is ignored, so ProgramW6432 is used instead.
  EXPECT_EQ(programFilesFromRegistryValue(REG_EXPAND_SZ, value, sizeof(value)), L"");
  EXPECT_EQ(programFilesFromRegistryValue(REG_DWORD, value, 4), L"");
  EXPECT_EQ(programFilesFromRegistryValue(REG_SZ, value, 1), L"");
}

TEST(KnownFolders, VariableTable) {
  KnownFolders f;
  f.pf = L"C:\\Program Files";
  f.pf32 = L"C:\\Program Files (x86)";
  f.win = L"C:\\Windows";
  VariableTable t = makeVariableTable(f, L"C:\\Program Files\\Zelvan");
  EXPECT_EQ(expandPaths(L"{app}\\Zelvan.exe", t), L"C:\\Program Files\\Zelvan\\Zelvan.exe");
  EXPECT_EQ(expandPaths(L"{pf32}\\Zelvan", t), L"C:\\Program Files (x86)\\Zelvan");
  EXPECT_EQ(expandPaths(L"{Win}\\Microsoft.NET", t), L"C:\\Windows\\Microsoft.NET");
  EXPECT_EQ(expandPaths(L"{docs}\\Zelvan", t), L"\\Zelvan");
  for (std::wstring_view name : kPathVariables) EXPECT_NE(t.find(name), nullptr) << wideToUtf8(name);
}

class NormalizeOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    root_ = trimTrailingSlashes(normalizePath(temp)) + L"\\zs-normalize-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    folder_ = root_ + L"\\Long Folder Name";
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  }
  void TearDown() override {
    RemoveDirectoryW(folder_.c_str());
    RemoveDirectoryW(root_.c_str());
  }
  std::wstring root_, folder_;
};

TEST_F(NormalizeOnDisk, ExistingPartTakesTheSpellingOnDisk) {
  std::wstring typed = folder_;
  for (wchar_t& c : typed) c = static_cast<wchar_t>(towlower(c));
  EXPECT_EQ(normalizePath(typed + L"\\\\"), folder_);
  EXPECT_EQ(normalizePath(folder_ + L"\\.\\x\\..\\"), folder_);
  // The two missing folders stay as typed behind the long form of what exists.
  EXPECT_EQ(normalizePath(typed + L"\\New Part\\More"), folder_ + L"\\New Part\\More");
  // A short name turns into its long form.
  wchar_t shortName[MAX_PATH] = {};
  DWORD n = GetShortPathNameW(folder_.c_str(), shortName, MAX_PATH);
  if (n > 0 && n < MAX_PATH) {
    EXPECT_EQ(normalizePath(shortName), folder_) << wideToUtf8(shortName);
  }
}

TEST_F(NormalizeOnDisk, ProgramFilesAndDriveRoots) {
  const KnownFolders& f = knownFolders();
  std::wstring typed = f.pf;
  for (wchar_t& c : typed) c = static_cast<wchar_t>(towlower(c));
  EXPECT_EQ(normalizePath(typed + L"\\\\"), f.pf);
  std::wstring root = normalizePath(L"c:\\");
  EXPECT_TRUE(equalsNoCase(root, L"C:\\")) << wideToUtf8(root);
  EXPECT_EQ(normalizePath(L""), L"");
}

}  // namespace
}  // namespace zs
