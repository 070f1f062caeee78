// Where ngen is looked for, how it is called and what is logged, with a stand-in ngen.exe.
#include <gtest/gtest.h>

#include <algorithm>

#include "ngen/ngen.h"
#include "platform/files.h"
#include "base/text.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

namespace zs {
namespace {

std::wstring windowsPathOf(const char* unixPath) {
  std::wstring path = L"Z:" + utf8ToWide(unixPath);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

using test::contains;

TEST(Ngen, NativeArchitectureDecidesAndA32BitNgenIsNeverUsedOn64BitWindows) {
  const std::wstring win = L"C:\\Windows";
  auto only = [](std::vector<std::wstring> present) {
    return [present](const std::wstring& p) {
      return std::any_of(present.begin(), present.end(), [&](const std::wstring& q) { return equalsNoCase(p, q); });
    };
  };
  const std::wstring f32 = L"C:\\Windows\\Microsoft.NET\\Framework\\v4.0.30319\\ngen.exe";
  const std::wstring f64 = L"C:\\Windows\\Microsoft.NET\\Framework64\\v4.0.30319\\ngen.exe";
  const std::wstring fArm = L"C:\\Windows\\Microsoft.NET\\FrameworkArm64\\v4.0.30319\\ngen.exe";
  EXPECT_EQ(chooseNgen(win, NativeArch::X64, only({f32, f64})), f64);
  EXPECT_EQ(chooseNgen(win, NativeArch::X64, only({f32})), L"");
  EXPECT_EQ(chooseNgen(win, NativeArch::Arm64, only({f64})), f64);
  EXPECT_EQ(chooseNgen(win, NativeArch::Arm64, only({f64, fArm})), fArm);
  EXPECT_EQ(chooseNgen(win, NativeArch::Arm64, only({f32})), L"");
  EXPECT_EQ(chooseNgen(win, NativeArch::X86, only({f32, f64})), f32);
  EXPECT_EQ(chooseNgen(L"", NativeArch::X86, only({f32})), L"");
}

TEST(Ngen, PathAndNameHelpers) {
  EXPECT_EQ(assemblyStem(L"C:\\P\\Zelvan.XmlSerializers.dll"), L"Zelvan.XmlSerializers");
  EXPECT_EQ(assemblyStem(L"Zelvan"), L"Zelvan");
  EXPECT_EQ(ngenArguments(L"install", L"C:\\Program Files\\Zelvan\\Zelvan.exe", L"/nologo"),
            L"install \"C:\\Program Files\\Zelvan\\Zelvan.exe\" /nologo");
  EXPECT_EQ(ngenArguments(L"executeQueuedItems", L"", L"/nologo"), L"executeQueuedItems /nologo");
}

class NgenRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ngen_ = folder_.path() + L"\\Microsoft.NET";
    createFolder(ngen_);
    ngen_ += L"\\Framework64";
    createFolder(ngen_);
    ngen_ += L"\\v4.0.30319";
    createFolder(ngen_);
    images_ = ngen_ + L"\\images.txt";
    ngen_ += L"\\ngen.exe";
    ASSERT_TRUE(CopyFileW(windowsPathOf(ZS_FAKE_NGEN).c_str(), ngen_.c_str(), TRUE));
  }
  test::TempFolder folder_;
  std::wstring ngen_;
  std::wstring images_;
};

TEST_F(NgenRunTest, SingleCommandsRunWithTheirArgumentsAndEveryLineIsLogged) {
  test::LogCapture log;
  std::vector<std::string> handed;
  NgenRun run = runNgen(ngen_, L"install", L"C:\\x\\Zelvan.exe", L"/nologo", kNgenInstallLimitMs,
                        [&](const std::string& line) { handed.push_back(line); });
  EXPECT_TRUE(run.started);
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output, "Fake ngen install /nologo\nCompiling assembly C:\\x\\Zelvan.exe\n");
  EXPECT_EQ(handed.size(), 2u);
  auto lines = log.lines();
  EXPECT_TRUE(contains(lines, "ngen: \"" + wideToUtf8(ngen_) + "\" install \"C:\\x\\Zelvan.exe\" /nologo"));
  EXPECT_TRUE(contains(lines, "  ngen> Compiling assembly C:\\x\\Zelvan.exe"));
  EXPECT_TRUE(contains(lines, "ngen exit 0"));
  EXPECT_EQ(test::readBytes(images_), "C:\\x\\Zelvan.exe\n");

  NgenRun undo = uninstallNativeImage(ngen_, L"C:\\x\\Zelvan.exe");
  EXPECT_EQ(undo.output, "Fake ngen uninstall /nologo\n");
  EXPECT_EQ(test::readBytes(images_), "");
  NgenRun queued = queueNativeImage(ngen_, L"C:\\x\\Zelvan.exe");
  EXPECT_EQ(queued.output.substr(0, 33), "Fake ngen install /queue /nologo\n");
}

TEST_F(NgenRunTest, ExitCodesAndStartFailuresAreReportedNotThrown) {
  test::LogCapture log;
  NgenRun failed = runNgen(ngen_, L"install", L"C:\\x\\fail.dll", L"/nologo", kNgenInstallLimitMs);
  EXPECT_TRUE(failed.started);
  EXPECT_EQ(failed.exitCode, 3u);
  NgenRun missing = runNgen(ngen_ + L".gone", L"install", L"C:\\x\\a.dll", L"/nologo", kNgenInstallLimitMs);
  EXPECT_FALSE(missing.started);
  EXPECT_NE(missing.error, 0u);
  auto lines = log.lines();
  EXPECT_TRUE(contains(lines, "ngen exit 3"));
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("ngen could not start: Windows error ", 0) == 0; }));
}

TEST_F(NgenRunTest, ARunThatHitsItsLimitIsEndedAndSaysSo) {
  test::LogCapture log;
  int ticks = 0;
  NgenRun run = runNgen(ngen_, L"install", L"C:\\x\\hang.dll", L"/nologo", 1000, {}, [&] { ++ticks; });
  EXPECT_TRUE(run.started);
  EXPECT_TRUE(run.timedOut);
  EXPECT_GE(ticks, 5);
  EXPECT_TRUE(contains(log.lines(), "ngen hit its limit of 1 seconds and was ended"));
  EXPECT_TRUE(contains(log.lines(), "ngen exit 1"));
}

TEST(Ngen, WithoutNgenTheSingleCommandsDoNothing) {
  test::LogCapture log;
  EXPECT_FALSE(queueNativeImage(L"", L"C:\\x\\a.dll").started);
  EXPECT_FALSE(uninstallNativeImage(L"", L"C:\\x\\a.dll").started);
  EXPECT_TRUE(log.lines().empty());
}

}  // namespace
}  // namespace zs
