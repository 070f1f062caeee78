#include <gtest/gtest.h>

#include <windows.h>

#include <cwctype>

#include "journal/journal.h"
#include "journal/journal_check.h"
#include "journal/record_kinds.h"
#include "journal/rollback.h"
#include "platform/sha256.h"
#include "platform/registry.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "base/paths.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"
#include "uninstall/existing_install.h"
#include "uninstall/uninstall_record.h"
#include "uninstall/uninstaller_role.h"

namespace zs {
namespace {

using test::LogCapture;
using test::TempFolder;

using test::contains;

std::string sha(const std::string& bytes) {
  uint8_t digest[kSha256Size];
  EXPECT_TRUE(sha256(bytes.data(), bytes.size(), digest));
  return wideToUtf8(toHex(std::string_view(reinterpret_cast<const char*>(digest), kSha256Size)));
}

std::string utf8(const std::wstring& s) { return wideToUtf8(s); }

bool sameLines(const RegistryLine& a, const RegistryLine& b) {
  return a.root == b.root && a.view == b.view && a.key == b.key && a.name == b.name && a.type == b.type &&
         a.data == b.data && a.uninstall == b.uninstall;
}

// ---- The format, without the machine ----

class RecordFormat : public ::testing::Test {
 protected:
  TempFolder temp;
  std::wstring app = normalizePath(temp.path());
  std::string appLine = "app\t" + utf8(app) + "\n";

  bool parse(const std::string& bytes, UninstallRecord& record, std::wstring& reason) {
    return parseUninstallRecord(bytes, app, knownFolders(), record, reason);
  }
  std::wstring refusal(const std::string& bytes) {
    UninstallRecord record;
    std::wstring reason;
    EXPECT_FALSE(parse(bytes, record, reason)) << bytes;
    EXPECT_TRUE(record.app.empty() && record.file.empty()) << "a refused record gives nothing";
    return reason;
  }
};

TEST_F(RecordFormat, EveryKindComesBackAsWrittenWithEscapedFields) {
  UninstallRecord r;
  r.app = app;
  r.ngen = {app + L"\\Zelvan.exe", app + L"\\Zelvan.Core.dll"};
  r.lnk = {normalizePath(knownFolders().programs + L"\\Zelvan T\u00e9st.lnk")};
  r.reg = {{RegRoot::Hkcr, RegView::View64, L"Zelvan.Doc\\shell\\open\\command", L"", L"string",
            L"\"" + app + L"\\Zelvan.exe\" \"%1\"\tand a tab", L"key"},
           {RegRoot::Hklm, RegView::View32, L"Software\\Brightmoor\\Zelvan", L"Count", L"dword", L"42", L"value"}};
  r.key = {{RegRoot::Hkcr, RegView::View64, L"Zelvan.Doc\\shell\\open"}, {RegRoot::Hklm, RegView::View32, L"Software\\Brightmoor"}};
  r.file = {L"Zelvan.exe", L"de\\Zelvan.UI.resources.dll", L"100%25 sure.txt"};
  r.dir = {L"de"};
  std::string bytes = serializeUninstallRecord(r);
  ASSERT_EQ(bytes.substr(0, 5), "ZSU1\n");
  // Kinds in their fixed order.
  size_t at[] = {bytes.find("\napp\t"), bytes.find("\nngen\t"), bytes.find("\nlnk\t"), bytes.find("\nreg\t"),
                 bytes.find("\nkey\t"), bytes.find("\nfile\t"), bytes.find("\ndir\t")};
  at[0] = 4;
  for (size_t i = 1; i < 7; ++i) EXPECT_LT(at[i - 1], at[i]) << i;
  EXPECT_NE(bytes.find("%251\"%09and a tab"), std::string::npos) << "per-cent signs and tabs inside a field are escaped";
  EXPECT_NE(bytes.find("100%2525 sure"), std::string::npos);

  UninstallRecord back;
  std::wstring reason;
  ASSERT_TRUE(parse(bytes, back, reason)) << utf8(reason);
  EXPECT_EQ(back.app, r.app);
  EXPECT_EQ(back.ngen, r.ngen);
  EXPECT_EQ(back.lnk, r.lnk);
  EXPECT_EQ(back.file, r.file);
  EXPECT_EQ(back.dir, r.dir);
  ASSERT_EQ(back.reg.size(), 2u);
  EXPECT_TRUE(sameLines(back.reg[0], r.reg[0]));
  EXPECT_TRUE(sameLines(back.reg[1], r.reg[1]));
  ASSERT_EQ(back.key.size(), 2u);
  EXPECT_EQ(back.key[1].view, RegView::View32);
  EXPECT_EQ(back.key[1].key, L"Software\\Brightmoor");
}

TEST_F(RecordFormat, LinesAreCountedFromTheHeaderAndEmptyOnesCount) {
  EXPECT_EQ(refusal("ZSU1\nngen\t" + utf8(app) + "\\Zelvan.exe\n" + appLine),
            L"the record's line 2 fails the path rules")
      << "an ngen line before the app line";
  EXPECT_EQ(refusal("ZSU1\n" + appLine + "\n\nfile\t..\\..\\Windows\\evil.dll\n"),
            L"the record's line 5 fails the path rules");
  EXPECT_EQ(refusal("ZSU1\n" + appLine + "file\tZelvan.exe\nexe\tZelvan.exe\n"),
            L"the record's line 4 fails the path rules")
      << "an unknown kind";
}

TEST_F(RecordFormat, EachKindHasItsOwnRule) {
  const std::string head = "ZSU1\n" + appLine;
  const std::string programs = utf8(knownFolders().programs);
  const std::vector<std::string> bad = {
      appLine,                                                  // a second app line
      "app\n",                                                  // no field
      "ngen\t" + utf8(app) + "\n",                              // the folder itself, not inside it
      "ngen\tC:\\Windows\\System32\\kernel32.dll\n",            // outside the install
      "ngen\t" + utf8(app) + "\\a.dll\textra\n",                // two fields
      "lnk\t" + programs + "\\Zelvan.exe\n",                    // not a shortcut
      "lnk\tC:\\Temp\\Zelvan.lnk\n",                            // not in the shortcut folders
      "reg\tHKCR\t64\tZelvan.Doc\t\tstring\tx\n",               // six fields
      "reg\tHKU\t64\tZelvan.Doc\t\tstring\tx\tvalue\n",         // no such root
      "reg\tHKCR\t86\tZelvan.Doc\t\tstring\tx\tvalue\n",        // no such view
      "reg\tHKCR\t64\t\t\tstring\tx\tvalue\n",                  // no key
      "reg\tHKLM\t64\tSoftware\\..\\SAM\t\tstring\tx\tvalue\n",  // climbs
      "key\tHKLM\t64\n",                                        // two fields
      "key\tHKLM\t64\tSoftware\\Brightmoor\\..\n",              // climbs
      "file\tC:\\Windows\\notepad.exe\n",                       // absolute
      "file\tde\\..\\..\\x.dll\n",                              // climbs
      "dir\tde\\\n",                                            // empty component
      "file\tFonts\\*.ttf\n",                                   // wildcards are no file
      // Text that reads one way and resolves another.
      "lnk\t" + programs + "\\a" + std::string(1, '\0') + "\\..\\..\\..\\..\\x.lnk\n",  // a NUL hides the climb
      "lnk\t" + programs + "\\Sub\\..\\Zelvan.lnk\n",          // not its own full form
      "ngen\t" + utf8(app) + "\\.\\Zelvan.exe\n",                // not its own full form
      "file\tZelvan.exe\x01\n",                                 // a control character
      "reg\tHKCR\t64\tZelvan.Doc\x1f\t\tstring\tx\tvalue\n",      // in a key
      // A key the install could not have made.
      "key\tHKLM\t64\tSOFTWARE\\Microsoft\n",
      "key\tHKCR\t64\ttxtfile\n",
      "key\tHKCU\t64\tSoftware\\Brightmoor\n",
      "key\tHKLM\t64\tSoftware\\\\Brightmoor\n",                    // an empty key name inside
      "reg\tHKCR\t64\tZelvan.Doc\\\\x\t\tstring\tx\tvalue\n",
      // A value the install could not have written, as for keys.
      "reg\tHKLM\t64\tSOFTWARE\\Microsoft\tx\tstring\tx\tvalue\n",
      "reg\tHKLM\t64\tSoftware\\Microsoft\\Windows\\CurrentVersion\\Run\tOther\tstring\tx\tnone\n",
      // Names that lead elsewhere than their text: a short name, console devices.
      "file\tUSER~FQD.TXT\n",
      "dir\tZELVAN~1\n",
      "ngen\t" + utf8(app) + "\\SUB~1\\Zelvan.exe\n",
      "file\tCONIN$\n",
      "file\tde\\conout$.txt\n",
      "lnk\t" + programs + "\\CLOCK$.lnk\n",
  };
  for (const std::string& line : bad)
    EXPECT_EQ(refusal(head + line), L"the record's line 3 fails the path rules") << line;
}

TEST_F(RecordFormat, WholeRecordRefusals) {
  EXPECT_EQ(refusal("ZSU2\n" + appLine), L"the record has a bad header");
  EXPECT_EQ(refusal("ZSU1"), L"the record has a bad header");
  EXPECT_EQ(refusal("ZSU1\nfile\tZelvan.exe\n"), L"the record has no app line");
  EXPECT_EQ(refusal("ZSU1\napp\tC:\\Somewhere\\Else\n"), L"the record's app line differs from the entry's InstallLocation");
  EXPECT_EQ(refusal("ZSU1\napp\t" + utf8(app) + "\\.\n"), L"the record's app line differs from the entry's InstallLocation")
      << "the app line must be the install folder's full form, not text that resolves to it";
}

TEST_F(RecordFormat, ALastLineWithoutALineFeedStillCounts) {
  UninstallRecord record;
  std::wstring reason;
  ASSERT_TRUE(parse("ZSU1\n" + appLine + "file\tZelvan.exe\nfile\tZelvan.Core.dll", record, reason)) << utf8(reason);
  ASSERT_EQ(record.file.size(), 2u);
  EXPECT_EQ(record.file[1], L"Zelvan.Core.dll");
  // The app line compares with the location without regard to case and trailing separators.
  std::wstring upper = app;
  for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
  EXPECT_TRUE(parseUninstallRecord("ZSU1\napp\t" + utf8(app) + "\n", upper + L"\\", knownFolders(), record, reason))
      << utf8(reason);
}

TEST(RegistryLineValues, DwordsKeepTheirLow32BitsAndStringsTheirZero) {
  uint32_t n = 0;
  EXPECT_TRUE(registryLineNumber(L"4294967297", n));
  EXPECT_EQ(n, 1u);
  EXPECT_TRUE(registryLineNumber(L"0", n));
  EXPECT_EQ(n, 0u);
  EXPECT_FALSE(registryLineNumber(L"", n));
  EXPECT_FALSE(registryLineNumber(L"12a", n));
  EXPECT_FALSE(registryLineNumber(L"-1", n));

  RegistryLine line{RegRoot::Hklm, RegView::View64, L"Software\\Brightmoor", L"N", L"dword", L"4294967298", L"value"};
  DWORD type = 0;
  std::string bytes;
  ASSERT_TRUE(encodeRegistryLine(line, type, bytes));
  EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
  EXPECT_EQ(bytes, std::string("\x02\0\0\0", 4));
  EXPECT_TRUE(registryValueHoldsLine(line, REG_DWORD, bytes));
  EXPECT_FALSE(registryValueHoldsLine(line, REG_BINARY, bytes)) << "the type must be REG_DWORD";
  EXPECT_FALSE(registryValueHoldsLine(line, REG_DWORD, std::string("\x02\0\0\0\0\0\0\0", 8)));

  line.type = L"string";
  line.data = L"Zelvan.Document";
  ASSERT_TRUE(encodeRegistryLine(line, type, bytes));
  EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
  EXPECT_EQ(bytes.size(), 2 * line.data.size() + 2);
  std::wstring upper = L"ZELVAN.DOCUMENT";
  std::string upperBytes(reinterpret_cast<const char*>(upper.c_str()), upper.size() * 2);
  EXPECT_TRUE(registryValueHoldsLine(line, REG_EXPAND_SZ, upperBytes + std::string(4, '\0')))
      << "case and trailing zeros do not matter, expandable strings count";
  EXPECT_FALSE(registryValueHoldsLine(line, REG_MULTI_SZ, bytes));
  EXPECT_FALSE(registryValueHoldsLine(line, REG_SZ, upperBytes.substr(2)));
}

// ---- Reading against the entry ----

class RecordOnDisk : public ::testing::Test {
 protected:
  TempFolder temp;
  std::wstring app = normalizePath(temp.path());
  std::wstring entryName = L"{" + std::wstring(kStubAppId) + L"}";
  std::wstring entryKey = uninstallKeyOf(entryName);

  void SetUp() override { deleteKeyTree(RegRoot::Hklm, RegView::View64, entryKey); }
  void TearDown() override { deleteKeyTree(RegRoot::Hklm, RegView::View64, entryKey); }

  void setString(const std::wstring& name, const std::wstring& value) {
    ASSERT_TRUE(writeValue(RegRoot::Hklm, RegView::View64, entryKey, name, REG_SZ, value.c_str(),
                           (value.size() + 1) * sizeof(wchar_t)));
  }
  std::string writeRecord(const std::string& bytes) {
    EXPECT_TRUE(test::writeBytes(temp / L"ZelvanUninstall.zsu", bytes));
    return sha(bytes);
  }
  std::wstring readReason(UninstallRecord& record) {
    std::wstring reason;
    EXPECT_FALSE(readUninstallRecord(entryName, RegView::View64, app, knownFolders(), record, reason));
    return reason;
  }
};

TEST_F(RecordOnDisk, AMatchingRecordIsReadAndEveryMismatchHasItsReason) {
  std::string bytes = "ZSU1\napp\t" + utf8(app) + "\nfile\tZelvan.exe\nfile\tde\\Zelvan.UI.resources.dll\ndir\tde\n";
  std::string hash = writeRecord(bytes);
  UninstallRecord record;

  EXPECT_EQ(readReason(record), L"no ZelvanSetup: ListSha in the entry");
  setString(L"ZelvanSetup: ListSha", utf8ToWide(hash));
  EXPECT_EQ(readReason(record), L"no InstallLocation in the entry");
  setString(L"InstallLocation", app);

  std::wstring reason;
  ASSERT_TRUE(readUninstallRecord(entryName, RegView::View64, app, knownFolders(), record, reason)) << utf8(reason);
  EXPECT_EQ(record.app, app);
  EXPECT_EQ(record.file, (std::vector<std::wstring>{L"Zelvan.exe", L"de\\Zelvan.UI.resources.dll"}));
  EXPECT_EQ(record.dir, std::vector<std::wstring>{L"de"});

  // The hash is compared without regard to case.
  std::wstring upperHash = utf8ToWide(hash);
  for (wchar_t& c : upperHash) c = static_cast<wchar_t>(towupper(c));
  setString(L"ZelvanSetup: ListSha", upperHash);
  EXPECT_TRUE(readUninstallRecord(entryName, RegView::View64, app, knownFolders(), record, reason)) << utf8(reason);

  // One character of a file line changed after the install.
  std::string changed = bytes;
  changed[changed.find("Zelvan.exe")] = 'z';
  writeRecord(changed);
  EXPECT_EQ(readReason(record), L"the record of this install does not match the entry's SHA-256");

  // A record whose hash matches but names another folder.
  std::string elsewhere = "ZSU1\napp\tC:\\Elsewhere\\Zelvan\nfile\tZelvan.exe\n";
  setString(L"ZelvanSetup: ListSha", utf8ToWide(writeRecord(elsewhere)));
  EXPECT_EQ(readReason(record), L"the record's app line differs from the entry's InstallLocation");

  ASSERT_TRUE(DeleteFileW((temp / L"ZelvanUninstall.zsu").c_str()));
  EXPECT_EQ(readReason(record), L"the record of this install can't be read");
}

TEST_F(RecordOnDisk, ARecordOver16MiBIsNotRead) {
  std::string big = "ZSU1\napp\t" + utf8(app) + "\n";
  std::string line = "file\t" + std::string(200, 'a') + "\n";
  while (big.size() <= kUninstallRecordMaxBytes) big += line;
  setString(L"ZelvanSetup: ListSha", utf8ToWide(writeRecord(big)));
  setString(L"InstallLocation", app);
  UninstallRecord record;
  EXPECT_EQ(readReason(record), L"the record of this install can't be read");
}

// ---- Removing one registry line ----

class RemoveLine : public ::testing::Test {
 protected:
  std::wstring cls = format(64, L"Zelvan.RecRead%lu", GetCurrentProcessId());
  std::wstring soft = format(64, L"Software\\Brightmoor\\RecRead-%lu", GetCurrentProcessId());

  void SetUp() override { clean(); }
  void TearDown() override { clean(); }
  void clean() {
    deleteKeyTree(RegRoot::Hkcr, RegView::View64, cls);
    deleteKeyTree(RegRoot::Hklm, RegView::View64, soft);
    deleteKeyIfEmpty(RegRoot::Hklm, RegView::View64, L"Software\\Brightmoor");
  }
  static void putString(RegRoot root, const std::wstring& key, const std::wstring& name, const std::wstring& value,
                        DWORD type = REG_SZ) {
    ASSERT_TRUE(writeValue(root, RegView::View64, key, name, type, value.c_str(), (value.size() + 1) * sizeof(wchar_t)));
  }
  static bool hasValue(RegRoot root, const std::wstring& key, const std::wstring& name) {
    DWORD type = 0;
    std::string data;
    return readValue(root, RegView::View64, key, name, type, data);
  }
};

TEST_F(RemoveLine, AValueGoesOnlyWhileItHoldsWhatWasWrittenAndAnEmptyClassKeyGoesWithIt) {
  RegistryLine line{RegRoot::Hkcr, RegView::View64, cls, L"", L"string", L"Zelvan document", L"value"};
  putString(RegRoot::Hkcr, cls, L"", L"Changed by the user");
  EXPECT_TRUE(removeRegistryLine(line, nullptr));
  EXPECT_TRUE(hasValue(RegRoot::Hkcr, cls, L"")) << "a value the user changed stays";

  putString(RegRoot::Hkcr, cls, L"", L"ZELVAN DOCUMENT", REG_EXPAND_SZ);
  putString(RegRoot::Hkcr, cls, L"Other", L"kept");
  EXPECT_TRUE(removeRegistryLine(line, nullptr));
  EXPECT_FALSE(hasValue(RegRoot::Hkcr, cls, L""));
  EXPECT_TRUE(keyExists(RegRoot::Hkcr, RegView::View64, cls)) << "a key that still has values stays";

  ASSERT_TRUE(deleteValue(RegRoot::Hkcr, RegView::View64, cls, L"Other"));
  putString(RegRoot::Hkcr, cls, L"", L"Zelvan document");
  EXPECT_TRUE(removeRegistryLine(line, nullptr));
  EXPECT_FALSE(keyExists(RegRoot::Hkcr, RegView::View64, cls)) << "the last value took the class key with it";

  // Under HKLM an emptied key stays.
  RegistryLine number{RegRoot::Hklm, RegView::View64, soft, L"Telemetry", L"dword", L"7", L"value"};
  DWORD seven = 7;
  ASSERT_TRUE(writeValue(RegRoot::Hklm, RegView::View64, soft, L"Telemetry", REG_DWORD, &seven, 4));
  EXPECT_TRUE(removeRegistryLine(number, nullptr));
  EXPECT_FALSE(hasValue(RegRoot::Hklm, soft, L"Telemetry"));
  EXPECT_TRUE(keyExists(RegRoot::Hklm, RegView::View64, soft));

  // A string "7" is not what a dword line wrote.
  putString(RegRoot::Hklm, soft, L"Telemetry", L"7");
  EXPECT_TRUE(removeRegistryLine(number, nullptr));
  EXPECT_TRUE(hasValue(RegRoot::Hklm, soft, L"Telemetry"));

  // "none" takes nothing away.
  number.uninstall = L"none";
  number.type = L"string";
  EXPECT_TRUE(removeRegistryLine(number, nullptr));
  EXPECT_TRUE(hasValue(RegRoot::Hklm, soft, L"Telemetry"));
}

TEST_F(RemoveLine, ALineOutsideWhatSetupMayWriteIsLeftAlone) {
  LogCapture log;
  RegistryLine foreign{RegRoot::Hklm, RegView::View64, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"",
                       L"string", L"x", L"key"};
  EXPECT_FALSE(removeRegistryLine(foreign, nullptr));
  EXPECT_TRUE(keyExists(RegRoot::Hklm, RegView::View64, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run"));
  EXPECT_TRUE(contains(log.lines(), "Not removed, setup may not change this registry line: "
                                    "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Run"));
  RegistryLine other{RegRoot::Hkcu, RegView::View64, L"Software\\Zelvan", L"x", L"string", L"x", L"value"};
  EXPECT_FALSE(removeRegistryLine(other, nullptr));
}

TEST_F(RemoveLine, AWholeKeyIsJournalledValueByValueAndRollbackBringsItBack) {
  putString(RegRoot::Hkcr, cls, L"", L"Zelvan document");
  putString(RegRoot::Hkcr, cls + L"\\DefaultIcon", L"", L"C:\\Zelvan\\Zelvan.exe,1", REG_EXPAND_SZ);
  putString(RegRoot::Hkcr, cls + L"\\shell\\open\\command", L"", L"\"C:\\Zelvan\\Zelvan.exe\" \"%1\"");
  const char blob[] = {1, 2, 3};
  ASSERT_TRUE(writeValue(RegRoot::Hkcr, RegView::View64, cls + L"\\shell", L"Blob", REG_BINARY, blob, 3));

  TempFolder temp;
  std::wstring path = temp / L"remove.zsj";
  JournalWriter journal;
  ASSERT_EQ(journal.create(path, knownFolders(), kStubAppId), 0u);
  journalBegin(journal, L"2.5", L"repair", temp / L"Zelvan", temp / L"Zelvan", L"-0123456789abcdef");

  RegistryLine line{RegRoot::Hkcr, RegView::View64, cls, L"", L"string", L"Zelvan document", L"key"};
  EXPECT_TRUE(removeRegistryLine(line, &journal));
  EXPECT_FALSE(keyExists(RegRoot::Hkcr, RegView::View64, cls));
  EXPECT_TRUE(removeRegistryLine(line, &journal)) << "a key that has gone counts as removed";

  JournalImage image;
  ASSERT_EQ(readJournal(path, image), JournalState::Valid);
  JournalScope scope = makeJournalScope(image, knownFolders(), kStubAppId);
  std::vector<std::wstring> keyRecords;
  int values = 0;
  for (const JournalRecord& r : image.records) {
    if (r.kind == L"BEGIN") continue;
    EXPECT_TRUE(recordPassesCheck(r, scope)) << utf8(r.kind) << " " << utf8(r.fields[2]);
    ASSERT_EQ(r.kind, L"REGOLD");
    if (r.fields[4] == L"key") {
      keyRecords.push_back(r.fields[2]);
    } else {
      ++values;
    }
  }
  ASSERT_GE(keyRecords.size(), 5u);
  EXPECT_EQ(keyRecords.front(), cls) << "the key itself first, then its subkeys depth first";
  EXPECT_EQ(values, 4);

  ASSERT_EQ(rollBack(image, journal, scope), RolledBack::All);
  DWORD type = 0;
  std::string data;
  ASSERT_TRUE(readValue(RegRoot::Hkcr, RegView::View64, cls + L"\\DefaultIcon", L"", type, data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
  ASSERT_TRUE(readValue(RegRoot::Hkcr, RegView::View64, cls + L"\\shell", L"Blob", type, data));
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  EXPECT_EQ(data, std::string(blob, 3));
  EXPECT_TRUE(hasValue(RegRoot::Hkcr, cls + L"\\shell\\open\\command", L""));
  EXPECT_TRUE(hasValue(RegRoot::Hkcr, cls, L""));
  journal.close();
}

}  // namespace
}  // namespace zs
