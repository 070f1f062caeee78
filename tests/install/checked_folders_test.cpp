#include "install/checked_folders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "base/text.h"
#include "journal/sandbox.h"
#include "platform/files.h"
#include "support/temp_folder.h"

namespace zs {
namespace {

// What the plain walk says, in the remembering walk's terms.
WayDown plainAnswer(const std::wstring& root, const std::wstring& path) {
  if (findLink(root, path) == LinkPlace::InPath) return WayDown::Link;
  return pathExists(parentPath(path)) && isDirectory(parentPath(path)) ? WayDown::Clear : WayDown::MissingLevel;
}

// The top-most folder missing on the way down to the path's parent; empty when a file stops the
// way first, or nothing is missing.
std::wstring plainMissing(const std::wstring& root, const std::wstring& path) {
  std::wstring level = parentPath(path);
  std::wstring top;
  while (level.size() > root.size()) {
    if (!pathExists(level)) top = level;
    else if (!isDirectory(level)) top.clear();
    level = parentPath(level);
  }
  return top;
}

// A tree with a folder link below the root, a file standing where a folder would be, folders of
// several depths and names that differ only in case. Every path is judged in many orders by one
// CheckedFolders, as a step judges file after file: each answer must be the plain walk's, whatever
// the walker has remembered from the paths before it.
TEST(CheckedFolders, RememberingGivesThePlainWalksAnswerInAnyOrder) {
  test::TempFolder t(test::TempFolder::Where::DriveRoot);
  const std::wstring root = t / L"App";
  for (const wchar_t* d : {L"App", L"App\\a", L"App\\a\\b", L"App\\a\\b\\c", L"App\\d", L"Elsewhere"})
    ASSERT_TRUE(CreateDirectoryW((t / d).c_str(), nullptr));
  ASSERT_TRUE(test::writeBytes(root + L"\\a\\file", "x"));
  ASSERT_TRUE(test::plantLink(root + L"\\a\\linked", t / L"Elsewhere"));
  ASSERT_TRUE(CreateDirectoryW((t / L"Elsewhere\\inner").c_str(), nullptr));

  const std::vector<std::wstring> paths = {
      root + L"\\top.txt",           root + L"\\a\\x.dll",          root + L"\\A\\B\\y.dll",
      root + L"\\a\\b\\c\\z.dll",    root + L"\\a\\b\\c\\new\\z",   root + L"\\a\\linked\\x",
      root + L"\\A\\LINKED\\inner\\x", root + L"\\a\\file\\below",  root + L"\\missing\\deeper\\x",
      root + L"\\d\\x",              root + L"\\a\\linked",          root,
  };
  std::vector<WayDown> expected;
  std::vector<std::wstring> expectedMissing;
  for (const std::wstring& p : paths) {
    expected.push_back(plainAnswer(root, p));
    expectedMissing.push_back(expected.back() == WayDown::MissingLevel ? plainMissing(root, p) : L"");
  }
  // The cases the tree was built for are all there.
  for (WayDown w : {WayDown::Clear, WayDown::MissingLevel, WayDown::Link})
    EXPECT_NE(std::find(expected.begin(), expected.end(), w), expected.end());

  std::vector<size_t> order(paths.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::mt19937 rng(26);
  for (int round = 0; round < 40; ++round) {
    CheckedFolders checked(root);
    for (int pass = 0; pass < 2; ++pass) {
      for (size_t i : order) {
        std::wstring missing = L"stale";
        EXPECT_EQ(checked.judge(paths[i], &missing), expected[i]) << "round " << round << ": " << wideToUtf8(paths[i]);
        if (expected[i] != WayDown::Link) {
          EXPECT_TRUE(equalsNoCase(missing, expectedMissing[i])) << "round " << round << ": " << wideToUtf8(paths[i]);
        }
      }
    }
    std::shuffle(order.begin(), order.end(), rng);
  }
  // Only real folders are remembered: never the link, the file, or anything beyond them.
  CheckedFolders checked(root);
  for (const std::wstring& p : paths) checked.judge(p);
  EXPECT_TRUE(checked.knownReal(root + L"\\A\\b\\C"));
  for (const wchar_t* rest : {L"\\a\\linked", L"\\a\\linked\\inner", L"\\a\\file", L"\\missing"})
    EXPECT_FALSE(checked.knownReal(root + rest)) << wideToUtf8(rest);
  test::removeLink(root + L"\\a\\linked");
}

// A link at the root itself is on the way to everything below it.
TEST(CheckedFolders, ALinkedRootIsALinkOnTheWay) {
  test::TempFolder t(test::TempFolder::Where::DriveRoot);
  ASSERT_TRUE(CreateDirectoryW((t / L"Target").c_str(), nullptr));
  ASSERT_TRUE(test::plantLink(t / L"App", t / L"Target"));
  CheckedFolders checked(t / L"App");
  EXPECT_EQ(checked.judge(t / L"App\\x.dll"), WayDown::Link);
  EXPECT_EQ(checked.judge(t / L"App\\x.dll"), WayDown::Link);
  EXPECT_EQ(checked.judge(t / L"App"), WayDown::Clear);  // the root itself is the caller's to judge
  test::removeLink(t / L"App");
}

// A level Windows refuses to read is not taken for a missing folder nor for a link: the answer
// names it with the Windows error, and nothing below it is remembered as real.
TEST(CheckedFolders, ALevelThatCannotBeReadIsAnsweredAsSuch) {
  test::TempFolder t(test::TempFolder::Where::DriveRoot);
  ASSERT_TRUE(CreateDirectoryW((t / L"App").c_str(), nullptr));
  CheckedFolders checked(t / L"App");
  std::wstring missing = L"stale";
  CheckedFolders::Unreadable unreadable;
  // A wildcard in a folder's name makes Windows refuse the name itself (not "not found").
  EXPECT_EQ(checked.judge(t / L"App\\a*b\\c\\x.dll", &missing, &unreadable), WayDown::Unreadable);
  EXPECT_EQ(unreadable.folder, t / L"App\\a*b");
  EXPECT_EQ(unreadable.error, static_cast<unsigned long>(ERROR_INVALID_NAME));
  EXPECT_FALSE(checked.knownReal(t / L"App\\a*b"));
  EXPECT_TRUE(checked.knownReal(t / L"App"));
  EXPECT_EQ(checked.judge(t / L"App\\x.dll"), WayDown::Clear);
}

}  // namespace
}  // namespace zs
