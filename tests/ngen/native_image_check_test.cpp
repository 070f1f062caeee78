// The native-image check: the MVID reader against well-formed and damaged images, the parse of
// ngen's display output, and the verdict with one retry, against the stand-in ngen.
#include <gtest/gtest.h>

#include <algorithm>

#include "ngen/assembly_image.h"
#include "ngen/fake_ngen_setup.h"
#include "ngen/native_image_check.h"
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

using test::AssemblyImageOptions;
using test::assemblyImage;
using test::sampleMvid;

const std::wstring kSample = L"{00112233-4455-6677-8899-aabbccddeeff}";

using test::contains;

std::wstring mvidOf(const std::string& image) {
  std::wstring mvid;
  return mvidFromImage(image, mvid) ? mvid : L"(none)";
}

TEST(Mvid, ReadFromPe32AndPe32PlusWithNarrowAndWideHeapIndexes) {
  for (bool plus : {false, true}) {
    for (uint8_t heaps : {0x00, 0x01, 0x02, 0x03}) {
      for (bool more : {false, true}) {
        AssemblyImageOptions o;
        o.pe32plus = plus;
        o.heapSizes = heaps;
        o.moreTables = more;
        o.mvid = sampleMvid();
        EXPECT_EQ(mvidOf(assemblyImage(o)), kSample) << plus << " " << int(heaps) << " " << more;
      }
    }
  }
  AssemblyImageOptions decoy;
  decoy.mvidIndex = 1;
  EXPECT_EQ(mvidOf(assemblyImage(decoy)), L"{5a5a5a5a-5a5a-5a5a-5a5a-5a5a5a5a5a5a}");
}

TEST(Mvid, AnythingThatIsNotAReadableAssemblyIsRefused) {
  AssemblyImageOptions native;
  native.cliHeader = false;
  EXPECT_EQ(mvidOf(assemblyImage(native)), L"(none)");
  for (uint32_t index : {0u, 3u, 0x10000000u}) {
    AssemblyImageOptions o;
    o.heapSizes = 0x02;
    o.mvidIndex = index;
    EXPECT_EQ(mvidOf(assemblyImage(o)), L"(none)") << index;
  }
  EXPECT_EQ(mvidOf(""), L"(none)");
  EXPECT_EQ(mvidOf(std::string(64, 'M')), L"(none)");

  // Every cut of a good image is refused or still reads the same MVID; none reads past the end.
  std::string good = assemblyImage(AssemblyImageOptions{sampleMvid()});
  for (size_t cut = 0; cut < good.size(); cut += 7) {
    std::wstring got = mvidOf(good.substr(0, cut));
    EXPECT_TRUE(got == L"(none)" || got == kSample) << cut;
  }
  // Each header byte set to 0xff: a refusal or some answer, never a crash or an overread.
  for (size_t at = 0; at < 0x400; ++at) {
    std::string bad = good;
    bad[at] = static_cast<char>(0xff);
    mvidOf(bad);
  }
}

TEST(Mvid, ReadFromAFileAndRefusedForAMissingOne) {
  test::TempFolder folder;
  std::wstring path = folder / L"Zelvan.exe";
  ASSERT_TRUE(test::writeBytes(path, assemblyImage(AssemblyImageOptions{sampleMvid()})));
  std::wstring mvid;
  EXPECT_TRUE(readMvid(path, mvid));
  EXPECT_EQ(mvid, kSample);
  EXPECT_FALSE(readMvid(folder / L"gone.exe", mvid));
}

TEST(DisplayParse, OnlyTheAssemblysOwnHeadingCountsAndTheMvidMustMatch) {
  const std::string serializersFirst =
      "NGEN Roots:\r\n\r\nC:\\P\\Zelvan.exe\r\n\r\nNative Images:\r\n\r\n"
      "Zelvan.XmlSerializers, Version=1.0.0.0, Culture=neutral\r\n"
      "\tSource MVID:\t{00112233-4455-6677-8899-AABBCCDDEEFF}\r\n"
      "Zelvan, Version=2.5.0.0, Culture=neutral  \r\n"
      "    Source MVID:\t{99999999-4455-6677-8899-aabbccddeeff}   \r\n";
  EXPECT_EQ(parseDisplay(serializersFirst, L"Zelvan", kSample), kDisplayNotVerified);
  EXPECT_EQ(parseDisplay(serializersFirst, L"ZELVAN.XmlSerializers", kSample), kDisplayVerified);
  EXPECT_EQ(parseDisplay(serializersFirst, L"Zelvan", L"{99999999-4455-6677-8899-aabbccddeeff}"), kDisplayVerified);
  // An MVID line that is not indented is a heading, not an image detail.
  EXPECT_EQ(parseDisplay("Zelvan, Version=1\nSource MVID: {00112233-4455-6677-8899-aabbccddeeff}\n", L"Zelvan", kSample),
            kDisplayNotVerified);
  // Braces missing or in the wrong order.
  EXPECT_EQ(parseDisplay("Zelvan, V\n\tSource MVID: 00112233}{\n", L"Zelvan", kSample), kDisplayNotVerified);
  // Another language, or no images at all: nothing to judge by.
  EXPECT_EQ(parseDisplay("Zelvan, Version=1\n\tQuell-MVID: {00112233-4455-6677-8899-aabbccddeeff}\n", L"Zelvan", kSample),
            kDisplayNotUnderstood);
  EXPECT_EQ(parseDisplay("", L"Zelvan", kSample), kDisplayNotUnderstood);
}

class NativeImageCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ngen_.placed());
    app_ = win_ / L"app";
    ASSERT_TRUE(CreateDirectoryW(app_.c_str(), nullptr));
    vars_.set(L"app", app_);
    context_.ngenPath = ngen_.path();
    context_.beforeChange = [this](NativeImageChange change, const std::wstring&, const std::wstring& a) {
      journal_.push_back(recordName(change) + " " + wideToUtf8(assemblyStem(a)));
    };
    context_.cancelled = [this] { return cancel_; };
    context_.progress = [this](double p) { progress_.push_back(p); };
  }
  std::wstring writeAssembly(const std::wstring& name, const std::string& bytes = "") {
    std::wstring path = app_ + L"\\" + name;
    EXPECT_TRUE(test::writeBytes(path, bytes.empty() ? assemblyImage(AssemblyImageOptions{sampleMvid()}) : bytes));
    return path;
  }
  static NativeImageEntry line(const std::wstring& install, bool verify = true) {
    NativeImageEntry e;
    e.install = install;
    e.verify = verify;
    return e;
  }
  NativeImageResult installAndCheck(const std::vector<NativeImageEntry>& entries) {
    NativeImageResult result = installNativeImages(entries, vars_, context_);
    journal_.clear();
    progress_.clear();
    verifyNativeImages(entries, vars_, context_, result);
    return result;
  }

  test::TempFolder win_;
  test::FakeNgen ngen_{win_.path(), L"Framework64"};
  std::wstring app_;
  VariableTable vars_;
  NgenStepContext context_;
  std::vector<std::string> journal_;
  std::vector<double> progress_;
  bool cancel_ = false;
};

TEST_F(NativeImageCheck, MatchingImagesAreVerifiedAndAMismatchIsFixedByTheOneRetry) {
  writeAssembly(L"Zelvan.exe");
  writeAssembly(L"stale.dll");
  writeAssembly(L"Unchecked.dll");
  test::LogCapture log;
  NativeImageResult result =
      installAndCheck({line(L"{app}\\Zelvan.exe"), line(L"{app}\\stale.dll"), line(L"{app}\\Unchecked.dll", false)});
  EXPECT_TRUE(result.optimized);
  EXPECT_EQ(result.note, L"");
  auto lines = log.lines();
  EXPECT_TRUE(contains(lines, "Check: Zelvan verified, MVID {00112233-4455-6677-8899-aabbccddeeff}."));
  EXPECT_TRUE(contains(lines, "Check: stale has no native image with MVID {00112233-4455-6677-8899-aabbccddeeff}. "
                              "Retrying once."));
  EXPECT_TRUE(contains(lines, "Check: stale verified after the retry."));
  EXPECT_TRUE(contains(lines, "Start-up: Optimized"));
  EXPECT_EQ(journal_, std::vector<std::string>{"NGENNEW stale"});  // the retry is recorded like the install
  EXPECT_EQ(progress_, (std::vector<double>{50, 100}));
  // Display with "/nologo /verbose" for each checked line; nothing for the unchecked one.
  auto calls = ngen_.calls();
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                          [](const std::string& c) { return c.rfind("display /nologo /verbose ", 0) == 0; }),
            3);
  EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                          [](const std::string& c) { return c.find("Unchecked.dll") != std::string::npos &&
                                                            c.rfind("display", 0) == 0; }),
            0);
}

TEST_F(NativeImageCheck, WhatCountsAgainstTheVerdictAndWhatDoesNot) {
  writeAssembly(L"Zelvan.exe");
  writeAssembly(L"never.dll");
  writeAssembly(L"Native.dll", assemblyImage([] {
                  AssemblyImageOptions o;
                  o.cliHeader = false;
                  return o;
                }()));
  test::LogCapture log;
  NativeImageResult result = installAndCheck({line(L"{app}\\Zelvan.XmlSerializers.dll"), line(L"{app}\\never.dll"),
                                              line(L"{app}\\Native.dll"), line(L"{app}\\Zelvan.exe")});
  EXPECT_FALSE(result.optimized);
  EXPECT_EQ(result.note, L"unreadable MVID in Native");  // the last line that counted against it
  auto lines = log.lines();
  EXPECT_TRUE(contains(lines, "Check: Zelvan.XmlSerializers is missing."));
  EXPECT_TRUE(contains(lines, "Check: never is not optimized after the retry."));
  EXPECT_TRUE(contains(lines, "Check: could not read the MVID of Native, so it counts as not verified."));
  EXPECT_TRUE(contains(lines, "Start-up: Not optimized, unreadable MVID in Native"));
  // Progress counts only the lines whose MVID was read, out of all four checked lines.
  EXPECT_EQ(progress_, (std::vector<double>{25, 50}));

  ASSERT_TRUE(DeleteFileW((app_ + L"\\Zelvan.exe").c_str()));
  result = installAndCheck({line(L"{app}\\Zelvan.exe")});
  EXPECT_EQ(result.note, L"Zelvan.exe is not there");
  result = installAndCheck({line(L"{app}\\never.dll")});
  EXPECT_EQ(result.note, L"never has no matching native image");
}

TEST_F(NativeImageCheck, AFormatNotUnderstoodIsNotRetriedAndCountsByTheInstallsExitCode) {
  writeAssembly(L"Zelvan.exe");
  writeAssembly(L"fail.dll");
  ASSERT_TRUE(test::writeBytes(ngen_.beside(L"display.txt"), "Zelvan, Version=1\n\tQuell-MVID: {x}\n"));
  test::LogCapture log;
  NativeImageResult result = installAndCheck({line(L"{app}\\Zelvan.exe")});
  EXPECT_TRUE(result.optimized);
  EXPECT_TRUE(contains(log.lines(), "Check: Zelvan: the ngen display format was not understood. Not retried. "
                                    "Counted as verified if install exited 0."));

  // fail.dll: its install exited 3 and display exits 3 too, so the retry cannot fix it.
  DeleteFileW(ngen_.beside(L"display.txt").c_str());
  result = installAndCheck({line(L"{app}\\fail.dll")});
  EXPECT_FALSE(result.optimized);
  EXPECT_EQ(result.note, L"fail has no matching native image");
}

TEST_F(NativeImageCheck, ACancelStopsTheCheckWithoutAVerdictAndWithoutNgenNothingIsChecked) {
  writeAssembly(L"Zelvan.exe");
  writeAssembly(L"Zelvan.Core.dll");
  NativeImageResult result =
      installNativeImages({line(L"{app}\\Zelvan.exe"), line(L"{app}\\Zelvan.Core.dll")}, vars_, context_);
  cancel_ = true;
  test::LogCapture log;
  verifyNativeImages({line(L"{app}\\Zelvan.exe"), line(L"{app}\\Zelvan.Core.dll")}, vars_, context_, result);
  auto lines = log.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("ngen: ", 0) == 0; }),
            1);
  EXPECT_FALSE(std::any_of(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("Start-up", 0) == 0; }));

  cancel_ = false;
  context_.ngenPath.clear();
  test::LogCapture quiet;
  NativeImageResult none;
  none.note = L"no ngen on this PC";
  verifyNativeImages({line(L"{app}\\Zelvan.exe")}, vars_, context_, none);
  EXPECT_TRUE(quiet.lines().empty());
  EXPECT_EQ(none.note, L"no ngen on this PC");
}

}  // namespace
}  // namespace zs
