// The install steps that reach outside the program folder: [Dirs] folders and first-run files in
// the user's folders, Start menu and desktop shortcuts, and the warm-up run. The user's folders and
// the shortcut folders are redirected into a temporary folder; {setupdata} is the prefix's own.
#include <gtest/gtest.h>

#include <algorithm>

#include "install/shortcuts.h"
#include "install/transaction.h"
#include "install/user_folders_step.h"
#include "install/warm_up.h"
#include "journal/setup_data.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/signed_in_user.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"
#include "support/test_payload.h"
#include "journal/engine_sink.h"
#include "support/step_reports.h"
#include "uninstall/uninstaller_role.h"
#include "journal/sandbox.h"

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
using test::writeBytes;

using test::contains;

bool containsStart(const std::vector<std::string>& lines, const std::string& start) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(start, 0) == 0; });
}

const char kSections[] =
    "[Tasks]\n"
    "Name: desktopicon; Label: Desktop shortcut\n"
    "[Dirs]\n"
    "Name: {docs}\\Zelvan\\Projects\n"
    "Name: {appdata}\\Zelvan\n"
    "[Shortcuts]\n"
    "Path: {programs}\\Zelvan\\Zelvan.lnk; Target: {app}\\Zelvan.exe; WorkDir: {app}; Comment: Documents; "
    "AppId: Brightmoor.Zelvan\n"
    "Path: {desktop}\\Zelvan.lnk; Target: {app}\\Zelvan.exe; AppId: Brightmoor.Zelvan; Tasks: desktopicon\n";

std::vector<TestFile> filesWithSeeds() {
  return {{L"{app}\\Zelvan.exe", "program"},
          {L"{appdata}\\Zelvan\\settings.json", "{\"theme\":\"light\"}", true},
          {L"{docs}\\Zelvan\\Welcome.zlvd", "welcome document", true}};
}

// Asks for a cancel (and lets a test act like the user) when the warm-up step begins: the last
// moment before the commit, when every other step has made its changes.
class CancelAtWarmUp : public EngineSink {
 public:
  InstallTransaction* transaction = nullptr;
  std::function<void()> atWarmUp;
  void onStep(InstallStep step, StepStatus status, int32_t percent) override {
    if (number(step) != 4 || number(status) != kStepRunning || percent != 0 || transaction == nullptr) return;
    if (atWarmUp) atWarmUp();
    transaction->requestCancel();
  }
};

class UserStepsTest : public ::testing::Test {
 protected:
  TempFolder root;
  std::wstring folder = root / L"Zelvan";
  KnownFolders folders = knownFolders();

  void SetUp() override {
    folders.docs = root / L"Documents";
    folders.appdata = root / L"AppData";
    folders.programs = root / L"Programs";
    folders.desktop = root / L"Desktop";
    folders.userFoldersKnown = true;
    for (const std::wstring* f : {&folders.docs, &folders.appdata, &folders.programs, &folders.desktop})
      ASSERT_TRUE(createFolder(*f));
  }

  void TearDown() override {
    for (RegView view : {RegView::View64, RegView::View32})
      deleteKeyTree(RegRoot::Hklm, view, uninstallKeyOf(std::wstring(L"{") + kStubAppId + L"}"));
  }

  InstallRequest request(TestPayload& payload, std::vector<std::wstring> tasks, ExistingInstall existing = {},
                         EngineSink* sink = nullptr) {
    EXPECT_TRUE(payload.accepted());
    InstallRequest r;
    r.payload = &payload.payload();
    r.existing = existing;
    r.folder = folder;
    r.tasks = std::move(tasks);
    r.noRun = true;
    r.sink = sink;
    return r;
  }

  RunOutcome install(TestPayload& payload, std::vector<std::wstring> tasks, ExistingInstall existing = {}) {
    InstallTransaction transaction(request(payload, std::move(tasks), existing), folders);
    return transaction.run();
  }

  ExistingInstall ownInstallHere() {
    ExistingInstall e;
    e.kind = InstallKind::Own;
    e.folder = normalizePath(folder);
    return e;
  }

  std::wstring settings() const { return folders.appdata + L"\\Zelvan\\settings.json"; }
  std::wstring welcome() const { return folders.docs + L"\\Zelvan\\Welcome.zlvd"; }
  std::wstring startMenuLink() const { return folders.programs + L"\\Zelvan\\Zelvan.lnk"; }
  std::wstring desktopLink() const { return folders.desktop + L"\\Zelvan.lnk"; }
};

TEST_F(UserStepsTest, AFreshInstallMakesTheUsersFoldersFilesAndShortcuts) {
  if (signedInUserTokens().impersonation == nullptr) GTEST_SKIP() << "this prefix gives no user token";
  // The user already has a welcome document of their own: it is theirs, not a default to replace.
  ASSERT_TRUE(createFolder(folders.docs + L"\\Zelvan"));
  ASSERT_TRUE(writeBytes(welcome(), "my own notes"));
  // A file of the user's own that happens to have the name of a first-run file's side file.
  ASSERT_TRUE(createFolder(folders.appdata + L"\\Zelvan"));
  ASSERT_TRUE(writeBytes(settings() + L".zsseed", "{\"the"));
  TestPayload payload(filesWithSeeds(), kSections);
  LogCapture log;
  RunOutcome outcome = install(payload, {L"desktopicon"});
  ASSERT_EQ(outcome.result, ExitCode::Installed) << outcome.detail;

  EXPECT_TRUE(isDirectory(folders.docs + L"\\Zelvan\\Projects"));
  EXPECT_TRUE(isDirectory(folders.appdata + L"\\Zelvan"));
  EXPECT_EQ(readBytes(settings()), "{\"theme\":\"light\"}");
  EXPECT_EQ(readBytes(settings() + L".zsseed"), "{\"the") << "not the setup's to delete";
  EXPECT_EQ(readBytes(welcome()), "my own notes");
  EXPECT_FALSE(containsStart(log.lines(), "First-run file not written: ")) << "the user's file is not even tried";
  EXPECT_FALSE(fileExists(folder + L"\\Welcome.zlvd")) << "first-run files are not program files";
  EXPECT_TRUE(fileExists(startMenuLink()));
  EXPECT_TRUE(fileExists(desktopLink()));
  EXPECT_EQ(readBytes(startMenuLink()).substr(0, 4), std::string("\x4c\0\0\0", 4)) << "a shell link";

  // Both shortcuts go into the uninstall record, so that the uninstaller takes them away.
  std::string record = readBytes(folder + L"\\ZelvanUninstall.zsu");
  EXPECT_NE(record.find(wideToUtf8(startMenuLink())), std::string::npos) << record;
  EXPECT_NE(record.find(wideToUtf8(desktopLink())), std::string::npos) << record;
  EXPECT_TRUE(contains(log.lines(), "Warm-up skipped: /norun."));
}

TEST_F(UserStepsTest, ARepairKeepsTheUsersChangesAndTakesAwayTheUnchosenShortcut) {
  if (signedInUserTokens().impersonation == nullptr) GTEST_SKIP() << "this prefix gives no user token";
  TestPayload payload(filesWithSeeds(), kSections);
  ASSERT_EQ(install(payload, {L"desktopicon"}).result, ExitCode::Installed);
  ASSERT_TRUE(writeBytes(settings() + L".tmp", "changed by the user"));
  ASSERT_TRUE(deleteFile(settings()));
  ASSERT_TRUE(moveFile(settings() + L".tmp", settings(), false));
  std::string oldStartMenuLink = readBytes(startMenuLink());

  RunOutcome outcome = install(payload, {}, ownInstallHere());
  ASSERT_EQ(outcome.result, ExitCode::Installed) << outcome.detail;
  EXPECT_EQ(readBytes(settings()), "changed by the user");
  EXPECT_TRUE(fileExists(startMenuLink())) << "replaced by a fresh one";
  EXPECT_FALSE(fileExists(desktopLink())) << "its task is off now";
  EXPECT_FALSE(fileExists(setupDataPath() + L"\\bak")) << "the moved shortcuts go with the commit";
  std::string record = readBytes(folder + L"\\ZelvanUninstall.zsu");
  EXPECT_EQ(record.find(wideToUtf8(desktopLink())), std::string::npos);
}

TEST_F(UserStepsTest, ACancelBeforeTheCommitTakesBackFoldersFilesAndShortcutsButNotTheUsersEdits) {
  if (signedInUserTokens().impersonation == nullptr) GTEST_SKIP() << "this prefix gives no user token";
  // A desktop shortcut of the user's own stands where the new one goes.
  ASSERT_TRUE(writeBytes(desktopLink(), "the user's own shortcut"));
  TestPayload payload(filesWithSeeds(), kSections);
  CancelAtWarmUp sink;
  InstallTransaction transaction(request(payload, {L"desktopicon"}, {}, &sink), folders);
  sink.transaction = &transaction;
  bool sawEverything = false;
  sink.atWarmUp = [&] {
    sawEverything = fileExists(startMenuLink()) && readBytes(desktopLink()) != "the user's own shortcut" &&
                    fileExists(settings()) && fileExists(welcome()) &&
                    isDirectory(folders.docs + L"\\Zelvan\\Projects");
    // The user edits the welcome document while the install is still running.
    ASSERT_TRUE(deleteFile(welcome()));
    ASSERT_TRUE(writeBytes(welcome(), "edited at once"));
  };
  LogCapture log;
  RunOutcome outcome = transaction.run();
  EXPECT_EQ(outcome.result, ExitCode::Cancelled);
  EXPECT_TRUE(sawEverything) << "every step had made its changes before the cancel";

  EXPECT_EQ(readBytes(desktopLink()), "the user's own shortcut") << "moved back from {setupdata}\\bak";
  EXPECT_FALSE(fileExists(folders.programs + L"\\Zelvan")) << "the shortcut and its folder are gone";
  EXPECT_FALSE(fileExists(folders.appdata + L"\\Zelvan")) << "the untouched first-run file and its folder";
  EXPECT_FALSE(fileExists(folders.docs + L"\\Zelvan\\Projects"));
  EXPECT_EQ(readBytes(welcome()), "edited at once") << "a first-run file the user changed survives";
  EXPECT_FALSE(fileExists(setupDataPath() + L"\\bak"));
  EXPECT_FALSE(fileExists(setupDataPath() + L"\\install.zsj"));
  EXPECT_FALSE(fileExists(folder));
}

// A first-run file is written beside its place and then moved there. A run killed in between
// leaves only the side file, which the rollback of the next start must take away with its folder.
TEST_F(UserStepsTest, AFirstRunFileStillInItsSideFileIsTakenBackByTheRollback) {
  if (signedInUserTokens().impersonation == nullptr) GTEST_SKIP() << "this prefix gives no user token";
  TestPayload payload(filesWithSeeds(), kSections);
  CancelAtWarmUp sink;
  InstallTransaction transaction(request(payload, {}, {}, &sink), folders);
  sink.transaction = &transaction;
  std::wstring side;
  sink.atWarmUp = [&] {
    // Back to the moment between the write and the move: the content in a side file beside it.
    std::vector<FolderEntry> entries;
    ASSERT_TRUE(listFolder(folders.appdata + L"\\Zelvan", entries));
    ASSERT_EQ(entries.size(), 1u);
    side = settings() + L".zsseed" + transaction.state().runSuffix;
    ASSERT_TRUE(MoveFileW(settings().c_str(), side.c_str()));
  };
  EXPECT_EQ(transaction.run().result, ExitCode::Cancelled);
  EXPECT_FALSE(side.empty());
  EXPECT_FALSE(fileExists(side));
  EXPECT_FALSE(fileExists(folders.appdata + L"\\Zelvan")) << "nothing keeps the folder any more";
}

TEST_F(UserStepsTest, AFolderBehindALinkInTheUsersFoldersIsSkippedAndTheInstallGoesOn) {
  if (signedInUserTokens().impersonation == nullptr) GTEST_SKIP() << "this prefix gives no user token";
  std::wstring elsewhere = root / L"Elsewhere";
  ASSERT_TRUE(createFolder(elsewhere));
  ASSERT_TRUE(test::plantLink(folders.docs + L"\\Zelvan", elsewhere));
  TestPayload payload(filesWithSeeds(), kSections);
  LogCapture log;
  RunOutcome outcome = install(payload, {});
  test::removeLink(folders.docs + L"\\Zelvan");
  ASSERT_EQ(outcome.result, ExitCode::Installed) << outcome.detail;
  std::vector<std::string> lines = log.lines();
  EXPECT_TRUE(contains(lines, "A link is in the path, skipped: " + wideToUtf8(folders.docs + L"\\Zelvan\\Projects")));
  EXPECT_TRUE(contains(lines, "A link is in the path, skipped: " + wideToUtf8(welcome())));
  EXPECT_FALSE(fileExists(elsewhere + L"\\Projects"));
  EXPECT_FALSE(fileExists(elsewhere + L"\\Welcome.zlvd"));
  EXPECT_EQ(readBytes(settings()), "{\"theme\":\"light\"}") << "the other root is fine";
}

TEST_F(UserStepsTest, AShortcutFolderBehindALinkFailsTheRunAndNothingStays) {
  std::wstring elsewhere = root / L"Elsewhere";
  ASSERT_TRUE(createFolder(elsewhere));
  ASSERT_TRUE(test::plantLink(folders.programs + L"\\Zelvan", elsewhere));
  TestPayload payload(filesWithSeeds(), kSections);
  LogCapture log;
  RunOutcome outcome = install(payload, {});
  test::removeLink(folders.programs + L"\\Zelvan");
  EXPECT_EQ(outcome.result, ExitCode::Failed);
  EXPECT_EQ(outcome.category, StopCategory::WriteFailed);
  EXPECT_EQ(outcome.detail, startMenuLink());
  EXPECT_TRUE(contains(log.lines(), "A link is in the path, refused: " + wideToUtf8(startMenuLink())));
  EXPECT_FALSE(fileExists(elsewhere + L"\\Zelvan.lnk"));
  EXPECT_FALSE(fileExists(folder));
  EXPECT_FALSE(fileExists(folders.appdata + L"\\Zelvan"));
}

TEST_F(UserStepsTest, AShortcutWhoseFolderIsNotKnownFailsTheRunInsteadOfLandingAtADriveRoot) {
  folders.desktop.clear();
  TestPayload payload(filesWithSeeds(), kSections);
  LogCapture log;
  RunOutcome outcome = install(payload, {L"desktopicon"});
  EXPECT_EQ(outcome.result, ExitCode::Failed);
  EXPECT_EQ(outcome.category, StopCategory::WriteFailed);
  EXPECT_EQ(outcome.detail, L"\\Zelvan.lnk");
  EXPECT_TRUE(contains(log.lines(), "The shortcut's folder is not known here: \\Zelvan.lnk"));
  EXPECT_FALSE(fileExists(startMenuLink())) << "rolled back";
}

// The steps on their own, with a run that has no journal: these cases stop or skip before any
// change, so a record written would itself be a fault.
class UserStepsAloneTest : public UserStepsTest {
 protected:
  std::unique_ptr<TestPayload> payload;
  std::unique_ptr<InstallRun> run;

  void makeRun(const std::vector<TestFile>& files, const std::string& sections, bool noRun = true) {
    payload = std::make_unique<TestPayload>(files, sections);
    InstallRequest r = request(*payload, {});
    r.noRun = noRun;
    run = std::make_unique<InstallRun>(std::move(r), folders);
    // The block as staging leaves it: every file's bytes, one after another.
    std::string block;
    for (const TestFile& f : files) block += f.content;
    ASSERT_TRUE(run->buffer.allocate(block.size(), nullptr));
    std::copy(block.begin(), block.end(), run->buffer.get());
  }
};

TEST_F(UserStepsAloneTest, WithoutTheUsersTokenBothPassesAreSkippedAndTheBlockIsReleased) {
  makeRun(filesWithSeeds(), kSections);
  UserActor nobody;
  int acted = 0;
  nobody.act = [&](const std::function<void()>&) { return ++acted, false; };
  LogCapture log;
  makeUserFolders(*run, nobody);
  writeFirstRunFiles(*run, nobody);
  EXPECT_EQ(acted, 0);
  EXPECT_TRUE(contains(log.lines(), "No signed-in user's token: [Dirs] skipped."));
  EXPECT_TRUE(contains(log.lines(), "No signed-in user's token: first-run files skipped."));
  EXPECT_TRUE(run->buffer.empty());
  EXPECT_FALSE(fileExists(folders.appdata + L"\\Zelvan"));
}

TEST_F(UserStepsAloneTest, AFirstRunFileWhoseBytesDifferFromItsShaMeansADamagedSetup) {
  makeRun(filesWithSeeds(), kSections);
  run->buffer.get()[7] ^= 0x20;  // inside settings.json
  UserActor user{true, [](const std::function<void()>& work) { return work(), true; }};
  try {
    writeFirstRunFiles(*run, user);
    ADD_FAILURE() << "no Stop";
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.kind, StopKind::Failed);
    EXPECT_EQ(stop.category, StopCategory::Damaged);
  }
  EXPECT_TRUE(run->buffer.empty()) << "released on the way out too";
  EXPECT_FALSE(fileExists(settings()));

  // A seed that claims bytes beyond the block is the same fault, not a read out of bounds.
  makeRun(filesWithSeeds(), kSections);
  ASSERT_TRUE(run->buffer.allocate(10, nullptr));
  EXPECT_THROW(writeFirstRunFiles(*run, user), Stop);
  EXPECT_FALSE(fileExists(settings()));
}

// The warm-up with a stand-in Zelvan.exe, started with this process's own token: the prefix's
// only token is elevated, which the real step refuses (checked below).
class WarmUpTest : public UserStepsAloneTest {
 protected:
  std::wstring standinLog = root / L"standin.log";
  std::vector<DWORD> limits;

  void SetUp() override {
    UserStepsTest::SetUp();
    ASSERT_TRUE(createFolder(folder));
    ASSERT_TRUE(CopyFileW(test::windowsPathOf(ZS_STANDIN_ZELVAN).c_str(), (folder + L"\\Zelvan.exe").c_str(), TRUE));
    ASSERT_TRUE(CopyFileW(test::windowsPathOf(ZS_PROC_HELPER).c_str(), (folder + L"\\Helper.exe").c_str(), TRUE));
  }

  std::string runSection(const std::string& file, const std::string& timeout) {
    return "[Run]\nWhen: warmup; File: " + file + "; Args: --warmup {app}; Env: ZELVAN_STANDIN_LOG=" +
           wideToUtf8(standinLog) + "; Timeout: " + timeout + "\n";
  }

  WarmUpUser ownUser() {
    WarmUpUser user;
    user.tokenKnown = true;
    user.unelevated = true;
    user.start = [this](const std::wstring& program, const std::wstring& args, const std::wstring& dir,
                        const std::wstring& env, DWORD limit, const ProcessHooks& hooks) {
      limits.push_back(limit);
      HANDLE own = nullptr, primary = nullptr;
      OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, &own);
      DuplicateTokenEx(own, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, &primary);
      ProcessResult result = runWithToken(primary, program, args, dir, env, limit, hooks);
      CloseHandle(primary);
      CloseHandle(own);
      return result;
    };
    return user;
  }
};

TEST_F(WarmUpTest, RunsTheProgramWithItsArgumentsEnvironmentAndLimit) {
  makeRun({}, runSection("{app}\\Zelvan.exe", "0"), false);
  LogCapture log;
  runWarmUp(*run, ownUser());
  std::vector<std::string> lines = log.lines();
  std::string exe = wideToUtf8(folder + L"\\Zelvan.exe");
  EXPECT_TRUE(contains(lines, "Warm-up: \"" + exe + "\" --warmup " + wideToUtf8(folder)));
  EXPECT_TRUE(contains(lines, "Warm-up exit 0")) << "no \" (ended at its limit)\"";
  EXPECT_EQ(limits, std::vector<DWORD>{60000}) << "a Timeout of 0 is 60 seconds";
  EXPECT_EQ(readBytes(standinLog), "Zelvan.exe: [--warmup] [" + wideToUtf8(folder) + "] (warm-up)\r\n");
}

TEST_F(WarmUpTest, NoRunNoTokenAnElevatedTokenOrAMissingProgramNeverFailTheInstall) {
  makeRun({}, runSection("{app}\\Zelvan.exe", "5"), true);
  LogCapture log;
  runWarmUp(*run, ownUser());
  EXPECT_TRUE(contains(log.lines(), "Warm-up skipped: /norun."));

  makeRun({}, runSection("{app}\\Zelvan.exe", "5"), false);
  WarmUpUser user = ownUser();
  user.tokenKnown = false;
  runWarmUp(*run, user);
  EXPECT_TRUE(contains(log.lines(), "Warm-up skipped: no signed-in user's token."));
  user.tokenKnown = true;
  user.unelevated = false;
  runWarmUp(*run, user);
  EXPECT_TRUE(
      contains(log.lines(), "Warm-up skipped: the only token here is elevated, and the warm-up never runs elevated."));
  EXPECT_TRUE(limits.empty());
  EXPECT_FALSE(fileExists(standinLog));

  makeRun({}, runSection("{app}\\Missing.exe", "5"), false);
  runWarmUp(*run, ownUser());
  EXPECT_TRUE(containsStart(log.lines(), "Warm-up could not start: Windows error 2: "));

  // This prefix's own user: its only token is elevated, so the real step refuses to run.
  if (signedInUserTokens().impersonation != nullptr && signedInUserTokens().primary == nullptr) {
    makeRun({}, runSection("{app}\\Zelvan.exe", "5"), false);
    warmUp(*run);
    EXPECT_FALSE(fileExists(standinLog));
  }
}

TEST_F(WarmUpTest, ACancelDuringTheWarmUpReachesTheRunnerAndStopsTheInstall) {
  makeRun({}, runSection("{app}\\Zelvan.exe", "5"), false);
  WarmUpUser user = ownUser();
  bool runnerSawCancel = false;
  user.start = [&](const std::wstring&, const std::wstring&, const std::wstring&, const std::wstring&, DWORD,
                   const ProcessHooks& hooks) {
    run->cancel.requestCancel();
    runnerSawCancel = hooks.cancel();
    ProcessResult r;
    r.started = true;
    r.cancelled = true;
    return r;
  };
  try {
    runWarmUp(*run, user);
    ADD_FAILURE() << "no Stop";
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.kind, StopKind::Cancelled);
  }
  EXPECT_TRUE(runnerSawCancel);
}

TEST_F(WarmUpTest, AProgramThatOutlivesItsLimitIsEndedAndProgressReachesNinety) {
  makeRun({}, "[Run]\nWhen: warmup; File: {app}\\Helper.exe; Args: forever; Timeout: 1\n", false);
  struct Percents : EngineSink {
    std::vector<int32_t> seen;
    void onStep(InstallStep step, StepStatus, int32_t percent) override {
      if (number(step) == 4) seen.push_back(percent);
    }
  } sink;
  run->request.sink = &sink;
  LogCapture log;
  runWarmUp(*run, ownUser());
  std::vector<std::string> lines = log.lines();
  EXPECT_TRUE(containsStart(lines, "Warm-up exit ")) << "started";
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("Warm-up exit ", 0) == 0 && l.find(" (ended at its limit)") != std::string::npos;
  }));
  ASSERT_FALSE(sink.seen.empty());
  EXPECT_TRUE(std::is_sorted(sink.seen.begin(), sink.seen.end()));
  EXPECT_GE(sink.seen.back(), 80);
  EXPECT_LE(sink.seen.back(), 90);
}

}  // namespace
}  // namespace zs
