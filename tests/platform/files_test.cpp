#include "platform/files.h"

#include <bcrypt.h>
#include <gtest/gtest.h>

#include <map>

#include "platform/handle.h"
#include "platform/system_library.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "temp_folder.h"

namespace zs {
namespace {

using test::readText;
using test::staged;
using TempFolder = test::DriveRootFolder;
using test::writeText;

std::string hex(const std::array<uint8_t, 32>& d) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (uint8_t b : d) {
    s += digits[b >> 4];
    s += digits[b & 15];
  }
  return s;
}

TEST(Files, ExistenceAndType) {
  TempFolder t;
  ASSERT_TRUE(writeText(t / L"f.txt", "x"));
  EXPECT_TRUE(pathExists(t / L"f.txt"));
  EXPECT_FALSE(isDirectory(t / L"f.txt"));
  EXPECT_TRUE(isDirectory(t.path()));
  EXPECT_FALSE(pathExists(t / L"missing"));
  EXPECT_FALSE(isDirectory(t / L"missing"));
}

TEST(Files, LinksAreRecognised) {
  ASSERT_TRUE(isDirectory(staged(L"linked"))) << "staging script did not run";
  EXPECT_TRUE(isLink(staged(L"linked\\link")));
  EXPECT_FALSE(isLink(staged(L"linked")));
  EXPECT_FALSE(isLink(staged(L"outside\\target\\keep.txt")));
  EXPECT_FALSE(isLink(staged(L"missing")));
}

TEST(Files, NoLinkBelow) {
  std::wstring base = staged(L"linked");
  EXPECT_FALSE(noLinkBelow(base, base + L"\\link"));
  EXPECT_FALSE(noLinkBelow(base, base + L"\\link\\keep.txt"));
  EXPECT_FALSE(noLinkBelow(base, base + L"\\LINK\\not-there\\x"));
  // A path that does not exist below an ordinary folder has no link in it yet.
  EXPECT_TRUE(noLinkBelow(base, base + L"\\new\\deeper\\file.txt"));
  // The folder itself is not tested, even when it is a link.
  EXPECT_TRUE(noLinkBelow(base + L"\\link", base + L"\\link\\keep.txt"));
  EXPECT_TRUE(noLinkBelow(base + L"\\link", base + L"\\link"));
  // Outside the folder only the path itself counts.
  EXPECT_FALSE(noLinkBelow(L"C:\\elsewhere", base + L"\\link"));
  EXPECT_TRUE(noLinkBelow(L"C:\\elsewhere", base));
  TempFolder t;
  CreateDirectoryW((t / L"a").c_str(), nullptr);
  CreateDirectoryW((t / L"a\\b").c_str(), nullptr);
  EXPECT_TRUE(noLinkBelow(t.path(), t / L"a\\b"));
  EXPECT_TRUE(noLinkBelow(t.path() + L"\\", t / L"a\\b\\c"));
}

// Unlike noLinkBelow, the root counts, and a link at the path itself is told apart from one on
// the way to it.
TEST(Files, FindLinkFromTheRootDown) {
  std::wstring base = staged(L"linked");
  ASSERT_TRUE(isLink(base + L"\\link")) << "staging script did not run";
  struct Case {
    std::wstring root, path;
    LinkPlace expected;
  } cases[] = {
      {base, base + L"\\new\\deeper\\file.txt", LinkPlace::None},
      {base, base, LinkPlace::None},
      {base, base + L"\\link", LinkPlace::AtTarget},
      {base, base + L"\\LINK\\keep.txt", LinkPlace::InPath},
      {base, base + L"\\link\\not-there\\x", LinkPlace::InPath},
      {base + L"\\link", base + L"\\link\\keep.txt", LinkPlace::InPath},
      {base + L"\\link", base + L"\\link\\missing\\x", LinkPlace::InPath},
      {base + L"\\link", base + L"\\link", LinkPlace::AtTarget},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(findLink(c.root, c.path), c.expected) << wideToUtf8(c.root) << " -> " << wideToUtf8(c.path);
  }
}

TEST(Files, ListFolder) {
  TempFolder t;
  ASSERT_TRUE(writeText(t / L"one.txt", "12345"));
  CreateDirectoryW((t / L"sub").c_str(), nullptr);
  std::vector<FolderEntry> entries;
  ASSERT_TRUE(listFolder(t.path(), entries));
  std::map<std::wstring, FolderEntry> byName;
  for (auto& e : entries) byName[e.name] = e;
  ASSERT_EQ(byName.size(), 2u);
  EXPECT_EQ(byName[L"one.txt"].size, 5u);
  EXPECT_NE(byName[L"sub"].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
  EXPECT_FALSE(isFolderEmpty(t.path()));
  EXPECT_TRUE(isFolderEmpty(t / L"sub"));
  EXPECT_FALSE(isFolderEmpty(t / L"missing"));
  EXPECT_FALSE(listFolder(t / L"missing", entries));
}

// A file another component wrote is flushed in place, its bytes unchanged; what is not there (or
// is a folder) gives the Windows error.
TEST(Files, FlushFileToDisk) {
  TempFolder t;
  ASSERT_TRUE(writeText(t / L"saved.lnk", "shortcut bytes"));
  CreateDirectoryW((t / L"sub").c_str(), nullptr);
  DWORD error = 0;
  EXPECT_TRUE(flushFileToDisk(t / L"saved.lnk", &error));
  EXPECT_EQ(readText(t / L"saved.lnk"), "shortcut bytes");
  EXPECT_FALSE(flushFileToDisk(t / L"missing.lnk", &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  error = 0;
  EXPECT_FALSE(flushFileToDisk(t / L"sub", &error));
  EXPECT_NE(error, 0u);
  EXPECT_TRUE(flushFolderToDisk(t / L"sub", &error)) << error;
  EXPECT_TRUE(flushFolderToDisk(t.path(), &error)) << error;
  EXPECT_FALSE(flushFolderToDisk(t / L"missing", &error));
}

TEST(Files, ReadWholeFile) {
  TempFolder t;
  ASSERT_TRUE(writeText(t / L"101", std::string(101, 'x')));
  ASSERT_TRUE(writeText(t / L"empty", ""));
  std::string bytes = "old";
  DWORD error = 0;
  EXPECT_FALSE(readWholeFile(t / L"101", 100, bytes, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
  EXPECT_TRUE(bytes.empty());
  EXPECT_TRUE(readWholeFile(t / L"101", 101, bytes, &error));
  EXPECT_EQ(bytes, std::string(101, 'x'));
  EXPECT_TRUE(readWholeFile(t / L"empty", 100, bytes));
  EXPECT_TRUE(bytes.empty());
  EXPECT_FALSE(readWholeFile(t / L"missing", 100, bytes, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // More than one 16 MiB piece.
  std::string big(kMaxPieceBytes + 3, 'b');
  big[kMaxPieceBytes] = 'z';
  ASSERT_TRUE(writeNewFile(t / L"big", big));
  ASSERT_TRUE(readWholeFile(t / L"big", big.size(), bytes));
  EXPECT_TRUE(bytes == big);
}

TEST(Files, HashFile) {
  TempFolder t;
  std::array<uint8_t, 32> d{};
  ASSERT_TRUE(writeText(t / L"abc", "abc"));
  ASSERT_TRUE(hashFile(t / L"abc", d));
  EXPECT_EQ(hex(d), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  ASSERT_TRUE(writeText(t / L"empty", ""));
  ASSERT_TRUE(hashFile(t / L"empty", d));
  EXPECT_EQ(hex(d), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  // Several 1 MiB blocks and a short last one.
  ASSERT_TRUE(writeText(t / L"million", std::string(3000000, 'a')));
  ASSERT_TRUE(hashFile(t / L"million", d));
  EXPECT_EQ(hex(d), "2a152c894398719c0570f83fac34ac03a0f6e8e474b995c2403aa5434f7b9dd4");
  EXPECT_FALSE(hashFile(t / L"missing", d));
}

TEST(Files, ReadFileVersion) {
  std::wstring version;
  ASSERT_TRUE(readFileVersion(L"C:\\windows\\system32\\kernel32.dll", version));
  unsigned a, b, c, e;
  EXPECT_EQ(swscanf(version.c_str(), L"%u.%u.%u.%u", &a, &b, &c, &e), 4) << version;
  TempFolder t;
  ASSERT_TRUE(writeText(t / L"plain.dll", "MZ not really"));
  EXPECT_FALSE(readFileVersion(t / L"plain.dll", version));
  EXPECT_FALSE(readFileVersion(t / L"missing.dll", version));
}

TEST(Files, CreateAndRemoveFolders) {
  TempFolder t;
  DWORD error = 0;
  EXPECT_TRUE(createFolder(t / L"a", &error));
  EXPECT_FALSE(createFolder(t / L"a", &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(createFolder(t / L"missing\\a", &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_TRUE(createHiddenFolder(t / L"h", &error));
  EXPECT_NE(GetFileAttributesW((t / L"h").c_str()) & FILE_ATTRIBUTE_HIDDEN, 0u);
  SetFileAttributesW((t / L"a").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(removeFolder(t / L"a"));
  EXPECT_FALSE(pathExists(t / L"a"));
  ASSERT_TRUE(writeText(t / L"h\\f", "x"));
  EXPECT_FALSE(removeFolder(t / L"h"));
}

TEST(Files, DeleteFileClearsReadOnly) {
  TempFolder t;
  ASSERT_TRUE(writeText(t / L"ro", "x"));
  SetFileAttributesW((t / L"ro").c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(deleteFile(t / L"ro"));
  EXPECT_FALSE(pathExists(t / L"ro"));

  // Open without delete sharing: the delete fails and the file is read-only again.
  ASSERT_TRUE(writeText(t / L"held", "x"));
  SetFileAttributesW((t / L"held").c_str(), FILE_ATTRIBUTE_READONLY);
  UniqueHandle held(CreateFileW((t / L"held").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.valid());
  DWORD error = 0;
  EXPECT_FALSE(deleteFile(t / L"held", &error));
  EXPECT_NE(error, 0u);
  EXPECT_NE(GetFileAttributesW((t / L"held").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  held.reset();
  EXPECT_FALSE(deleteFile(t / L"missing", &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Files, MoveNeverReplaces) {
  TempFolder t;
  ASSERT_TRUE(writeText(t / L"a", "A"));
  ASSERT_TRUE(writeText(t / L"b", "B"));
  DWORD error = 0;
  EXPECT_FALSE(moveFile(t / L"a", t / L"b", true, &error));
  EXPECT_TRUE(error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) << error;
  EXPECT_EQ(readText(t / L"b"), "B");
  EXPECT_EQ(readText(t / L"a"), "A");
  EXPECT_TRUE(moveFile(t / L"a", t / L"c", false, &error));
  EXPECT_EQ(readText(t / L"c"), "A");
  EXPECT_FALSE(pathExists(t / L"a"));
}

TEST(Files, WriteNewFile) {
  TempFolder t;
  ASSERT_TRUE(writeText(t / L"old", "keep me"));
  DWORD error = 0;
  EXPECT_FALSE(writeNewFile(t / L"old", std::string_view("new"), &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(readText(t / L"old"), "keep me");
  EXPECT_TRUE(writeNewFile(t / L"new", std::string_view("fresh"), &error));
  EXPECT_EQ(readText(t / L"new"), "fresh");
  EXPECT_TRUE(writeNewFile(t / L"zero", std::string_view(), &error));
  EXPECT_TRUE(pathExists(t / L"zero"));
  EXPECT_FALSE(writeNewFile(t / L"missing\\f", std::string_view("x"), &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

TEST(Files, DeleteTreeRemovesEverything) {
  TempFolder t;
  std::wstring root = t / L"tree";
  ASSERT_TRUE(createFolder(root));
  ASSERT_TRUE(createFolder(root + L"\\sub"));
  ASSERT_TRUE(createFolder(root + L"\\sub\\deeper"));
  ASSERT_TRUE(writeText(root + L"\\a.txt", "a"));
  ASSERT_TRUE(writeText(root + L"\\sub\\deeper\\ro.txt", "ro"));
  SetFileAttributesW((root + L"\\sub\\deeper\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  SetFileAttributesW((root + L"\\sub").c_str(), FILE_ATTRIBUTE_READONLY);
  for (int i = 0; i < 300; ++i) {  // more names than one listing call returns
    ASSERT_TRUE(writeText(root + L"\\sub\\file-with-a-rather-long-name-" + std::to_wstring(i), "x"));
  }
  std::vector<std::wstring> failed;
  EXPECT_TRUE(deleteTree(root, [&](const std::wstring& p, DWORD) { failed.push_back(p); }));
  EXPECT_TRUE(failed.empty());
  EXPECT_FALSE(pathExists(root));
  EXPECT_TRUE(deleteTree(root));  // missing counts as deleted
  ASSERT_TRUE(writeText(t / L"single", "x"));
  EXPECT_TRUE(deleteTree(t / L"single"));
  EXPECT_FALSE(pathExists(t / L"single"));
}

TEST(Files, DeleteTreeGoesOnAfterAFailure) {
  TempFolder t;
  std::wstring root = t / L"tree";
  ASSERT_TRUE(createFolder(root));
  ASSERT_TRUE(writeText(root + L"\\held", "x"));
  ASSERT_TRUE(writeText(root + L"\\other", "x"));
  SetFileAttributesW((root + L"\\held").c_str(), FILE_ATTRIBUTE_READONLY);
  UniqueHandle held(CreateFileW((root + L"\\held").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(held.valid());
  std::vector<std::wstring> failed;
  EXPECT_FALSE(deleteTree(root, [&](const std::wstring& p, DWORD) { failed.push_back(p); }));
  EXPECT_FALSE(pathExists(root + L"\\other"));
  EXPECT_TRUE(pathExists(root + L"\\held"));
  EXPECT_NE(GetFileAttributesW((root + L"\\held").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
  ASSERT_GE(failed.size(), 2u);  // the held file and then its folder
  EXPECT_EQ(failed.front(), root + L"\\held");
  EXPECT_EQ(failed.back(), root);
  held.reset();
  SetFileAttributesW((root + L"\\held").c_str(), FILE_ATTRIBUTE_NORMAL);
}

// A link inside a tree is removed as itself and never followed. Wine opens the target of a link
// even when asked not to, so there the link cannot be removed at all and must be left alone,
// reported, with its target untouched.
TEST(Files, DeleteTreeNeverFollowsALink) {
  std::wstring tree = staged(L"tree");
  ASSERT_TRUE(isLink(tree + L"\\dirlink")) << "staging script did not run";
  std::vector<std::wstring> failed;
  bool ok = deleteTree(tree, [&](const std::wstring& p, DWORD) { failed.push_back(p); });
  EXPECT_TRUE(pathExists(staged(L"outside\\target\\keep.txt")));
  EXPECT_TRUE(isDirectory(staged(L"outside\\empty")));
  EXPECT_FALSE(pathExists(tree + L"\\sub"));
  // A link given as the tree itself is not followed either.
  std::vector<std::wstring> topFailed;
  bool topOk = deleteTree(staged(L"linked\\link"),
                          [&](const std::wstring& p, DWORD) { topFailed.push_back(p); });
  EXPECT_TRUE(pathExists(staged(L"outside\\target\\keep.txt")));
  EXPECT_TRUE(isDirectory(staged(L"outside\\target")));
  if (runningUnderWine()) {
    EXPECT_FALSE(topOk);
    EXPECT_EQ(topFailed, std::vector<std::wstring>{staged(L"linked\\link")});
    EXPECT_FALSE(ok);
    EXPECT_TRUE(isLink(tree + L"\\dirlink"));
    EXPECT_TRUE(isLink(tree + L"\\emptylink"));
    EXPECT_EQ(failed.size(), 3u);  // both links and the folder that still holds them
  } else {
    EXPECT_TRUE(ok);
    EXPECT_FALSE(pathExists(tree));
    EXPECT_TRUE(topOk);
  }
}

TEST(Files, UnderProgramFiles) {
  KnownFolders f;
  f.pf = L"C:\\Program Files";
  f.pf32 = L"C:\\Program Files (x86)";
  EXPECT_TRUE(isUnderProgramFiles(L"C:\\Program Files\\Zelvan", f));
  EXPECT_TRUE(isUnderProgramFiles(L"c:\\program files (x86)\\Zelvan\\bin", f));
  EXPECT_FALSE(isUnderProgramFiles(L"C:\\Program Files", f));
  EXPECT_FALSE(isUnderProgramFiles(L"C:\\Program Files2\\Zelvan", f));
  EXPECT_FALSE(isUnderProgramFiles(L"D:\\Zelvan", KnownFolders{}));
  EXPECT_TRUE(isUnderProgramFiles(knownFolders().pf32 + L"\\Zelvan"));
}

TEST(Files, AppendWritesAtTheEnd) {
  TempFolder t;
  DWORD error = 0;
  UniqueHandle h(openForAppend(t / L"log", true, &error));
  ASSERT_TRUE(h.valid()) << error;
  EXPECT_TRUE(appendBytes(h.get(), std::string_view("one\n"), true, &error));
  h.reset();
  EXPECT_EQ(openForAppend(t / L"log", true, &error), INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_EXISTS));
  h.reset(openForAppend(t / L"log", false, &error));
  ASSERT_TRUE(h.valid());
  EXPECT_TRUE(appendBytes(h.get(), std::string_view("two\n"), false, &error));
  h.reset();
  EXPECT_EQ(readText(t / L"log"), "one\ntwo\n");
}

}  // namespace
}  // namespace zs
