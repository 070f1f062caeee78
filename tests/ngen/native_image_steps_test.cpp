// Removing old native images and installing new ones with the stand-in ngen: the record comes
// before each change, failures are carried forward, a cancel stops the step, the bar moves by time
// and by ngen's lines and lands on each run's target.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "journal/journal_format.h"
#include "ngen/assembly_image.h"
#include "ngen/fake_ngen_setup.h"
#include "ngen/ngen.h"
#include "base/text.h"
#include "base/paths.h"
#include "script/script.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

namespace zs {
namespace {

// The journal record the install writes for each change.
std::string recordName(NativeImageChange change) {
  return change == NativeImageChange::RemoveOld ? "NGENOLD" : "NGENNEW";
}

using test::FakeNgen;
using test::TempFolder;

using test::contains;

TEST(NgenProgress, TimeAndCompilingLinesMoveTheBarWithinNinetyPercentOfTheSpan) {
  EXPECT_DOUBLE_EQ(expectedNgenSeconds(20ull * 1048576), 100.0);
  EXPECT_DOUBLE_EQ(expectedNgenSeconds(1000), 0.5);

  NgenProgress p;
  p.begin(0, 80, expectedNgenSeconds(20ull * 1048576));
  p.advance(40);
  p.advance(60);
  EXPECT_NEAR(p.position, 80 * 0.9 * (1 - std::exp(-1.0)), 1e-9);  // about 57 % of the way
  p.onLine("Compiling assembly Zelvan, Version=1.0.0.0");
  p.onLine("Compiling assembly Zelvan, Version=1.0.0.0");
  p.onLine("Other output");
  EXPECT_DOUBLE_EQ(p.bonus, 0.19);
  p.advance(0);
  EXPECT_NEAR(p.position, 80 * 0.9 * (1 - std::exp(-1.0) + 0.19), 1e-9);
  p.advance(100000);
  EXPECT_DOUBLE_EQ(p.position, 72);  // never past 90 % of the span by time alone
  p.finish();
  EXPECT_DOUBLE_EQ(p.position, 80);

  // The next run starts where this one ended; the position never goes back.
  p.begin(80, 85, 0.5);
  p.advance(0.1);
  EXPECT_GE(p.position, 80);
  double before = p.position;
  p.advance(0);
  EXPECT_EQ(p.position, before);
}

class NativeImageSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ngen_.placed());
    app_ = win_ / L"app";
    ASSERT_TRUE(CreateDirectoryW(app_.c_str(), nullptr));
    vars_.set(L"app", app_);
    context_.ngenPath = ngen_.path();
    context_.step = [this](std::wstring_view name, int n) { steps_.push_back(wideToUtf8(name) + std::to_string(n)); };
    // Records what the stand-in holds at the moment of each record: the record must come first.
    context_.beforeChange = [this](NativeImageChange change, const std::wstring& ngen, const std::wstring& assembly) {
      EXPECT_EQ(ngen, ngen_.path());
      journal_.push_back(recordName(change) + " " + wideToUtf8(assembly) + " held=" + std::to_string(ngen_.images().size()));
    };
    context_.cancelled = [this] { return cancel_; };
    context_.progress = [this](double p) { progress_.push_back(p); };
  }

  std::wstring writeAssembly(const std::wstring& name, uint8_t last = 0xff) {
    test::AssemblyImageOptions o;
    o.mvid = test::sampleMvid(last);
    std::wstring path = app_ + L"\\" + name;
    EXPECT_TRUE(test::writeBytes(path, test::assemblyImage(o)));
    return path;
  }
  static NativeImageEntry line(const std::wstring& install, bool verify = true) {
    NativeImageEntry e;
    e.install = install;
    e.verify = verify;
    return e;
  }
  static NativeImageEntry queueLine(uint32_t timeout) {
    NativeImageEntry e;
    e.queueRun = true;
    e.timeout = timeout;
    return e;
  }
  // The positions where each run ended: the reports that are whole targets.
  std::vector<double> landings() const {
    std::vector<double> out;
    for (double p : progress_)
      if (p == 80 || p == 85 || p == 100) out.push_back(p);
    return out;
  }

  TempFolder win_;
  FakeNgen ngen_{win_.path(), L"Framework64"};
  std::wstring app_;
  VariableTable vars_;
  NgenStepContext context_;
  std::vector<std::string> steps_;
  std::vector<std::string> journal_;
  std::vector<double> progress_;
  bool cancel_ = false;
};

TEST_F(NativeImageSteps, InstallRecordsEachImageFirstSkipsMissingFilesAndCarriesFailuresForward) {
  std::wstring exe = writeAssembly(L"Zelvan.exe");
  std::wstring failing = writeAssembly(L"fail.dll");
  test::LogCapture log;
  NativeImageResult result = installNativeImages(
      {line(L"{app}\\Zelvan.exe"), line(L"{app}\\gone.dll"), line(L"{app}\\fail.dll")}, vars_, context_);
  EXPECT_TRUE(result.optimized);
  EXPECT_EQ(result.retryList, std::vector<std::wstring>{failing});
  EXPECT_EQ(steps_, (std::vector<std::string>{"ngen1", "ngen2", "ngen3"}));
  EXPECT_EQ(journal_, (std::vector<std::string>{"NGENNEW " + wideToUtf8(exe) + " held=0",
                                                "NGENNEW " + wideToUtf8(failing) + " held=1"}));
  EXPECT_EQ(ngen_.images(), std::vector<std::string>{wideToUtf8(exe) + "|{00112233-4455-6677-8899-aabbccddeeff}"});
  auto lines = log.lines();
  EXPECT_TRUE(contains(lines, "Native image skipped, the file is not there: " + wideToUtf8(app_) + "\\gone.dll"));
  EXPECT_TRUE(contains(lines, "Native image install exited 3: " + wideToUtf8(failing) +
                                  ". It gets one retry after the check."));
  EXPECT_TRUE(contains(lines, "ngen: \"" + wideToUtf8(ngen_.path()) + "\" install \"" + wideToUtf8(exe) + "\" /nologo"));
  // First run lands on 80, the last install line (no queue line) on 100; never backwards.
  EXPECT_EQ(landings(), (std::vector<double>{80, 100}));
  EXPECT_TRUE(std::is_sorted(progress_.begin(), progress_.end()));
}

TEST_F(NativeImageSteps, AQueueLineRunsLastWithItsOwnNumberAndTheTargetsMakeRoomForIt) {
  writeAssembly(L"Zelvan.exe");
  writeAssembly(L"Zelvan.Core.dll");
  test::LogCapture log;
  NativeImageResult result = installNativeImages(
      {line(L"{app}\\Zelvan.exe"), queueLine(0), line(L"{app}\\Zelvan.Core.dll")}, vars_, context_);
  EXPECT_TRUE(result.optimized);
  EXPECT_EQ(steps_, (std::vector<std::string>{"ngen1", "ngen2", "ngen3"}));
  EXPECT_EQ(landings(), (std::vector<double>{80, 85, 100}));
  // Timeout 0 means no limit; the queue run has no assembly.
  EXPECT_TRUE(contains(log.lines(), "ngen: \"" + wideToUtf8(ngen_.path()) + "\" executeQueuedItems /nologo"));
  EXPECT_EQ(ngen_.calls().back(), "executeQueuedItems /nologo  -");
}

TEST_F(NativeImageSteps, AQueueRunAtItsLimitIsEndedAndLeftToWindowsAndNoRecordMeansNoRun) {
  writeAssembly(L"Zelvan.exe");
  ASSERT_TRUE(test::writeBytes(ngen_.beside(L"hang-queue.txt"), ""));
  test::LogCapture log;
  NativeImageResult result = installNativeImages({line(L"{app}\\Zelvan.exe"), queueLine(1)}, vars_, context_);
  EXPECT_TRUE(result.optimized);
  EXPECT_TRUE(contains(log.lines(), "ngen hit its limit of 1 seconds and was ended"));
  EXPECT_TRUE(contains(log.lines(), "The .NET queue hit its limit. The items stay queued for Windows."));

  // A record that cannot be written stops the step before ngen is started.
  size_t callsBefore = ngen_.calls().size();
  context_.beforeChange = [](NativeImageChange, const std::wstring&, const std::wstring&) {
    throw std::runtime_error("journal full");
  };
  EXPECT_THROW(installNativeImages({line(L"{app}\\Zelvan.exe")}, vars_, context_), std::runtime_error);
  EXPECT_THROW(removeOldNativeImages({app_ + L"\\Zelvan.exe"}, context_), std::runtime_error);
  EXPECT_EQ(ngen_.calls().size(), callsBefore);
}

TEST_F(NativeImageSteps, ACancelStopsTheInstallAfterTheRunItCutShort) {
  writeAssembly(L"Zelvan.exe");
  writeAssembly(L"Zelvan.Core.dll");
  context_.beforeChange = [this](NativeImageChange, const std::wstring&, const std::wstring&) {
    journal_.push_back("x");
    cancel_ = true;  // asked while the first image is being made
  };
  NativeImageResult result =
      installNativeImages({line(L"{app}\\Zelvan.exe"), line(L"{app}\\Zelvan.Core.dll")}, vars_, context_);
  EXPECT_FALSE(result.optimized);
  EXPECT_EQ(journal_.size(), 1u);
  EXPECT_EQ(steps_, std::vector<std::string>{"ngen1"});
}

TEST_F(NativeImageSteps, WithoutNgenNothingRunsAndTheReasonSaysSo) {
  context_.ngenPath.clear();
  test::LogCapture log;
  writeAssembly(L"Zelvan.exe");
  NativeImageResult result = installNativeImages({line(L"{app}\\Zelvan.exe")}, vars_, context_);
  EXPECT_FALSE(result.optimized);
  EXPECT_EQ(result.note, L"no ngen on this PC");
  removeOldNativeImages({app_ + L"\\Zelvan.exe"}, context_);
  EXPECT_TRUE(journal_.empty());
  EXPECT_TRUE(ngen_.calls().empty());
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"Native images: no ngen on this PC. Zelvan will start slower.",
                                                   "No ngen on this PC, so old native images stay until .NET clears them."}));
}

TEST_F(NativeImageSteps, OldImagesAreRecordedThenRemovedFailuresIgnoredAndACancelStopsAfterTheCurrentOne) {
  std::wstring a = writeAssembly(L"a.dll");
  std::wstring failing = writeAssembly(L"fail.dll");
  std::wstring b = writeAssembly(L"b.dll");
  installNativeImages({line(L"{app}\\a.dll"), line(L"{app}\\b.dll")}, vars_, context_);
  ASSERT_EQ(ngen_.images().size(), 2u);
  journal_.clear();

  test::LogCapture log;
  removeOldNativeImages({a, failing, b}, context_);
  EXPECT_EQ(steps_.back(), "ngenold3");
  EXPECT_EQ(journal_, (std::vector<std::string>{"NGENOLD " + wideToUtf8(a) + " held=2",
                                                "NGENOLD " + wideToUtf8(failing) + " held=1",
                                                "NGENOLD " + wideToUtf8(b) + " held=1"}));
  EXPECT_TRUE(ngen_.images().empty());
  EXPECT_TRUE(contains(log.lines(), "Old native image " + wideToUtf8(failing) + ": ngen uninstall exited 3. Ignored."));

  installNativeImages({line(L"{app}\\a.dll"), line(L"{app}\\b.dll")}, vars_, context_);
  journal_.clear();
  context_.beforeChange = [this](NativeImageChange change, const std::wstring&, const std::wstring&) {
    journal_.push_back(recordName(change));
    cancel_ = true;
  };
  removeOldNativeImages({a, b}, context_);
  EXPECT_EQ(journal_, std::vector<std::string>{"NGENOLD"});
  EXPECT_EQ(ngen_.images().size(), 1u);  // the first went all the way; the second was not touched
}

}  // namespace
}  // namespace zs
