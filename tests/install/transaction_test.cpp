#include "install/transaction.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "install/placing.h"
#include "install/staging.h"
#include "journal/recovery.h"
#include "journal/sandbox.h"
#include "journal/setup_data.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"
#include "payload/lzms/buffer_format.h"
#include "base/paths.h"
#include "support/test_payload.h"
#include "journal/engine_sink.h"
#include "support/step_reports.h"

namespace zs {
namespace {

using test::kStepDone;
using test::kStepRunning;
using test::number;

using test::LogCapture;
using test::TempFolder;
using test::TestFile;
using test::TestPayload;
using test::fileExists;
using test::readBytes;

using test::contains;

// Every name in a folder whose name starts with the prefix (".zsnew", ".zsold").
std::vector<std::wstring> namesStartingWith(const std::wstring& folder, const std::wstring& prefix) {
  std::vector<FolderEntry> entries;
  listFolder(folder, entries);
  std::vector<std::wstring> out;
  for (const FolderEntry& e : entries)
    if (startsWithNoCase(e.name, prefix)) out.push_back(e.name);
  return out;
}

class RecordingSink : public EngineSink {
 public:
  struct Report {
    int32_t step, status, percent;
    bool operator==(const Report&) const = default;
  };
  std::vector<Report> reports;
  int committed = 0;
  int rollingBack = 0;
  std::vector<std::wstring> inUse;
  void onStep(InstallStep step, StepStatus status, int32_t percent) override {
    reports.push_back({number(step), number(status), percent});
  }
  void onCommitted() override { ++committed; }
  void onRollingBack() override { ++rollingBack; }
  bool askRetryInUse(const std::wstring& name) override {
    inUse.push_back(name);
    return false;
  }
};

class TransactionTest : public ::testing::Test {
 protected:
  TempFolder root;
  std::wstring folder = root / L"Zelvan";

  std::vector<TestFile> version1() {
    return {{L"{app}\\Zelvan.exe", "program one"},
            {L"{app}\\Zelvan.Core.dll", std::string(200000, 'c')},
            {L"{app}\\de\\Zelvan.UI.resources.dll", "german"},
            {L"{app}\\Fonts\\Sub\\deep.ttf", "deep font"}};
  }

  RunOutcome install(TestPayload& payload, EngineSink* sink = nullptr, ExistingInstall existing = {},
                     bool cancelFirst = false) {
    EXPECT_TRUE(payload.accepted());
    InstallRequest request;
    request.payload = &payload.payload();
    request.existing = existing;
    request.folder = folder;
    request.noRun = true;
    request.sink = sink;
    InstallTransaction transaction(std::move(request), knownFolders());
    if (cancelFirst) {
      EXPECT_TRUE(transaction.requestCancel());
    }
    return transaction.run();
  }

  ExistingInstall ownInstallHere() {
    ExistingInstall e;
    e.kind = InstallKind::Own;
    e.folder = normalizePath(folder);
    return e;
  }

  // Successful runs register the stub's Apps & Features entry; it must not outlive the test's folder.
  void TearDown() override {
    for (RegView view : {RegView::View64, RegView::View32})
      deleteKeyTree(RegRoot::Hklm, view, uninstallKeyOf(L"{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}"));
  }

  void expectNoJournalAndNoWorkFolders() {
    EXPECT_FALSE(fileExists(setupDataPath() + L"\\install.zsj"));
    if (fileExists(folder)) {
      EXPECT_TRUE(namesStartingWith(folder, L".zsnew").empty());
      EXPECT_TRUE(namesStartingWith(folder, L".zsold").empty());
    }
  }
};

TEST_F(TransactionTest, FreshInstallPlacesEveryFileAndReportsEveryStep) {
  TestPayload payload(version1());
  RecordingSink sink;
  LogCapture log;
  RunOutcome outcome = install(payload, &sink);
  ASSERT_EQ(outcome.result, ExitCode::Installed) << outcome.detail;
  for (const TestFile& f : version1())
    EXPECT_EQ(readBytes(folder + L"\\" + relativeToApp(f.dest)), f.content) << wideToUtf8(f.dest);
  expectNoJournalAndNoWorkFolders();

  std::vector<std::string> lines = log.lines();
  EXPECT_TRUE(contains(lines, "Staged 4 program files."));
  EXPECT_TRUE(contains(lines, "COMMIT."));
  EXPECT_TRUE(contains(lines, "Mode fresh. Folder " + wideToUtf8(folder) + ". Old folder (none)."));
  EXPECT_EQ(sink.committed, 1);
  EXPECT_EQ(sink.rollingBack, 0);

  // Each step opens at 0 and closes at 100, in order, or at 0 when it did not do its work (no
  // native images made, no warm-up run); copying passes 90, 94 and 98.
  std::vector<RecordingSink::Report> edges;
  for (const auto& r : sink.reports)
    if (edges.empty() || edges.back().step != r.step || edges.back().status != r.status) edges.push_back(r);
  const bool warmedUp =
      std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("Warm-up exit", 0) == 0; });
  const int32_t closed[5] = {100, 100, outcome.optimized ? 100 : 0, outcome.optimized ? 100 : 0, warmedUp ? 100 : 0};
  std::vector<RecordingSink::Report> expected;
  for (int step = 0; step < 5; ++step) {
    expected.push_back({step, kStepRunning, 0});
    expected.push_back({step, kStepDone, closed[step]});
  }
  EXPECT_EQ(edges, expected);
  auto has = [&](RecordingSink::Report r) {
    return std::find(sink.reports.begin(), sink.reports.end(), r) != sink.reports.end();
  };
  EXPECT_TRUE(has({0, kStepRunning, 90}));
  EXPECT_TRUE(has({0, kStepRunning, 94}));
  EXPECT_TRUE(has({0, kStepRunning, 98}));
  EXPECT_TRUE(has({1, kStepRunning, 30}));
  EXPECT_TRUE(has({1, kStepRunning, 60}));
}

TEST_F(TransactionTest, InstallingTheSameFilesAgainLeavesThemInPlace) {
  TestPayload payload(version1());
  ASSERT_EQ(install(payload).result, ExitCode::Installed);
  LogCapture log;
  ASSERT_EQ(install(payload).result, ExitCode::Installed);
  std::vector<std::string> lines = log.lines();
  EXPECT_TRUE(contains(lines, "Already here and identical, left in place: Zelvan.exe"));
  EXPECT_TRUE(contains(lines, "Already here and identical, left in place: Fonts\\Sub\\deep.ttf"));
  expectNoJournalAndNoWorkFolders();
}

TEST_F(TransactionTest, UpgradeInPlaceKeepsUnchangedFilesAndReplacesChangedOnes) {
  TestPayload first(version1());
  ASSERT_EQ(install(first).result, ExitCode::Installed);
  std::vector<TestFile> v2 = version1();
  v2[0].content = "program two";
  v2.push_back({L"{app}\\new.dll", "new"});
  TestPayload second(v2, "", "2.6.0.0");
  LogCapture log;
  RunOutcome outcome = install(second, nullptr, ownInstallHere());
  ASSERT_EQ(outcome.result, ExitCode::Installed);
  EXPECT_EQ(readBytes(folder + L"\\Zelvan.exe"), "program two");
  EXPECT_EQ(readBytes(folder + L"\\new.dll"), "new");
  std::vector<std::string> lines = log.lines();
  EXPECT_TRUE(contains(lines, "Mode upgrade. Folder " + wideToUtf8(folder) + ". Old folder " +
                                  wideToUtf8(normalizePath(folder)) + "."));
  EXPECT_TRUE(contains(lines, "Already here and identical, left in place: Zelvan.Core.dll"));
  EXPECT_FALSE(contains(lines, "Already here and identical, left in place: Zelvan.exe"));
  expectNoJournalAndNoWorkFolders();  // the backup folder went with the cleanup
}

TEST_F(TransactionTest, AStagedFileWhoseHashDiffersRollsEverythingBack) {
  TestPayload payload(version1());
  // Damage the block after the payload was accepted: the file's own hash catches it.
  Payload& p = payload.payload();
  const_cast<uint8_t*>(p.block)[lzms::kBufferHeaderSize + 4 + 3] ^= 0x20;
  RecordingSink sink;
  LogCapture log;
  RunOutcome outcome = install(payload, &sink);
  EXPECT_EQ(outcome.result, ExitCode::Failed);
  EXPECT_EQ(outcome.category, StopCategory::Damaged);
  EXPECT_TRUE(contains(log.lines(), "SHA-256 differs for {app}\\Zelvan.exe"));
  EXPECT_TRUE(contains(log.lines(), "Stopped: This setup file is damaged."));
  EXPECT_EQ(sink.rollingBack, 1);
  EXPECT_FALSE(fileExists(folder)) << "the folder the run made is gone again";
  EXPECT_FALSE(fileExists(setupDataPath() + L"\\install.zsj"));
}

// Files are staged while the block is still being decompressed; a block that turns out damaged in a
// later chunk is still what the run reports, as if it had been decompressed before the first file:
// not the first file's own damage, which would be found first.
TEST_F(TransactionTest, ADamagedLaterChunkIsReportedBeforeAnEarlierFilesHash) {
  TestPayload payload(version1());
  Payload& p = payload.payload();
  uint8_t* block = const_cast<uint8_t*>(p.block);
  const size_t frame = 4 + 65536;  // the stored chunks are 64 KiB
  const size_t lastSize = lzms::kBufferHeaderSize + 3 * frame;
  ASSERT_GT(p.blockLength, lastSize + 4);
  block[lzms::kBufferHeaderSize + 4 + 3] ^= 0x20;  // in {app}\Zelvan.exe, chunk 0
  std::fill(block + lastSize, block + lastSize + 4, 0);  // chunk 3 says it holds nothing
  RecordingSink sink;
  LogCapture log;
  RunOutcome outcome = install(payload, &sink);
  EXPECT_EQ(outcome.category, StopCategory::Damaged);
  const std::vector<std::string> lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("Decompress: Windows error 605", 0) == 0; }),
            1);
  EXPECT_FALSE(contains(lines, "SHA-256 differs for {app}\\Zelvan.exe"));
  EXPECT_EQ(sink.rollingBack, 1);
  EXPECT_FALSE(fileExists(folder));
  EXPECT_FALSE(fileExists(setupDataPath() + L"\\install.zsj"));
}

// Files are staged by several workers at once; of two damaged files, the first in script order is
// the one reported, even when a later, smaller one is found out first (hashing 8 MB takes longer).
TEST_F(TransactionTest, OfTwoDamagedFilesTheFirstInScriptOrderIsReported) {
  std::vector<TestFile> files = version1();
  files[1].content = std::string(8 << 20, 'c');
  TestPayload payload(files);
  Payload& p = payload.payload();
  uint8_t* block = const_cast<uint8_t*>(p.block);
  // Where a byte of the block's content lies: its stored chunks are 64 KiB each.
  auto at = [](uint64_t offset) { return lzms::kBufferHeaderSize + (offset / 65536) * (4 + 65536) + 4 + offset % 65536; };
  for (const FileEntry& f : p.script.files) {
    if (f.dest == L"{app}\\Zelvan.Core.dll" || f.dest == L"{app}\\Fonts\\Sub\\deep.ttf") block[at(f.off + f.size - 1)] ^= 0x01;
  }
  LogCapture log;
  RunOutcome outcome = install(payload);
  EXPECT_EQ(outcome.category, StopCategory::Damaged);
  EXPECT_TRUE(contains(log.lines(), "SHA-256 differs for {app}\\Zelvan.Core.dll"));
  EXPECT_FALSE(contains(log.lines(), "SHA-256 differs for {app}\\Fonts\\Sub\\deep.ttf"));
  EXPECT_FALSE(fileExists(folder));
}

TEST_F(TransactionTest, ACancelBeforeTheCommitIsHonouredAndRolledBack) {
  TestPayload first(version1());
  ASSERT_EQ(install(first).result, ExitCode::Installed);
  std::vector<TestFile> v2 = version1();
  v2[1].content = "changed core";
  TestPayload second(v2, "", "2.6.0.0");
  LogCapture log;
  RunOutcome outcome = install(second, nullptr, ownInstallHere(), true);
  EXPECT_EQ(outcome.result, ExitCode::Cancelled);
  EXPECT_EQ(outcome.category, StopCategory::None);
  EXPECT_TRUE(contains(log.lines(), "Cancel was asked for."));
  for (const TestFile& f : version1())
    EXPECT_EQ(readBytes(folder + L"\\" + relativeToApp(f.dest)), f.content) << "the old version is intact";
  expectNoJournalAndNoWorkFolders();
}

TEST_F(TransactionTest, AFileHeldOpenStopsTheRunAfterTenTriesAndTheOldFileStays) {
  TestPayload first(version1());
  ASSERT_EQ(install(first).result, ExitCode::Installed);
  std::vector<TestFile> v2 = version1();
  v2[0].content = "program two";
  TestPayload second(v2, "", "2.6.0.0");
  HANDLE held = CreateFileW((folder + L"\\Zelvan.exe").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  RecordingSink sink;
  LogCapture log;
  RunOutcome outcome = install(second, &sink, ownInstallHere());
  CloseHandle(held);
  EXPECT_EQ(outcome.result, ExitCode::Failed);
  EXPECT_EQ(outcome.category, StopCategory::FileInUse);
  EXPECT_EQ(outcome.detail, L"Zelvan.exe");
  EXPECT_EQ(sink.inUse, std::vector<std::wstring>{L"Zelvan.exe"});
  std::vector<std::string> lines = log.lines();
  std::string path = wideToUtf8(normalizePath(folder) + L"\\Zelvan.exe");
  for (int i = 1; i <= 10; ++i) EXPECT_TRUE(contains(lines, "In use, try " + std::to_string(i) + " of 10: " + path));
  EXPECT_TRUE(contains(lines, "Stopped: A file is in use: Zelvan.exe."));
  EXPECT_EQ(readBytes(folder + L"\\Zelvan.exe"), "program one");
  expectNoJournalAndNoWorkFolders();
}

TEST_F(TransactionTest, AFolderWhereAFileGoesFailsTheRun) {
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((folder + L"\\Zelvan.exe").c_str(), nullptr));
  TestPayload payload(version1());
  RunOutcome outcome = install(payload);
  EXPECT_EQ(outcome.result, ExitCode::Failed);
  EXPECT_EQ(outcome.category, StopCategory::WriteFailed);
  EXPECT_EQ(outcome.detail, folder + L"\\Zelvan.exe");
  EXPECT_TRUE(isDirectory(folder + L"\\Zelvan.exe")) << "what was there before stays";
  expectNoJournalAndNoWorkFolders();
}

// Files that take targets after the targets were cleared: placing fails at the first, the records
// of later files are written ahead of their moves, and the rollback takes away everything this run
// placed but leaves those files, whoever's they are. A folder that was missing when the targets were
// cleared but has been made since is no new folder of this run: its files are placed one by one, and
// the one taken fails.
TEST_F(TransactionTest, FilesThatTakeTargetsWhilePlacingFailTheRunAndAreLeftAlone) {
  struct Case {
    std::vector<std::wstring> taken;  // below the install folder
    std::wstring failed;              // the first move that fails
    size_t left;                      // entries left in the install folder
  };
  const Case cases[] = {
      {{L"Zelvan.Core.dll", L"Zelvan.Late.dll"}, L"Zelvan.Core.dll", 2},
      {{L"Extra\\0\\part6.bin"}, L"Extra\\0\\part6.bin", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(wideToUtf8(c.failed));
    std::vector<TestFile> files = version1();
    files.push_back({L"{app}\\Zelvan.Late.dll", "late"});
    for (int i = 0; i < 60; ++i)
      files.push_back({L"{app}\\Extra\\" + std::to_wstring(i % 6) + L"\\part" + std::to_wstring(i) + L".bin",
                       "part " + std::to_string(i)});
    TestPayload payload(files);
    struct TakingSink : RecordingSink {
      std::vector<std::wstring> paths;
      void onStep(InstallStep step, StepStatus status, int32_t percent) override {
        if (step == InstallStep::CopyingFiles && status == StepStatus::Running && percent == 94) {
          for (const std::wstring& p : paths) EXPECT_TRUE(test::writeBytesMakingFolders(p, "theirs"));
        }
        RecordingSink::onStep(step, status, percent);
      }
    } sink;
    for (const std::wstring& name : c.taken) sink.paths.push_back(folder + L"\\" + name);
    LogCapture log;
    RunOutcome outcome = install(payload, &sink);
    EXPECT_EQ(outcome.result, ExitCode::Failed);
    EXPECT_EQ(outcome.category, StopCategory::WriteFailed);
    EXPECT_EQ(outcome.detail, folder + L"\\" + c.failed);
    std::vector<std::string> lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("Couldn't place ", 0) == 0; }),
              1);
    std::vector<FolderEntry> left;
    ASSERT_TRUE(listFolder(folder, left));
    EXPECT_EQ(left.size(), c.left) << "only what took targets";
    for (const std::wstring& p : sink.paths) EXPECT_EQ(readBytes(p), "theirs") << wideToUtf8(p);
    expectNoJournalAndNoWorkFolders();
    deleteTree(folder);
  }
}

// The old install folder is judged when the install is detected, but the files in it are moved
// minutes later, after the wizard. If by then the folder itself has become a link, nothing the
// link leads to may be moved.
TEST_F(TransactionTest, AnOldFolderSwappedForALinkAfterDetectionIsRefusedAndNothingBehindItMoves) {
  std::wstring old = root / L"Old";
  std::wstring behind = root / L"Elsewhere";
  ASSERT_TRUE(CreateDirectoryW(behind.c_str(), nullptr));
  for (const wchar_t* name : {L"unins000.exe", L"Zelvan.exe"}) ASSERT_TRUE(test::writeBytes(behind + L"\\" + name, "theirs"));
  ExistingInstall detected;  // an earlier installer's folder, as detection found it
  detected.kind = InstallKind::Inno;
  detected.folder = normalizePath(old);
  ASSERT_TRUE(test::plantLink(old, behind));

  TestPayload payload(version1(), "[Legacy]\nFile: unins000.exe\nFile: Zelvan.exe\n");
  LogCapture log;
  RunOutcome outcome = install(payload, nullptr, detected);
  test::removeLink(old);
  // A journal whose old folder is a link is not trusted for the rollback: it waits for the next
  // start, when the link is gone.
  EXPECT_NE(outcome.result, ExitCode::Installed);
  EXPECT_EQ(outcome.category, StopCategory::WriteFailed);
  EXPECT_EQ(outcome.detail, normalizePath(old) + L"\\unins000.exe");
  EXPECT_TRUE(contains(log.lines(), "A link is in the path, refused: " + wideToUtf8(outcome.detail)));
  std::vector<FolderEntry> after;
  ASSERT_TRUE(listFolder(behind, after));
  EXPECT_EQ(after.size(), 2u) << "no backup folder was made behind the link";
  for (const wchar_t* name : {L"unins000.exe", L"Zelvan.exe"}) EXPECT_EQ(readBytes(behind + L"\\" + name), "theirs");
  EXPECT_EQ(recoverAtStartup(knownFolders(), payload.payload().script.setup.appId, nullptr), Recovery::GoOn);
  EXPECT_FALSE(fileExists(folder)) << "the new folder was rolled back";
  expectNoJournalAndNoWorkFolders();
}

// Which refusal a link earns depends on where it is: at the file about to be moved aside, or on
// the way to it. (Only folder links can be staged here: Wine shows no file symlink as a link.)
TEST_F(TransactionTest, MovingAsideNamesWhereTheLinkIs) {
  std::wstring elsewhere = root / L"Elsewhere";
  ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((folder + L"\\Fonts").c_str(), nullptr));
  ASSERT_TRUE(test::plantLink(folder + L"\\Zelvan.exe", elsewhere));
  ASSERT_TRUE(test::plantLink(folder + L"\\Fonts\\Sub", elsewhere));
  struct Case {
    std::wstring path;
    const char* line;
  } cases[] = {
      {folder + L"\\Zelvan.exe", "A link is at the target, refused: "},
      {folder + L"\\Fonts\\Sub\\deep.ttf", "A link is in the path, refused: "},
  };
  TestPayload payload(version1());
  InstallRequest request;
  request.payload = &payload.payload();
  request.folder = folder;
  InstallRun run(std::move(request), knownFolders());
  run.runSuffix = L"-0123456789abcdef";
  for (const Case& c : cases) {
    LogCapture log;
    try {
      moveAside(run, c.path);
      ADD_FAILURE() << "no Stop for " << wideToUtf8(c.path);
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.category, StopCategory::WriteFailed);
      EXPECT_EQ(stop.detail, c.path);
    }
    EXPECT_EQ(log.lines(), std::vector<std::string>{c.line + wideToUtf8(c.path)});
  }
  test::removeLink(folder + L"\\Zelvan.exe");
  test::removeLink(folder + L"\\Fonts\\Sub");
  EXPECT_TRUE(namesStartingWith(elsewhere, L".zsold").empty());
}

TEST(InstallMode, FollowsTheExistingInstall) {
  ExistingInstall none;
  EXPECT_STREQ(installMode(none, L"2.5.0.0"), L"fresh");
  ExistingInstall orphan;
  orphan.kind = InstallKind::Own;
  orphan.orphan = true;
  EXPECT_STREQ(installMode(orphan, L"2.5.0.0"), L"fresh");
  ExistingInstall own;
  own.kind = InstallKind::Own;
  own.folder = L"C:\\Z";
  EXPECT_STREQ(installMode(own, L"2.5.0.0"), L"upgrade") << "no version read: not a repair";
  own.versionKnown = true;
  own.version = L"2.5.0.0";
  EXPECT_STREQ(installMode(own, L"2.5.0.0"), L"repair");
  EXPECT_STREQ(installMode(own, L"2.5.0.1"), L"upgrade");
  ExistingInstall inno = own;
  inno.kind = InstallKind::Inno;
  EXPECT_STREQ(installMode(inno, L"2.5.0.0"), L"upgrade");
}

TEST(LegacyFiles, WildcardsPickMatchingFilesOnlyAndPlainNamesStayAsWritten) {
  TempFolder old;
  for (const wchar_t* name : {L"JetBrainsMono-Regular.ttf", L"jetbrainsmono-BOLD.TTF", L"Other.ttf", L"unins000.exe"})
    ASSERT_TRUE(test::writeBytes(old / name, "x"));
  ASSERT_TRUE(CreateDirectoryW((old / L"JetBrainsMono-Folder.ttf").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((old / L"Plugins").c_str(), nullptr));
  ASSERT_TRUE(test::writeBytes(old / L"Plugins\\Zelvan.Legacy.A.dll", "x"));
  std::vector<std::wstring> got = expandLegacyFiles(
      {L"unins000.exe", L"missing.dat", L"JetBrainsMono-*.ttf", L"Plugins\\Zelvan.Legacy*.dll", L"Nowhere\\*.dll"},
      old.path());
  std::sort(got.begin() + 2, got.end(), [](const std::wstring& a, const std::wstring& b) { return compareNoCase(a, b) < 0; });
  EXPECT_EQ(got, (std::vector<std::wstring>{L"unins000.exe", L"missing.dat", L"jetbrainsmono-BOLD.TTF",
                                            L"JetBrainsMono-Regular.ttf", L"Plugins\\Zelvan.Legacy.A.dll"}));
}

// Staging gives back the pages of staged files while the seed files' pages stay for the first-run
// files: a page that holds any byte of a seed stays, an empty seed holds none.
TEST(PagesWithoutSeeds, KeepEveryPageThatHoldsASeedByte) {
  using Runs = std::vector<BlockRange>;
  struct Case {
    const char* what;
    Runs seeds;
    uint64_t from, end;
    Runs expected;
  };
  const Case cases[] = {
      {"no seeds: the whole pages below the end", {}, 0, 35, {{0, 30}}},
      {"less than a page: nothing", {}, 10, 19, {}},
      {"a seed inside one page", {{14, 16}}, 0, 40, {{0, 10}, {20, 40}}},
      {"a seed across a page boundary", {{18, 23}}, 0, 40, {{0, 10}, {30, 40}}},
      {"a seed ending on a boundary", {{10, 20}}, 0, 40, {{0, 10}, {20, 40}}},
      {"two seeds in one page, one in the next", {{21, 22}, {25, 26}, {33, 34}}, 10, 50, {{10, 20}, {40, 50}}},
      {"an empty seed", {{15, 15}}, 0, 30, {{0, 30}}},
      {"seeds below from are passed over", {{1, 2}, {5, 9}}, 10, 30, {{10, 30}}},
      {"a seed past the end", {{45, 50}}, 0, 40, {{0, 40}}},
  };
  for (const Case& c : cases) EXPECT_EQ(pagesWithoutSeeds(c.seeds, c.from, c.end, 10), c.expected) << c.what;
}

// A large chunk being decoded moves the copying step's bar; staged files finish it at 90.
TEST(Staging, ProgressCountsDecodingAndWriting) {
  struct Case { const char* what; uint64_t decoded, block, staged, files; int32_t percent; };
  const Case cases[] = {
      {"nothing yet", 0, 1000, 0, 900, 0},
      {"half the block decoded, nothing written", 500, 1000, 0, 1000, 22},
      {"all decoded, nothing written", 1000, 1000, 0, 1000, 45},
      {"all decoded and written", 1000, 1000, 1000, 1000, 90},
      {"seeds make the block larger than the files", 1200, 1200, 900, 900, 90},
      {"every file written while the seeds' bytes still decode", 950, 1200, 900, 900, 90},
      {"most files written, the block half decoded", 600, 1200, 800, 900, 60},
      {"nothing to stage at all", 0, 0, 0, 0, 90},
      {"never past 90", 5000, 1000, 5000, 1000, 90},
  };
  for (const Case& c : cases)
    EXPECT_EQ(stagingPercent(c.decoded, c.block, c.staged, c.files), c.percent) << c.what;
}

TEST(EntryApplies, EnabledAndAtLeastOneChosenTask) {
  EXPECT_TRUE(entryApplies({}, true, {}));
  EXPECT_FALSE(entryApplies({}, false, {L"a"}));
  EXPECT_TRUE(entryApplies({L"fileassoc", L"desktopicon"}, true, {L"DESKTOPICON"}));
  EXPECT_FALSE(entryApplies({L"fileassoc"}, true, {L"desktopicon"}));
}

}  // namespace
}  // namespace zs
