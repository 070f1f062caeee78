// The journal file on disk: creating, appending, reopening after a torn write, the size limit, and
// the write failure that stops a step before its change.
#include <gtest/gtest.h>

#include "app/failure.h"
#include "journal/journal.h"
#include "journal/scenario.h"
#include "platform/files.h"
#include "support/log_capture.h"
#include "support/temp_folder.h"

namespace zs::test {
namespace {

TEST(JournalWriter, AppendsNumberedFlushedRecordsAndReadsThemBack) {
  TempFolder dir;
  std::wstring path = dir / L"install.zsj";
  JournalWriter j;
  ASSERT_EQ(j.create(path), 0u);
  EXPECT_EQ(readBytes(path), "ZSJ1\n");
  EXPECT_EQ(j.append(L"BEGIN", {L"2.0", L"fresh", L"C:\\A", L"", L"-0123456789abcdef"}), 1);
  EXPECT_EQ(j.append(L"PUT", {L"C:\\A\\100%\t.txt"}), 2);
  EXPECT_EQ(j.append(L"COMMIT", {}), 3);
  // Each record is on disk as soon as append returns, while the writer still holds the file.
  EXPECT_EQ(readBytes(path),
            "ZSJ1\nBEGIN\t2.0\tfresh\tC:\\A\t\t-0123456789abcdef\nPUT\tC:\\A\\100%25%09.txt\nCOMMIT\n");
  JournalImage image;
  ASSERT_EQ(readJournal(path, image), JournalState::Valid);
  EXPECT_EQ(image.records[1].fields[0], L"C:\\A\\100%\t.txt");
  EXPECT_TRUE(image.committed);
  EXPECT_FALSE(image.ended);

  // No second writer gets in while the run holds the file; readers do.
  HANDLE other = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
  EXPECT_EQ(other, INVALID_HANDLE_VALUE);
  if (other != INVALID_HANDLE_VALUE) CloseHandle(other);

  JournalWriter second;
  EXPECT_NE(second.create(path), 0u);  // never over an existing journal
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
  ASSERT_EQ(j.reopen(path, image.validLength, 2), 0u);
  EXPECT_EQ(j.append(L"UNDONE", {L"2"}), 3);
  j.close();
  EXPECT_EQ(readBytes(path), "ZSJ1\nBEGIN\t2.0\tfresh\tC:\\A\t\t-0123456789abcdef\nDIRNEW\tC:\\A\nUNDONE\t2\n");

  // A journal that has gone is made again (empty past the cut point is what a reopen expects).
  std::wstring gone = dir / L"gone.zsj";
  ASSERT_EQ(j.reopen(gone, 0, 0), 0u);
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
    EXPECT_EQ(stop.kind, Stop::kFailed);
    EXPECT_EQ(stop.category, static_cast<int32_t>(StopCategory::WriteFailed));
  }
  EXPECT_FALSE(changed);
  ASSERT_FALSE(log.lines().empty());
  EXPECT_EQ(log.lines().back().rfind("Couldn't write : Windows error 6: ", 0), 0u);
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
  ASSERT_EQ(j.reopen(path, image.validLength, 100), 0u);
  error = 0;
  EXPECT_EQ(j.append(L"PUT", {std::wstring(3000, L'x')}, &error), 0);
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_TOO_LARGE));
  EXPECT_EQ(j.append(L"UNDONE", {L"7"}), 101);
  EXPECT_EQ(j.append(L"END", {}), 102);
  j.close();
  EXPECT_EQ(readJournal(path, image), JournalState::Valid);
}

}  // namespace
}  // namespace zs::test
