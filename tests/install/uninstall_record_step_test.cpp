// The uninstall record and the Apps & Features entry at engine level: real install runs in the
// prefix's {setupdata}, with the stub's own entry and registry keys named after this process.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>

#include "install/apps_entry.h"
#include "install/transaction.h"
#include "journal/record_kinds.h"
#include "journal/setup_data.h"
#include "platform/sha256.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"
#include "support/test_payload.h"
#include "journal/engine_sink.h"
#include "uninstall/existing_install.h"
#include "install/uninstall_record_step.h"
#include "uninstall/uninstall_record.h"
#include "uninstall/uninstaller_role.h"

namespace zs {
namespace {

using test::LogCapture;
using test::TempFolder;
using test::TestFile;
using test::TestPayload;
using test::readBytes;

std::string utf8(const std::wstring& s) { return wideToUtf8(s); }

using test::contains;

std::wstring standInZelvan() {
  std::string unix = ZS_STANDIN_ZELVAN;
  std::wstring path = L"Z:";
  for (char c : unix) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
  return path;
}

std::string shaOf(const std::string& bytes) {
  uint8_t digest[kSha256Size];
  EXPECT_TRUE(sha256(bytes.data(), bytes.size(), digest));
  return utf8(toHex(std::string_view(reinterpret_cast<const char*>(digest), kSha256Size)));
}

// Every value of a key as name -> type and bytes, for comparing whole keys.
std::map<std::wstring, std::pair<DWORD, std::string>> allValues(RegRoot root, const std::wstring& key) {
  std::vector<RegValue> values;
  listValues(root, RegView::View64, key, values);
  std::map<std::wstring, std::pair<DWORD, std::string>> out;
  for (const RegValue& v : values) out[v.name] = {v.type, v.data};
  return out;
}

// Asks for a cancel as soon as the native-image step starts: after the entry has been written.
class CancelAtStep2 : public EngineSink {
 public:
  InstallTransaction* transaction = nullptr;
  void onStep(InstallStep step, StepStatus status, int32_t) override {
    if (step == InstallStep::NativeImages && status == StepStatus::Running && transaction != nullptr)
      transaction->requestCancel();
  }
};

class RecordAndEntryTest : public ::testing::Test {
 protected:
  TempFolder root;
  std::wstring folder = normalizePath(root.path()) + L"\\Zelvan";
  std::wstring cls = format(64, L"Zelvan.RecInst%lu", GetCurrentProcessId());
  std::wstring soft = format(64, L"Software\\Brightmoor\\RecInst-%lu", GetCurrentProcessId());
  std::wstring entryName = L"{" + std::wstring(kStubAppId) + L"}";
  std::wstring entryKey = uninstallKeyOf(entryName);
  std::string zelvan = readBytes(standInZelvan());

  void SetUp() override {
    ASSERT_FALSE(zelvan.empty()) << "the stand-in Zelvan.exe is built with the tests";
    clean();
  }
  void TearDown() override { clean(); }
  void clean() {
    deleteKeyTree(RegRoot::Hklm, RegView::View64, entryKey);
    deleteKeyTree(RegRoot::Hklm, RegView::View32, entryKey);
    deleteKeyTree(RegRoot::Hkcr, RegView::View64, cls);
    deleteKeyTree(RegRoot::Hklm, RegView::View64, soft);
    deleteKeyIfEmpty(RegRoot::Hklm, RegView::View64, L"Software\\Brightmoor");
  }

  std::vector<TestFile> files(const std::string& core = std::string(6000, 'c')) {
    return {{L"{app}\\Zelvan.exe", zelvan},
            {L"{app}\\ZelvanUninstall.exe", "the uninstaller"},
            {L"{app}\\Zelvan.Core.dll", core},
            {L"{app}\\de\\Zelvan.UI.resources.dll", "german"},
            {L"{app}\\Fonts\\Sub\\deep.ttf", "deep font"}};
  }

  // The script's [Tasks] and [Registry] with "<cls>" and "<soft>" standing for the test's keys.
  std::string sections(std::string registry) {
    for (auto [from, to] : {std::pair{std::string("<cls>"), utf8(cls)}, std::pair{std::string("<soft>"), utf8(soft)}})
      for (size_t at; (at = registry.find(from)) != std::string::npos;) registry.replace(at, from.size(), to);
    return "[Tasks]\nName: assoc; Label: Associate\nName: extra; Label: Extra\n[Registry]\n" + registry;
  }

  const std::string kLines =
      "Root: HKCR; Key: <cls>; Type: string; Data: Zelvan test document; Uninstall: key; Tasks: assoc\n"
      "Root: HKCR; Key: <cls>\\shell\\open\\command; Type: string; Data: \"\"\"{app}\\Zelvan.exe\"\" \"\"%1\"\"\"; "
      "Tasks: assoc\n"
      "Root: HKLM; Key: <soft>\\Zelvan; Name: InstallDir; Type: string; Data: {app}; Uninstall: key\n"
      "Root: HKLM; Key: <soft>; Name: Extra; Type: dword; Data: 7; Uninstall: value; Tasks: extra\n";

  RunOutcome install(TestPayload& payload, const std::vector<std::wstring>& tasks, bool detect,
                     EngineSink* sink = nullptr, CancelAtStep2* canceller = nullptr) {
    EXPECT_TRUE(payload.accepted());
    InstallRequest request;
    request.payload = &payload.payload();
    if (detect) request.existing = detectExistingInstall(payload.payload().script, knownFolders());
    request.folder = folder;
    request.tasks = tasks;
    request.noRun = true;
    request.sink = sink;
    InstallTransaction transaction(std::move(request), knownFolders());
    if (canceller != nullptr) canceller->transaction = &transaction;
    return transaction.run();
  }

  std::wstring entryString(const std::wstring& name) {
    std::wstring text;
    EXPECT_TRUE(readString(RegView::View64, entryKey, name, text)) << utf8(name);
    return text;
  }

  UninstallRecord readRecord() {
    UninstallRecord record;
    std::wstring reason;
    EXPECT_TRUE(readUninstallRecord(entryName, RegView::View64, folder, knownFolders(), record, reason)) << utf8(reason);
    return record;
  }
};

TEST_F(RecordAndEntryTest, AFreshInstallWritesARecordThatItsEntryVouchesFor) {
  TestPayload payload(files(), sections(kLines), "2.5.0.1412");
  LogCapture log;
  RunOutcome outcome = install(payload, {L"assoc", L"extra"}, false);
  ASSERT_EQ(outcome.result, ExitCode::Installed) << utf8(outcome.detail);
  EXPECT_TRUE(contains(log.lines(), "Registry lines written: 4."));

  std::string record = readBytes(folder + L"\\ZelvanUninstall.zsu");
  ASSERT_FALSE(record.empty());
  EXPECT_EQ(utf8(entryString(L"ZelvanSetup: ListSha")), shaOf(record));
  EXPECT_FALSE(test::fileExists(folder + L"\\ZelvanUninstall.zsu.tmp"));

  EXPECT_EQ(entryString(L"DisplayName"), L"Zelvan");
  EXPECT_EQ(entryString(L"DisplayVersion"), L"2.5");
  EXPECT_EQ(entryString(L"Publisher"), L"Brightmoor");
  EXPECT_EQ(entryString(L"DisplayIcon"), folder + L"\\Zelvan.exe");
  EXPECT_EQ(entryString(L"InstallLocation"), folder);
  EXPECT_EQ(entryString(L"UninstallString"), L"\"" + folder + L"\\ZelvanUninstall.exe\"");
  EXPECT_EQ(entryString(L"QuietUninstallString"), L"\"" + folder + L"\\ZelvanUninstall.exe\" /silent");
  EXPECT_EQ(entryString(L"ZelvanSetup: Tasks"), L"assoc,extra");
  EXPECT_EQ(entryString(L"ZelvanSetup: FileVersion"), L"2.5.0.1412");
  std::wstring date = entryString(L"InstallDate");
  EXPECT_EQ(date.size(), 8u);
  EXPECT_TRUE(std::all_of(date.begin(), date.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; }));
  DWORD number = 0;
  EXPECT_TRUE(readDword(entryKey, L"NoModify", number) && number == 1);
  EXPECT_TRUE(readDword(entryKey, L"NoRepair", number) && number == 1);
  uint64_t total = zelvan.size() + 15 + 6000 + 6 + 9;
  EXPECT_TRUE(readDword(entryKey, L"EstimatedSize", number) && number == total / 1024);
  std::wstring unused;
  EXPECT_FALSE(readString(RegView::View64, entryKey, L"HelpLink", unused)) << "web addresses only when the script has them";

  UninstallRecord r = readRecord();
  EXPECT_EQ(r.app, folder);
  EXPECT_EQ(r.file, (std::vector<std::wstring>{L"Zelvan.exe", L"Zelvan.Core.dll", L"de\\Zelvan.UI.resources.dll",
                                               L"Fonts\\Sub\\deep.ttf"}))
      << "the uninstaller itself is not listed";
  EXPECT_EQ(r.dir, (std::vector<std::wstring>{L"Fonts\\Sub", L"Fonts", L"de"}));
  ASSERT_EQ(r.reg.size(), 4u);
  EXPECT_EQ(r.reg[1].data, L"\"" + folder + L"\\Zelvan.exe\" \"%1\"");
  EXPECT_EQ(r.reg[2].uninstall, L"key");
  EXPECT_EQ(r.reg[3].type, L"dword");
  for (size_t i = 1; i < r.key.size(); ++i)
    EXPECT_GE(std::count(r.key[i - 1].key.begin(), r.key[i - 1].key.end(), L'\\'),
              std::count(r.key[i].key.begin(), r.key[i].key.end(), L'\\'))
        << "keys deepest first";
  auto listed = [&](const std::wstring& key) {
    return std::any_of(r.key.begin(), r.key.end(), [&](const RegistryKeyRef& k) { return equalsNoCase(k.key, key); });
  };
  EXPECT_TRUE(listed(cls));
  EXPECT_TRUE(listed(cls + L"\\shell\\open\\command"));
  EXPECT_TRUE(listed(soft + L"\\Zelvan"));
  EXPECT_FALSE(listed(entryKey)) << "the entry is written after the record";
}

TEST_F(RecordAndEntryTest, ASecondRunFindsItsOwnEntryAndLeavesEveryFileInPlace) {
  TestPayload payload(files(), sections(kLines), "2.5.0.1412");
  ASSERT_EQ(install(payload, {L"assoc"}, false).result, ExitCode::Installed);
  std::string firstRecord = readBytes(folder + L"\\ZelvanUninstall.zsu");

  ExistingInstall found = detectExistingInstall(payload.payload().script, knownFolders());
  EXPECT_EQ(found.kind, InstallKind::Own);
  EXPECT_EQ(found.folder, folder);
  EXPECT_EQ(found.tasks, L"assoc");
  LogCapture log;
  RunOutcome outcome = install(payload, {L"assoc"}, true);
  ASSERT_EQ(outcome.result, ExitCode::Installed) << utf8(outcome.detail);
  std::vector<std::string> lines = log.lines();
  EXPECT_TRUE(contains(lines, "Mode repair. Folder " + utf8(folder) + ". Old folder " + utf8(folder) + "."));
  for (const TestFile& f : files())
    EXPECT_TRUE(contains(lines, "Unchanged, left in place: " + utf8(relativeToApp(f.dest)))) << utf8(f.dest);
  for (const std::string& line : lines) EXPECT_EQ(line.find("can't be used"), std::string::npos) << line;

  // The same install gives the same record, and the new entry vouches for it.
  EXPECT_EQ(readBytes(folder + L"\\ZelvanUninstall.zsu"), firstRecord);
  readRecord();
  EXPECT_FALSE(test::fileExists(setupDataPath() + L"\\install.zsj"));
}

TEST_F(RecordAndEntryTest, AnUpgradeTakesAwayTheLinesOfTasksTurnedOffAndLinesTheScriptDropped) {
  TestPayload first(files(), sections(kLines + "Root: HKLM; Key: <soft>; Name: Dropped; Type: string; Data: old; "
                                               "Uninstall: value\n"),
                    "2.5.0.1412");
  ASSERT_EQ(install(first, {L"assoc", L"extra"}, false).result, ExitCode::Installed);
  ASSERT_TRUE(keyExists(RegRoot::Hkcr, RegView::View64, cls));

  TestPayload second(files("core two"), sections(kLines), "2.6.0.0");
  LogCapture log;
  ASSERT_EQ(install(second, {L"extra"}, true).result, ExitCode::Installed);
  EXPECT_TRUE(contains(log.lines(), "Registry lines written: 2."));
  EXPECT_FALSE(keyExists(RegRoot::Hkcr, RegView::View64, cls)) << "the assoc task's key went as a whole";
  DWORD type = 0;
  std::string data;
  EXPECT_FALSE(readValue(RegRoot::Hklm, RegView::View64, soft, L"Dropped", type, data));
  EXPECT_TRUE(readValue(RegRoot::Hklm, RegView::View64, soft, L"Extra", type, data));
  EXPECT_EQ(entryString(L"ZelvanSetup: Tasks"), L"extra");

  UninstallRecord r = readRecord();
  ASSERT_EQ(r.reg.size(), 2u);
  EXPECT_FALSE(std::any_of(r.key.begin(), r.key.end(), [&](const RegistryKeyRef& k) { return startsWithNoCase(k.key, cls); }))
      << "keys that are gone are not carried over";
  EXPECT_TRUE(std::any_of(r.key.begin(), r.key.end(), [&](const RegistryKeyRef& k) { return equalsNoCase(k.key, soft); }))
      << "a key the old install made and that is still there stays listed";
}

TEST_F(RecordAndEntryTest, ACancelAfterTheEntryPutsThePreviousEntryBackValueByValue) {
  TestPayload first(files(), sections(kLines), "2.5.0.1412");
  ASSERT_EQ(install(first, {L"assoc"}, false).result, ExitCode::Installed);
  // The state the next run starts from: a value the setup would create anew, one it never
  // writes, and an expandable string where a registry line goes.
  ASSERT_TRUE(deleteValue(RegRoot::Hklm, RegView::View64, entryKey, L"InstallDate"));
  std::wstring comment = L"left by someone else";
  ASSERT_TRUE(writeValue(RegRoot::Hklm, RegView::View64, entryKey, L"Comments", REG_SZ, comment.c_str(),
                         (comment.size() + 1) * 2));
  std::wstring expand = L"%ProgramFiles%\\Elsewhere";
  ASSERT_TRUE(writeValue(RegRoot::Hklm, RegView::View64, soft + L"\\Zelvan", L"InstallDir", REG_EXPAND_SZ,
                         expand.c_str(), (expand.size() + 1) * 2));
  auto entryBefore = allValues(RegRoot::Hklm, entryKey);
  auto softBefore = allValues(RegRoot::Hklm, soft + L"\\Zelvan");
  auto clsBefore = allValues(RegRoot::Hkcr, cls);
  std::string recordBefore = readBytes(folder + L"\\ZelvanUninstall.zsu");

  TestPayload second(files("core two"), sections(kLines), "2.6.0.0");
  CancelAtStep2 sink;
  LogCapture log;
  RunOutcome outcome = install(second, {L"extra"}, true, &sink, &sink);
  EXPECT_EQ(outcome.result, ExitCode::Cancelled);
  EXPECT_TRUE(contains(log.lines(), "Cancel was asked for."));
  EXPECT_TRUE(contains(log.lines(), "Registry lines written: 2.")) << "the cancel came after the registry step";

  EXPECT_EQ(allValues(RegRoot::Hklm, entryKey), entryBefore);
  EXPECT_EQ(allValues(RegRoot::Hklm, soft + L"\\Zelvan"), softBefore);
  EXPECT_EQ(allValues(RegRoot::Hkcr, cls), clsBefore) << "the key the turned-off task took away is back";
  EXPECT_TRUE(keyExists(RegRoot::Hkcr, RegView::View64, cls + L"\\shell\\open\\command"));
  DWORD type = 0;
  std::string data;
  EXPECT_FALSE(readValue(RegRoot::Hklm, RegView::View64, soft, L"Extra", type, data)) << "a value new in this run is gone";
  EXPECT_EQ(readBytes(folder + L"\\ZelvanUninstall.zsu"), recordBefore);
  EXPECT_EQ(readBytes(folder + L"\\Zelvan.Core.dll"), std::string(6000, 'c'));
  EXPECT_FALSE(test::fileExists(setupDataPath() + L"\\install.zsj"));
}

TEST_F(RecordAndEntryTest, AFileHeldOpenAtTheRecordStopsTheRunAndTheRegistryComesBack) {
  TestPayload first(files(), sections(kLines), "2.5.0.1412");
  ASSERT_EQ(install(first, {L"assoc"}, false).result, ExitCode::Installed);
  auto entryBefore = allValues(RegRoot::Hklm, entryKey);
  auto clsBefore = allValues(RegRoot::Hkcr, cls + L"\\shell\\open\\command");
  ASSERT_TRUE(test::writeBytes(folder + L"\\ZelvanUninstall.zsu.tmp", "left over"));
  HANDLE held = CreateFileW((folder + L"\\ZelvanUninstall.zsu.tmp").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);

  TestPayload second(files("core two"), sections(kLines), "2.6.0.0");
  LogCapture log;
  RunOutcome outcome = install(second, {L"extra"}, true);
  CloseHandle(held);
  EXPECT_EQ(outcome.result, ExitCode::Failed);
  EXPECT_EQ(outcome.category, StopCategory::FileInUse);
  EXPECT_EQ(outcome.detail, L"ZelvanUninstall.zsu.tmp");
  EXPECT_TRUE(contains(log.lines(), "Registry lines written: 2."));

  EXPECT_EQ(allValues(RegRoot::Hklm, entryKey), entryBefore);
  EXPECT_EQ(allValues(RegRoot::Hkcr, cls + L"\\shell\\open\\command"), clsBefore);
  DWORD type = 0;
  std::string data;
  EXPECT_FALSE(readValue(RegRoot::Hklm, RegView::View64, soft, L"Extra", type, data));
  EXPECT_EQ(readBytes(folder + L"\\ZelvanUninstall.zsu.tmp"), "left over");
  readRecord();
}

TEST_F(RecordAndEntryTest, AFolderWhereTheRecordGoesFailsTheRunAndRollbackFinishes) {
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((folder + L"\\ZelvanUninstall.zsu.tmp").c_str(), nullptr));
  TestPayload payload(files(), sections(kLines), "2.5.0.1412");
  LogCapture log;
  RunOutcome outcome = install(payload, {L"assoc"}, false);
  EXPECT_EQ(outcome.result, ExitCode::Failed) << "not 10: nothing was journalled that rollback cannot undo";
  EXPECT_EQ(outcome.category, StopCategory::WriteFailed);
  EXPECT_EQ(outcome.detail, folder + L"\\ZelvanUninstall.zsu.tmp");
  EXPECT_TRUE(isDirectory(folder + L"\\ZelvanUninstall.zsu.tmp"));
  EXPECT_FALSE(test::fileExists(folder + L"\\Zelvan.exe"));
  EXPECT_FALSE(keyExists(RegRoot::Hkcr, RegView::View64, cls));
  EXPECT_FALSE(keyExists(RegRoot::Hklm, RegView::View64, entryKey));
  EXPECT_FALSE(test::fileExists(setupDataPath() + L"\\install.zsj"));
}

// ---- The record and the entry's size, built without the machine ----

TEST(RecordContent, ListsFoldersLongestFirstImagesDependantsFirstAndKeysDeepestFirst) {
  TempFolder root;
  TestPayload payload({{L"{app}\\zelvanuninstall.EXE", "u"},
                       {L"{app}\\a\\b\\c.dll", "c"},
                       {L"{app}\\x\\y.dll", "y"},
                       {L"{app}\\A\\d.dll", "d"},
                       {L"{app}\\top.dll", "t"}},
                      "[NativeImages]\nInstall: {app}\\top.dll\nInstall: {app}\\a\\b\\c.dll\n");
  ASSERT_TRUE(payload.accepted());
  InstallRequest request;
  request.payload = &payload.payload();
  request.folder = root.path();
  InstallRun run(std::move(request), knownFolders());
  run.keysCreated = {{RegRoot::Hklm, RegView::View64, L"Software\\Brightmoor"},
                     {RegRoot::Hklm, RegView::View64, L"Software\\Brightmoor\\Zelvan"},
                     {RegRoot::Hkcr, RegView::View64, L"Zelvan.X"}};
  run.oldRecordUsable = true;
  run.oldRecord.key = {{RegRoot::Hklm, RegView::View64, L"SOFTWARE\\BRIGHTMOOR\\ZELVAN"},         // already listed
                       {RegRoot::Hklm, RegView::View64, L"Software\\Microsoft\\Windows\\CurrentVersion"},  // still there
                       {RegRoot::Hkcr, RegView::View64, L"Zelvan.NeverThere\\shell"}};            // gone

  UninstallRecord r = buildUninstallRecord(run);
  EXPECT_EQ(r.file, (std::vector<std::wstring>{L"a\\b\\c.dll", L"x\\y.dll", L"A\\d.dll", L"top.dll"}));
  EXPECT_EQ(r.dir, (std::vector<std::wstring>{L"a\\b", L"a", L"x"})) << "each folder once, whatever its case";
  EXPECT_EQ(r.ngen, (std::vector<std::wstring>{root.path() + L"\\a\\b\\c.dll", root.path() + L"\\top.dll"}));
  ASSERT_EQ(r.key.size(), 4u);
  EXPECT_EQ(r.key[0].key, L"Software\\Microsoft\\Windows\\CurrentVersion");
  EXPECT_EQ(r.key[1].key, L"Software\\Brightmoor\\Zelvan");
  EXPECT_EQ(r.key[2].key, L"Software\\Brightmoor") << "equal depths keep their order";
  EXPECT_EQ(r.key[3].key, L"Zelvan.X");
}

TEST(AppsEntry, EstimatedSizeIsKiBRoundedDownInItsLow32Bits) {
  FileEntry a, b, huge;
  a.size = 6000;
  b.size = 4000;
  EXPECT_EQ(estimatedSizeKiB({&a, &b}), 9u);
  EXPECT_EQ(estimatedSizeKiB({}), 0u);
  huge.size = (uint64_t{1} << 42) + 5 * 1024;
  EXPECT_EQ(estimatedSizeKiB({&huge}), 5u);
}

}  // namespace
}  // namespace zs
