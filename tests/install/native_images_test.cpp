// Native images inside real install runs, with the stand-in ngen where the setup looks for it under
// the prefix's Windows folder: made and checked after the files are placed, the verdict in the
// outcome, undone by a cancel, and an upgrade's old images removed while the old files are still
// there and put back when the upgrade is rolled back.
#include <gtest/gtest.h>

#include <algorithm>

#include "install/transaction.h"
#include "journal/setup_data.h"
#include "ngen/assembly_image.h"
#include "ngen/fake_ngen_setup.h"
#include "platform/registry.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "base/paths.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"
#include "support/test_payload.h"
#include "journal/engine_sink.h"
#include "support/step_reports.h"
#include "uninstall/existing_install.h"

namespace zs {
namespace {

using test::kStepDone;
using test::kStepRunning;
using test::number;

using test::LogCapture;
using test::TestFile;
using test::TestPayload;

const std::string kMvidA = "{00112233-4455-6677-8899-aabbccddeeaa}";
const std::string kMvidB = "{00112233-4455-6677-8899-aabbccddeebb}";
const std::string kImages =
    "[NativeImages]\nInstall: {app}\\Zelvan.exe; Verify: yes\nInstall: {app}\\Zelvan.Core.dll; Verify: yes\n";

using test::contains;

std::string assembly(uint8_t last) {
  test::AssemblyImageOptions o;
  o.mvid = test::sampleMvid(last);
  return test::assemblyImage(o);
}

// Asks for a cancel once the given step reports at least the given percent.
class CancellingSink : public EngineSink {
 public:
  CancellingSink(int32_t step, int32_t percent, test::FakeNgen& ngen) : step_(step), percent_(percent), ngen_(ngen) {}
  InstallTransaction* transaction = nullptr;
  size_t imagesWhenCancelled = 0;
  std::vector<std::pair<int32_t, int32_t>> running;
  void onStep(InstallStep which, StepStatus shown, int32_t percent) override {
    int32_t step = number(which), status = number(shown);
    if (status == kStepRunning) running.emplace_back(step, percent);
    if (transaction != nullptr && step == step_ && status == kStepRunning && percent >= percent_ &&
        imagesWhenCancelled == 0) {
      imagesWhenCancelled = ngen_.images().size();
      transaction->requestCancel();
    }
  }

 private:
  int32_t step_, percent_;
  test::FakeNgen& ngen_;
};

class NativeImagesInstall : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ngen.placed()) << "an ngen.exe is already there"; }
  void TearDown() override {
    for (RegView view : {RegView::View64, RegView::View32})
      deleteKeyTree(RegRoot::Hklm, view, uninstallKeyOf(L"{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}"));
  }

  std::vector<TestFile> files(uint8_t exeMvid, const std::wstring& extra = L"") {
    std::vector<TestFile> f = {{L"{app}\\Zelvan.exe", assembly(exeMvid)},
                               {L"{app}\\Zelvan.Core.dll", assembly(0x11)}};
    if (!extra.empty()) f.push_back({L"{app}\\" + extra, assembly(0x22)});
    return f;
  }

  RunOutcome install(TestPayload& payload, EngineSink* sink, ExistingInstall existing = {},
                     CancellingSink* canceller = nullptr) {
    EXPECT_TRUE(payload.accepted());
    InstallRequest request;
    request.payload = &payload.payload();
    request.existing = existing;
    request.folder = folder;
    request.noRun = true;
    request.sink = sink;
    InstallTransaction transaction(std::move(request), knownFolders());
    if (canceller != nullptr) canceller->transaction = &transaction;
    return transaction.run();
  }

  // What the earlier run registered, found the way the setup finds it.
  ExistingInstall earlierInstall(const TestPayload& payload) {
    ExistingInstall e = detectExistingInstall(payload.payload().script, knownFolders());
    EXPECT_EQ(e.kind, InstallKind::Own);
    return e;
  }

  std::string exe() const { return wideToUtf8(normalizePath(folder)) + "\\Zelvan.exe"; }
  std::string core() const { return wideToUtf8(normalizePath(folder)) + "\\Zelvan.Core.dll"; }
  size_t indexOf(const std::vector<std::string>& calls, const std::string& call) {
    return std::find(calls.begin(), calls.end(), call) - calls.begin();
  }

  test::TempFolder root;
  std::wstring folder = root / L"Zelvan";
  test::FakeNgen ngen{knownFolders().win, isWindows64() ? L"Framework64" : L"Framework"};
};

TEST_F(NativeImagesInstall, ImagesAreMadeAfterTheFilesAndCheckedAndTheVerdictReachesTheOutcome) {
  TestPayload payload(files(0xaa), kImages);
  CancellingSink progress(-1, 0, ngen);
  LogCapture log;
  RunOutcome outcome = install(payload, &progress);
  ASSERT_EQ(outcome.result, ExitCode::Installed) << outcome.detail;
  EXPECT_TRUE(outcome.optimized);
  EXPECT_EQ(outcome.startupNote, L"");
  EXPECT_EQ(ngen.images(), (std::vector<std::string>{exe() + "|" + kMvidA,
                                                     core() + "|{00112233-4455-6677-8899-aabbccddee11}"}));
  auto lines = log.lines();
  EXPECT_TRUE(contains(lines, "Check: Zelvan verified, MVID " + kMvidA + "."));
  EXPECT_TRUE(contains(lines, "Start-up: Optimized"));
  EXPECT_TRUE(contains(lines, "Installed. Start-up: Optimized."));
  // The native-image bar lands on each run's target, the checking bar on each checked line.
  auto has = [&](int32_t step, int32_t percent) {
    return std::find(progress.running.begin(), progress.running.end(), std::make_pair(step, percent)) !=
           progress.running.end();
  };
  EXPECT_TRUE(has(2, 80));
  EXPECT_TRUE(has(2, 100));
  EXPECT_TRUE(has(3, 50));
  EXPECT_TRUE(has(3, 100));
}

TEST_F(NativeImagesInstall, AnImageThatNeverMatchesStillInstallsButNotOptimizedWithItsReason) {
  TestPayload payload(files(0xaa, L"never.dll"), kImages + "Install: {app}\\never.dll; Verify: yes\n");
  LogCapture log;
  RunOutcome outcome = install(payload, nullptr);
  ASSERT_EQ(outcome.result, ExitCode::Installed) << outcome.detail;
  EXPECT_FALSE(outcome.optimized);
  EXPECT_EQ(outcome.startupNote, L"never has no matching native image");
  EXPECT_TRUE(contains(log.lines(), "Installed. Start-up: Not optimized."));
  EXPECT_TRUE(contains(log.lines(), "COMMIT."));
}

TEST_F(NativeImagesInstall, ACancelWhileImagesAreMadeUninstallsThemInTheRollback) {
  TestPayload payload(files(0xaa), kImages);
  CancellingSink sink(2, 80, ngen);  // after the first image is made
  LogCapture log;
  RunOutcome outcome = install(payload, &sink, {}, &sink);
  EXPECT_EQ(outcome.result, ExitCode::Cancelled);
  EXPECT_EQ(sink.imagesWhenCancelled, 1u);
  EXPECT_TRUE(ngen.images().empty());
  auto calls = ngen.calls();
  EXPECT_LT(indexOf(calls, "install /nologo " + exe() + " " + kMvidA),
            indexOf(calls, "uninstall /nologo " + exe() + " " + kMvidA));
  EXPECT_TRUE(contains(log.lines(), "Rolled back. Everything is as it was."));
  EXPECT_FALSE(test::fileExists(folder));
  EXPECT_FALSE(test::fileExists(setupDataPath() + L"\\install.zsj"));
}

TEST_F(NativeImagesInstall, AnUpgradeRemovesTheOldImagesWhileTheOldFilesAreThereAndARollbackQueuesThemAgain) {
  TestPayload first(files(0xaa), kImages);
  ASSERT_EQ(install(first, nullptr).result, ExitCode::Installed);

  TestPayload second(files(0xbb), kImages, "2.6.0.0");
  {
    LogCapture log;
    RunOutcome outcome = install(second, nullptr, earlierInstall(second));
    ASSERT_EQ(outcome.result, ExitCode::Installed) << outcome.detail;
    EXPECT_TRUE(outcome.optimized);
  }
  auto calls = ngen.calls();
  size_t removedOld = indexOf(calls, "uninstall /nologo " + exe() + " " + kMvidA);
  ASSERT_LT(removedOld, calls.size()) << "the old image went while the old Zelvan.exe was on disk";
  EXPECT_LT(removedOld, indexOf(calls, "install /nologo " + exe() + " " + kMvidB));
  EXPECT_EQ(ngen.images().front(), exe() + "|" + kMvidB);

  // Another upgrade, cancelled while its images are made: the new images go, the old files come
  // back, and the images of the old files are queued again.
  TestPayload third(files(0xcc), kImages, "2.7.0.0");
  CancellingSink sink(2, 80, ngen);
  RunOutcome outcome = install(third, &sink, earlierInstall(third), &sink);
  EXPECT_EQ(outcome.result, ExitCode::Cancelled);
  EXPECT_EQ(test::readBytes(folder + L"\\Zelvan.exe"), assembly(0xbb));
  calls = ngen.calls();
  EXPECT_LT(indexOf(calls, "install /queue /nologo " + exe() + " " + kMvidB), calls.size());
  EXPECT_LT(indexOf(calls, "install /queue /nologo " + core() + " {00112233-4455-6677-8899-aabbccddee11}"),
            calls.size());
}

}  // namespace
}  // namespace zs
