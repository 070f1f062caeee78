#include "script/install_folder.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "base/paths.h"
#include "temp_folder.h"

namespace zs {
namespace {

using test::staged;
using TempFolder = test::DriveRootFolder;

int code(std::wstring_view folder, uint64_t needed = 0) {
  return checkInstallFolder(folder, knownFolders(), needed).number();
}

// Volume answers for one test: a fixed drive with plenty of space unless told otherwise.
struct FakeVolume {
  unsigned type = DRIVE_FIXED;
  int readOnly = 0;  // 0 no, 1 yes, -1 cannot be read
  int64_t freeBytes = int64_t{1} << 40;  // -1: cannot be read
  int freeAsked = 0;
  VolumeQueries queries() {
    VolumeQueries q;
    q.driveType = [this](const std::wstring&) { return type; };
    q.readOnly = [this](const std::wstring&, bool& ro) {
      ro = readOnly == 1;
      return readOnly >= 0;
    };
    q.freeBytes = [this](const std::wstring&, uint64_t& bytes) {
      ++freeAsked;
      bytes = static_cast<uint64_t>(freeBytes);
      return freeBytes >= 0;
    };
    return q;
  }
};

TEST(InstallFolder, TextRules) {
  EXPECT_EQ(code(L""), 1);
  EXPECT_EQ(code(L" \t\r\n\xFEFF"), 1);
  EXPECT_EQ(code(L"Zelvan"), 2);
  EXPECT_EQ(code(L"\\\\server\\share\\Zelvan"), 2);
  EXPECT_EQ(code(L"C:"), 2);
  EXPECT_EQ(code(L"C:Zelvan"), 2);
  EXPECT_EQ(code(L"C:\\"), 5);
  EXPECT_EQ(code(L"C:\\\\\\"), 5);
  EXPECT_EQ(code(L"C:\\Apps\\a?b"), 3);
  EXPECT_EQ(code(L"C:\\Apps\\con"), 3);
  EXPECT_EQ(code(L"C:\\Apps\\nul.txt\\x"), 3);
  EXPECT_EQ(code(L"C:\\Apps\\x:y"), 3);
  EXPECT_EQ(code(L"C:\\Apps\\a.\\b"), 3);
  EXPECT_EQ(code(L"C:\\Apps\\..\\Windows"), 3);
  EXPECT_EQ(code(L"C:\\Apps\\a\\\\b"), 3);
  FolderVerdict v = checkInstallFolder(L"C:\\a|b", knownFolders(), 0);
  EXPECT_EQ(v.message, L"A folder name can't contain * ? \" < > |");
  v = checkInstallFolder(L"rel", knownFolders(), 0);
  EXPECT_EQ(v.message, L"Enter a full folder path, such as C:\\Program Files\\Zelvan.");
  EXPECT_EQ(checkInstallFolder(L"", knownFolders(), 0).message, L"Choose a folder to install to.");
}

// A name no folder can have is refused with the sentence that says why, not with the one about
// characters it does not hold.
TEST(InstallFolder, EachBadNameIsRefusedWithItsOwnReason) {
  struct Case {
    std::wstring folder;
    std::wstring message;
  };
  const Case cases[] = {
      {L"C:\\Apps\\..\\Windows", L"Enter the folder's path without . or .. in it."},
      {L"C:\\Apps\\.\\Zelvan", L"Enter the folder's path without . or .. in it."},
      {L"C:\\Apps\\con", L"A folder name can't be a device name such as CON, NUL, COM1 or LPT1."},
      {L"C:\\Apps\\nul.txt\\x", L"A folder name can't be a device name such as CON, NUL, COM1 or LPT1."},
      {L"C:\\Apps\\a.\\b", L"A folder name can't end in a dot or a space."},
      {L"C:\\Apps\\Zelvan.", L"A folder name can't end in a dot or a space."},
      {L"C:\\Apps\\a\tb", L"A folder name can't contain control characters such as tabs or line breaks."},
      {L"C:\\Apps\\a\x01", L"A folder name can't contain control characters such as tabs or line breaks."},
      {L"C:\\Apps\\x:y", L"A folder name can't contain : or /"},
      {L"C:\\Apps\\a\\\\b", L"A folder path can't have two \\ in a row."},
      {L"C:\\Apps\\a?b", L"A folder name can't contain * ? \" < > |"},
  };
  for (const Case& c : cases) {
    FolderVerdict v = checkInstallFolder(c.folder, knownFolders(), 0);
    EXPECT_EQ(v.code, FolderRefusal::BadCharacters) << c.folder;
    EXPECT_EQ(v.message, c.message) << c.folder;
  }
  // A component over the Windows limit is a length problem, found before anything else looks.
  EXPECT_EQ(code(L"C:\\" + std::wstring(1000, L'a') + L"\\Zelvan"), 4);
}

// A file where the folder should be, or on the way to it: nothing can be created there.
TEST(InstallFolder, AnExistingFileIsNotAFolder) {
  TempFolder dir;
  ASSERT_TRUE(test::writeText(dir / L"iexplore.exe", "MZ"));
  for (const std::wstring& folder : {dir / L"iexplore.exe", dir / L"iexplore.exe\\Zelvan\\2.5"}) {
    FolderVerdict v = checkInstallFolder(folder, knownFolders(), 0);
    EXPECT_EQ(v.code, FolderRefusal::NotAFolder) << folder;
    EXPECT_EQ(v.message, L"That's a file, not a folder. Choose a folder.") << folder;
  }
  EXPECT_EQ(code(dir / L"Zelvan"), 0);
}

// Compared as Windows resolves it: another spelling of the Windows folder is still the Windows
// folder, and the public profile's folders belong to every account.
TEST(InstallFolder, ForbiddenFoldersAreJudgedByWhatWindowsResolves) {
  for (const wchar_t* shared : {L"C:\\Users\\Public", L"C:\\Users\\Public\\Documents", L"C:\\Users\\Public\\Desktop"}) {
    EXPECT_EQ(code(shared), 5) << shared;
  }
  EXPECT_EQ(code(L"C:\\Users\\Public\\Documents\\Zelvan"), 0);
  using UnixName = char*(CDECL*)(const wchar_t*);
  auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (unixName == nullptr) GTEST_SKIP() << "not under Wine: no second drive onto the same files";
  // Wine's Z: drive is the Unix root, so Z:\<prefix>\drive_c\windows is the Windows folder again.
  char* unix = unixName(knownFolders().win.c_str());
  ASSERT_NE(unix, nullptr);
  std::wstring other = L"Z:";
  for (const char* p = unix; *p != 0; ++p) other += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
  HeapFree(GetProcessHeap(), 0, unix);
  // Wine names the drive's own link ("dosdevices\\c:"); the folder it points at has no colon.
  const std::wstring driveLink = L"\\dosdevices\\c:";
  if (size_t at = other.find(driveLink); at != std::wstring::npos) other.replace(at, driveLink.size(), L"\\drive_c");
  ASSERT_TRUE(isDirectory(other)) << other;
  EXPECT_EQ(code(other), 5) << other;
  EXPECT_EQ(code(other + L"\\Zelvan"), 5) << other;
}

TEST(InstallFolder, TrimmedBeforeChecking) {
  EXPECT_EQ(code(L"   C:\\zs-apps-not-there\\Zelvan\\\\  "), 0);
  EXPECT_EQ(code(L"  " + knownFolders().pf + L"\\\\ "), 5);  // equal to {pf} once trimmed
  FolderVerdict v = checkInstallFolder(L"C:\\zs-apps-not-there\\Zelvan", knownFolders(), 0);
  EXPECT_EQ(v.code, FolderRefusal::None);
  EXPECT_TRUE(v.message.empty());
}

TEST(InstallFolder, Length) {
  std::wstring folder = L"C:\\zs-" + std::wstring(174, L'a');
  ASSERT_EQ(folder.size(), 180u);
  EXPECT_EQ(code(folder), 0);
  EXPECT_EQ(code(folder + L"\\"), 0);  // the trailing "\" goes first
  folder += L'b';
  EXPECT_EQ(code(folder), 4);
  EXPECT_EQ(checkInstallFolder(folder, knownFolders(), 0).message,
            L"That folder path is too long. Choose a shorter one.");
}

TEST(InstallFolder, SystemFolders) {
  const KnownFolders& f = knownFolders();
  ASSERT_FALSE(f.pf.empty());
  ASSERT_FALSE(f.win.empty());
  EXPECT_EQ(code(f.pf), 5);
  EXPECT_EQ(code(f.pf + L"\\Zelvan"), 0);
  EXPECT_EQ(code(f.pf32), 5);
  EXPECT_EQ(code(f.pf32 + L"\\Brightmoor\\Zelvan"), 0);
  EXPECT_EQ(code(f.win), 5);
  EXPECT_EQ(code(f.win + L"\\Zelvan"), 5);
  EXPECT_EQ(code(L"c:\\WINDOWS\\system32\\Zelvan"), 5);
  std::wstring programData = f.setupdata.substr(0, f.setupdata.rfind(L'\\'));
  EXPECT_EQ(code(programData), 5);
  EXPECT_EQ(code(programData + L"\\Zelvan"), 0);
  ASSERT_FALSE(f.userProfiles.empty());
  ASSERT_FALSE(f.programs.empty());
  ASSERT_FALSE(f.desktop.empty());
  EXPECT_EQ(code(f.userProfiles), 5);
  EXPECT_EQ(code(f.programs), 5);
  EXPECT_EQ(code(f.desktop), 5);
  EXPECT_EQ(code(f.programs + L"\\Zelvan"), 0);
  EXPECT_EQ(checkInstallFolder(f.pf, f, 0).message,
            L"Zelvan can't be installed there. Choose another folder.");
}

TEST(InstallFolder, Drives) {
  EXPECT_EQ(code(L"Q:\\Zelvan"), 6);  // no such drive in the prefix
  EXPECT_EQ(checkInstallFolder(L"Q:\\Zelvan", knownFolders(), 0).message,
            L"That drive isn't available. Choose another folder.");
  for (unsigned type : {DRIVE_UNKNOWN, DRIVE_NO_ROOT_DIR, DRIVE_REMOTE, DRIVE_CDROM}) {
    FakeVolume volume;
    volume.type = type;
    EXPECT_EQ(checkInstallFolderWith(L"D:\\Zelvan", knownFolders(), 0, volume.queries()).code, FolderRefusal::DriveUnavailable) << type;
  }
  FakeVolume removable;
  removable.type = DRIVE_REMOVABLE;
  EXPECT_EQ(checkInstallFolderWith(L"C:\\zs-none\\Zelvan", knownFolders(), 0, removable.queries()).code, FolderRefusal::None);
  FakeVolume readOnly;
  readOnly.readOnly = 1;
  EXPECT_EQ(checkInstallFolderWith(L"C:\\zs-none\\Zelvan", knownFolders(), 0, readOnly.queries()).code, FolderRefusal::DriveUnavailable);
  FakeVolume unreadable;
  unreadable.readOnly = -1;
  EXPECT_EQ(checkInstallFolderWith(L"C:\\zs-none\\Zelvan", knownFolders(), 0, unreadable.queries()).code, FolderRefusal::None);
}

KnownFolders withUser(const TempFolder& t) {
  KnownFolders f = knownFolders();
  f.profile = t / L"profile";
  f.docs = t / L"profile\\Documents";
  f.appdata = t / L"profile\\AppData\\Roaming";
  f.userFoldersKnown = true;
  return f;
}

TEST(InstallFolder, ProjectsAndUserFolders) {
  const KnownFolders& machine = knownFolders();
  EXPECT_EQ(code(machine.setupdata), 7);
  EXPECT_EQ(code(machine.setupdata + L"\\x"), 7);
  EXPECT_EQ(checkInstallFolder(machine.setupdata + L"\\x", machine, 0).message,
            L"That's where Zelvan keeps your projects. Choose another folder.");
  TempFolder t;
  KnownFolders f = withUser(t);
  EXPECT_EQ(checkInstallFolder(f.docs + L"\\Zelvan\\2.5", f, 0).code, FolderRefusal::ProjectsFolder);
  EXPECT_EQ(checkInstallFolder(f.docs + L"\\zelvan", f, 0).code, FolderRefusal::ProjectsFolder);
  EXPECT_EQ(checkInstallFolder(f.appdata + L"\\Zelvan", f, 0).code, FolderRefusal::ProjectsFolder);
  EXPECT_EQ(checkInstallFolder(f.docs + L"\\Zelvan2", f, 0).code, FolderRefusal::None);
  EXPECT_EQ(checkInstallFolder(f.docs, f, 0).code, FolderRefusal::ForbiddenPlace);
  EXPECT_EQ(checkInstallFolder(f.appdata, f, 0).code, FolderRefusal::ForbiddenPlace);
  EXPECT_EQ(checkInstallFolder(f.profile, f, 0).code, FolderRefusal::ForbiddenPlace);
  EXPECT_EQ(checkInstallFolder(f.profile + L"\\Apps\\Zelvan", f, 0).code, FolderRefusal::None);
  KnownFolders unknown = f;
  unknown.userFoldersKnown = false;
  EXPECT_EQ(checkInstallFolder(f.docs + L"\\Zelvan", unknown, 0).code, FolderRefusal::None);
  EXPECT_EQ(checkInstallFolder(f.docs, unknown, 0).code, FolderRefusal::None);
  EXPECT_TRUE(isProjectsFolder(f.docs + L"\\Zelvan", f));
  EXPECT_FALSE(isProjectsFolder(f.docs + L"\\Zelvan", unknown));
}

// Outside Program Files the folder and every existing folder above it must be safe from other
// accounts; under Wine the process's own account counts as safe.
TEST(InstallFolder, FoldersOtherAccountsCanChange) {
  ASSERT_TRUE(isDirectory(staged(L"owned\\mine"))) << "staging script did not run";
  EXPECT_EQ(code(staged(L"owned\\mine\\Zelvan")), 0);
  EXPECT_EQ(code(staged(L"owned\\open\\Zelvan")), 5);   // Everyone may write the parent
  EXPECT_EQ(code(staged(L"owned\\other\\Zelvan")), 5);  // the parent belongs to another account
  EXPECT_EQ(code(staged(L"owned\\open")), 5);
  EXPECT_EQ(code(staged(L"linked\\link")), 5);           // a link itself
  EXPECT_EQ(code(staged(L"linked\\link\\Zelvan")), 5);   // a link above it
  // Inside Program Files the test is not made at all.
  KnownFolders f = knownFolders();
  f.pf = staged(L"owned\\open");
  EXPECT_EQ(checkInstallFolder(staged(L"owned\\open\\Zelvan"), f, 0).code, FolderRefusal::None);
}

TEST(InstallFolder, FreeSpace) {
  FakeVolume volume;
  volume.freeBytes = 10 * 1048576;
  FolderVerdict v = checkInstallFolderWith(L"C:\\zs-none\\Zelvan", knownFolders(), 6 * 1048576, volume.queries());
  EXPECT_EQ(v.code, FolderRefusal::NotEnoughSpace);
  EXPECT_EQ(v.message, L"There isn't enough free space on C:. Zelvan needs 12 MB.");
  volume.freeBytes = 11 * 1048576;  // exactly enough
  EXPECT_EQ(checkInstallFolderWith(L"C:\\zs-none\\Zelvan", knownFolders(), 6 * 1048576, volume.queries()).code, FolderRefusal::None);
  volume.freeAsked = 0;
  EXPECT_EQ(checkInstallFolderWith(L"C:\\zs-none\\Zelvan", knownFolders(), 0, volume.queries()).code, FolderRefusal::None);
  EXPECT_EQ(volume.freeAsked, 0);
  volume.freeBytes = -1;  // unreadable: the test passes
  EXPECT_EQ(checkInstallFolderWith(L"C:\\zs-none\\Zelvan", knownFolders(), 6 * 1048576, volume.queries()).code, FolderRefusal::None);
  volume.freeBytes = 0;
  v = checkInstallFolderWith(L"C:\\zs-none\\Zelvan", knownFolders(), UINT64_MAX, volume.queries());
  EXPECT_EQ(v.code, FolderRefusal::NotEnoughSpace);
  // The real volume of the prefix cannot hold a pebibyte.
  v = checkInstallFolder(L"c:\\zs-none\\Zelvan", knownFolders(), uint64_t{1} << 50);
  EXPECT_EQ(v.code, FolderRefusal::NotEnoughSpace);
  EXPECT_EQ(v.message, L"There isn't enough free space on c:. Zelvan needs 1073741830 MB.");
}

// A 1 MiB volume staged as S: where the test machine allows mounting one.
TEST(InstallFolder, FullVolume) {
  if (GetDriveTypeW(L"S:\\") != DRIVE_FIXED) GTEST_SKIP() << "no small volume staged as S:";
  FolderVerdict v = checkInstallFolder(L"S:\\Zelvan", knownFolders(), 2 * 1048576);
  EXPECT_EQ(v.code, FolderRefusal::NotEnoughSpace);
  EXPECT_EQ(v.message, L"There isn't enough free space on S:. Zelvan needs 8 MB.");
  EXPECT_EQ(checkInstallFolder(L"S:\\Zelvan", knownFolders(), 0).code, FolderRefusal::None);
}

TEST(InstallFolder, Plausible) {
  const KnownFolders& f = knownFolders();
  EXPECT_TRUE(isPlausibleInstallFolder(f.pf + L"\\Zelvan\\", f));
  EXPECT_TRUE(isPlausibleInstallFolder(L"  D:\\Apps\\Zelvan ", f));  // no drive test here
  EXPECT_FALSE(isPlausibleInstallFolder(L"", f));
  EXPECT_FALSE(isPlausibleInstallFolder(L"Zelvan", f));
  EXPECT_FALSE(isPlausibleInstallFolder(L"C:\\a|b", f));
  EXPECT_FALSE(isPlausibleInstallFolder(f.pf, f));
  EXPECT_FALSE(isPlausibleInstallFolder(f.setupdata + L"\\x", f));
  EXPECT_FALSE(isPlausibleInstallFolder(staged(L"linked\\link"), f));
  EXPECT_FALSE(isPlausibleInstallFolder(L"C:\\", f));
  EXPECT_TRUE(isForbiddenFolder(L"C:\\", f));
  EXPECT_TRUE(isForbiddenFolder(L"X:", f));
  EXPECT_TRUE(isForbiddenFolder(L" C:\\\\ ", f));
  EXPECT_TRUE(isForbiddenFolder(f.pf + L"\\", f));
  EXPECT_FALSE(isForbiddenFolder(f.pf + L"\\Zelvan", f));
}

}  // namespace
}  // namespace zs
