// The journal file on disk: creating, appending, reopening after a torn write, the size limit, and
// the write failure that stops a step before its change.
#include <gtest/gtest.h>

#include "base/failure.h"
#include "journal/journal.h"
#include "journal/record_kinds.h"
#include "journal/scenario.h"
#include "platform/files.h"
#include "base/text.h"
#include "support/log_capture.h"
#include "platform/known_folders.h"
#include "support/temp_folder.h"

namespace zs::test {
namespace {

// A run's folders for journals under C:\A, which none of them may touch.
const KnownFolders kNoFolders{};

// The scope of a journal whose install folder is C:\A.
JournalScope scopeOfA() {
  JournalScope scope;
  scope.installFolder = L"C:\\A";
  return scope;
}

TEST(JournalWriter, AppendsNumberedFlushedRecordsAndReadsThemBack) {
  TempFolder dir;
  std::wstring path = dir / L"install.zsj";
  JournalWriter j;
  ASSERT_EQ(j.create(path, kNoFolders, L""), 0u);
  EXPECT_EQ(readBytes(path), "ZSJ1\n");
  EXPECT_EQ(j.append(L"BEGIN", {L"2.0", L"fresh", L"C:\\A", L"", L"-0123456789abcdef"}), 1);
  EXPECT_EQ(j.append(L"PUT", {L"C:\\A\\100%.txt"}), 2);
  EXPECT_EQ(j.append(L"COMMIT", {}), 3);
  // Each record is on disk as soon as append returns, while the writer still holds the file.
  EXPECT_EQ(readBytes(path), "ZSJ1\nBEGIN\t2.0\tfresh\tC:\\A\t\t-0123456789abcdef\nPUT\tC:\\A\\100%25.txt\nCOMMIT\n");
  JournalImage image;
  ASSERT_EQ(readJournal(path, image), JournalState::Valid);
  EXPECT_EQ(image.records[1].fields[0], L"C:\\A\\100%.txt");
  EXPECT_TRUE(image.committed);
  EXPECT_FALSE(image.ended);

  // No second writer gets in while the run holds the file; readers do.
  HANDLE other = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);

  JournalWriter second;
  EXPECT_NE(second.create(path, kNoFolders, L""), 0u);  // never over an existing journal
  j.close();
  j.close();
  EXPECT_EQ(readJournal(dir / L"absent.zsj", image), JournalState::Absent);
}

TEST(JournalWriter, ReopeningCutsATornTailAndNumberingGoesOn) {
  TempFolder dir;
  std::wstring path = dir / L"install.zsj";
  writeBytes(path, "ZSJ1\nBEGIN\t2.0\tfresh\tC:\\A\t\t-0123456789abcdef\nDIRNEW\tC:\\A\nPUT\tC:\\A\\hal");
  JournalImage image;
  ASSERT_EQ(readJournal(path, image), JournalState::Valid);
  ASSERT_EQ(image.records.size(), 2u);
  JournalWriter j;
  ASSERT_EQ(j.reopen(path, image.validLength, 2, scopeOfA()), 0u);
  EXPECT_EQ(j.append(L"UNDONE", {L"2"}), 3);
  j.close();
  EXPECT_EQ(readBytes(path), "ZSJ1\nBEGIN\t2.0\tfresh\tC:\\A\t\t-0123456789abcdef\nDIRNEW\tC:\\A\nUNDONE\t2\n");

  // A journal that has gone is made again (empty past the cut point is what a reopen expects).
  std::wstring gone = dir / L"gone.zsj";
  ASSERT_EQ(j.reopen(gone, 0, 0, scopeOfA()), 0u);
  EXPECT_TRUE(pathExists(gone));
}

TEST(JournalWriter, AWriteThatCannotBeMadeStopsTheStepWithTheJournalsPath) {
  LogCapture log;
  JournalWriter closed;
  DWORD error = 0;
  EXPECT_EQ(closed.append(L"PUT", {L"C:\\A\\x"}, &error), 0);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
  bool changed = false;
  try {
    closed.appendOrFail(L"PUT", {L"C:\\A\\x"});
    changed = true;  // the step would make its change here
  } catch (const Stop& stop) {
    EXPECT_EQ(stop.kind, StopKind::Failed);
    EXPECT_EQ(stop.category, StopCategory::WriteFailed);
  }
  EXPECT_FALSE(changed);
  ASSERT_FALSE(log.lines().empty());
  EXPECT_EQ(log.lines().back().rfind("Couldn't write : Windows error 6: ", 0), 0u);
}

// The writer runs its reader's check on every record before anything reaches the file: a record
// the check would refuse, if written, would make the whole journal one that is set aside unread,
// and the change it describes could never be undone.
TEST(JournalWriter, ARecordItsReaderWouldRefuseIsNeverWritten) {
  TempFolder dir;
  std::wstring path = dir / L"install.zsj";
  const std::wstring nul = std::wstring(L"C:\\A\\x") + L'\0' + L"\\..\\..\\Windows\\x.dll";
  struct Case {
    std::wstring kind;
    std::vector<std::wstring> fields;
  };
  const Case refused[] = {
      {L"PUT", {nul}},
      {L"PUT", {L"C:\\A\\..\\Windows\\x.dll"}},
      {L"PUT", {L"C:\\B\\x.dll"}},
      {L"PUT", {L"C:\\A\\x\x7f.dll"}},
      {L"PUT", {L"C:\\A\\x.dll", L"extra"}},
      {L"REGOLD", {L"HKLM", L"64", L"Software\\Brightmoor", L"V", L"1", L"0a1"}},
      {L"UNDONE", {L"3"}},
      {L"BEGIN", {L"2.0", L"fresh", L"C:\\A", L"", L"-0123456789abcdef"}},
      {L"ERASE", {L"C:\\A\\x.dll"}},
      {L"PUT\tC:\\A\\x.dll", {}},                          // a kind that would read back as another
      {L"PUT", {std::wstring(L"C:\\A\\x") + wchar_t(0xD800) + L".dll"}},  // would not read back as given
      // A zero byte would read back as a record torn by a power cut.
      {L"REGNEW", {L"HKLM", L"64", L"Software\\Brightmoor", std::wstring(L"V\0W", 3)}},
  };
  {
    // The same value name without its zero passes: the zero alone is what refuses it.
    deleteFile(path);
    JournalWriter j;
    ASSERT_EQ(j.create(path, kNoFolders, L""), 0u);
    ASSERT_EQ(j.append(L"BEGIN", {L"2.0", L"fresh", L"C:\\A", L"", L"-0123456789abcdef"}), 1);
    EXPECT_TRUE(j.accepts(L"REGNEW", {L"HKLM", L"64", L"Software\\Brightmoor", L"VW"}));
  }
  for (const Case& c : refused) {
    SCOPED_TRACE(wideToUtf8(c.kind + L" " + (c.fields.empty() ? L"" : c.fields[0])));
    deleteFile(path);
    JournalWriter j;
    ASSERT_EQ(j.create(path, kNoFolders, L""), 0u);
    ASSERT_EQ(j.append(L"BEGIN", {L"2.0", L"fresh", L"C:\\A", L"", L"-0123456789abcdef"}), 1);
    std::string before = readBytes(path);
    LogCapture log;
    DWORD error = 0;
    EXPECT_FALSE(j.accepts(c.kind, c.fields));
    EXPECT_EQ(j.append(c.kind, c.fields, &error), 0);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_DATA));
    bool changed = false;
    try {
      j.appendOrFail(c.kind, c.fields);
      changed = true;  // the step would make its change here
    } catch (const Stop& stop) {
      EXPECT_EQ(stop.category, StopCategory::WriteFailed);
      EXPECT_EQ(stop.detail, path);
    }
    EXPECT_FALSE(changed);
    EXPECT_EQ(readBytes(path), before);
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines().front(), "Journal line 2 (" + wideToUtf8(c.kind) + ") not written: it would fail the path check");
    // The journal goes on with the next good record, numbered as if nothing had been tried.
    EXPECT_EQ(j.append(L"PUT", {L"C:\\A\\x.dll"}), 2);
    EXPECT_EQ(j.append(L"UNDONE", {L"2"}), 3);
  }
  // Before BEGIN nothing else is taken: a journal must begin with it.
  deleteFile(path);
  JournalWriter j;
  ASSERT_EQ(j.create(path, kNoFolders, L""), 0u);
  EXPECT_EQ(j.append(L"COMMIT", {}), 0);
  EXPECT_EQ(readBytes(path), "ZSJ1\n");
}

TEST(JournalWriter, TheSizeLimitHoldsForReaderAndWriter) {
  TempFolder dir;
  std::wstring path = dir / L"big.zsj";
  // One byte over the limit is not read at all.
  std::string big = "ZSJ1\nBEGIN\t1\t2\t3\t4\t5\n";
  std::string filler = "COMMIT\n";
  big.reserve(kJournalMaxBytes + 1);
  while (big.size() + filler.size() <= kJournalMaxBytes) big += filler;
  big.append(kJournalMaxBytes + 1 - big.size(), '\n');
  ASSERT_EQ(big.size(), kJournalMaxBytes + 1);
  ASSERT_TRUE(writeBytes(path, big));
  JournalImage image;
  DWORD error = 0;
  EXPECT_EQ(readJournal(path, image, &error), JournalState::Invalid);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));

  // The writer stops short of it, keeping room for an UNDONE per record and END: what it wrote
  // can always be read back and rolled back.
  big.clear();
  big.shrink_to_fit();
  std::string line = "PUT\t" + std::string(65536, 'x') + "\n";
  std::string nearly = "ZSJ1\nBEGIN\t1\t2\t3\t4\t5\n";
  while (nearly.size() + line.size() <= kJournalMaxBytes - 4096) nearly += line;
  nearly.append(kJournalMaxBytes - 4096 - nearly.size(), '\n');
  ASSERT_TRUE(writeBytes(path, nearly));
  nearly.clear();
  nearly.shrink_to_fit();
  ASSERT_EQ(readJournal(path, image), JournalState::Valid);
  image.records.clear();
  JournalWriter j;
  ASSERT_EQ(j.reopen(path, image.validLength, 100, scopeOfA()), 0u);
  error = 0;
  std::wstring large = L"C:\\A";  // 3,004 characters in folder names Windows allows
  for (int n = 0; n < 15; ++n) large += L"\\" + std::wstring(199, L'x');
  EXPECT_EQ(j.append(L"PUT", {large}, &error), 0);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
  EXPECT_EQ(j.append(L"UNDONE", {L"7"}), 101);
  EXPECT_EQ(j.append(L"END", {}), 102);
  j.close();
  EXPECT_EQ(readJournal(path, image), JournalState::Valid);
}

}  // namespace
}  // namespace zs::test
