// Start-up recovery and rollback against real changes in the sandbox: hostile journals set aside
// untouched, links planted after the journal was written, the committed paths, and the undo
// cases that must not be forced.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/failure.h"
#include "journal/cleanup.h"
#include "journal/record_kinds.h"
#include "journal/recovery.h"
#include "journal/scenario.h"
#include "journal/setup_data.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "base/text.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

namespace zs::test {
namespace {

RollbackOptions fastOptions() {
  RollbackOptions o;
  o.asUser = selfImpersonation();
  o.retryPauseMs = 10;
  return o;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

size_t countPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

std::string u8(const std::wstring& s) { return wideToUtf8(s); }

// Runs the scenario until it dies after the given record's change.
void dieAfter(Sandbox& box, int record) {
  JournalWriter j;
  CrashPlan plan{record, CrashWhere::AfterChange, nullptr};
  EXPECT_THROW(runChanges(box, j, plan, false), CrashNow);
}

int recordNumberOf(Sandbox& box, const std::string& prefix) {
  std::vector<std::string> lines = journalLines(box.journalPath());
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind(prefix, 0) == 0) return static_cast<int>(i) + 1;
  }
  return 0;
}

class Recovery : public ::testing::Test {
 protected:
  void SetUp() override { fresh(); }
  // The earlier install, and something outside every scope that a forged journal would like to
  // touch; before_ is the machine as it is then.
  void fresh() {
    box_.reset();
    prepareBefore(box_);
    outside_ = box_ / L"outside";
    createFolder(outside_);
    createFolder(outside_ + L"\\x");
    writeNewFile(outside_ + L"\\victim.txt", std::string_view("precious"));
    writeNewFile(outside_ + L"\\x\\c.dll", std::string_view("theirs"));
    writeValue(RegRoot::Hklm, RegView::View64, box_.regBase, L"Victim", REG_SZ, L"v", 4);
    before_ = snapshot(box_);
  }
  std::string journalHead() const {
    return "ZSJ1\n" + u8(L"BEGIN\t2.0\tupgrade\t" + box_.app + L"\t" + box_.app + L"\t" + kRunSuffix) + "\n";
  }
  // A journal that, if acted on, would delete a file of the earlier install (a.dll).
  std::string withHarmfulUndo(const std::string& hostile) const {
    return journalHead() + u8(L"PUT\t" + box_.app + L"\\a.dll") + "\n" + hostile;
  }
  void expectSetAside(const std::string& bytes) {
    SCOPED_TRACE(bytes.substr(0, 300));
    createFolder(box_.folders.setupdata);
    deleteFile(box_.journalPath() + L".bad");
    ASSERT_TRUE(writeNewFile(box_.journalPath(), bytes));
    MachineState withJournal = snapshot(box_);
    LogCapture log;
    EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
    EXPECT_TRUE(hasLine(log.lines(),
                        "The journal was not valid. Renamed to install.zsj.bad and nothing in it was acted on."));
    EXPECT_EQ(countPrefix(log.lines(), "Undo record"), 0u);
    EXPECT_FALSE(pathExists(box_.journalPath()));
    EXPECT_EQ(readBytes(box_.journalPath() + L".bad"), bytes);
    // Nothing else changed: the journal only moved to its .bad name.
    MachineState after = snapshot(box_);
    std::wstring rel = box_.journalPath().substr(box_.root().size() + 1);
    withJournal.files[rel + L".bad"] = withJournal.files[rel];
    withJournal.files.erase(rel);
    after.files[rel + L".bad"] = withJournal.files[rel + L".bad"];  // the bytes were compared above
    EXPECT_TRUE(after == withJournal) << describeDifference(withJournal, after);
  }

  Sandbox box_;
  std::wstring outside_;
  MachineState before_;
};

TEST_F(Recovery, HostileJournalsAreSetAsideWithNothingActedOn) {
  const std::wstring& app = box_.app;
  expectSetAside(withHarmfulUndo(u8(L"PUT\t" + outside_ + L"\\victim.txt") + "\n"));
  expectSetAside(withHarmfulUndo(u8(L"MOVE\t" + outside_ + L"\\victim.txt\t" + app + L"\\.zsold" + kRunSuffix + L"\\victim.txt") + "\n"));
  expectSetAside(withHarmfulUndo(u8(L"REGNEW\tHKLM\t64\tSoftware\\Victim\tName") + "\n"));
  expectSetAside(withHarmfulUndo(u8(L"REGOLD\tHKLM\t64\tSYSTEM\\CurrentControlSet\\Services\\x\tImagePath\t1\t00") + "\n"));
  expectSetAside(withHarmfulUndo(u8(L"PUT\t" + app + L"\\..\\..\\outside\\victim.txt") + "\n"));
  expectSetAside(withHarmfulUndo("ERASE\t" + u8(outside_) + "\n"));
  expectSetAside(withHarmfulUndo("PUT\t" + u8(app) + "\\b\xC3\x28.dll\n"));
  expectSetAside(withHarmfulUndo("NGENNEW\t" + u8(outside_) + "\\ngen.exe\t" + u8(app) + "\\a.dll\n"));
  expectSetAside("ZSJ1\n" + u8(L"BEGIN\t2.0\tupgrade\t" + box_.folders.win + L"\t\t" + kRunSuffix) + "\n" +
                 u8(L"PUT\t" + box_.folders.win + L"\\a.dll") + "\n");
  expectSetAside("ZSJ1\n" + u8(L"BEGIN\t2.0\tupgrade\t" + app + L"\t" + box_.folders.pf + L"\t" + kRunSuffix) + "\n");
  expectSetAside("ZSJ1\nBEGIN\t2.0\tupgrade\t" + u8(app) + "\n" + u8(L"PUT\t" + app + L"\\a.dll") + "\n");
  expectSetAside("ZSJ0\n" + withHarmfulUndo("").substr(5));
  std::string huge = withHarmfulUndo("");
  huge.append(kJournalMaxBytes + 1 - huge.size(), '\n');
  expectSetAside(huge);
  EXPECT_EQ(readBytes(outside_ + L"\\victim.txt"), "precious");
  EXPECT_EQ(readBytes(app + L"\\a.dll"), "old a");
}

// Records whose fields pass the path rules but that no undo could act on: each makes the journal
// invalid, so that it is set aside rather than failing every rollback for ever.
TEST_F(Recovery, RecordsThatCouldNeverBeUndoneAreRefusedWithTheWholeJournal) {
  const std::wstring value = L"REGOLD\tHKLM\t64\t" + box_.regBase + L"\\K\tV\t";
  for (const std::wstring& record : {
           value + L"1\t0a1", value + L"1\t0g", value + L"4294967296\t00", value + L"-1\t00", value + L"\t00",
           L"REGOLD\tHKLM\t64\t" + box_.regBase + L"\\K\tV\tkey\t", L"REGOLD\tHKLM\t64\t" + box_.regBase + L"\\K\t\tkey\t00",
           std::wstring(L"UNDONE\t3"), std::wstring(L"UNDONE\t4"), std::wstring(L"UNDONE\t0"),
           L"SEEDNEW\t" + box_.folders.docs + L"\\Zelvan\\a.json\t" + std::wstring(64, L'g'),
           L"BEGIN\t2.0\tfresh\t" + box_.app + L"\t\t" + kRunSuffix}) {
    expectSetAside(withHarmfulUndo(u8(record) + "\n"));
  }
  expectSetAside("ZSJ1\n" + u8(L"BEGIN\t2.0\tsideways\t" + box_.app + L"\t\t" + kRunSuffix) + "\n");
  EXPECT_EQ(readBytes(box_.app + L"\\a.dll"), "old a");
}

// A header torn by a power cut is no journal to keep: it goes, and nothing else is touched.
TEST_F(Recovery, AJournalWithATornHeaderIsDeletedNotSetAside) {
  for (const std::string& torn : {std::string(5, '\0'), std::string("ZS"), std::string()}) {
    createFolder(box_.folders.setupdata);
    ASSERT_TRUE(writeNewFile(box_.journalPath(), torn));
    LogCapture log;
    EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
    EXPECT_TRUE(hasLine(log.lines(), "The journal holds no more than a torn header, so nothing was done under it. Deleted."));
    EXPECT_FALSE(pathExists(box_.journalPath()));
    EXPECT_FALSE(pathExists(box_.journalPath() + L".bad"));
    EXPECT_EQ(readBytes(box_.app + L"\\a.dll"), "old a");
  }
}

// install.zsj.bad is taken by something that cannot be removed: the bad journal goes to the next
// free spare name, and the log says where it went; when no name can be had, the log says what is
// in the way, and the journal stays where a new run's journal would go.
TEST_F(Recovery, ABadJournalThatCannotTakeItsUsualNameTakesAFreeOne) {
  const std::wstring journal = box_.journalPath();
  const std::wstring bad = journal + L".bad";
  const std::string bytes = withHarmfulUndo("ERASE\n");
  createFolder(box_.folders.setupdata);
  ASSERT_TRUE(createFolder(bad));
  ASSERT_TRUE(createFolder(bad + L"1"));
  ASSERT_TRUE(writeNewFile(journal, bytes));
  LogCapture log;
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
  EXPECT_EQ(countPrefix(log.lines(), "Rename of a bad journal: Windows error "), 1u);
  EXPECT_FALSE(hasLine(log.lines(), "The journal was not valid. Renamed to install.zsj.bad and nothing in it was acted on."));
  EXPECT_TRUE(hasLine(log.lines(), "The journal was not valid. Renamed to install.zsj.bad2 and nothing in it was acted on."));
  EXPECT_EQ(readBytes(bad + L"2"), bytes);
  EXPECT_FALSE(pathExists(journal));

  // A file held open at the usual name cannot be removed either.
  ASSERT_TRUE(deleteTree(bad));
  ASSERT_TRUE(writeNewFile(bad, std::string_view("an older bad journal, held open")));
  HANDLE held = CreateFileW(bad.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(writeNewFile(journal, bytes));
  LogCapture heldLog;
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
  CloseHandle(held);
  EXPECT_TRUE(hasLine(heldLog.lines(), "The journal was not valid. Renamed to install.zsj.bad3 and nothing in it was acted on."));
  EXPECT_EQ(readBytes(bad), "an older bad journal, held open");

  // Every name taken: nothing is said to be renamed, the line names what is in the way, and the
  // journal stays where the next run's own journal would go (that run fails naming its path).
  for (int n = 4; n <= 9; ++n) ASSERT_TRUE(createFolder(bad + std::to_wstring(n)));
  ASSERT_TRUE(deleteFile(bad));
  ASSERT_TRUE(createFolder(bad));
  ASSERT_TRUE(writeNewFile(journal, bytes));
  LogCapture stuck;
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
  EXPECT_EQ(countPrefix(stuck.lines(), "The journal was not valid. Renamed"), 0u);
  EXPECT_TRUE(hasLine(stuck.lines(), "The journal was not valid and stays unread at " + u8(journal) +
                                         ": it could not be set aside, " + u8(bad) + " is in the way."));
  EXPECT_EQ(countPrefix(stuck.lines(), "Undo record"), 0u);
  EXPECT_EQ(readBytes(journal), bytes);
  JournalWriter next;
  EXPECT_EQ(next.create(journal, box_.folders, box_.appId), static_cast<DWORD>(ERROR_FILE_EXISTS));
  EXPECT_EQ(readBytes(box_.app + L"\\a.dll"), "old a");
  for (int n = 0; n <= 9; ++n) deleteTree(n == 0 ? bad : bad + std::to_wstring(n));
}

TEST_F(Recovery, AnEmptyOrEndedJournalIsDeletedUnread) {
  createFolder(box_.folders.setupdata);
  LogCapture log;
  writeNewFile(box_.journalPath(), std::string_view("ZSJ1\n"));
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
  EXPECT_FALSE(pathExists(box_.journalPath()));
  EXPECT_TRUE(log.lines().empty());
  // An ended journal is deleted unread too, and the log says so: nothing of it is undone.
  writeNewFile(box_.journalPath(), withHarmfulUndo("END\n"));
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
  EXPECT_FALSE(pathExists(box_.journalPath()));
  EXPECT_EQ(readBytes(box_.app + L"\\a.dll"), "old a");
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "An earlier run finished its cleanup but not the journal's delete. Deleted it."});
  // No {setupdata} at all: nothing to do, nothing said.
  Sandbox bare;
  deleteTree(bare.folders.setupdata);
  EXPECT_EQ(recoverAtStartup(bare.folders, bare.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(Recovery, AJunctionPlantedInTheInstallFolderStopsTheMoveBackAndKeepsTheJournal) {
  fresh();
  // The run died right after moving the old a.dll aside.
  dieAfter(box_, 5);
  std::wstring backup = box_.app + L"\\.zsold" + kRunSuffix;
  ASSERT_TRUE(pathExists(backup + L"\\a.dll"));
  ASSERT_EQ(recordNumberOf(box_, "MOVE"), 5);
  // Someone swaps the backup folder for a junction to a folder of theirs.
  std::wstring theirs = box_ / L"theirs";
  ASSERT_TRUE(moveFile(backup, theirs, false));
  ASSERT_TRUE(plantLink(backup, theirs));
  MachineState planted = snapshot(box_);

  LogCapture log;
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::Incomplete);
  auto lines = log.lines();
  EXPECT_TRUE(hasLine(lines, "Undo of a move skipped, a link is in the path: " + u8(box_.app) + "\\a.dll"));
  EXPECT_TRUE(hasLine(lines, "Undo failed for record 5 (MOVE)"));
  EXPECT_TRUE(hasLine(lines, "Rollback is not complete. The journal stays, and the next run tries again."));
  EXPECT_TRUE(pathExists(box_.journalPath()));
  EXPECT_TRUE(pathExists(theirs + L"\\a.dll"));  // nothing moved through the link
  EXPECT_FALSE(pathExists(box_.app + L"\\a.dll"));
  (void)planted;

  // Once the link is gone and the folder is back, the next start finishes, without undoing
  // again what the first attempt already undid.
  ASSERT_TRUE(removeLink(backup));
  ASSERT_TRUE(pathExists(theirs + L"\\a.dll"));
  ASSERT_TRUE(moveFile(theirs, backup, false));
  LogCapture second;
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
  EXPECT_EQ(countPrefix(second.lines(), "Undo record"), 2u);  // MOVE 5 and DIRNEW 4 (kept after the failure)
  MachineState after = snapshot(box_);
  EXPECT_TRUE(after == before_) << describeDifference(before_, after);
}

TEST_F(Recovery, LinksPlantedAfterTheJournalAreNeverWorkedThrough) {
  // Died after placing plugins\x\c.dll (records: DIRNEW plugins, DIRNEW plugins\x, PUT c.dll).
  JournalWriter j;
  CrashPlan plan{11, CrashWhere::AfterChange, nullptr};
  EXPECT_THROW(runChanges(box_, j, plan, false), CrashNow);
  ASSERT_EQ(recordNumberOf(box_, "PUT\t" + u8(box_.app) + "\\plugins"), 11);
  std::wstring plugins = box_.app + L"\\plugins";
  ASSERT_TRUE(deleteTree(plugins));
  ASSERT_TRUE(plantLink(plugins, outside_));
  struct Unplant {
    std::wstring link;
    ~Unplant() { removeLink(link); }
  } unplant{plugins};
  LogCapture log;
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::Incomplete);
  EXPECT_TRUE(hasLine(log.lines(), "Undo of a placed file skipped, a link is in the path: " + u8(plugins) + "\\x\\c.dll"));
  EXPECT_EQ(readBytes(outside_ + L"\\x\\c.dll"), "theirs");
  EXPECT_EQ(readBytes(outside_ + L"\\victim.txt"), "precious");
  EXPECT_TRUE(pathExists(box_.journalPath()));
}

TEST_F(Recovery, ACommittedJournalIsFinishedByTheRunOrByTheNextStart) {
  fresh();
  std::wstring backup = box_.app + L"\\.zsold" + kRunSuffix;
  // Staging and backup folders of earlier runs whose cleanup could not remove them; and folders
  // that only look like them.
  const std::wstring earlier[] = {L"\\.zsnew-1111111111111111", L"\\.zsold-2222222222222222"};
  const std::wstring notOurs[] = {L"\\.zsnew-1111", L"\\.zsoldies-2222222222222222"};
  for (bool byNextStart : {false, true}) {
    SCOPED_TRACE(byNextStart ? "next start" : "the run itself");
    fresh();
    for (const std::wstring& name : earlier) {
      ASSERT_TRUE(createFolder(box_.app + name) && createFolder(box_.app + name + L"\\sub"));
      ASSERT_TRUE(writeNewFile(box_.app + name + L"\\sub\\left.dll", std::string_view("left")));
    }
    for (const std::wstring& name : notOurs) ASSERT_TRUE(createFolder(box_.app + name));
    LogCapture log;
    {
      JournalWriter j;
      runChanges(box_, j, CrashPlan{}, true);
      if (!byNextStart) cleanUpAfterCommit(j, box_.folders, box_.appId);
    }  // the process dies here when the cleanup is left to the next start
    if (byNextStart) {
      EXPECT_FALSE(rollbackWillDelete(box_.folders, box_.app + L"\\plugins\\x\\c.dll"));  // committed
      EXPECT_TRUE(pathExists(backup + L"\\a.dll"));
      EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
      EXPECT_TRUE(hasLine(log.lines(), "An earlier run committed but did not finish its cleanup. Finishing it."));
    }
    auto lines = log.lines();
    EXPECT_TRUE(hasLine(lines, "COMMIT."));
    EXPECT_TRUE(hasLine(lines, "Removed the old entry {" + u8(box_.appId) + "} (32-bit view)"));
    EXPECT_TRUE(hasLine(lines, "Removed the empty folder " + u8(box_.app) + "\\empty-old"));
    EXPECT_TRUE(hasLine(lines, "Removed the empty folder " + u8(box_.folders.pf) + "\\Brightmoor"));
    EXPECT_FALSE(pathExists(box_.journalPath()));
    EXPECT_FALSE(pathExists(backup));
    // The run leaves its staging folder in place, as a power cut does that keeps COMMIT but loses
    // the folder's removal (nothing orders them): the cleanup takes it, or it stays hidden for good.
    EXPECT_FALSE(pathExists(box_.app + L"\\.zsnew" + kRunSuffix));
    EXPECT_FALSE(pathExists(box_.folders.setupdata + L"\\bak"));
    EXPECT_FALSE(keyExists(RegRoot::Hklm, RegView::View32, box_.entryKey));
    EXPECT_TRUE(keyExists(RegRoot::Hklm, RegView::View64, box_.entryKey));
    EXPECT_EQ(readBytes(box_.app + L"\\a.dll"), "new a");
    EXPECT_EQ(readBytes(box_.app + L"\\sub\\b.txt"), "old b");  // CLEANDIR of a folder still in use
    for (const std::wstring& name : earlier) {
      EXPECT_FALSE(pathExists(box_.app + name));
      EXPECT_TRUE(hasLine(lines, "Removing a staging or backup folder an earlier run left: " + u8(box_.app + name)));
    }
    for (const std::wstring& name : notOurs) {
      EXPECT_TRUE(pathExists(box_.app + name));
      ASSERT_TRUE(removeFolder(box_.app + name));
    }
  }
}

TEST_F(Recovery, ACancelBeforeCommitWinsAndOneAfterIsRefused) {
  fresh();
  JournalWriter j;
  runChanges(box_, j, CrashPlan{}, false);
  CancelState cancel;
  CommitInputs in;
  in.journal = &j;
  in.installFolder = box_.app;
  in.oldInstallFolder = box_.app;
  in.appId = box_.appId;
  in.folders = &box_.folders;
  in.cancel = &cancel;
  EXPECT_TRUE(cancel.requestCancel());
  try {
    commitRun(in);
    ADD_FAILURE() << "the commit went ahead after a cancel";
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.kind, StopKind::Cancelled);
  }
  JournalImage image;
  ASSERT_EQ(readJournal(box_.journalPath(), image), JournalState::Valid);
  EXPECT_FALSE(image.committed);
  // The run's own rollback then puts everything back.
  LogCapture log;
  EXPECT_TRUE(rollBackOwnJournal(j, box_.folders, box_.appId, nullptr, fastOptions()));
  EXPECT_TRUE(hasLine(log.lines(), "Rolled back. Everything is as it was."));
  MachineState after = snapshot(box_);
  EXPECT_TRUE(after == before_) << describeDifference(before_, after);

  CancelState late;
  in.cancel = &late;
  JournalWriter k;
  runChanges(box_, k, CrashPlan{}, false);
  in.journal = &k;
  commitRun(in);
  EXPECT_FALSE(late.requestCancel());
  EXPECT_TRUE(late.committed());
  k.close();
}

TEST_F(Recovery, UndoIsCarefulRatherThanForceful) {
  fresh();
  dieAfter(box_, 11);  // a.dll and Zelvan.exe replaced, plugins\x\c.dll placed
  // The old a.dll's place holds a file again; c.dll is held open without delete sharing; the seed
  // and a stray file in plugins\x are not the run's.
  std::wstring c = box_.app + L"\\plugins\\x\\c.dll";
  HANDLE held = CreateFileW(c.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  LogCapture log;
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::Incomplete);
  auto lines = log.lines();
  EXPECT_EQ(countPrefix(lines, "Undo delete " + u8(c) + ": Windows error "), 10u);
  EXPECT_TRUE(hasLine(lines, "Undo failed for record 11 (PUT)"));
  // After that failure the folders that still hold c.dll get no UNDONE.
  std::vector<std::string> journal = journalLines(box_.journalPath());
  EXPECT_EQ(std::count(journal.begin(), journal.end(), std::string("UNDONE\t10\n")), 0);
  EXPECT_EQ(std::count(journal.begin(), journal.end(), std::string("UNDONE\t9\n")), 0);
  EXPECT_EQ(std::count(journal.begin(), journal.end(), std::string("UNDONE\t5\n")), 1);
  CloseHandle(held);
  LogCapture again;
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
  EXPECT_EQ(countPrefix(again.lines(), "Undo record"), 3u);  // PUT 11, DIRNEW 10, DIRNEW 9
  MachineState after = snapshot(box_);
  EXPECT_TRUE(after == before_) << describeDifference(before_, after);

  // Both the moved-aside file and a new one at its place: neither is overwritten.
  fresh();
  dieAfter(box_, 5);
  writeNewFile(box_.app + L"\\a.dll", std::string_view("someone else's"));
  LogCapture both;
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::Incomplete);
  EXPECT_TRUE(hasLine(both.lines(), "Undo of a move: both exist: " + u8(box_.app) + "\\a.dll"));
  EXPECT_EQ(readBytes(box_.app + L"\\a.dll"), "someone else's");
  EXPECT_EQ(readBytes(box_.app + L"\\.zsold" + kRunSuffix + L"\\a.dll"), "old a");
}

// The uninstaller's copy rolls back an install cut short while its launcher, the install's own new
// uninstaller, waits for it: that file, and the new folders holding it, wait for a second rollback
// once the launcher has ended; everything else goes at once. A held file that the run also moved an
// old one aside from does not wait: the old one could not come back while it stays.
TEST_F(Recovery, AFileHeldByTheWaitingLauncherIsLeftToASecondRollback) {
  fresh();
  dieAfter(box_, 11);  // a.dll and Zelvan.exe replaced, plugins\x\c.dll placed
  std::wstring c = box_.app + L"\\plugins\\x\\c.dll";
  HANDLE held = CreateFileW(c.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  // An uninstaller that is such a file runs from a copy: only an uncommitted journal's PUT counts.
  EXPECT_TRUE(rollbackWillDelete(box_.folders, c));
  EXPECT_FALSE(rollbackWillDelete(box_.folders, box_.app + L"\\plugins\\x"));
  RollbackOptions options = fastOptions();
  options.heldFile = c;
  LogCapture log;
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, options), zs::Recovery::AllButHeldFile);
  auto lines = log.lines();
  EXPECT_EQ(countPrefix(lines, "Undo record 11 waits until the program that holds " + u8(c) + " has ended: PUT"), 1u);
  EXPECT_EQ(countPrefix(lines, "Undo record 10 waits"), 1u);
  EXPECT_EQ(countPrefix(lines, "Undo record 9 waits"), 1u);
  EXPECT_EQ(countPrefix(lines, "Undo delete "), 0u);  // no retries against the holder
  EXPECT_EQ(readBytes(box_.app + L"\\a.dll"), "old a");  // the rest is rolled back
  EXPECT_TRUE(pathExists(box_.journalPath()));
  CloseHandle(held);
  LogCapture second;
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
  EXPECT_EQ(countPrefix(second.lines(), "Undo record"), 3u);  // PUT 11, DIRNEW 10, DIRNEW 9
  MachineState after = snapshot(box_);
  EXPECT_TRUE(after == before_) << describeDifference(before_, after);
  EXPECT_FALSE(rollbackWillDelete(box_.folders, c));  // no journal any more

  fresh();
  dieAfter(box_, 11);
  std::wstring a = box_.app + L"\\a.dll";  // moved aside, then put new
  held = CreateFileW(a.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  options.heldFile = a;
  LogCapture moved;
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, options), zs::Recovery::Incomplete);
  EXPECT_EQ(countPrefix(moved.lines(), "Undo record 6 waits"), 0u);
  CloseHandle(held);
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
  after = snapshot(box_);
  EXPECT_TRUE(after == before_) << describeDifference(before_, after);
}

// A power cut while a first-run file's side file was written leaves it torn or zeroed. The side
// file is named for the run, so it goes whatever it holds; a file named for another run, or the
// seed's own name with content the run did not write, stays.
TEST_F(Recovery, ATornSideFileOfAFirstRunFileGoesAndNothingElseTheRunDidNotWrite) {
  fresh();
  const std::wstring folder = box_.folders.docs + L"\\Zelvan";
  const std::wstring seed = folder + L"\\first.json";
  const std::wstring side = seed + L".zsseed" + kRunSuffix;
  const std::wstring othersSide = seed + L".zsseed-ffffffffffffffff";
  const std::wstring sha = L"CDE2CA7C86760958A5C56ED21C980F7012B150A4819B274FC806EA42A4500D19";
  std::string journal = journalHead() + u8(L"DIRNEW\t" + folder) + "\n";
  for (const std::wstring& path : {seed, side, othersSide}) journal += u8(L"SEEDNEW\t" + path + L"\t" + sha) + "\n";
  createFolder(box_.folders.setupdata);
  ASSERT_TRUE(writeNewFile(box_.journalPath(), journal));
  ASSERT_TRUE(createFolder(folder));
  ASSERT_TRUE(writeNewFile(side, std::string(15, '\0')));
  ASSERT_TRUE(writeNewFile(othersSide, std::string(15, '\0')));
  ASSERT_TRUE(writeNewFile(seed, std::string_view("{\"first\": tru")));
  EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
  EXPECT_FALSE(pathExists(side));
  EXPECT_TRUE(pathExists(othersSide));
  EXPECT_TRUE(pathExists(seed));
  EXPECT_TRUE(pathExists(folder));
  EXPECT_FALSE(pathExists(box_.journalPath()));
}

TEST_F(Recovery, TheUsersFoldersAreTouchedOnlyAsTheUserAndOnlyWhatTheRunWrote) {
  fresh();
  int seedRecord = 0;
  {
    JournalWriter j;
    runChanges(box_, j, CrashPlan{}, false);
    seedRecord = recordNumberOf(box_, "SEEDNEW");
  }
  std::wstring seed = box_.folders.docs + L"\\Zelvan\\first.json";
  ASSERT_TRUE(pathExists(seed));
  // Without the user's token nothing there is touched, and the rollback still completes.
  KnownFolders noUser = box_.folders;
  noUser.userFoldersKnown = false;
  RollbackOptions options = fastOptions();
  int asked = 0;
  options.asUser = [&](const std::function<void()>& work) {
    ++asked;
    return selfImpersonation()(work);
  };
  LogCapture log;
  EXPECT_EQ(recoverAtStartup(noUser, box_.appId, nullptr, options), zs::Recovery::GoOn);
  EXPECT_TRUE(hasLine(log.lines(), "Skipping a seed with no user token"));
  EXPECT_TRUE(hasLine(log.lines(), "Skipping a folder that isn't this run's to touch: " + u8(box_.folders.docs) + "\\Zelvan"));
  EXPECT_EQ(asked, 0);
  EXPECT_TRUE(pathExists(seed));

  // With the token: a seed the user has changed stays; an unchanged one goes, as the user.
  for (bool changed : {true, false}) {
    fresh();
    {
      JournalWriter j;
      runChanges(box_, j, CrashPlan{}, false);
    }
    if (changed) {
      deleteFile(seed);
      writeNewFile(seed, std::string_view("{\"first\": false}"));
    }
    asked = 0;
    EXPECT_EQ(recoverAtStartup(box_.folders, box_.appId, nullptr, options), zs::Recovery::GoOn);
    EXPECT_EQ(asked, 2);  // the seed and its folder
    EXPECT_EQ(pathExists(seed), changed);
  }
  EXPECT_GT(seedRecord, 0);
}

TEST_F(Recovery, SetupDataThatIsNotOursIsRenamedAwayAndNeverRead) {
  Sandbox box;
  std::wstring setupdata = box.folders.setupdata;
  EXPECT_TRUE(checkSetupData(setupdata));  // absent
  ASSERT_TRUE(prepareSetupDataAt(setupdata));
  EXPECT_TRUE(isTrustedFolder(setupdata));
  EXPECT_TRUE(checkSetupData(setupdata));  // ours

  // A link in its place, holding a journal that would undo things: renamed away, not read.
  deleteTree(setupdata);
  std::wstring theirs = box / L"theirs";
  createFolder(theirs);
  writeNewFile(theirs + L"\\install.zsj", "ZSJ1\n" + u8(L"BEGIN\t2.0\tfresh\t" + box.app + L"\t\t" + kRunSuffix) +
                                              "\n" + u8(L"PUT\t" + box.app + L"\\keep.txt") + "\n");
  createFolder(box / L"Apps");
  createFolder(box.app);
  writeNewFile(box.app + L"\\keep.txt", std::string_view("keep"));
  ASSERT_TRUE(plantLink(setupdata, theirs));
  createFolder(setupdata + L".bad-1");
  LogCapture log;
  EXPECT_EQ(recoverAtStartup(box.folders, box.appId, nullptr, fastOptions()), zs::Recovery::GoOn);
  EXPECT_TRUE(hasLine(log.lines(), "{setupdata} was not ours: renamed to " + u8(setupdata) + ".bad-2"));
  EXPECT_EQ(countPrefix(log.lines(), "Undo record"), 0u);
  EXPECT_EQ(readBytes(box.app + L"\\keep.txt"), "keep");
  // (Windows renames the link itself; Wine renames the folder it points to. Either way the
  // journal in it was never acted on.)
  removeLink(setupdata);
  deleteTree(setupdata + L".bad-2");
  EXPECT_TRUE(prepareSetupDataAt(setupdata));
  EXPECT_TRUE(isDirectory(setupdata) && !isLink(setupdata));

  // A real folder that every account may write to is not ours either.
  ASSERT_TRUE(deleteTree(setupdata));
  ASSERT_TRUE(createFolder(setupdata));
  ASSERT_TRUE(makeWorldWritable(setupdata));
  ASSERT_FALSE(isTrustedFolder(setupdata));
  LogCapture open;
  EXPECT_TRUE(prepareSetupDataAt(setupdata));
  EXPECT_TRUE(hasLine(open.lines(), "{setupdata} was not ours: renamed to " + u8(setupdata) + ".bad-2"));
  EXPECT_TRUE(isTrustedFolder(setupdata));
}

TEST_F(Recovery, CleanupSchedulesWhatItCannotDeleteOnlyWhereNobodyElseCanWrite) {
  for (bool openToAll : {false, true}) {
    SCOPED_TRACE(openToAll ? "world-writable" : "safe");
    std::wstring backup = box_.app + L"\\.zsold" + kRunSuffix;
    createFolder(backup);
    std::wstring locked = backup + L"\\locked.dll";
    writeNewFile(locked, std::string_view("in use"));
    writeNewFile(backup + L"\\free.dll", std::string_view("free"));
    if (openToAll) {
      ASSERT_TRUE(makeWorldWritable(box_.app));
    }
    HANDLE held = CreateFileW(locked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    LogCapture log;
    deleteTreeWithFallback(backup);
    CloseHandle(held);
    auto lines = log.lines();
    EXPECT_FALSE(pathExists(backup + L"\\free.dll"));
    EXPECT_EQ(countPrefix(lines, "Delete " + u8(locked) + ": Windows error "), 1u);
    std::vector<std::wstring> pending = pendingDeletes();
    bool scheduled = std::any_of(pending.begin(), pending.end(), [&](const std::wstring& p) { return equalsNoCase(p, locked); });
    EXPECT_EQ(scheduled, !openToAll);
    EXPECT_EQ(hasLine(lines, "Left in place, other accounts can write here: " + u8(locked)), openToAll);
    removePendingDeletes({locked, backup});
    deleteTree(backup);
  }
}

}  // namespace
}  // namespace zs::test
