// The path check: what a journal may name, kind by kind. Nothing in a journal is acted on before
// it passes, so every refusal here is a change that can never be made through a forged journal.
#include <gtest/gtest.h>

#include "journal/journal_check.h"
#include "journal/sandbox.h"
#include "journal/scenario.h"
#include "platform/files.h"
#include "base/text.h"
#include "support/log_capture.h"

namespace zs::test {
namespace {

class JournalCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    createFolder(box_ / L"Apps");
    createFolder(box_.app);
    begin_ = L"BEGIN\t2.0\tupgrade\t" + box_.app + L"\t" + box_.app + L"\t" + kRunSuffix;
  }

  // The journal BEGIN + the record, checked as a whole.
  bool passes(const std::wstring& record, const std::wstring& begin = L"") {
    std::string bytes = "ZSJ1\n" + wideToUtf8((begin.empty() ? begin_ : begin) + L"\n" + record + L"\n");
    return passesBytes(bytes);
  }
  bool passesBytes(const std::string& bytes) {
    JournalImage image;
    if (parseJournal(bytes, image) != JournalState::Valid) return false;
    JournalScope scope = makeJournalScope(image, box_.folders, box_.appId);
    return checkJournalPaths(image, scope, box_.folders);
  }
  std::wstring app(const std::wstring& rest) const { return box_.app + L"\\" + rest; }

  Sandbox box_;
  std::wstring begin_;
};

TEST_F(JournalCheck, FilesAndFoldersStayInsideTheInstallFolders) {
  const std::wstring& S = kRunSuffix;
  EXPECT_TRUE(passes(L"PUT\t" + app(L"a.dll")));
  EXPECT_TRUE(passes(L"PENDGONE\t" + app(L"sub\\a.dll")));
  EXPECT_FALSE(passes(L"PUT\t" + box_.app));                       // the folder itself
  EXPECT_FALSE(passes(L"PUT\t" + box_.root() + L"\\elsewhere.dll"));
  EXPECT_FALSE(passes(L"PUT\t" + box_.app + L"2\\a.dll"));          // a sibling sharing the prefix
  EXPECT_FALSE(passes(L"PUT\t" + app(L"..\\..\\victim.dll")));      // ".." never passes
  EXPECT_FALSE(passes(L"PUT\t" + app(L".\\a.dll")));
  EXPECT_FALSE(passes(L"PUT\ta.dll"));                               // not absolute
  EXPECT_FALSE(passes(L"PUT\t" + app(L"a.dll") + L"\textra"));       // field count
  EXPECT_TRUE(passes(L"PUT\t" + box_.folders.programs + L"\\Zelvan.lnk"));
  EXPECT_FALSE(passes(L"PUT\t" + box_.folders.programs + L"\\Zelvan.exe"));
  EXPECT_TRUE(passes(L"DIRNEW\t" + box_.root() + L"\\anything"));    // undo sorts folders by class
  EXPECT_FALSE(passes(L"DIRNEW\t" + box_.root() + L"\\a\\..\\b"));

  EXPECT_TRUE(passes(L"STAGE\t" + app(L".zsnew" + S)));
  EXPECT_FALSE(passes(L"STAGE\t" + app(L".ZSNEW" + S)));
  EXPECT_FALSE(passes(L"STAGE\t" + app(L"sub\\.zsnew" + S)));
  EXPECT_FALSE(passes(L"STAGE\t" + app(L".zsnew-1111111111111111")));

  std::wstring backup = app(L".zsold" + S);
  EXPECT_TRUE(passes(L"MOVE\t" + app(L"a.dll") + L"\t" + backup + L"\\A.DLL"));
  EXPECT_TRUE(passes(L"MOVE\t" + app(L"sub\\a.dll") + L"\t" + app(L"sub\\.zsold" + S + L"\\a.dll")));
  EXPECT_FALSE(passes(L"MOVE\t" + app(L"a.dll") + L"\t" + app(L".zsold-1111111111111111\\a.dll")));
  EXPECT_FALSE(passes(L"MOVE\t" + app(L"a.dll") + L"\t" + app(L".ZSOLD" + S + L"\\a.dll")));
  EXPECT_FALSE(passes(L"MOVE\t" + app(L"a.dll") + L"\t" + backup + L"\\b.dll"));
  EXPECT_FALSE(passes(L"MOVE\t" + app(L"sub\\a.dll") + L"\t" + backup + L"\\a.dll"));  // not its own folder
  EXPECT_FALSE(passes(L"MOVE\t" + box_.root() + L"\\x.dll\t" + box_.root() + L"\\.zsold" + S + L"\\x.dll"));
  std::wstring lnk = box_.folders.desktop + L"\\Zelvan.lnk";
  EXPECT_TRUE(passes(L"MOVE\t" + lnk + L"\t" + box_.folders.setupdata + L"\\bak\\Zelvan.lnk"));
  EXPECT_FALSE(passes(L"MOVE\t" + lnk + L"\t" + box_.folders.setupdata + L"\\Zelvan.lnk"));

  EXPECT_TRUE(passes(L"SEEDNEW\t" + box_.folders.docs + L"\\Zelvan\\a.json\t" + std::wstring(64, L'a')));
  EXPECT_FALSE(passes(L"SEEDNEW\t" + box_.folders.docs + L"\\Zelvan\\a.json\t" + std::wstring(63, L'a')));
}

TEST_F(JournalCheck, RegistryRecordsStayOnTheAllowLists) {
  std::wstring key = box_.regBase + L"\\K";
  EXPECT_TRUE(passes(L"REGNEW\tHKLM\t64\t" + key + L"\tName"));
  EXPECT_TRUE(passes(L"REGNEW\thklm\t32\t" + key + L"\t"));
  EXPECT_TRUE(passes(L"REGNEW\tHKCR\t64\t.zlvd\t"));
  EXPECT_TRUE(passes(L"REGNEW\tHKLM\t64\tSoftware\\Microsoft\\Windows\\CurrentVersion\\Run\tZelvan"));
  EXPECT_FALSE(passes(L"REGNEW\tHKLM\t64\tSoftware\\Microsoft\\Windows\\CurrentVersion\\Run\tOther"));
  EXPECT_FALSE(passes(L"REGNEW\tHKLM\t64\tSoftware\\Victim\tName"));
  EXPECT_FALSE(passes(L"REGNEW\tHKCU\t64\tSoftware\\Brightmoor\tName"));
  EXPECT_FALSE(passes(L"REGNEW\tHKLM\t46\t" + key + L"\tName"));
  EXPECT_FALSE(passes(L"REGNEW\tHKU\t64\t" + key + L"\tName"));
  EXPECT_FALSE(passes(L"REGNEW\tHKLM\t64\t\\" + key + L"\tName"));
  EXPECT_FALSE(passes(L"REGNEW\tHKLM\t64\tSoftware\\Brightmoor\\..\\Victim\tName"));
  EXPECT_TRUE(passes(L"REGNEW\tHKLM\t64\t" + box_.entryKey + L"\tDisplayName"));
  EXPECT_FALSE(passes(L"REGNEW\tHKLM\t64\t" + box_.entryKey + L"x\tDisplayName"));

  EXPECT_TRUE(passes(L"KEYNEW\tHKLM\t64\tSoftware"));  // on the way to an allowed key
  EXPECT_TRUE(passes(L"KEYNEW\tHKLM\t64\tSoftware\\Brightmoor"));
  EXPECT_TRUE(passes(L"KEYNEW\tHKLM\t64\tSOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall"));
  EXPECT_FALSE(passes(L"KEYNEW\tHKLM\t64\tSoftware\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{Other}"));
  EXPECT_FALSE(passes(L"KEYNEW\tHKLM\t64\tSoftware\\Brightmoo"));
  EXPECT_FALSE(passes(L"KEYNEW\tHKCR\t64\tSoftware"));

  EXPECT_TRUE(passes(L"REGOLD\tHKLM\t64\t" + key + L"\tName\t1\t6100"));
  EXPECT_TRUE(passes(L"REGOLD\tHKLM\t64\tSoftware\t\tkey\t"));  // a key record needs an allowed key
  EXPECT_FALSE(passes(L"REGOLD\tHKLM\t64\tSoftware\tx\t1\t"));   // a value record an allowed value
  EXPECT_FALSE(passes(L"REGOLD\tHKLM\t64\t" + key + L"\tName\t1"));
}

TEST_F(JournalCheck, NativeImagesCleanupAndCounters) {
  std::wstring ngen64 = box_.folders.win + L"\\Microsoft.NET\\Framework64\\v4.0.30319\\ngen.exe";
  EXPECT_TRUE(passes(L"NGENNEW\t" + ngen64 + L"\t" + app(L"Zelvan.exe")));
  EXPECT_TRUE(passes(L"NGENOLD\t" + box_.folders.win + L"\\Microsoft.NET\\Framework\\v4.0.30319\\NGEN.exe\t" + app(L"a.dll")));
  EXPECT_FALSE(passes(L"NGENNEW\t" + box_.root() + L"\\evil\\ngen.exe\t" + app(L"Zelvan.exe")));
  EXPECT_FALSE(passes(L"NGENNEW\t" + ngen64 + L"\t" + box_.root() + L"\\other.exe"));

  std::wstring guid = L"{" + box_.appId + L"}";
  EXPECT_TRUE(passes(L"CLEANENTRY\t32\t" + guid));
  EXPECT_TRUE(passes(L"CLEANENTRY\t64\t" + guid + L"_is1"));
  EXPECT_FALSE(passes(L"CLEANENTRY\t64\t{not-a-guid-at-all-but-thirty-eight-ch}"));
  EXPECT_FALSE(passes(L"CLEANENTRY\t64\t" + guid + L"\\sub"));
  EXPECT_FALSE(passes(L"CLEANENTRY\tHKLM\t" + guid));

  EXPECT_TRUE(passes(L"CLEANDIR\t" + app(L"old")));
  EXPECT_TRUE(passes(L"CLEANEMPTY\t" + box_.app));
  EXPECT_TRUE(passes(L"CLEANEMPTY\t" + box_.folders.pf + L"\\Brightmoor"));
  EXPECT_FALSE(passes(L"CLEANEMPTY\t" + box_.folders.pf));
  EXPECT_FALSE(passes(L"CLEANEMPTY\t" + box_.root() + L"\\somewhere"));
  std::wstring fresh = L"BEGIN\t2.0\tfresh\t" + box_.app + L"\t\t" + kRunSuffix;
  EXPECT_FALSE(passes(L"CLEANDIR\t" + app(L"old"), fresh));  // no old install, nothing to clean

  EXPECT_TRUE(passes(L"UNDONE\t1"));
  EXPECT_FALSE(passes(L"UNDONE\t12345678901234567890"));  // names no record before it
  EXPECT_FALSE(passes(L"UNDONE\t123456789012345678901"));
  EXPECT_FALSE(passes(L"UNDONE\t1a"));
  EXPECT_TRUE(passes(L"COMMIT"));
  EXPECT_FALSE(passes(L"COMMIT\t"));
  EXPECT_FALSE(passes(L"Commit"));
  EXPECT_FALSE(passes(L"ERASE\t" + app(L"a.dll")));
}

TEST_F(JournalCheck, TheBeginFoldersMustBePlausibleInstallFolders) {
  auto begin = [&](const std::wstring& folder, const std::wstring& old, const std::wstring& suffix = kRunSuffix) {
    return L"BEGIN\t2.0\tupgrade\t" + folder + L"\t" + old + L"\t" + suffix;
  };
  EXPECT_TRUE(passes(L"COMMIT", begin(box_.app, L"")));
  EXPECT_FALSE(passes(L"COMMIT", begin(L"C:\\", L"")));
  EXPECT_FALSE(passes(L"COMMIT", begin(box_.folders.win + L"\\Zelvan", L"")));
  EXPECT_FALSE(passes(L"COMMIT", begin(box_.folders.setupdata + L"\\x", L"")));
  EXPECT_FALSE(passes(L"COMMIT", begin(box_.folders.pf, L"")));
  EXPECT_FALSE(passes(L"COMMIT", begin(L"", L"")));
  EXPECT_FALSE(passes(L"COMMIT", begin(L"Apps\\Zelvan", L"")));
  EXPECT_FALSE(passes(L"COMMIT", begin(box_.app, box_.folders.win)));
  EXPECT_FALSE(passes(L"COMMIT", begin(box_.app + L"\\..\\..", L"")));
  EXPECT_FALSE(passes(L"COMMIT", begin(box_.app, L"", L"-0123456789ABCDEF")));
  EXPECT_FALSE(passes(L"COMMIT", begin(box_.app, L"", L"")));
  EXPECT_TRUE(passesBytes("ZSJ1\n"));
}

TEST_F(JournalCheck, InvalidUtf8FailsAndTheFirstFailingLineIsLogged) {
  LogCapture log;
  std::string good = "ZSJ1\n" + wideToUtf8(begin_) + "\n" + wideToUtf8(L"PUT\t" + app(L"a.dll")) + "\n";
  EXPECT_TRUE(passesBytes(good));
  EXPECT_FALSE(passesBytes(good + wideToUtf8(L"PUT\t" + box_.app) + "\\b\xC3\x28.dll\n"));
  EXPECT_FALSE(passesBytes(good + "MOVE\t\xFF\xFE\t\xFF\n"));
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Journal line 3 (PUT) failed the path check");
  EXPECT_EQ(lines[1], "Journal line 3 (MOVE) failed the path check");
}

TEST(JournalVocabulary, PathsSuffixesAndEntryNames) {
  EXPECT_TRUE(isJournalPath(L"C:\\a"));
  EXPECT_TRUE(isJournalPath(L"\\\\srv\\share\\a"));
  EXPECT_FALSE(isJournalPath(L"\\\\ab"));
  EXPECT_FALSE(isJournalPath(L"C:\\"));
  EXPECT_FALSE(isJournalPath(L"C:a"));
  EXPECT_FALSE(isJournalPath(L"\\\\?\\C:\\a"));
  EXPECT_FALSE(isJournalPath(L"C:\\a\\con"));
  EXPECT_FALSE(isJournalPath(L"C:\\a\\b:c"));
  EXPECT_TRUE(isRunSuffix(L"-0123456789abcdef"));
  EXPECT_FALSE(isRunSuffix(L"-0123456789abcde"));
  EXPECT_FALSE(isRunSuffix(L"00123456789abcdef"));
  EXPECT_TRUE(isEntryName(L"{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}"));
  EXPECT_FALSE(isEntryName(L"{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7"));
  EXPECT_FALSE(isEntryName(L"{3F6A1C2E_7B44-4D19-9E0B-5C2D8A61F0B7}"));
}

}  // namespace
}  // namespace zs::test
