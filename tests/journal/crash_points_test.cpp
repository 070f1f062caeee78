// A run that dies anywhere leaves a machine that the next start brings back: to the state before
// the run when it died before COMMIT, to the installed state after. Every record of a real
// journal is a crash point three times over (before its change, after it, and with the next
// record torn in half), and so is every UNDONE of a rollback that itself dies.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "journal/cleanup.h"
#include "journal/recovery.h"
#include "journal/scenario.h"
#include "platform/files.h"
#include "support/temp_folder.h"

namespace zs::test {
namespace {

RollbackOptions fastOptions() {
  RollbackOptions o;
  o.asUser = selfImpersonation();
  o.retryPauseMs = 10;
  return o;
}

struct Reference {
  MachineState before;
  MachineState installed;
  std::vector<std::string> lines;  // the full journal up to COMMIT
  int lastChange = 0;
};

Reference makeReference(Sandbox& box) {
  Reference ref;
  box.reset();
  prepareBefore(box);
  ref.before = snapshot(box);
  JournalWriter j;
  CrashPlan none;
  ref.lastChange = runChanges(box, j, none, true);
  ref.lines = journalLines(box.journalPath());
  cleanUpAfterCommit(j, box.folders, box.appId);
  ref.installed = snapshot(box);
  return ref;
}

// Starts the machine again as it was and runs until the planned death.
void crashAt(Sandbox& box, const Reference& ref, int record, CrashWhere where) {
  box.reset();
  prepareBefore(box);
  JournalWriter j;
  CrashPlan plan{record, where, &ref.lines};
  if (record <= ref.lastChange) {
    EXPECT_THROW(runChanges(box, j, plan, false), CrashNow);
    return;
  }
  // The commit records change nothing on the machine: lay them down as the run would have.
  runChanges(box, j, CrashPlan{}, false);
  j.close();
  std::string tail;
  for (int n = ref.lastChange + 1; n <= record; ++n) tail += ref.lines[n - 1];
  if (record < static_cast<int>(ref.lines.size())) tail += reachedOfNext(ref.lines[record], where);
  appendRaw(box.journalPath(), tail);
}

void expectRecoversTo(Sandbox& box, const MachineState& expected, const std::string& where) {
  EXPECT_EQ(recoverAtStartup(box.folders, box.appId, nullptr, fastOptions()), Recovery::GoOn) << where;
  MachineState after = snapshot(box);
  EXPECT_TRUE(after == expected) << where << "\n" << describeDifference(expected, after);
  EXPECT_FALSE(pathExists(box.journalPath())) << where;
  // A second start finds nothing to do and changes nothing.
  EXPECT_EQ(recoverAtStartup(box.folders, box.appId, nullptr, fastOptions()), Recovery::GoOn) << where;
  EXPECT_TRUE(snapshot(box) == after) << where << " (second recovery)";
}

const char* whereName(CrashWhere w) {
  switch (w) {
    case CrashWhere::BeforeChange: return "before its change";
    case CrashWhere::AfterChange: return "after its change";
    case CrashWhere::TornNext: return "with the next record torn";
    case CrashWhere::HoledNext: return "with the next record's first block lost";
    case CrashWhere::Never: break;
  }
  return "";
}

TEST(CrashPoints, EveryPrefixOfARealJournalRecovers) {
  Sandbox box;
  Reference ref = makeReference(box);
  ASSERT_FALSE(ref.before == ref.installed);
  ASSERT_GT(ref.lastChange, 20);

  // The journal holds every kind the run writes.
  std::set<std::string> kinds;
  for (const std::string& line : ref.lines) kinds.insert(line.substr(0, line.find_first_of("\t\n")));
  for (const char* kind : {"BEGIN", "STAGE", "NGENOLD", "DIRNEW", "MOVE", "PUT", "PENDGONE", "SEEDNEW", "KEYNEW",
                           "REGNEW", "REGOLD", "NGENNEW", "CLEANENTRY", "CLEANDIR", "CLEANEMPTY", "COMMIT"}) {
    EXPECT_EQ(kinds.count(kind), 1u) << kind;
  }

  int points = 0;
  // Dead while writing BEGIN: a journal with its header and half a line.
  crashAt(box, ref, 0, CrashWhere::TornNext);
  expectRecoversTo(box, ref.before, "torn BEGIN");
  crashAt(box, ref, 0, CrashWhere::HoledNext);
  expectRecoversTo(box, ref.before, "BEGIN without its first block");
  points += 2;
  int commitRecord = static_cast<int>(ref.lines.size());
  for (int n = 1; n <= commitRecord; ++n) {
    for (CrashWhere where : {CrashWhere::BeforeChange, CrashWhere::AfterChange, CrashWhere::TornNext,
                             CrashWhere::HoledNext}) {
      if (n > ref.lastChange && where == CrashWhere::AfterChange) continue;  // no change to make
      if (n == commitRecord && (where == CrashWhere::TornNext || where == CrashWhere::HoledNext)) continue;  // END comes after cleanup
      crashAt(box, ref, n, where);
      std::string label = "record " + std::to_string(n) + " " + whereName(where);
      expectRecoversTo(box, n == commitRecord ? ref.installed : ref.before, label);
      ++points;
      if (::testing::Test::HasFailure()) return;
    }
  }

  // Dead during the cleanup, or while writing END, or just before deleting an ended journal: the
  // cleanup is done (again) and the installed state stays.
  std::string all;
  for (const std::string& line : ref.lines) all += line;
  for (const std::string& tail : {std::string(), std::string("EN"), std::string("END\n")}) {
    box.reset();
    prepareBefore(box);
    JournalWriter j;
    runChanges(box, j, CrashPlan{}, true);
    cleanUpAfterCommit(j, box.folders, box.appId);
    createFolder(box.folders.setupdata);
    appendRaw(box.journalPath(), "ZSJ1\n" + all + tail);
    expectRecoversTo(box, ref.installed, "after cleanup, tail '" + tail + "'");
    ++points;
  }
  std::printf("[ crash points ] %d points of a %zu-record journal, all recovered\n", points, ref.lines.size());
}

// Where a rollback can die: after an UNDONE is durable; with the next UNDONE half written; and
// after an undo whose UNDONE never reached the file (that record is then undone a second time,
// which every undo must survive).
enum class RollbackDeath { AfterUndone, TornUndone, Unrecorded };

TEST(CrashPoints, ARollbackThatDiesResumesWithoutRepeatingItself) {
  Sandbox box;
  Reference ref = makeReference(box);
  int undoable = 0;
  int interruptions = 0;
  for (int k = 1;; ++k) {
    for (RollbackDeath death : {RollbackDeath::AfterUndone, RollbackDeath::TornUndone, RollbackDeath::Unrecorded}) {
      // A torn UNDONE is cut the same way wherever it falls: a sample of them is enough.
      if (death == RollbackDeath::TornUndone && k % 4 != 1) continue;
      box.reset();
      prepareBefore(box);
      JournalWriter j;
      runChanges(box, j, CrashPlan{}, false);
      j.close();
      RollbackOptions dying = fastOptions();
      int seen = 0;
      bool died = false;
      dying.afterUndone = [&](int32_t) {
        if (++seen == k) {
          died = true;
          throw CrashNow{};
        }
      };
      try {
        recoverAtStartup(box.folders, box.appId, nullptr, dying);
      } catch (const CrashNow&) {
        std::string bytes = readBytes(box.journalPath());
        if (death == RollbackDeath::TornUndone) appendRaw(box.journalPath(), "UNDO");
        if (death == RollbackDeath::Unrecorded) {
          // The last line is the UNDONE just written: as if the process died before writing it.
          size_t cut = bytes.rfind('\n', bytes.size() - 2) + 1;
          ASSERT_EQ(bytes.compare(cut, 7, "UNDONE\t"), 0);
          ASSERT_TRUE(writeBytes(box.journalPath(), bytes.substr(0, cut)));
        }
      }
      if (!died) {
        // k is past the last record to undo: the rollback finished on its own.
        EXPECT_TRUE(snapshot(box) == ref.before);
        std::printf("[ crash points ] %d rollback interruptions around each of %d UNDONE records\n", interruptions,
                    undoable);
        EXPECT_GT(undoable, 20);
        return;
      }
      std::string label = "rollback dead at UNDONE " + std::to_string(k) +
                          (death == RollbackDeath::TornUndone ? " (torn)"
                           : death == RollbackDeath::Unrecorded ? " (not written)" : "");
      expectRecoversTo(box, ref.before, label);
      ++interruptions;
      if (::testing::Test::HasFailure()) return;
    }
    ++undoable;
  }
}

}  // namespace
}  // namespace zs::test
