// Rollback and cleanup on small journals written for the case: what is undone, what is not, what
// is said, and the results the callers act on.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/failure.h"
#include "journal/cleanup.h"
#include "journal/record_kinds.h"
#include "journal/recovery.h"
#include "journal/scenario.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "base/text.h"
#include "script/script.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"
#include "journal/engine_sink.h"

namespace zs::test {
namespace {

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string u8(const std::wstring& s) { return wideToUtf8(s); }

struct CountingSink : EngineSink {
  int rollingBack = 0;
  int committed = 0;
  void onRollingBack() override { ++rollingBack; }
  void onCommitted() override { ++committed; }
};

class Rollback : public ::testing::Test {
 protected:
  void SetUp() override {
    createFolder(box_ / L"Apps");
    createFolder(box_.app);
    createFolder(box_.folders.setupdata);
  }
  std::string head(const std::wstring& old = L"") const {
    return "ZSJ1\n" + u8(L"BEGIN\t2.0\tupgrade\t" + box_.app + L"\t" + old + L"\t" + kRunSuffix) + "\n";
  }
  void write(const std::string& bytes) {
    deleteFile(box_.journalPath());
    ASSERT_TRUE(writeNewFile(box_.journalPath(), bytes));
  }
  Recovery recover(EngineSink* sink = nullptr) {
    RollbackOptions o;
    o.asUser = selfImpersonation();
    o.retryPauseMs = 10;
    return recoverAtStartup(box_.folders, box_.appId, sink, o);
  }
  Sandbox box_;
};

TEST_F(Rollback, RecordsAlreadyUndoneAreNotUndoneAgain) {
  std::wstring placed = box_.app + L"\\placed.dll";
  std::wstring kept = box_.app + L"\\kept.dll";
  writeNewFile(placed, std::string_view("new"));
  writeNewFile(kept, std::string_view("a file that came back after its PUT was undone"));
  write(head() + u8(L"PUT\t" + kept) + "\n" + u8(L"PUT\t" + placed) + "\nUNDONE\t2\n");
  LogCapture log;
  CountingSink sink;
  EXPECT_EQ(recover(&sink), Recovery::GoOn);
  EXPECT_EQ(sink.rollingBack, 1);
  auto lines = log.lines();
  EXPECT_TRUE(hasLine(lines, "An earlier run did not finish. Rolling back first."));
  EXPECT_TRUE(hasLine(lines, "Undo record 3: PUT " + u8(placed)));
  EXPECT_FALSE(hasLine(lines, "Undo record 2: PUT " + u8(kept)));
  EXPECT_TRUE(hasLine(lines, "Rollback of the earlier run finished."));
  EXPECT_TRUE(pathExists(kept));
  EXPECT_FALSE(pathExists(placed));
  EXPECT_FALSE(pathExists(box_.journalPath()));
  // The journal, {setupdata}\bak and the then empty {setupdata} all go after a complete rollback.
  EXPECT_FALSE(pathExists(box_.folders.setupdata));
}

// A record whose undo could never work (here a value's bytes as an odd number of hex digits) would
// fail every rollback, and every later run would stop with exit code 10 for ever. The journal is
// invalid instead: set aside, with nothing in it acted on.
TEST_F(Rollback, ARecordThatCouldNeverBeUndoneSetsTheWholeJournalAside) {
  std::wstring key = box_.regBase + L"\\Odd";
  write(head() + u8(L"REGOLD\tHKLM\t64\t" + key + L"\tV\t3\t0a1") + "\n" + u8(L"REGOLD\tHKLM\t64\t" + key + L"\tW\t4\t0a000000") + "\n");
  LogCapture log;
  EXPECT_EQ(recover(), Recovery::GoOn);
  auto lines = log.lines();
  EXPECT_TRUE(hasLine(lines, "Journal line 2 (REGOLD) failed the path check"));
  EXPECT_TRUE(hasLine(lines, "The journal was not valid. Renamed to install.zsj.bad and nothing in it was acted on."));
  EXPECT_FALSE(keyExists(RegRoot::Hklm, RegView::View64, key));  // not even the good record was undone
  EXPECT_FALSE(pathExists(box_.journalPath()));
  LogCapture again;
  EXPECT_EQ(recover(), Recovery::GoOn);
  EXPECT_TRUE(again.lines().empty());
}

TEST_F(Rollback, AJournalThatCannotBeReopenedStaysWithResult10) {
  std::wstring placed = box_.app + L"\\placed.dll";
  writeNewFile(placed, std::string_view("new"));
  write(head() + u8(L"PUT\t" + placed) + "\n");
  HANDLE holder = CreateFileW(box_.journalPath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  LogCapture log;
  EXPECT_EQ(recover(), Recovery::Incomplete);
  CloseHandle(holder);
  ASSERT_FALSE(log.lines().empty());
  EXPECT_EQ(log.lines().back().rfind("Open the journal: Windows error ", 0), 0u);
  EXPECT_TRUE(pathExists(placed));
  EXPECT_EQ(recover(), Recovery::GoOn);
  EXPECT_FALSE(pathExists(placed));
}

TEST_F(Rollback, TheRunsOwnRollbackKeepsAJournalItCannotTrust) {
  JournalWriter j;
  ASSERT_EQ(j.create(box_.journalPath(), box_.folders, box_.appId), 0u);
  journalBegin(j, L"2.0", L"fresh", box_.app, L"", kRunSuffix);
  j.close();
  appendRaw(box_.journalPath(), u8(L"PUT\t" + box_.root() + L"\\outside.dll") + "\n");
  ASSERT_EQ(j.reopen(box_.journalPath(), readBytes(box_.journalPath()).size(), 2, JournalScope{}), 0u);
  LogCapture log;
  CountingSink sink;
  EXPECT_FALSE(rollBackOwnJournal(j, box_.folders, box_.appId, &sink));
  EXPECT_EQ(sink.rollingBack, 1);
  EXPECT_TRUE(hasLine(log.lines(), "The journal could not be read back, so it stays for the next run."));
  EXPECT_TRUE(pathExists(box_.journalPath()));
  EXPECT_FALSE(j.isOpen());
  // Without an open journal there is nothing to roll back.
  EXPECT_TRUE(rollBackOwnJournal(j, box_.folders, box_.appId, nullptr));
}

TEST_F(Rollback, CleanupThatCannotReadTheJournalLeavesItForTheNextRun) {
  JournalWriter j;
  ASSERT_EQ(j.create(box_.journalPath(), box_.folders, box_.appId), 0u);
  journalBegin(j, L"2.0", L"fresh", box_.app, L"", kRunSuffix);
  j.close();
  appendRaw(box_.journalPath(), "ERASE\t" + u8(box_.root()) + "\n");
  ASSERT_EQ(j.reopen(box_.journalPath(), readBytes(box_.journalPath()).size(), 2, JournalScope{}), 0u);
  LogCapture log;
  cleanUpAfterCommit(j, box_.folders, box_.appId);
  EXPECT_TRUE(hasLine(log.lines(), "The journal could not be read back for cleanup. The next run tidies."));
  EXPECT_FALSE(j.isOpen());
  EXPECT_TRUE(pathExists(box_.journalPath()));
}

TEST_F(Rollback, CommitWritesOnlyWhatTheCleanupMayTouch) {
  // A fresh install: no old entries, no old folder; RemoveIfEmpty values inside Program Files are
  // recorded, others are left out (a record the path check refuses would spoil the journal).
  createFolder(box_.folders.pf + L"\\Brightmoor");
  JournalWriter j;
  ASSERT_EQ(j.create(box_.journalPath(), box_.folders, box_.appId), 0u);
  journalBegin(j, L"2.0", L"fresh", box_.app, L"", kRunSuffix);
  LegacyInfo legacy;
  legacy.uninstallKeys = {L"{{" + box_.appId + L"}}_is1"};
  legacy.dirs = {L"old"};
  legacy.removeIfEmpty = {L"{pf}\\Brightmoor", L"{programs}\\Brightmoor"};
  CancelState cancel;
  CountingSink sink;
  CommitInputs in;
  in.journal = &j;
  in.installFolder = box_.app;
  in.appId = box_.appId;
  in.legacy = &legacy;
  in.folders = &box_.folders;
  in.cancel = &cancel;
  in.sink = &sink;
  in.windows64 = true;
  LogCapture log;
  commitRun(in);
  EXPECT_EQ(sink.committed, 1);
  EXPECT_TRUE(cancel.committed());
  std::vector<std::string> lines = journalLines(box_.journalPath());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[1], u8(L"CLEANEMPTY\t" + box_.folders.pf + L"\\Brightmoor") + "\n");
  EXPECT_EQ(lines[2], "COMMIT\n");
  EXPECT_TRUE(hasLine(log.lines(), "Cleanup leaves " + u8(box_.folders.programs) + "\\Brightmoor alone: it is outside what the cleanup may touch."));
  cleanUpAfterCommit(j, box_.folders, box_.appId);
  EXPECT_FALSE(pathExists(box_.folders.pf + L"\\Brightmoor"));
  EXPECT_FALSE(pathExists(box_.journalPath()));
}

TEST_F(Rollback, AnUpgradeIntoANewFolderRemovesTheOldOneOnlyWhenNothingOfTheUsersIsLeft) {
  for (bool userFile : {false, true}) {
    SCOPED_TRACE(userFile ? "a file of the user's" : "empty");
    std::wstring old = box_ / L"OldZelvan";
    createFolder(old);
    createFolder(old + L"\\plugins");
    std::wstring backup = old + L"\\.zsold" + kRunSuffix;
    createFolder(backup);
    writeNewFile(backup + L"\\Zelvan.exe", std::string_view("old exe"));
    if (userFile) writeNewFile(old + L"\\notes.txt", std::string_view("mine"));
    createFolder(box_.folders.setupdata);
    JournalWriter j;
    ASSERT_EQ(j.create(box_.journalPath(), box_.folders, box_.appId), 0u);
    journalBegin(j, L"2.0", L"upgrade", box_.app, old, kRunSuffix);
    journalMove(j, old + L"\\Zelvan.exe", backup + L"\\Zelvan.exe");
    LegacyInfo legacy;
    legacy.dirs = {L"plugins"};
    CancelState cancel;
    CommitInputs in;
    in.journal = &j;
    in.installFolder = box_.app;
    in.oldInstallFolder = old;
    in.appId = box_.appId;
    in.legacy = &legacy;
    in.folders = &box_.folders;
    in.cancel = &cancel;
    LogCapture log;
    commitRun(in);
    cleanUpAfterCommit(j, box_.folders, box_.appId);
    EXPECT_FALSE(pathExists(backup));
    EXPECT_FALSE(pathExists(old + L"\\plugins"));
    EXPECT_EQ(pathExists(old), userFile);
    EXPECT_EQ(hasLine(log.lines(), "Removed the empty folder " + u8(old)), !userFile);
    deleteTree(old);
  }
}

// An upgrade in place whose new version has no files left in a folder: the folder goes once its
// backups have, unless the new version keeps it (an empty [Dirs] folder) or something else is in it.
TEST_F(Rollback, AnUpgradeInPlaceRemovesTheFoldersItEmptiedAndKeepsWhatItStillUses) {
  struct Folder {
    const wchar_t* name;
    bool kept;       // among the folders the new install keeps
    bool userFile;   // a file that is not ours stays in it
    bool goes;
  };
  const Folder folders[] = {
      {L"Legacy", false, false, true},
      {L"Legacy\\Old", false, false, true},
      {L"Logs", true, false, false},
      {L"Mine", false, true, false},
  };
  createFolder(box_.folders.setupdata);
  JournalWriter j;
  ASSERT_EQ(j.create(box_.journalPath(), box_.folders, box_.appId), 0u);
  journalBegin(j, L"2.5", L"upgrade", box_.app, box_.app, kRunSuffix);
  CommitInputs in;
  for (const Folder& f : folders) {
    const std::wstring folder = box_.app + L"\\" + f.name;
    const std::wstring backup = folder + L"\\.zsold" + kRunSuffix;
    createFolder(folder);
    createFolder(backup);
    ASSERT_TRUE(writeNewFile(backup + L"\\old.dll", std::string_view("old")));
    journalMove(j, folder + L"\\old.dll", backup + L"\\old.dll");
    if (f.userFile) {
      ASSERT_TRUE(writeNewFile(folder + L"\\notes.txt", std::string_view("mine")));
    }
    in.oldProgramDirs.push_back(f.name);
    if (f.kept) in.keptProgramDirs.push_back(f.name);
  }
  // Deepest first, as the record lists them.
  std::swap(in.oldProgramDirs[0], in.oldProgramDirs[1]);
  CancelState cancel;
  in.journal = &j;
  in.installFolder = box_.app;
  in.oldInstallFolder = box_.app;
  in.appId = box_.appId;
  in.folders = &box_.folders;
  in.cancel = &cancel;
  commitRun(in);
  cleanUpAfterCommit(j, box_.folders, box_.appId);
  for (const Folder& f : folders) {
    EXPECT_EQ(pathExists(box_.app + L"\\" + f.name), !f.goes) << u8(f.name);
  }
  EXPECT_TRUE(pathExists(box_.app));
  EXPECT_FALSE(pathExists(box_.journalPath()));
}

TEST_F(Rollback, AnUndoneThatCannotBeWrittenStopsTheRollback) {
  // a.dll was moved aside and the new one placed. If the PUT were undone without its UNDONE and
  // the MOVE then undone too, the next rollback would undo the PUT again and delete the old file.
  std::wstring backup = box_.app + L"\\.zsold" + kRunSuffix;
  createFolder(backup);
  writeNewFile(backup + L"\\a.dll", std::string_view("old"));
  writeNewFile(box_.app + L"\\a.dll", std::string_view("new"));
  std::string bytes = head() + u8(L"MOVE\t" + box_.app + L"\\a.dll\t" + backup + L"\\a.dll") + "\n" +
                      u8(L"PUT\t" + box_.app + L"\\a.dll") + "\n";
  JournalImage image;
  ASSERT_EQ(parseJournal(bytes, image), JournalState::Valid);
  JournalScope scope = makeJournalScope(image, box_.folders, box_.appId);
  JournalWriter unwritable;  // never opened: every append fails
  LogCapture log;
  EXPECT_EQ(rollBack(image, unwritable, scope), RolledBack::NotAll);
  auto lines = log.lines();
  EXPECT_TRUE(hasLine(lines, "Rollback stops here: the journal can't record what is undone."));
  EXPECT_FALSE(hasLine(lines, "Undo record 2: MOVE " + u8(box_.app) + "\\a.dll"));
  EXPECT_FALSE(pathExists(box_.app + L"\\a.dll"));
  EXPECT_EQ(readBytes(backup + L"\\a.dll"), "old");
}

TEST_F(Rollback, AStagingFolderThatWillNotGoIsTriedTenTimesAndSaysWhy) {
  std::wstring staging = box_.app + L"\\.zsnew" + kRunSuffix;
  createFolder(staging);
  std::wstring held = staging + L"\\a.dll";
  writeNewFile(held, std::string_view("staged"));
  writeNewFile(staging + L"\\b.dll", std::string_view("staged"));
  write(head() + u8(L"STAGE\t" + staging) + "\n");
  HANDLE h = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  LogCapture log;
  EXPECT_EQ(recover(), Recovery::Incomplete);
  CloseHandle(h);
  auto lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [&](const std::string& l) { return l.rfind("Undo delete " + u8(held) + ": Windows error ", 0) == 0; }),
            1);
  EXPECT_TRUE(hasLine(lines, "Undo failed for record 2 (STAGE)"));
  EXPECT_FALSE(pathExists(staging + L"\\b.dll"));
  EXPECT_EQ(recover(), Recovery::GoOn);
  EXPECT_FALSE(pathExists(staging));
}

TEST_F(Rollback, CleanupLeavesABackupFolderThatHasBecomeALink) {
  std::wstring theirs = box_ / L"theirs";
  createFolder(theirs);
  writeNewFile(theirs + L"\\a.dll", std::string_view("theirs"));
  std::wstring backup = box_.app + L"\\.zsold" + kRunSuffix;
  ASSERT_TRUE(plantLink(backup, theirs));
  struct Unplant {
    std::wstring link;
    ~Unplant() { removeLink(link); }
  } unplant{backup};
  write(head() + u8(L"MOVE\t" + box_.app + L"\\a.dll\t" + backup + L"\\a.dll") + "\nCOMMIT\n");
  LogCapture log;
  EXPECT_EQ(recover(), Recovery::GoOn);
  EXPECT_TRUE(hasLine(log.lines(), "Left a link in place: " + u8(backup)));
  EXPECT_EQ(readBytes(theirs + L"\\a.dll"), "theirs");
  EXPECT_FALSE(pathExists(box_.journalPath()));
}

}  // namespace
}  // namespace zs::test
