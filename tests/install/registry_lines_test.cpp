// The registry step on its own: an InstallRun with a journal of the test's own, the real registry
// (keys the allow-lists permit, named after this process), and rollback from that journal.
#include "install/registry_lines.h"

#include <gtest/gtest.h>

#include <memory>

#include "journal/journal_check.h"
#include "journal/record_kinds.h"
#include "journal/rollback.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"
#include "support/test_payload.h"

namespace zs {
namespace {

using test::LogCapture;
using test::TempFolder;
using test::TestPayload;

std::string utf8(const std::wstring& s) { return wideToUtf8(s); }

std::string wideBytes(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}

struct Value {
  bool present = false;
  DWORD type = 0;
  std::string data;
  bool operator==(const Value&) const = default;
};

Value valueAt(RegRoot root, const std::wstring& key, const std::wstring& name) {
  Value v;
  v.present = readValue(root, RegView::View64, key, name, v.type, v.data);
  return v;
}

class RegistryLinesTest : public ::testing::Test {
 protected:
  TempFolder root;
  std::wstring folder = normalizePath(root.path()) + L"\\Zelvan";
  std::wstring cls = format(64, L"Zelvan.RecTest%lu", GetCurrentProcessId());
  std::wstring soft = format(64, L"Software\\Brightmoor\\RecTest-%lu", GetCurrentProcessId());
  std::unique_ptr<TestPayload> payload;
  std::unique_ptr<InstallRun> run;
  std::wstring journalPath = root / L"registry.zsj";

  void SetUp() override {
    clean();
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  }
  void TearDown() override {
    run.reset();
    clean();
  }
  void clean() {
    deleteKeyTree(RegRoot::Hkcr, RegView::View64, cls);
    deleteKeyTree(RegRoot::Hklm, RegView::View64, soft);
    deleteKeyIfEmpty(RegRoot::Hklm, RegView::View64, L"Software\\Brightmoor");
  }

  // A run over the given [Registry] lines ("<cls>" and "<soft>" stand for the test's keys), with
  // the journal begun.
  void start(std::string registry, const std::vector<std::wstring>& tasks, bool oldInstall) {
    for (auto [from, to] : {std::pair{std::string("<cls>"), utf8(cls)}, std::pair{std::string("<soft>"), utf8(soft)}})
      for (size_t at; (at = registry.find(from)) != std::string::npos;) registry.replace(at, from.size(), to);
    payload = std::make_unique<TestPayload>(std::vector<test::TestFile>{{L"{app}\\Zelvan.exe", "program"}},
                                            "[Tasks]\nName: assoc; Label: Associate\nName: extra; Label: Extra\n"
                                            "[Registry]\n" + registry);
    ASSERT_TRUE(payload->accepted()) << registry;
    InstallRequest request;
    request.payload = &payload->payload();
    request.folder = folder;
    request.tasks = tasks;
    request.noRun = true;
    if (oldInstall) {
      request.existing.kind = InstallKind::Own;
      request.existing.folder = folder;
    }
    run = std::make_unique<InstallRun>(std::move(request), knownFolders());
    ASSERT_EQ(run->journal.create(journalPath, knownFolders(), payload->payload().script.setup.appId), 0u);
    journalBegin(run->journal, L"2.5", run->mode, folder, run->oldFolder, L"-0123456789abcdef");
  }

  // Every record after BEGIN as "KIND f1 f2 ...", each checked against the journal's path rules.
  std::vector<std::string> records(JournalImage* out = nullptr) {
    JournalImage image;
    EXPECT_EQ(readJournal(journalPath, image), JournalState::Valid);
    JournalScope scope = makeJournalScope(image, knownFolders(), payload->payload().script.setup.appId);
    std::vector<std::string> lines;
    for (const JournalRecord& r : image.records) {
      if (r.kind == L"BEGIN") continue;
      EXPECT_TRUE(recordPassesCheck(r, scope)) << "record " << r.number << " would poison the journal";
      std::wstring line = r.kind;
      for (const std::wstring& f : r.fields) line += L" " + f;
      lines.push_back(utf8(line));
    }
    if (out != nullptr) *out = image;
    return lines;
  }

  void rollBackRun() {
    JournalImage image;
    records(&image);
    JournalScope scope = makeJournalScope(image, knownFolders(), payload->payload().script.setup.appId);
    ASSERT_EQ(rollBack(image, run->journal, scope), RolledBack::All);
  }

  void put(RegRoot r, const std::wstring& key, const std::wstring& name, DWORD type, const std::string& bytes) {
    ASSERT_TRUE(writeValue(r, RegView::View64, key, name, type, bytes.data(), bytes.size()));
  }
};

TEST_F(RegistryLinesTest, MissingKeysAreCreatedFromTheTopEachAfterItsOwnRecord) {
  ASSERT_TRUE(createKey(RegRoot::Hkcr, RegView::View64, cls));
  start("Root: HKCR; Key: <cls>\\shell\\open\\command; Type: string; Data: \"\"\"{app}\\Zelvan.exe\"\" \"\"%1\"\"\"\n",
        {}, false);
  LogCapture log;
  writeRegistryLines(*run);

  std::string c = utf8(cls);
  EXPECT_EQ(records(), (std::vector<std::string>{"KEYNEW HKCR 64 " + c + "\\shell", "KEYNEW HKCR 64 " + c + "\\shell\\open",
                                                 "KEYNEW HKCR 64 " + c + "\\shell\\open\\command",
                                                 "REGNEW HKCR 64 " + c + "\\shell\\open\\command "}));
  std::wstring expected = L"\"" + folder + L"\\Zelvan.exe\" \"%1\"";
  EXPECT_EQ(valueAt(RegRoot::Hkcr, cls + L"\\shell\\open\\command", L""), (Value{true, REG_SZ, wideBytes(expected)}));
  ASSERT_EQ(run->keysCreated.size(), 3u);
  EXPECT_EQ(run->keysCreated[0].key, cls + L"\\shell");
  EXPECT_EQ(run->keysCreated[2].key, cls + L"\\shell\\open\\command");
  ASSERT_EQ(run->linesWritten.size(), 1u);
  EXPECT_EQ(run->linesWritten[0].data, expected);
  EXPECT_EQ(run->linesWritten[0].uninstall, L"none");
  EXPECT_EQ(log.lines().back(), "Registry lines written: 1.");

  rollBackRun();
  EXPECT_FALSE(keyExists(RegRoot::Hkcr, RegView::View64, cls + L"\\shell"));
  EXPECT_TRUE(keyExists(RegRoot::Hkcr, RegView::View64, cls)) << "what was there before stays";
}

TEST_F(RegistryLinesTest, ExistingValuesAreJournalledWithTheirOwnTypeAndComeBackByRollback) {
  const Value same{true, REG_SZ, wideBytes(L"same data")};
  const Value expand{true, REG_EXPAND_SZ, wideBytes(L"%ProgramFiles%\\Zelvan")};
  const Value blob{true, REG_BINARY, std::string("\x00\x01\xfe", 3)};
  put(RegRoot::Hklm, soft, L"Same", same.type, same.data);
  put(RegRoot::Hklm, soft, L"Path", expand.type, expand.data);
  put(RegRoot::Hklm, soft, L"Blob", blob.type, blob.data);
  start("Root: HKLM; Key: <soft>; Name: Same; Type: string; Data: same data\n"
        "Root: HKLM; Key: <soft>; Name: Path; Type: String; Data: {app}\n"
        "Root: HKLM; Key: <soft>; Name: Blob; Type: DWORD; Data: 4294967295\n",
        {}, false);
  writeRegistryLines(*run);

  std::string s = utf8(soft);
  EXPECT_EQ(records(), (std::vector<std::string>{"REGOLD HKLM 64 " + s + " Same 1 " + utf8(toHex(same.data)),
                                                 "REGOLD HKLM 64 " + s + " Path 2 " + utf8(toHex(expand.data)),
                                                 "REGOLD HKLM 64 " + s + " Blob 3 0001fe"}))
      << "a value with the same data is journalled and written all the same";
  EXPECT_EQ(valueAt(RegRoot::Hklm, soft, L"Path"), (Value{true, REG_SZ, wideBytes(folder)}));
  EXPECT_EQ(valueAt(RegRoot::Hklm, soft, L"Blob"), (Value{true, REG_DWORD, std::string("\xff\xff\xff\xff", 4)}));
  EXPECT_EQ(run->linesWritten[1].type, L"string") << "types are kept in lower case";
  EXPECT_TRUE(run->keysCreated.empty());

  rollBackRun();
  EXPECT_EQ(valueAt(RegRoot::Hklm, soft, L"Same"), same);
  EXPECT_EQ(valueAt(RegRoot::Hklm, soft, L"Path"), expand);
  EXPECT_EQ(valueAt(RegRoot::Hklm, soft, L"Blob"), blob);
}

TEST_F(RegistryLinesTest, ARepairWithATaskTurnedOffTakesThatTasksLinesAway) {
  put(RegRoot::Hkcr, cls, L"", REG_SZ, wideBytes(L"Zelvan test document"));
  const std::string lines =
      "Root: HKCR; Key: <cls>; Type: string; Data: Zelvan test document; Uninstall: value; Tasks: assoc\n"
      "Root: HKLM; Key: <soft>; Name: Extra; Type: dword; Data: 1; Uninstall: value; Tasks: extra\n";

  // Without an old install nothing is taken away.
  start(lines, {L"extra"}, false);
  writeRegistryLines(*run);
  EXPECT_TRUE(valueAt(RegRoot::Hkcr, cls, L"").present);
  run.reset();
  DeleteFileW(journalPath.c_str());

  start(lines, {L"extra"}, true);
  LogCapture log;
  writeRegistryLines(*run);
  EXPECT_FALSE(keyExists(RegRoot::Hkcr, RegView::View64, cls)) << "the value went, and the emptied class key with it";
  EXPECT_EQ(valueAt(RegRoot::Hklm, soft, L"Extra"), (Value{true, REG_DWORD, std::string("\x01\0\0\0", 4)}));
  std::vector<std::string> got = records();
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(got[0], "REGOLD HKCR 64 " + utf8(cls) + "  1 " + utf8(toHex(wideBytes(L"Zelvan test document"))));
  EXPECT_EQ(got[1], "REGOLD HKCR 64 " + utf8(cls) + "  key ");
  EXPECT_EQ(got.back(), "REGOLD HKLM 64 " + utf8(soft) + " Extra 4 01000000");
  EXPECT_EQ(log.lines().back(), "Registry lines written: 1.");

  rollBackRun();
  EXPECT_EQ(valueAt(RegRoot::Hkcr, cls, L""), (Value{true, REG_SZ, wideBytes(L"Zelvan test document")}));
}

TEST_F(RegistryLinesTest, AnUpgradeTakesAwayTheOldRecordsLinesThatTheScriptNoLongerHas) {
  put(RegRoot::Hklm, soft, L"Dropped", REG_SZ, wideBytes(L"old"));
  put(RegRoot::Hklm, soft, L"Kept", REG_SZ, wideBytes(L"x"));
  put(RegRoot::Hklm, soft, L"Changed", REG_SZ, wideBytes(L"the user's"));
  start("Root: HKLM; Key: <soft>; Name: kept; Type: string; Data: y; Uninstall: value\n", {}, true);
  run->oldRecordUsable = true;
  run->oldRecord.reg = {{RegRoot::Hklm, RegView::View64, soft, L"Dropped", L"string", L"OLD", L"value"},
                        {RegRoot::Hklm, RegView::View64, soft, L"Kept", L"string", L"x", L"value"},
                        {RegRoot::Hklm, RegView::View64, soft, L"Changed", L"string", L"ours", L"value"},
                        {RegRoot::Hklm, RegView::View64, soft, L"Missing", L"string", L"gone", L"value"}};
  writeRegistryLines(*run);

  EXPECT_FALSE(valueAt(RegRoot::Hklm, soft, L"Dropped").present);
  EXPECT_EQ(valueAt(RegRoot::Hklm, soft, L"Kept"), (Value{true, REG_SZ, wideBytes(L"y")}));
  EXPECT_EQ(valueAt(RegRoot::Hklm, soft, L"Changed"), (Value{true, REG_SZ, wideBytes(L"the user's")}));
  std::string s = utf8(soft);
  EXPECT_EQ(records(), (std::vector<std::string>{"REGOLD HKLM 64 " + s + " Dropped 1 " + utf8(toHex(wideBytes(L"old"))),
                                                 "REGOLD HKLM 64 " + s + " kept 1 " + utf8(toHex(wideBytes(L"x")))}))
      << "a line the new script still writes is rewritten, never removed first";
}

}  // namespace
}  // namespace zs
