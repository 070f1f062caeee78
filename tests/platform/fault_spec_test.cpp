// The fault plan of the test-only build: what ZS_FAULT may say, and how calls are named so that
// the same call gets the same name in every run of a scenario.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/fault_spec.h"

namespace zs {
namespace {

struct PlanCase {
  const char* text;
  bool ok;
  bool active;
  std::vector<FaultTarget> targets;  // index, class, occurrence, hash, error
};

TEST(FaultPlan, ParsesWhatTheSweepWritesAndRefusesTheRest) {
  const std::vector<PlanCase> cases = {
      {"", true, false, {}},
      {"count", true, true, {}},
      {"fail:7", true, true, {{7, FaultClass::FileWrite, 0, 0, 0}}},
      {"fail:7:5", true, true, {{7, FaultClass::FileWrite, 0, 0, 5}}},
      {"fail:12:112,40:1117", true, true,
       {{12, FaultClass::FileWrite, 0, 0, 112}, {40, FaultClass::FileWrite, 0, 0, 1117}}},
      {"fail:move.3.0a1b2c3d", true, true, {{0, FaultClass::Move, 3, 0x0a1b2c3d, 0}}},
      {"fail:reg-flush.1.ffffffff:32,restart-schedule.2.00000001", true, true,
       {{0, FaultClass::RegFlush, 1, 0xffffffff, 32}, {0, FaultClass::RestartSchedule, 2, 1, 0}}},
      {"Count", false, false, {}},
      {"fail:", false, false, {}},
      {"fail:0", false, false, {}},
      {"fail:-3", false, false, {}},
      {"fail:7:", false, false, {}},
      {"fail:7:0", false, false, {}},
      {"fail:7:x", false, false, {}},
      {"fail:7,", false, false, {}},
      {"fail:move.0.0a1b2c3d", false, false, {}},
      {"fail:move.1.0a1b2c3", false, false, {}},       // seven hex digits
      {"fail:move.1.0a1b2c3dd", false, false, {}},     // nine
      {"fail:rename.1.0a1b2c3d", false, false, {}},    // no such class
      {"fail:move.1", false, false, {}},
      {"fail:3,move.1.zzzzzzzz", false, false, {}},  // one bad target spoils the plan
      {"count,fail:3", false, false, {}},
  };
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(c.text);
    FaultPlan plan;
    plan.active = true;
    std::string reason;
    EXPECT_EQ(parseFaultPlan(c.text, plan, reason), c.ok);
    EXPECT_EQ(reason.empty(), c.ok);
    EXPECT_EQ(plan.active, c.active);
    ASSERT_EQ(plan.targets.size(), c.targets.size());
    for (size_t i = 0; i < c.targets.size(); ++i) {
      EXPECT_EQ(plan.targets[i].index, c.targets[i].index);
      EXPECT_EQ(plan.targets[i].error, c.targets[i].error);
      if (c.targets[i].index == 0) {
        EXPECT_EQ(plan.targets[i].cls, c.targets[i].cls);
        EXPECT_EQ(plan.targets[i].occurrence, c.targets[i].occurrence);
        EXPECT_EQ(plan.targets[i].hash, c.targets[i].hash);
      }
    }
  }
}

TEST(FaultPlan, EveryClassHasANameThatReadsBackAndARealisticError) {
  const std::vector<uint32_t> realistic = {5, 32, 112, 1117};
  std::vector<std::string_view> names;
  for (int32_t i = 0; i < kFaultClassCount; ++i) {
    const auto c = static_cast<FaultClass>(i);
    SCOPED_TRACE(i);
    FaultClass back = FaultClass::RegSet;
    ASSERT_TRUE(parseFaultClass(faultClassName(c), back));
    EXPECT_EQ(back, c);
    EXPECT_NE(std::find(realistic.begin(), realistic.end(), defaultFaultError(c)), realistic.end());
    EXPECT_EQ(std::find(names.begin(), names.end(), faultClassName(c)), names.end());
    names.push_back(faultClassName(c));
  }
  EXPECT_EQ(defaultFaultError(FaultClass::FileWrite), 112u);
  EXPECT_EQ(defaultFaultError(FaultClass::Move), 32u);
}

TEST(FaultNames, RandomPartsAndCaseDoNotChangeACallsName) {
  struct Case {
    const wchar_t* path;
    const wchar_t* normalized;
  };
  const std::vector<Case> cases = {
      {L"C:\\Program Files\\Zelvan\\.zsnew-0123456789abcdef\\Zelvan.exe",
       L"c:\\program files\\zelvan\\.zsnew-#\\zelvan.exe"},
      {L"C:\\ProgramData\\ZelvanSetup\\un-A1B2C3D4E5F60718\\ZelvanUninstall.exe",
       L"c:\\programdata\\zelvansetup\\un-#\\zelvanuninstall.exe"},
      {L"Zelvan-Setup-2.5.0-20261209-164501.log", L"zelvan-setup-2.5.0-#-164501.log"},
      {L"C:\\a\\deadbee\\b", L"c:\\a\\deadbee\\b"},  // seven hex digits are a name, not a suffix
      {L"HKLM:64\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}",
       L"hklm:64\\software\\microsoft\\windows\\currentversion\\uninstall\\{#-7b44-4d19-9e0b-#}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(normalizeFaultPath(c.path), c.normalized);
  }
  const wchar_t* program = L"C:\\zs\\ZelvanSetup.exe";
  EXPECT_EQ(callName(program, FaultClass::Move, L"C:\\P\\.zsold-0011223344556677\\a.dll"),
            callName(L"c:\\ZS\\zelvansetup.EXE", FaultClass::Move, L"c:\\p\\.ZSOLD-8899aabbccddeeff\\A.DLL"));
  // The class, the path and the program each tell calls apart.
  const uint32_t base = callName(program, FaultClass::Move, L"C:\\a");
  EXPECT_NE(base, callName(program, FaultClass::DeleteFile, L"C:\\a"));
  EXPECT_NE(base, callName(program, FaultClass::Move, L"C:\\b"));
  EXPECT_NE(base, callName(L"C:\\un-#\\ZelvanUninstall.exe", FaultClass::Move, L"C:\\a"));
}

TEST(FaultNames, KeysAreWhatATargetReadsBack) {
  const uint32_t hash = callName(L"C:\\zs\\ZelvanSetup.exe", FaultClass::RegFlush, L"HKLM:64\\SOFTWARE\\x");
  const std::string key = faultKey(FaultClass::RegFlush, 4, hash);
  EXPECT_EQ(key.substr(0, 12), "reg-flush.4.");
  EXPECT_EQ(key.size(), 20u);
  FaultPlan plan;
  std::string reason;
  ASSERT_TRUE(parseFaultPlan("fail:" + key, plan, reason)) << reason;
  ASSERT_EQ(plan.targets.size(), 1u);
  EXPECT_TRUE(targetMatches(plan.targets[0], 99, FaultClass::RegFlush, 4, hash));
  EXPECT_FALSE(targetMatches(plan.targets[0], 99, FaultClass::RegFlush, 3, hash));
  EXPECT_FALSE(targetMatches(plan.targets[0], 99, FaultClass::RegSet, 4, hash));
  EXPECT_FALSE(targetMatches(plan.targets[0], 99, FaultClass::RegFlush, 4, hash ^ 1));
  EXPECT_EQ(faultKey(FaultClass::Move, 1, 0xabc), "move.1.00000abc");
  // A target by number ignores what the call is.
  FaultTarget byIndex;
  byIndex.index = 5;
  EXPECT_TRUE(targetMatches(byIndex, 5, FaultClass::Move, 9, 1));
  EXPECT_FALSE(targetMatches(byIndex, 6, FaultClass::Move, 9, 1));
}

}  // namespace
}  // namespace zs
