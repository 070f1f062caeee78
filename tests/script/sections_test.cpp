// Every section's keys and rules, in the order they are checked, and the end-of-script checks.
#include <gtest/gtest.h>

#include <string>

#include "script/script.h"
#include "script_test_support.h"

namespace zs::test {
namespace {

// The setup block with one of its lines replaced (or, with an empty replacement, removed).
std::string setupWith(std::string_view oldLine, std::string_view newLine) {
  std::string text(kSetupBlock);
  size_t at = text.find(oldLine);
  EXPECT_NE(at, std::string::npos) << oldLine;
  size_t end = text.find('\n', at);
  text.replace(at, end - at + (newLine.empty() ? 1 : 0), newLine);
  return text;
}

std::string fileLine(std::string_view dest, std::string_view flags = "") {
  std::string line = "[Files]\nDest: " + std::string(dest) + ";";
  if (!flags.empty()) line += " Flags: " + std::string(flags) + ";";
  return line + " Off: 0; Size: 10; Sha: " + std::string(kSha) + "\n";
}

std::string registryLine(std::string_view rest) { return "[Registry]\n" + std::string(rest) + "\n"; }

// ---- [Setup] and the end-of-script checks ----

TEST(ScriptSetup, KeysAreKnownAndGivenOnce) {
  EXPECT_TRUE(fails(withSetup("Foo = 1\n"), 10, kScriptUnknownKey, L"unknown key 'Foo' in [Setup]"));
  for (const char* refused : {"LicenseFile", "Output", "Sign"}) {
    EXPECT_TRUE(fails(withSetup(std::string(refused) + " = x\n"), 10, kScriptUnknownKey,
                      L"unknown key '" + utf8ToWide(refused) + L"' in [Setup]"));
  }
  // Also across [Setup] sections and whatever the case; the message spells the key as the table does.
  EXPECT_TRUE(fails(withSetup("[Tasks]\n[Setup]\nappid = 7D2B4E91-5C3A-4F08-B6E1-0A9C3D5F7E24\n"), 12,
                    kScriptDuplicateSetupKey, L"duplicate [Setup] key 'AppId'"));
  // The name check comes before the duplicate check, and both before the value's variables.
  EXPECT_TRUE(fails(withSetup("AppName = {nope}\n"), 10, kScriptDuplicateSetupKey, L"duplicate [Setup] key 'AppName'"));
  EXPECT_TRUE(fails(withSetup("Sign = {file}\n"), 10, kScriptUnknownKey, L"unknown key 'Sign' in [Setup]"));
}

TEST(ScriptSetup, ValuesAndDefaults) {
  Parsed p = parseText(withSetup("ThemeFile = {appdata}\\Zelvan\\settings.ini\nLicenseTicked = No\n"));
  ASSERT_TRUE(p.ok) << describe(p);
  const SetupInfo& s = p.script.setup;
  EXPECT_EQ(s.setupLine, 1);
  EXPECT_EQ(s.appId, L"7D2B4E91-5C3A-4F08-B6E1-0A9C3D5F7E24");
  EXPECT_EQ(s.defaultDir, L"{pf}\\Zelvan");
  EXPECT_EQ(s.minDotNet, 528040u);
  EXPECT_EQ(s.minWindowsMajor, 6u);
  EXPECT_EQ(s.minWindowsMinor, 3u);
  EXPECT_FALSE(s.licenseTicked);
  EXPECT_EQ(s.themeFile, L"{appdata}\\Zelvan\\settings.ini");

  Parsed d = parseText(withSetup("LicenseTicked =\nThemeFile =\n"));
  ASSERT_TRUE(d.ok) << describe(d);
  EXPECT_TRUE(d.script.setup.licenseTicked);
  EXPECT_TRUE(d.script.setup.publisherUrl.empty());
}

TEST(ScriptSetup, RequiredKeysAtTheEndOnTheSetupLine) {
  EXPECT_TRUE(fails(setupWith("AppName = Zelvan", "AppName ="), 1, kScriptMissingKey,
                    L"missing required key 'AppName'"));
  EXPECT_TRUE(fails(setupWith("FileVersion", ""), 1, kScriptMissingKey, L"missing required key 'FileVersion'"));
  // In the fixed order: AppId before AppName even when AppName comes first in the text.
  std::string both = setupWith("AppId", "");
  both = both.replace(both.find("AppName = Zelvan"), 16, "AppName =");
  EXPECT_TRUE(fails(both, 1, kScriptMissingKey, L"missing required key 'AppId'"));
  // The line of the last [Setup] header, wherever the key is missing.
  EXPECT_TRUE(fails(setupWith("MinDotNet", "") + "[Tasks]\n\n[Setup]\nSupportUrl = x\n", 11, kScriptMissingKey,
                    L"missing required key 'MinDotNet'"));
  // Without any [Setup] header: the script's last line.
  EXPECT_TRUE(fails("[Tasks]\nName: a; Label: b\n\n", 3, kScriptMissingKey, L"missing required key 'AppId'"));
}

TEST(ScriptSetup, EndChecksInOrder) {
  EXPECT_TRUE(fails(setupWith("AppId", "AppId = {{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}}"), 1,
                    kScriptAppIdNotGuid, L"AppId is not a GUID"));
  EXPECT_TRUE(fails(setupWith("AppId", "AppId = 7D2B4E91-5C3A-4F08-B6E1-0A9C3D5F7E2"), 1, kScriptAppIdNotGuid,
                    L"AppId is not a GUID"));
  EXPECT_TRUE(fails(setupWith("AppId", "AppId = 7D2B4E915-C3A-4F08-B6E1-0A9C3D5F7E24"), 1, kScriptAppIdNotGuid,
                    L"AppId is not a GUID"));
  EXPECT_TRUE(fails(setupWith("AppId", "AppId = 7D2B4E91-5C3A-4F08-B6E1-0A9C3D5F7E2G"), 1, kScriptAppIdNotGuid,
                    L"AppId is not a GUID"));
  EXPECT_TRUE(parses(setupWith("AppId", "AppId = 7d2b4e91-5c3a-4f08-b6e1-0a9c3d5f7e24")));

  EXPECT_TRUE(fails(setupWith("MinDotNet", "MinDotNet = 4.8"), 1, kScriptBadValue, L"bad value '4.8' for MinDotNet"));
  for (const char* bad : {"10", "6.3.1", "6.100", "6.", ".3", "6,3", "-6.3", "100.0"}) {
    EXPECT_TRUE(fails(setupWith("MinWindows", "MinWindows = " + std::string(bad)), 1, kScriptBadValue,
                      L"bad value '" + utf8ToWide(bad) + L"' for MinWindows"));
  }
  Parsed v = parseText(setupWith("MinWindows", "MinWindows = 06.03"));
  ASSERT_TRUE(v.ok) << describe(v);
  EXPECT_EQ(v.script.setup.minWindowsMajor, 6u);
  EXPECT_EQ(v.script.setup.minWindowsMinor, 3u);
  EXPECT_TRUE(fails(withSetup("LicenseTicked = maybe\n"), 1, kScriptBadValue, L"bad value 'maybe' for LicenseTicked"));

  EXPECT_TRUE(parses(setupWith("DefaultDir", "DefaultDir = {pf}")));
  EXPECT_TRUE(parses(setupWith("DefaultDir", "DefaultDir = {PF32}\\Zelvan")));
  for (const char* bad : {"C:\\Zelvan", "{pf}Zelvan", "{app}\\Zelvan", "\\{pf}"}) {
    EXPECT_TRUE(fails(setupWith("DefaultDir", "DefaultDir = " + std::string(bad)), 1, kScriptPathRoot,
                      L"DefaultDir must be under {pf} or {pf32}"));
  }
  EXPECT_TRUE(fails(withSetup("ThemeFile = {app}\\settings.ini\n"), 1, kScriptPathRoot,
                    L"ThemeFile must be under {docs} or {appdata}"));

  // Several faults at once: the earlier check is the one reported.
  std::string many = setupWith("AppId", "AppId = nope");
  many = many.replace(many.find("MinDotNet = 528040"), 18, "MinDotNet = x");
  EXPECT_TRUE(fails(many, 1, kScriptAppIdNotGuid, L"AppId is not a GUID"));
  EXPECT_TRUE(fails(setupWith("MinDotNet", "MinDotNet = x") + "ThemeFile = C:\\x\n", 1, kScriptBadValue,
                    L"bad value 'x' for MinDotNet"));
  // [Setup] checks come before the task references.
  EXPECT_TRUE(fails(setupWith("DefaultDir", "DefaultDir = C:\\Z") +
                        "[Shortcuts]\nPath: {programs}\\Z.lnk; Target: x; Tasks: nope\n",
                    1, kScriptPathRoot, L"DefaultDir must be under {pf} or {pf32}"));
}

TEST(ScriptSetup, TaskReferencesAreCheckedAtTheEnd) {
  EXPECT_TRUE(fails(withSetup("[Registry]\nRoot: HKCR; Key: .zlvd; Type: string; Data: x; Tasks: fileassoc\n"), 11,
                    kScriptUnknownTask, L"unknown task 'fileassoc'"));
  // Declared after use, in any case.
  EXPECT_TRUE(parses(withSetup("[Registry]\nRoot: HKCR; Key: .zlvd; Type: string; Data: x; Tasks: FileAssoc\n"
                               "[Tasks]\nName: fileassoc; Label: x\n")));
  // The first unknown reference in script order is reported, with its own line.
  EXPECT_TRUE(fails(withSetup("[Tasks]\nName: a; Label: x\n"
                              "[Shortcuts]\nPath: {programs}\\Z.lnk; Target: x; Tasks: a A\n"
                              "Path: {desktop}\\Z.lnk; Target: x; Tasks: a, c, d\n"),
                    14, kScriptUnknownTask, L"unknown task 'c'"));
}

// ---- [Tasks] ----

TEST(ScriptTasks, KeysAndValues) {
  Parsed p = parseText(withSetup("[Tasks]\nName: startfaster; Label: Start faster; Detail: d; Default: OFF; Visible: no\n"
                                 "Name: plain; Label: Plain\n"));
  ASSERT_TRUE(p.ok) << describe(p);
  const TaskEntry& t = p.script.tasks.at(0);
  EXPECT_EQ(t.line, 11);
  EXPECT_EQ(t.detail, L"d");
  EXPECT_FALSE(t.defaultOn);
  EXPECT_FALSE(t.visible);
  EXPECT_TRUE(p.script.tasks.at(1).defaultOn);
  EXPECT_TRUE(p.script.tasks.at(1).visible);
  EXPECT_EQ(findTask(p.script, L"STARTFASTER"), &p.script.tasks.at(0));
  EXPECT_EQ(findTask(p.script, L"start"), nullptr);

  EXPECT_TRUE(fails(withSetup("[Tasks]\nName: a\n"), 11, kScriptMissingKey, L"missing required key 'Label'"));
  EXPECT_TRUE(fails(withSetup("[Tasks]\nLabel: a\n"), 11, kScriptMissingKey, L"missing required key 'Name'"));
  // A foreign key is reported (as written) before a missing one.
  EXPECT_TRUE(fails(withSetup("[Tasks]\nName: a; lable: b\n"), 11, kScriptUnknownKey, L"unknown key 'lable' in [Tasks]"));
  EXPECT_TRUE(fails(withSetup("[Tasks]\nName: a; Label: b; Default: yes\n"), 11, kScriptBadValue,
                    L"bad value 'yes' for Default"));
  EXPECT_TRUE(fails(withSetup("[Tasks]\nName: a; Label: b; Default: on; Visible: on\n"), 11, kScriptBadValue,
                    L"bad value 'on' for Visible"));
  EXPECT_TRUE(fails(withSetup("[Tasks]\nName: a; Label: b; Default:\n"), 11, kScriptBadValue,
                    L"bad value '' for Default"));
}

// ---- [Dirs] ----

TEST(ScriptDirs, RootThenRest) {
  Parsed p = parseText(withSetup("[Dirs]\nName: {DOCS}\\Zelvan\\2.5\n"));
  ASSERT_TRUE(p.ok) << describe(p);
  EXPECT_EQ(p.script.dirs.at(0).name, L"{docs}\\Zelvan\\2.5");
  EXPECT_TRUE(fails(withSetup("[Dirs]\nName: {app}\\x\n"), 11, kScriptPathRoot, L"Name must be under {docs} or {appdata}"));
  EXPECT_TRUE(fails(withSetup("[Dirs]\nName: {docs}\n"), 11, kScriptBadValue, L"bad value '{docs}' for Name"));
  EXPECT_TRUE(fails(withSetup("[Dirs]\nName: {appdata}\\a\\..\\b\n"), 11, kScriptBadValue,
                    L"bad value '{appdata}\\a\\..\\b' for Name"));
  EXPECT_TRUE(fails(withSetup("[Dirs]\nName: {appdata}\\a\\\n"), 11, kScriptBadValue, L"bad value '{appdata}\\a\\' for Name"));
  EXPECT_TRUE(fails(withSetup("[Dirs]\nPath: {docs}\\x\n"), 11, kScriptUnknownKey, L"unknown key 'Path' in [Dirs]"));
}

// ---- [Files] ----

TEST(ScriptFiles, DestRootsAndRest) {
  Parsed p = parseText(withSetup(fileLine("{app}\\sub\\Zelvan.exe")));
  ASSERT_TRUE(p.ok) << describe(p);
  const FileEntry& f = p.script.files.at(0);
  EXPECT_EQ(f.dest, L"{app}\\sub\\Zelvan.exe");
  EXPECT_FALSE(f.seed);
  EXPECT_EQ(f.size, 10u);
  EXPECT_EQ(f.sha, utf8ToWide(kSha));

  EXPECT_TRUE(fails(withSetup(fileLine("{app}")), 11, kScriptBadValue, L"bad value '{app}' for Dest"));
  // Values are quoted as they reached the reader: variables already in lower case.
  EXPECT_TRUE(fails(withSetup(fileLine("{APP}\\a\\")), 11, kScriptBadValue, L"bad value '{app}\\a\\' for Dest"));
  EXPECT_TRUE(fails(withSetup(fileLine("{app}\\..\\x")), 11, kScriptBadValue, L"bad value '{app}\\..\\x' for Dest"));
  EXPECT_TRUE(fails(withSetup(fileLine("{app}\\*.dll")), 11, kScriptBadValue, L"bad value '{app}\\*.dll' for Dest"));
  EXPECT_TRUE(fails(withSetup(fileLine("{docs}\\x")), 11, kScriptPathRoot, L"Dest must be under {app}"));
  EXPECT_TRUE(fails(withSetup(fileLine("{app}\\x", "seed")), 11, kScriptSeedDest,
                    L"seed Dest must be under {docs} or {appdata}"));

  Parsed seed = parseText(withSetup(fileLine("{docs}\\Zelvan\\2.5\\ZelvanConfig.zlcx", "seed, SEED")));
  ASSERT_TRUE(seed.ok) << describe(seed);
  EXPECT_TRUE(seed.script.files.at(0).seed);
  EXPECT_TRUE(fails(withSetup(fileLine("{docs}", "seed")), 11, kScriptBadValue, L"bad value '{docs}' for Dest"));
}

TEST(ScriptFiles, FlagsAndRefusedKeys) {
  EXPECT_TRUE(fails(withSetup(fileLine("{app}\\x", "recurse")), 11, kScriptUnknownFlag, L"unknown flag 'recurse'"));
  EXPECT_TRUE(fails(withSetup(fileLine("{app}\\x", "seed ignoreversion")), 11, kScriptUnknownFlag,
                    L"unknown flag 'ignoreversion'"));
  // Flags are checked before the root rule.
  EXPECT_TRUE(fails(withSetup(fileLine("C:\\x", "bogus")), 11, kScriptUnknownFlag, L"unknown flag 'bogus'"));
  EXPECT_TRUE(fails(withSetup("[Files]\nSource: x; Dest: {app}\\x; Off: 0; Size: 1; Sha: " + std::string(kSha) + "\n"),
                    11, kScriptUnknownKey, L"unknown key 'Source' in [Files]"));
  EXPECT_TRUE(fails(withSetup("[Files]\nDest: {app}\\x; Excludes: *.pdb; Off: 0; Size: 1; Sha: " + std::string(kSha) + "\n"),
                    11, kScriptUnknownKey, L"unknown key 'Excludes' in [Files]"));
}

TEST(ScriptFiles, CheckOrder) {
  std::string sha(kSha);
  // Off, Size and Sha are required before Dest, and their values are checked before Dest's presence.
  EXPECT_TRUE(fails(withSetup("[Files]\nOff: 0; Size: 1\n"), 11, kScriptMissingKey, L"missing required key 'Sha'"));
  EXPECT_TRUE(fails(withSetup("[Files]\nOff: x; Size: 1; Sha: " + sha + "\n"), 11, kScriptBadValue, L"bad value 'x' for Off"));
  EXPECT_TRUE(fails(withSetup("[Files]\nOff: 0; Size: 1; Sha: " + sha + "\n"), 11, kScriptMissingKey,
                    L"missing required key 'Dest'"));
  EXPECT_TRUE(fails(withSetup("[Files]\nDest: {app}\\x; Off: 0; Size: -1; Sha: x\n"), 11, kScriptBadValue,
                    L"bad value '-1' for Size"));
  EXPECT_TRUE(fails(withSetup("[Files]\nDest: {app}\\x; Off: 0; Size: 1; Sha: " + sha.substr(1) + "\n"), 11,
                    kScriptBadValue, L"bad value '" + utf8ToWide(sha.substr(1)) + L"' for Sha"));
  std::string upper = "A29898FC538BB51F00062D73AC38AC364DB5087A9752E988CC1D4648D799A80B";
  EXPECT_TRUE(parses(withSetup("[Files]\nDest: {app}\\x; Off: 0; Size: 1; Sha: " + upper + "\n")));
  EXPECT_TRUE(fails(withSetup("[Files]\nDest: {app}\\x; Off: 0; Size: 1; Sha: " + upper.substr(1) + "g\n"), 11,
                    kScriptBadValue, L"bad value '" + utf8ToWide(upper.substr(1)) + L"g' for Sha"));
}

// ---- [Registry] ----

TEST(ScriptRegistry, AllowList) {
  const std::wstring refused = L"'. It may write only .zlvd, .flow, Zelvan and Zelvan.* keys, Software\\Brightmoor, "
                               L"and the Run value named Zelvan";
  EXPECT_TRUE(fails(withSetup(registryLine("Root: HKCU; Key: Software\\Brightmoor; Type: string; Data: x")), 11,
                    kScriptRegistryRefused, L"[Registry] can't write 'Software\\Brightmoor" + refused));
  EXPECT_TRUE(fails(withSetup(registryLine("Root: HKLM; Key: Software\\Brightmoor2; Type: string; Data: x")), 11,
                    kScriptRegistryRefused, L"[Registry] can't write 'Software\\Brightmoor2" + refused));
  EXPECT_TRUE(fails(withSetup(registryLine("Root: HKLM; Key: Software\\Microsoft\\Windows\\CurrentVersion\\Run; "
                                           "Name: Other; Type: string; Data: x")),
                    11, kScriptRegistryRefused,
                    L"[Registry] can't write 'Software\\Microsoft\\Windows\\CurrentVersion\\Run" + refused));
  EXPECT_TRUE(parses(withSetup(registryLine("Root: hklm; Key: software\\brightmoor\\Zelvan; Type: string; Data: x"))));
  EXPECT_TRUE(parses(withSetup(registryLine("Root: HKLM; Key: Software\\Microsoft\\Windows\\CurrentVersion\\Run; "
                                            "Name: ZELVAN; Type: string; Data: x; Uninstall: value"))));

  EXPECT_TRUE(isRegistryWriteAllowed(L"HKCR", L".zlvd", L""));
  EXPECT_TRUE(isRegistryWriteAllowed(L"hkcr", L".FLOW", L"x"));
  EXPECT_TRUE(isRegistryWriteAllowed(L"HKCR", L"Zelvan", L""));
  EXPECT_TRUE(isRegistryWriteAllowed(L"HKCR", L"zelvan.Document\\shell\\open\\command", L""));
  EXPECT_TRUE(isRegistryWriteAllowed(L"HKCR", L"Zelvan\\CLSID", L""));
  EXPECT_FALSE(isRegistryWriteAllowed(L"HKCR", L".zlvd\\shell", L""));
  EXPECT_FALSE(isRegistryWriteAllowed(L"HKCR", L".zlvdx", L""));
  EXPECT_FALSE(isRegistryWriteAllowed(L"HKCR", L"Zelvanx", L""));
  EXPECT_FALSE(isRegistryWriteAllowed(L"HKCR", L"exefile\\Zelvan", L""));
  EXPECT_FALSE(isRegistryWriteAllowed(L"HKCR", L"Software\\Brightmoor", L""));
  EXPECT_TRUE(isRegistryWriteAllowed(L"HKLM", L"Software\\Brightmoor", L""));
  EXPECT_FALSE(isRegistryWriteAllowed(L"HKLM", L"Software\\Brightmoor\\", L""));
  EXPECT_FALSE(isRegistryWriteAllowed(L"HKLM", L"Software\\Brightmoor\\..\\Microsoft", L""));
  EXPECT_FALSE(isRegistryWriteAllowed(L"HKLM", L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L""));
  EXPECT_FALSE(isRegistryWriteAllowed(L"HKLM", L"Software\\Microsoft\\Windows\\CurrentVersion\\Run\\Zelvan", L"Zelvan"));
  EXPECT_FALSE(isRegistryWriteAllowed(L"HKLM", L".zlvd", L""));
  EXPECT_FALSE(isRegistryWriteAllowed(L"HKCU", L"Zelvan", L""));
  EXPECT_FALSE(isRegistryWriteAllowed(L"HKU", L"Zelvan", L""));
}

TEST(ScriptRegistry, ValuesAndCheckOrder) {
  auto dword = [](std::string_view data) {
    return withSetup(registryLine("Root: HKLM; Key: Software\\Brightmoor\\Zelvan; Name: n; Type: DWord; Data: " +
                                  std::string(data)));
  };
  Parsed p = parseText(dword("4294967295"));
  ASSERT_TRUE(p.ok) << describe(p);
  const RegistryEntry& r = p.script.registry.at(0);
  EXPECT_EQ(r.root, L"HKLM");
  EXPECT_EQ(r.type, L"DWord");  // as written
  EXPECT_EQ(r.data, L"4294967295");
  EXPECT_EQ(r.uninstall, L"none");
  EXPECT_TRUE(r.enabled);
  EXPECT_TRUE(r.tasks.empty());
  for (const char* bad : {"0x10", "-1", "4294967296", ""}) {
    EXPECT_TRUE(fails(dword(bad), 11, kScriptBadValue, L"bad value '" + utf8ToWide(bad) + L"' for Data")) << bad;
  }
  // A string may hold anything, path variables included.
  Parsed s = parseText(withSetup(registryLine("Root: HKCR; Key: .flow; Type: string; Data: {app}\\x; Uninstall: Key")));
  ASSERT_TRUE(s.ok) << describe(s);
  EXPECT_EQ(s.script.registry.at(0).uninstall, L"key");

  EXPECT_TRUE(fails(withSetup(registryLine("Root: HKCC; Key: Zelvan; Type: string; Data: x")), 11, kScriptBadValue,
                    L"bad value 'HKCC' for Root"));
  for (const char* key : {"\\Zelvan", "Zelvan\\", "Zelvan\\..\\x", "Zelvan\\a..b"}) {
    EXPECT_TRUE(fails(withSetup(registryLine("Root: HKCR; Key: " + std::string(key) + "; Type: string; Data: x")), 11,
                      kScriptBadValue, L"bad value '" + utf8ToWide(key) + L"' for Key"));
  }
  EXPECT_TRUE(fails(withSetup(registryLine("Root: HKCR; Key: ; Type: string; Data: x")), 11, kScriptBadValue,
                    L"bad value '' for Key"));
  // Shape before the allow-list, the allow-list before Type.
  EXPECT_TRUE(fails(withSetup(registryLine("Root: HKCU; Key: x\\; Type: bogus; Data: x")), 11, kScriptBadValue,
                    L"bad value 'x\\' for Key"));
  EXPECT_EQ(parseText(withSetup(registryLine("Root: HKCU; Key: x; Type: bogus; Data: x"))).error.code,
            kScriptRegistryRefused);
  EXPECT_TRUE(fails(withSetup(registryLine("Root: HKCR; Key: Zelvan; Type: binary; Data: x")), 11, kScriptBadValue,
                    L"bad value 'binary' for Type"));
  EXPECT_TRUE(fails(withSetup(registryLine("Root: HKCR; Key: Zelvan; Type: string; Data: x; Uninstall: all")), 11,
                    kScriptBadValue, L"bad value 'all' for Uninstall"));
  EXPECT_TRUE(fails(withSetup(registryLine("Root: HKCR; Key: Zelvan; Type: string; Data: x; Enabled: 1")), 11,
                    kScriptBadValue, L"bad value '1' for Enabled"));
  EXPECT_TRUE(fails(withSetup(registryLine("Root: HKCR; Key: Zelvan; Type: string")), 11, kScriptMissingKey,
                    L"missing required key 'Data'"));
  EXPECT_TRUE(fails(withSetup(registryLine("Key: Zelvan; Type: string; Data: x; Value: y")), 11, kScriptUnknownKey,
                    L"unknown key 'Value' in [Registry]"));
}

TEST(ScriptRegistry, TheRunKeyIsNeverRemovedWhole) {
  // The Run key holds every program's start-up entry; only the Zelvan value may go at uninstall.
  EXPECT_TRUE(fails(withSetup(registryLine("Root: HKLM; Key: Software\\Microsoft\\Windows\\CurrentVersion\\Run; "
                                           "Name: Zelvan; Type: string; Data: x; Uninstall: key")),
                    11, kScriptBadValue, L"bad value 'key' for Uninstall"));
}

// ---- [Shortcuts] ----

TEST(ScriptShortcuts, PathTargetAndAppId) {
  Parsed p = parseText(withSetup(
      "[Shortcuts]\nPath: {programs}\\Zelvan.lnk; Target: {app}\\ZelvanLauncher.exe; WorkDir: {app}; "
      "Icon: {app}\\Zelvan.exe; Comment: c; Args: --x; AppId: Brightmoor.Zelvan; Enabled: no\n"));
  ASSERT_TRUE(p.ok) << describe(p);
  const ShortcutEntry& s = p.script.shortcuts.at(0);
  EXPECT_EQ(s.target, L"{app}\\ZelvanLauncher.exe");
  EXPECT_EQ(s.workDir, L"{app}");
  EXPECT_EQ(s.icon, L"{app}\\Zelvan.exe");
  EXPECT_EQ(s.args, L"--x");
  EXPECT_EQ(s.comment, L"c");
  EXPECT_EQ(s.appUserModelId, L"Brightmoor.Zelvan");
  EXPECT_FALSE(s.enabled);

  const std::wstring rootText = L"Path must be under {programs} or {desktop} and end in .lnk";
  auto path = [](std::string_view value) {
    return withSetup("[Shortcuts]\nPath: " + std::string(value) + "; Target: x\n");
  };
  EXPECT_TRUE(parses(path("{desktop}\\Sub\\Zelvan.LNK")));
  EXPECT_TRUE(fails(path("{app}\\Zelvan.lnk"), 11, kScriptPathRoot, rootText));
  EXPECT_TRUE(fails(path("{programs}\\Zelvan.exe"), 11, kScriptPathRoot, rootText));
  EXPECT_TRUE(fails(path("{programs}.lnk"), 11, kScriptPathRoot, rootText));
  EXPECT_TRUE(fails(path("{programs}\\a\\..\\b.lnk"), 11, kScriptBadValue, L"bad value '{programs}\\a\\..\\b.lnk' for Path"));
  EXPECT_TRUE(fails(path("{programs}\\con.lnk"), 11, kScriptBadValue, L"bad value '{programs}\\con.lnk' for Path"));
  EXPECT_TRUE(fails(withSetup("[Shortcuts]\nPath: {programs}\\Z.lnk\n"), 11, kScriptMissingKey,
                    L"missing required key 'Target'"));

  auto appId = [](std::string_view id) {
    return withSetup("[Shortcuts]\nPath: {programs}\\Z.lnk; Target: x; AppId: " + std::string(id) + "\n");
  };
  EXPECT_TRUE(parses(appId(std::string(128, 'a'))));
  EXPECT_TRUE(parses(appId("a_b-c.9")));
  for (std::string bad : {std::string(129, 'a'), std::string("Bright moor"), std::string("a/b"), std::string("")}) {
    EXPECT_TRUE(fails(appId(bad), 11, kScriptBadValue, L"bad value '" + utf8ToWide(bad) + L"' for AppId")) << bad;
  }
}

// ---- [NativeImages] ----

TEST(ScriptNativeImages, InstallAndQueueLines) {
  Parsed p = parseText(withSetup("[NativeImages]\nInstall: {app}\\Zelvan.exe; Verify: yes; Queue: later\n"
                                 "Queue: RUN; Timeout: 10; Verify: maybe\nInstall: {app}\\Zelvan.Core.dll\n"));
  ASSERT_TRUE(p.ok) << describe(p);
  const auto& n = p.script.nativeImages;
  ASSERT_EQ(n.size(), 3u);
  EXPECT_EQ(n[0].install, L"{app}\\Zelvan.exe");
  EXPECT_TRUE(n[0].verify);
  EXPECT_FALSE(n[0].queueRun);  // Queue is ignored on an install line
  EXPECT_EQ(n[0].timeout, 300u);
  EXPECT_TRUE(n[1].install.empty());
  EXPECT_TRUE(n[1].queueRun);
  EXPECT_FALSE(n[1].verify);
  EXPECT_EQ(n[1].timeout, 10u);
  EXPECT_FALSE(n[2].verify);

  EXPECT_TRUE(fails(withSetup("[NativeImages]\nTimeout: 10\n"), 11, kScriptMissingKey, L"missing required key 'Install'"));
  EXPECT_TRUE(fails(withSetup("[NativeImages]\nQueue: later\n"), 11, kScriptBadValue, L"bad value 'later' for Queue"));
  EXPECT_TRUE(fails(withSetup("[NativeImages]\nInstall: {pf}\\x.dll\n"), 11, kScriptPathRoot, L"Install must be under {app}"));
  EXPECT_TRUE(fails(withSetup("[NativeImages]\nInstall: {app}\n"), 11, kScriptBadValue, L"bad value '{app}' for Install"));
  EXPECT_TRUE(fails(withSetup("[NativeImages]\nInstall: {app}\\x.dll; Verify: 1\n"), 11, kScriptBadValue,
                    L"bad value '1' for Verify"));
  EXPECT_TRUE(fails(withSetup("[NativeImages]\nQueue: run; Timeout: 86401\n"), 11, kScriptBadValue,
                    L"bad value '86401' for Timeout"));
  EXPECT_TRUE(fails(withSetup("[NativeImages]\nInstall: {app}\\x.dll; Priority: 1\n"), 11, kScriptUnknownKey,
                    L"unknown key 'Priority' in [NativeImages]"));
}

// ---- [Run] ----

TEST(ScriptRun, WhenFileAndTimeout) {
  Parsed p = parseText(withSetup("[Run]\nWhen: WarmUp; File: {app}\\Zelvan.exe; Args: --warmup; Env: A=1; Timeout: 60\n"
                                 "When: FINISH; File: {app}\\ZelvanLauncher.exe; Label: Start Zelvan now\n"));
  ASSERT_TRUE(p.ok) << describe(p);
  const auto& r = p.script.runs;
  EXPECT_EQ(r.at(0).when, L"warmup");
  EXPECT_EQ(r.at(0).env, L"A=1");
  EXPECT_EQ(r.at(0).timeout, 60u);
  EXPECT_EQ(r.at(1).when, L"finish");
  EXPECT_EQ(r.at(1).timeout, 0u);
  EXPECT_EQ(r.at(1).label, L"Start Zelvan now");

  EXPECT_TRUE(fails(withSetup("[Run]\nWhen: Later; File: {app}\\x.exe\n"), 11, kScriptBadValue, L"bad value 'later' for When"));
  EXPECT_TRUE(fails(withSetup("[Run]\nWhen: warmup; File: {win}\\notepad.exe\n"), 11, kScriptPathRoot,
                    L"File must be under {app}"));
  EXPECT_TRUE(fails(withSetup("[Run]\nWhen: warmup; File: {app}\n"), 11, kScriptBadValue, L"bad value '{app}' for File"));
  EXPECT_TRUE(fails(withSetup("[Run]\nFile: {app}\\x.exe\n"), 11, kScriptMissingKey, L"missing required key 'When'"));
  EXPECT_TRUE(fails(withSetup("[Run]\nWhen: bad; File: C:\\x\n"), 11, kScriptBadValue, L"bad value 'bad' for When"));
}

// ---- [Legacy] ----

TEST(ScriptLegacy, OnePairPerLineAndPathRules) {
  Parsed p = parseText(withSetup("[Legacy]\nUninstallKey: {{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}}_is1\n"
                                 "NgenRoot: Zelvan.exe\nFile: JetBrainsMono-*.ttf\nFile: sub\\x?.dll\nDir: Plugins\\Old\n"
                                 "RemoveIfEmpty: {PF32}\\Zelvan\n"));
  ASSERT_TRUE(p.ok) << describe(p);
  const LegacyInfo& l = p.script.legacy;
  EXPECT_EQ(l.uninstallKeys, (std::vector<std::wstring>{L"{{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}}_is1"}));
  EXPECT_EQ(l.ngenRoots, (std::vector<std::wstring>{L"Zelvan.exe"}));
  EXPECT_EQ(l.files, (std::vector<std::wstring>{L"JetBrainsMono-*.ttf", L"sub\\x?.dll"}));
  EXPECT_EQ(l.dirs, (std::vector<std::wstring>{L"Plugins\\Old"}));
  EXPECT_EQ(l.removeIfEmpty, (std::vector<std::wstring>{L"{pf32}\\Zelvan"}));

  EXPECT_TRUE(fails(withSetup("[Legacy]\nFile: a; Dir: b\n"), 11, kScriptExpectedKeyValue, L"expected Key: value"));
  EXPECT_TRUE(fails(withSetup("[Legacy]\nFile: a; File: b\n"), 11, kScriptExpectedKeyValue, L"expected Key: value"));
  EXPECT_TRUE(fails(withSetup("[Legacy]\nPath: a\n"), 11, kScriptUnknownKey, L"unknown key 'Path' in [Legacy]"));
  for (const char* bad : {"*.dll", "sub\\*.dll", "?x.dll", "*\\a", "a*\\b", "..\\x", "a:b", ""}) {
    EXPECT_TRUE(fails(withSetup("[Legacy]\nFile: " + std::string(bad) + "\n"), 11, kScriptBadValue,
                      L"bad value '" + utf8ToWide(bad) + L"' for File")) << bad;
  }
  EXPECT_TRUE(fails(withSetup("[Legacy]\nDir: a*\n"), 11, kScriptBadValue, L"bad value 'a*' for Dir"));
  EXPECT_TRUE(fails(withSetup("[Legacy]\nNgenRoot: \\x\n"), 11, kScriptBadValue, L"bad value '\\x' for NgenRoot"));
  for (const char* bad : {"a\\b", "a/b", ""}) {
    EXPECT_TRUE(fails(withSetup("[Legacy]\nUninstallKey: " + std::string(bad) + "\n"), 11, kScriptBadValue,
                      L"bad value '" + utf8ToWide(bad) + L"' for UninstallKey")) << bad;
  }
  for (const char* bad : {"{pf32}", "{app}\\Zelvan", "{pf}\\a\\..\\b", "C:\\Zelvan"}) {
    EXPECT_TRUE(fails(withSetup("[Legacy]\nRemoveIfEmpty: " + std::string(bad) + "\n"), 11, kScriptPathRoot,
                      L"RemoveIfEmpty must be under {pf} or {pf32}")) << bad;
  }
}

// ---- Paths, whichever section names them ----

TEST(ScriptPaths, NoPathValuedKeyHoldsAControlCharacter) {
  struct Case {
    std::string text;  // with X where the control character goes
    int32_t line;
    std::string key;
    std::string value;  // as the message quotes it, X again standing for the character
  };
  const std::string setupLine = "DefaultDir = {pf}\\Zelvan";
  const Case cases[] = {
      {setupWith(setupLine, "DefaultDir = {pf}\\ZeXlvan"), 1, "DefaultDir", "{pf}\\ZeXlvan"},
      {withSetup("ThemeFile = {appdata}\\Zelvan\\sXettings.ini\n"), 1, "ThemeFile", "{appdata}\\Zelvan\\sXettings.ini"},
      {withSetup("[Shortcuts]\nPath: {programs}\\Z.lnk; Target: {app}\\ZX.exe\n"), 11, "Target", "{app}\\ZX.exe"},
      {withSetup("[Shortcuts]\nPath: {programs}\\Z.lnk; Target: x; WorkDir: {app}\\XBin\n"), 11, "WorkDir", "{app}\\XBin"},
      {withSetup("[Shortcuts]\nPath: {programs}\\Z.lnk; Target: x; Icon: {app}\\X.ico\n"), 11, "Icon", "{app}\\X.ico"},
      {withSetup("[Shortcuts]\nPath: {programs}\\ZX.lnk; Target: x\n"), 11, "Path", "{programs}\\ZX.lnk"},
      {withSetup(fileLine("{app}\\aX.dll")), 11, "Dest", "{app}\\aX.dll"},
      {withSetup("[Dirs]\nName: {docs}\\ZeXlvan\n"), 11, "Name", "{docs}\\ZeXlvan"},
      {withSetup("[NativeImages]\nInstall: {app}\\ZX.exe\n"), 11, "Install", "{app}\\ZX.exe"},
      {withSetup("[Run]\nWhen: warmup; File: {app}\\ZX.exe\n"), 11, "File", "{app}\\ZX.exe"},
      {withSetup("[Legacy]\nDir: PlugXins\n"), 11, "Dir", "PlugXins"},
      {withSetup("[Legacy]\nNgenRoot: ZX.exe\n"), 11, "NgenRoot", "ZX.exe"},
  };
  for (const char* control : {"\x01", "\t", "\x1f", "\x7f"}) {
    for (Case c : cases) {
      c.text.replace(c.text.find('X'), 1, control);
      c.value.replace(c.value.find('X'), 1, control);
      EXPECT_TRUE(fails(c.text, c.line, kScriptBadValue,
                        L"bad value '" + utf8ToWide(c.value) + L"' for " + utf8ToWide(c.key)))
          << c.key << " " << static_cast<int>(control[0]);
    }
  }
}

}  // namespace
}  // namespace zs::test
