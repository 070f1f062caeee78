// The language tables as the setup reads them from its own resources: this program carries the
// setup's tables and, beside them, a partial one (partial_language.rc) for the fallback to English.
#include "base/texts.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <set>

#include "base/failure.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "script/install_folder.h"
#include "ui/page_layout.h"
#include "ui/pages.h"
#include "ui/plain_messages.h"
#include "ui/plain_uninstall.h"
#include "ui/silent_sink.h"

namespace zs {
namespace {

using T = TextId;

// Each test leaves English behind, as a process that made no choice speaks.
class Texts : public testing::Test {
 protected:
  void TearDown() override { ASSERT_TRUE(useLanguage(L"en")); }
};

const std::vector<std::wstring> kShipped = {L"de", L"en", L"qps-ploc"};

TEST_F(Texts, EveryKeyHasAnEnglishTextAndEveryShippedTableEveryKey) {
  ASSERT_GT(allTextIds().size(), 150u);
  std::set<std::wstring> keys;
  for (TextId id : allTextIds()) {
    SCOPED_TRACE(textKey(id));
    EXPECT_TRUE(keys.insert(textKey(id)).second) << "a key twice";
    const std::wstring& english = englishText(id);
    EXPECT_FALSE(english.empty());
    EXPECT_NE(english, L"{" + std::wstring(textKey(id)) + L"}") << "the stand-in, not a text";
    for (const std::wstring& tag : kShipped) EXPECT_FALSE(tableText(tag, id).empty()) << tag;
  }
}

TEST_F(Texts, TheTablesAreFoundByTheirTags) {
  std::vector<std::wstring> tags = availableLanguages();
  std::sort(tags.begin(), tags.end());
  EXPECT_EQ(tags, (std::vector<std::wstring>{L"de", L"en", L"qps-ploc", L"zz-test"}));
  EXPECT_EQ(tableText(L"de", T::LanguageTag), L"de");
  EXPECT_EQ(tableText(L"QPS-PLOC", T::LanguageTag), L"qps-ploc");
  EXPECT_EQ(tableText(L"fr", T::ButtonNext), L"");
}

TEST_F(Texts, TheChosenLanguageSpeaksAndEnglishFillsItsGaps) {
  struct Case {
    const wchar_t* tag;
    TextId id;
    const wchar_t* shown;
  } cases[] = {
      {L"en", T::ButtonCancel, L"Cancel"},
      {L"de", T::ButtonCancel, L"Abbrechen"},
      {L"de", T::ButtonNext, L"Weiter"},
      {L"de", T::Browse, L"Durchsuchen\u2026"},
      {L"de", T::AcceptLicense, L"Ich akzeptiere die Lizenzvereinbarung"},
      {L"DE", T::ButtonBack, L"Zur\u00FCck"},
      {L"qps-ploc", T::ButtonNext, L"[\u00D1\u00E9xt !!!]"},
      // The partial table has its own Next, and English's Cancel.
      {L"zz-test", T::ButtonNext, L"Next (test)"},
      {L"zz-test", T::ButtonCancel, L"Cancel"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.tag << " " << textKey(c.id));
    ASSERT_TRUE(useLanguage(c.tag));
    EXPECT_EQ(text(c.id), c.shown);
    EXPECT_EQ(englishText(c.id), tableText(L"en", c.id)) << "English stays English";
  }
  EXPECT_EQ(currentLanguage(), L"zz-test");
  EXPECT_FALSE(useLanguage(L"fr"));
  EXPECT_FALSE(useLanguage(L""));
  EXPECT_EQ(currentLanguage(), L"zz-test") << "a refused language changes nothing";
}

TEST_F(Texts, PlaceholdersAreFilledInTheChosenLanguage) {
  ASSERT_TRUE(useLanguage(L"de"));
  EXPECT_EQ(textf(T::HeaderInstall, 2), L"Setup \u00B7 Schritt 2 von 4");
  EXPECT_EQ(textf(T::Percent, 50), L"50 %");
  EXPECT_EQ(textf(T::FolderNotEnoughSpace, L"D:", 120ull),
            L"Auf D: ist nicht gen\u00FCgend Speicherplatz frei. Zelvan ben\u00F6tigt 120 MB.");
  ASSERT_TRUE(useLanguage(L"en"));
  EXPECT_EQ(textf(T::Percent, 7), L"7%");
  EXPECT_EQ(textf(T::MsgBadSwitch, L"/lang=xx"), L"Setup doesn't recognise this switch: /lang=xx");
}

TEST_F(Texts, WindowsNamesItsDisplayLanguageAndTheChoiceFollowsIt) {
  std::wstring windows = windowsLanguageTag();
  EXPECT_TRUE(isLanguageTag(windows)) << windows;
  LanguageChoice fromWindows = chooseProcessLanguage(false, L"");
  EXPECT_EQ(fromWindows.windowsTag, windows);
  EXPECT_EQ(currentLanguage(), fromWindows.tag);

  LanguageChoice german = chooseProcessLanguage(true, L"de-AT");
  EXPECT_EQ(german.tag, L"de");
  EXPECT_EQ(german.source, LanguageSource::Switch);
  EXPECT_EQ(text(T::ButtonCancel), L"Abbrechen");

  LanguageChoice unknown = chooseProcessLanguage(true, L"xx");
  EXPECT_TRUE(unknown.unknownSwitch);
  EXPECT_EQ(unknown.tag, fromWindows.tag) << "the refusal speaks Windows' language";
  EXPECT_EQ(currentLanguage(), fromWindows.tag);
}

// English is the code's wording of today, byte for byte: each text against the function that
// shows it now. (Composed messages are compared through their parts.)
TEST_F(Texts, EnglishIsTheWordingTheSetupShowsToday) {
  auto en = [](TextId id) { return englishText(id); };
  using ui::Page;
  const TextId titles[ui::kPageCount] = {
      T::TitleWelcome, T::TitleOptions, T::TitleInstalling, T::TitleRollingBack, T::TitleReady,
      T::TitleStopped, T::TitleFailed, T::TitleIncomplete, T::TitleCantInstallYet, T::TitleCantInstallYet,
      T::TitleCantInstall, T::TitleCantInstall, T::TitleCantInstallYet, T::TitleCantStart, T::TitleUninstall,
      T::TitleRemoving, T::TitleRemoved, T::TitleAlmostDone, T::TitleCantUninstall};
  for (int32_t p = 0; p < ui::kPageCount; ++p) EXPECT_EQ(en(titles[p]), ui::pageTitle(static_cast<Page>(p))) << p;

  ui::UiState s;
  s.page = Page::Failed;
  EXPECT_EQ(ui::headerLine(s), format(64, en(T::HeaderInstall).c_str(), 3));
  s.role = ui::Role::Uninstall;
  s.page = Page::CantUninstall;
  EXPECT_EQ(ui::headerLine(s), format(64, en(T::HeaderUninstall).c_str(), 1));
  s.page = Page::Removing;
  std::vector<ui::RailEntry> rail = ui::railEntries(s);
  ASSERT_EQ(rail.size(), 3u);
  EXPECT_EQ(rail[0].name, en(T::RailConfirm));
  EXPECT_EQ(rail[0].sub, en(T::RailConfirmed));
  EXPECT_EQ(rail[1].name, en(T::RailRemove));
  EXPECT_EQ(rail[1].sub, en(T::RailFilesAndShortcuts));
  EXPECT_EQ(rail[2].name, en(T::RailFinish));
  EXPECT_EQ(rail[2].sub, en(T::RailAllDone));
  s.role = ui::Role::Install;
  s.page = Page::Welcome;
  rail = ui::railEntries(s);
  ASSERT_EQ(rail.size(), 4u);
  EXPECT_EQ(rail[0].name, en(T::RailWelcome));
  EXPECT_EQ(rail[0].sub, en(T::RailLicenseAgreement));
  EXPECT_EQ(rail[1].sub, en(T::RailFolderAndShortcuts));
  EXPECT_EQ(rail[2].name, en(T::RailInstall));
  EXPECT_EQ(rail[2].sub, en(T::RailCopyAndOptimize));
  EXPECT_EQ(rail[3].sub, en(T::RailReadyToOpen));
  s.page = Page::Failed;
  EXPECT_EQ(ui::railEntries(s)[2].sub, en(T::RailFailed));

  struct Question {
    ui::Question q;
    TextId title, primary, secondary;
  } questions[] = {
      {ui::Question::AppOpen, T::AskAppOpenTitle, T::AskAppOpenYes, T::ButtonCancel},
      {ui::Question::AppDidNotClose, T::AskAppDidNotCloseTitle, T::AskTryAgain, T::ButtonCancel},
      {ui::Question::Stop, T::AskStopTitle, T::AskStopYes, T::AskStopNo},
      {ui::Question::FileInUse, T::AskFileInUseTitle, T::AskTryAgain, T::ButtonCancel},
  };
  for (const Question& q : questions) {
    ui::QuestionText t = ui::questionText(q.q);
    EXPECT_EQ(t.title, en(q.title));
    EXPECT_EQ(t.primary, en(q.primary));
    EXPECT_EQ(t.secondary, en(q.secondary));
  }
  EXPECT_EQ(ui::questionText(ui::Question::CouldNotOpen).title, en(T::AskCouldNotOpenTitle));
  EXPECT_EQ(std::wstring(ui::kAcceptLabel), en(T::AcceptLicense));

  const TextId steps[][2] = {{T::StepCopyingFiles, T::StepCopyingFilesDetail},
                             {T::StepShortcuts, T::StepShortcutsDetail},
                             {T::StepOptimizing, T::StepOptimizingDetail},
                             {T::StepChecking, T::StepCheckingDetail},
                             {T::StepWarmingUp, T::StepWarmingUpDetail}};
  for (int32_t i = 0; i < 5; ++i) {
    EXPECT_EQ(installStepName(i), en(steps[i][0]));
    EXPECT_EQ(installStepDetail(i), en(steps[i][1]));
  }
  const TextId removing[][2] = {{T::StepRemovingImages, T::StepRemovingImagesDetail},
                                {T::StepRemovingShortcuts, T::StepRemovingShortcutsDetail},
                                {T::StepRemovingFiles, T::StepRemovingFilesDetail}};
  for (int32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(uninstallStepName(i), en(removing[i][0]));
    EXPECT_EQ(uninstallStepDetail(i), en(removing[i][1]));
  }

  EXPECT_EQ(userText(StopCategory::WriteFailed, L"C:\\x"), format(64, en(T::FailWrite).c_str(), L"C:\\x"));
  EXPECT_EQ(userText(StopCategory::DiskFull, L""), en(T::FailDiskFull));
  EXPECT_EQ(userText(StopCategory::RegistryFailed, L"k"), en(T::FailRegistry));
  EXPECT_EQ(userText(StopCategory::Damaged, L""), en(T::FailDamaged));
  EXPECT_EQ(userText(StopCategory::FileInUse, L"a.dll"), format(64, en(T::FailFileInUse).c_str(), L"a.dll"));
  EXPECT_EQ(userText(StopCategory::Unexpected, L""), en(T::FailUnexpected));

  const std::wstring para = L"\r\n\r\n";
  PlainErrorText dotNet = plainErrorText(Page::NoDotNet, L"");
  EXPECT_EQ(dotNet.caption, en(T::TitleCantInstallYet));
  EXPECT_EQ(dotNet.text, en(T::MsgNoDotNet) + para + en(T::MsgNoDotNetHelp) + para + en(T::PlainAskDownload));
  EXPECT_EQ(plainErrorText(Page::BadSwitch, L"/x").text, format(64, en(T::MsgBadSwitch).c_str(), L"/x"));
  EXPECT_EQ(plainErrorText(Page::MsiCopy, L"").text, en(T::MsgMsiCopy));
  EXPECT_EQ(plainErrorText(Page::OldWindows, L"").text, en(T::MsgOldWindows));
  EXPECT_EQ(plainErrorText(Page::Damaged, L"").text, en(T::MsgDamaged));
  EXPECT_EQ(plainErrorText(Page::NewerInstalled, L"").text, en(T::MsgNewerInstalled));
  EXPECT_EQ(plainInstallBox(PlainInstallAsk::AcceptLicense).text, en(T::PlainAcceptLicense));
  EXPECT_EQ(plainInstallBox(PlainInstallAsk::AcceptLicense).caption, en(T::WindowTitleInstall));
  EXPECT_EQ(plainInstallBox(PlainInstallAsk::StopInstalling).text, en(T::AskStopBody));
  EXPECT_EQ(plainInstallBox(PlainInstallAsk::FileInUse, L"a.dll").text,
            format(128, en(T::AskFileInUseBody).c_str(), L"a.dll"));
  EXPECT_EQ(plainInstallBox(PlainInstallAsk::CouldNotOpen, L"C:\\l.log").text,
            format(256, en(T::AskCouldNotOpenBody).c_str(), L"C:\\l.log"));
  ClosingMessage ready = closingMessage(0, 0, L"", false, L"C:\\Z", L"C:\\l.log", true);
  EXPECT_EQ(ready.text, en(T::ReadyNotOptimized) + para + format(64, en(T::PlainInstalledTo).c_str(), L"C:\\Z") +
                            para + en(T::PlainAskOpenApp));
  ClosingMessage failed = closingMessage(1, 2, L"", true, L"C:\\Z", L"C:\\l.log", false);
  EXPECT_EQ(failed.caption, en(T::TitleFailed));
  EXPECT_EQ(failed.text, en(T::MsgFailed) + para + en(T::FailDiskFull) + para +
                             format(64, en(T::PlainLogAt).c_str(), L"C:\\l.log"));
  EXPECT_EQ(closingMessage(10, 0, L"", true, L"", L"L", false).text,
            en(T::MsgIncomplete) + para + format(64, en(T::PlainLogAt).c_str(), L"L"));
  EXPECT_EQ(closingMessage(2, 0, L"", true, L"", L"", false).text, en(T::MsgStopped));
  EXPECT_EQ(std::wstring(plainUninstallBox(PlainUninstallAsk::Confirm).text),
            en(T::MsgConfirmUninstall) + para + en(T::NoteKeepSettings));
  EXPECT_EQ(std::wstring(plainUninstallBox(PlainUninstallAsk::CloseApp).text),
            en(T::AskAppOpenBody) + para + en(T::PlainAskCloseApp));
  EXPECT_EQ(plainUninstallBox(PlainUninstallAsk::RetryClose).text, en(T::AskAppDidNotCloseBody));
  EXPECT_EQ(plainUninstallBox(PlainUninstallAsk::RecordMissing).text, en(T::MsgCantUninstall));
  EXPECT_EQ(plainUninstallBox(PlainUninstallAsk::FinishedRestart).text, en(T::MsgAlmostDone));
  EXPECT_EQ(plainUninstallBox(PlainUninstallAsk::Finished).text, en(T::MsgRemoved));
}

TEST_F(Texts, EnglishFolderRefusalsAreTheCheckOfToday) {
  KnownFolders folders;
  folders.docs = L"C:\\Users\\u\\Documents";
  folders.userFoldersKnown = true;
  VolumeQueries fixed;
  fixed.driveType = [](const std::wstring&) { return static_cast<unsigned>(DRIVE_FIXED); };
  fixed.readOnly = [](const std::wstring&, bool& readOnly) { return readOnly = false, true; };
  fixed.freeBytes = [](const std::wstring&, uint64_t& free) { return free = 0, true; };
  VolumeQueries remote = fixed;
  remote.driveType = [](const std::wstring&) { return static_cast<unsigned>(DRIVE_REMOTE); };
  struct Case {
    std::wstring folder;
    const VolumeQueries* volume;
    TextId said;
  } cases[] = {
      {L"  ", &fixed, T::FolderEmpty},
      {L"Zelvan", &fixed, T::FolderNotFull},
      {L"C:\\" + std::wstring(300, L'a'), &fixed, T::FolderTooLong},
      {L"C:\\a*b", &fixed, T::FolderBadCharacters},
      {L"C:\\a\tb", &fixed, T::FolderControlCharacters},
      {L"C:\\a:b", &fixed, T::FolderColonOrSlash},
      {L"C:\\a\\\\b", &fixed, T::FolderDoubleBackslash},
      {L"C:\\a\\..\\b", &fixed, T::FolderDots},
      {L"C:\\a.\\b", &fixed, T::FolderTrailingDotOrSpace},
      {L"C:\\CON\\b", &fixed, T::FolderDeviceName},
      {L"Q:\\Zelvan", &remote, T::FolderDriveUnavailable},
      {L"C:\\Users\\u\\Documents\\Zelvan", &fixed, T::FolderProjects},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(textKey(c.said));
    EXPECT_EQ(checkInstallFolderWith(c.folder, folders, 0, *c.volume).message, englishText(c.said));
  }
  FolderVerdict full = checkInstallFolderWith(L"D:\\Zelvan", folders, 1, fixed);
  EXPECT_EQ(full.message, format(kMessageCapacity, englishText(T::FolderNotEnoughSpace).c_str(), L"D:", 6ull));
}

}  // namespace
}  // namespace zs
