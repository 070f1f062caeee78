// The placing mover's contract, with real files: moves in the order handed over, stops at the first
// move that fails, and gives back every file handed over after it, unmoved.
#include "install/placing_mover.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_folder.h"

namespace zs {
namespace {

using test::TempFolder;
using test::fileExists;
using test::writeBytes;

Placement placement(const TempFolder& root, int i) {
  return Placement{root / (L"staged" + std::to_wstring(i)), root / (L"placed" + std::to_wstring(i)), {i + 1}};
}

// However far the handing over runs ahead of the moves, no file after the failed one is moved,
// and each one taken is either moved or given back.
TEST(PlacingMover, StopsAtTheFirstFailedMoveAndGivesBackEverythingAfterIt) {
  TempFolder root;
  constexpr int kFiles = 300;
  constexpr int kMissing = 90;  // its staged copy is gone, so its move fails
  for (int i = 0; i < kFiles; ++i) {
    if (i != kMissing) {
      ASSERT_TRUE(writeBytes(placement(root, i).from, "file " + std::to_string(i)));
    }
  }

  CancelState cancel;
  PlacingMover mover(cancel);
  int taken = 0;
  while (taken < kFiles && mover.give(placement(root, taken))) ++taken;
  MoverOutcome outcome = mover.finish();

  ASSERT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.failedAt.puts, std::vector<int32_t>{kMissing + 1});
  EXPECT_EQ(outcome.failedAt.target, placement(root, kMissing).target);
  EXPECT_EQ(outcome.error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  ASSERT_GT(taken, kMissing);
  std::vector<int32_t> givenBack, expected;
  for (const Placement& p : outcome.unmoved) givenBack.insert(givenBack.end(), p.puts.begin(), p.puts.end());
  // The hand-over that was refused has its record on disk too: it is given back last.
  for (int i = kMissing + 1; i <= taken && i < kFiles; ++i) expected.push_back(i + 1);
  EXPECT_EQ(givenBack, expected) << "every file handed over after the failed one, the refused one too, in order";
  for (int i = 0; i < kFiles; ++i) {
    const Placement p = placement(root, i);
    if (i == kMissing) continue;
    EXPECT_EQ(fileExists(p.target), i < kMissing) << i;
    EXPECT_EQ(fileExists(p.from), i > kMissing) << i;
  }
}

// Once a move has failed, the next hand-over is refused; its PUT record is on disk all the same,
// so it must come back among the unmoved, or rollback would delete what another program put there.
TEST(PlacingMover, AHandOverRefusedAfterAFailedMoveIsGivenBackWithTheUnmoved) {
  TempFolder root;
  CancelState cancel;
  PlacingMover mover(cancel);
  int given = 0;
  // The first move fails at once (nothing is staged); the hand-overs go on until one is refused.
  while (given < 20000 && mover.give(placement(root, given))) {
    ++given;
    if (given % 8 == 0) Sleep(1);
  }
  ASSERT_LT(given, 20000) << "the mover never refused a hand-over";
  MoverOutcome outcome = mover.finish();
  ASSERT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.failedAt.puts, std::vector<int32_t>{1});
  ASSERT_FALSE(outcome.unmoved.empty());
  EXPECT_EQ(outcome.unmoved.back().puts, std::vector<int32_t>{given + 1}) << "the refused one, last";
  EXPECT_EQ(static_cast<int>(outcome.unmoved.size()), given) << "every hand-over after the failed one";
}

TEST(PlacingMover, ACancelAskedForStopsTheNextMoveBeforeItsFirstTry) {
  TempFolder root;
  const Placement p = placement(root, 0);
  ASSERT_TRUE(writeBytes(p.from, "staged"));
  CancelState cancel;
  ASSERT_TRUE(cancel.requestCancel());
  PlacingMover mover(cancel);
  mover.give(p);
  MoverOutcome outcome = mover.finish();
  ASSERT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.failedAt.puts, p.puts);
  EXPECT_EQ(outcome.error, 0u);
  EXPECT_TRUE(fileExists(p.from));
  EXPECT_FALSE(fileExists(p.target));
}

// A folder goes as a whole with every file below it, and one whose place is taken by then fails and
// gives back the records of all its files.
TEST(PlacingMover, MovesAFolderAsAWholeAndAFolderWhosePlaceIsTakenFailsWithAllItsRecords) {
  TempFolder root;
  for (const wchar_t* f : {L"staged\\A\\one", L"staged\\A\\sub\\two", L"staged\\B\\three"})
    ASSERT_TRUE(test::writeBytesMakingFolders(root / f, "staged"));
  ASSERT_TRUE(CreateDirectoryW((root / L"B").c_str(), nullptr));  // taken

  CancelState cancel;
  PlacingMover mover(cancel);
  ASSERT_TRUE(mover.give(Placement{root / L"staged\\A", root / L"A", {3, 5}}));
  ASSERT_TRUE(mover.give(Placement{root / L"staged\\B", root / L"B", {7}}));
  MoverOutcome outcome = mover.finish();

  EXPECT_TRUE(fileExists(root / L"A\\one"));
  EXPECT_TRUE(fileExists(root / L"A\\sub\\two"));
  EXPECT_FALSE(fileExists(root / L"staged\\A"));
  ASSERT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.failedAt.target, root / L"B");
  EXPECT_EQ(outcome.failedAt.puts, std::vector<int32_t>{7});
  EXPECT_TRUE(outcome.unmoved.empty());
  EXPECT_TRUE(fileExists(root / L"staged\\B\\three"));
  EXPECT_FALSE(fileExists(root / L"B\\three"));
}

}  // namespace
}  // namespace zs
