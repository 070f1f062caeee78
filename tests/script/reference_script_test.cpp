// The full embedded script of Zelvan 2.5 parses into the model that the install steps rely on.
#include <gtest/gtest.h>

#include "reference_script.h"
#include "base/paths.h"
#include "script/script.h"
#include "script_test_support.h"

namespace zs::test {
namespace {

class ReferenceScript : public ::testing::Test {
 protected:
  void SetUp() override {
    parsed_ = parseText(referenceScript());
    ASSERT_TRUE(parsed_.ok) << describe(parsed_);
  }
  const SetupScript& s() const { return parsed_.script; }
  Parsed parsed_;
};

TEST_F(ReferenceScript, Setup) {
  const SetupInfo& i = s().setup;
  EXPECT_EQ(i.setupLine, 4);
  EXPECT_EQ(i.appId, L"7D2B4E91-5C3A-4F08-B6E1-0A9C3D5F7E24");
  EXPECT_EQ(i.appName, L"Zelvan");
  EXPECT_EQ(i.appVersion, L"2.5");
  EXPECT_EQ(i.publisher, L"Brightmoor");
  EXPECT_EQ(i.defaultDir, L"{pf}\\Zelvan");
  EXPECT_EQ(i.minDotNet, 528040u);
  EXPECT_EQ(i.minWindowsMajor, 6u);
  EXPECT_EQ(i.minWindowsMinor, 3u);
  EXPECT_EQ(i.themeFile, L"{appdata}\\Zelvan\\settings.ini");
  EXPECT_FALSE(i.licenseTicked);
  EXPECT_EQ(i.fileVersion, L"2.5.0.1412");
  EXPECT_FALSE(i.supportUrl.empty());
}

TEST_F(ReferenceScript, TasksDirsAndFiles) {
  ASSERT_EQ(s().tasks.size(), 3u);
  EXPECT_EQ(s().tasks[0].name, L"desktopicon");
  EXPECT_EQ(s().tasks[1].name, L"fileassoc");
  EXPECT_EQ(s().tasks[2].name, L"startfaster");
  EXPECT_FALSE(s().tasks[2].defaultOn);
  EXPECT_EQ(s().dirs.size(), 3u);

  // The files lie one after another in the block; two are first-run files for the user.
  ASSERT_GE(s().files.size(), 20u);
  uint64_t next = 0;
  size_t seeds = 0;
  for (const FileEntry& f : s().files) {
    EXPECT_EQ(f.off, next) << wideToUtf8(f.dest);
    next = f.off + f.size;
    if (f.seed) ++seeds;
    EXPECT_TRUE(isUnderVariable(f.dest, f.seed ? (isUnderVariable(f.dest, L"docs") ? L"docs" : L"appdata") : L"app"));
  }
  EXPECT_EQ(seeds, 2u);
  EXPECT_EQ(s().files.front().dest, L"{app}\\Zelvan.exe");
}

TEST_F(ReferenceScript, RegistryLines) {
  const auto& r = s().registry;
  ASSERT_EQ(r.size(), 12u);
  EXPECT_EQ(r[0].key, L".zlvd");
  EXPECT_EQ(r[0].uninstall, L"value");
  EXPECT_EQ(r[0].tasks, (std::vector<std::wstring>{L"fileassoc"}));
  EXPECT_EQ(r[3].data, L"\"{app}\\ZelvanLauncher.exe\" \"%1\"");
  EXPECT_EQ(r[4].key, L".flow");
  EXPECT_EQ(r[10].type, L"dword");
  EXPECT_EQ(r[10].data, L"0");
  const RegistryEntry& run = r[11];
  EXPECT_EQ(run.key, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run");
  EXPECT_EQ(run.name, L"Zelvan");
  EXPECT_EQ(run.data, L"\"{app}\\ZelvanLauncher.exe\" --preload");
  EXPECT_EQ(run.tasks, (std::vector<std::wstring>{L"startfaster"}));
  for (const RegistryEntry& e : r) EXPECT_TRUE(isRegistryWriteAllowed(e.root, e.key, e.name));
}

TEST_F(ReferenceScript, ShortcutsNativeImagesRunAndLegacy) {
  ASSERT_EQ(s().shortcuts.size(), 2u);
  EXPECT_EQ(s().shortcuts[0].path, L"{programs}\\Zelvan.lnk");
  EXPECT_TRUE(s().shortcuts[0].tasks.empty());
  EXPECT_EQ(s().shortcuts[0].args, L"--source=startmenu");
  EXPECT_EQ(s().shortcuts[1].path, L"{desktop}\\Zelvan.lnk");
  EXPECT_EQ(s().shortcuts[1].tasks, (std::vector<std::wstring>{L"desktopicon"}));
  EXPECT_EQ(s().shortcuts[1].appUserModelId, L"Brightmoor.Zelvan");

  const auto& n = s().nativeImages;
  ASSERT_EQ(n.size(), 6u);
  EXPECT_TRUE(n[0].verify);
  EXPECT_FALSE(n[1].verify);
  EXPECT_TRUE(n[5].queueRun);
  EXPECT_EQ(n[5].timeout, 300u);

  ASSERT_EQ(s().runs.size(), 2u);
  EXPECT_EQ(s().runs[0].when, L"warmup");
  EXPECT_EQ(s().runs[0].file, L"{app}\\Zelvan.exe");
  EXPECT_EQ(s().runs[0].args, L"--warmup");
  EXPECT_EQ(s().runs[0].timeout, 60u);
  EXPECT_EQ(s().runs[1].when, L"finish");
  EXPECT_EQ(s().runs[1].label, L"Start Zelvan now");

  const LegacyInfo& l = s().legacy;
  EXPECT_EQ(l.uninstallKeys, (std::vector<std::wstring>{L"{{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}}_is1"}));
  EXPECT_EQ(expandPaths(l.uninstallKeys[0], VariableTable{}), L"{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}_is1");
  EXPECT_EQ(l.ngenRoots.size(), 2u);
  EXPECT_EQ(l.files.size(), 5u);
  EXPECT_TRUE(matchWildcard(l.files[3], L"JetBrainsMono-Regular.ttf"));
  EXPECT_EQ(l.dirs, (std::vector<std::wstring>{L"Plugins\\Obsolete"}));
  EXPECT_EQ(l.removeIfEmpty, (std::vector<std::wstring>{L"{pf32}\\Zelvan"}));
}

TEST_F(ReferenceScript, ParsingIsRepeatable) {
  // A parser object may be used again; the model of the second run is the same.
  ScriptParser parser;
  SetupScript a, b;
  ScriptError e;
  ASSERT_TRUE(parser.parse(referenceScript(), a, e));
  ASSERT_FALSE(parser.parse("[Nope]", b, e));
  ASSERT_TRUE(parser.parse(referenceScript(), b, e));
  EXPECT_EQ(dumpModel(a), dumpModel(b));
  EXPECT_EQ(dumpModel(a), dumpModel(s()));
}

}  // namespace
}  // namespace zs::test
