// Every field of every record kind, judged on text alone against a scope made by hand. Runs
// natively and under Wine: the same rules serve the reader, the writer and the fuzzer.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "journal/journal_check.h"
#include "journal/journal_format.h"
#include "journal/sample_scope.h"
#include "journal_sample_data.h"
#include "base/text.h"

namespace zs::test {
namespace {

// A path on C: of exactly `chars` characters whose folder names stay within the 255 Windows allows.
std::wstring pathOfLength(size_t chars) {
  std::wstring path = L"C:";
  while (chars - path.size() > 202) path += L"\\" + std::wstring(200, L'a');
  return path + L"\\" + std::wstring(chars - path.size() - 1, L'a');
}

bool passesAt(const std::wstring& line, int32_t number) {
  return recordPassesCheck(parseJournalLine(wideToUtf8(line), number), sampleScope());
}

TEST(RecordCheck, EveryRecordOfARealJournalPasses) {
  JournalImage image;
  std::string_view bytes(reinterpret_cast<const char*>(kJournalSampleBytes), sizeof(kJournalSampleBytes));
  ASSERT_EQ(parseJournal(bytes, image), JournalState::Valid);
  ASSERT_EQ(image.records.size(), 22u);
  for (const JournalRecord& r : image.records) EXPECT_TRUE(recordPassesCheck(r, sampleScope())) << r.number;
}

TEST(RecordCheck, EveryFieldIsWhatTheUndoCanActOn) {
  const std::wstring app = L"C:\\Program Files\\Zelvan\\";
  const std::wstring key = L"\tHKLM\t64\tSoftware\\Brightmoor\\Zelvan\t";
  const std::wstring ngen = L"C:\\Windows\\Microsoft.NET\\Framework\\v4.0.30319\\ngen.exe\t";
  const std::wstring digest(64, L'a');
  struct Case {
    std::wstring line;
    int32_t number;
    bool passes;
  };
  const Case cases[] = {
      // BEGIN: first and only first; a known mode; folders as paths; the run suffix.
      {L"BEGIN\t2.5\tfresh\tC:\\Z\t\t-0123456789abcdef", 1, true},
      {L"BEGIN\t2.5\trepair\tC:\\Z\tC:\\Z\t-0123456789abcdef", 1, true},
      {L"BEGIN\t2.5\tfresh\tC:\\Z\t\t-0123456789abcdef", 2, false},
      {L"BEGIN\t2.5\tFresh\tC:\\Z\t\t-0123456789abcdef", 1, false},
      {L"BEGIN\t2.5\tsideways\tC:\\Z\t\t-0123456789abcdef", 1, false},
      {L"BEGIN\t2.5\tfresh\tZ\t\t-0123456789abcdef", 1, false},
      {L"BEGIN\t2.5\tfresh\tC:\\Z\tC:\\a\\..\\b\t-0123456789abcdef", 1, false},
      {L"BEGIN\t2.5\tfresh\tC:\\Z\t\t-0123456789ABCDEF", 1, false},
      {L"PUT\t" + app + L"a.dll", 1, false},
      // UNDONE names a record before it.
      {L"UNDONE\t2", 3, true},
      {L"UNDONE\t3", 3, false},
      {L"UNDONE\t4", 3, false},
      {L"UNDONE\t0", 3, false},
      {L"UNDONE\t18446744073709551615", 3, false},
      {L"UNDONE\t+1", 3, false},
      // Paths: control characters and too long a text never pass.
      {L"PUT\t" + app + L"a.dll", 3, true},
      {L"PUT\t" + app + L"a\x7f.dll", 3, false},
      {L"PUT\t" + app + L"a\x01.dll", 3, false},
      {L"DIRNEW\tC:\\Zelvan", 3, true},
      {L"DIRNEW\t" + std::wstring(1, L'\0') + L":\\Zelvan", 3, false},
      {L"DIRNEW\t\x7f:\\Zelvan", 3, false},
      {L"DIRNEW\t\\:\\Zelvan", 3, false},
      {L"DIRNEW\t" + pathOfLength(kMaxJournalPathChars), 3, true},
      {L"DIRNEW\t" + pathOfLength(kMaxJournalPathChars + 1), 3, false},
      // SEEDNEW: the digest is 64 hexadecimal digits, either case.
      {L"SEEDNEW\tC:\\Users\\pat\\Documents\\a.json\t" + digest, 3, true},
      {L"SEEDNEW\tC:\\Users\\pat\\Documents\\a.json\t" + std::wstring(64, L'F'), 3, true},
      {L"SEEDNEW\tC:\\Users\\pat\\Documents\\a.json\t" + std::wstring(64, L'g'), 3, false},
      {L"SEEDNEW\tC:\\Users\\pat\\Documents\\a.json\t" + digest + L"0", 3, false},
      // REGOLD: a value's type fits 32 bits and its bytes are whole hex pairs; a key has neither
      // name nor bytes.
      {L"REGOLD" + key + L"V\t1\t0a00", 3, true},
      {L"REGOLD" + key + L"V\t4294967295\t0A", 3, true},
      {L"REGOLD" + key + L"V\t1\t", 3, true},
      {L"REGOLD" + key + L"V\t1\t0a1", 3, false},
      {L"REGOLD" + key + L"V\t1\t0g", 3, false},
      {L"REGOLD" + key + L"V\t4294967296\t00", 3, false},
      {L"REGOLD" + key + L"V\t-1\t00", 3, false},
      {L"REGOLD" + key + L"V\t\t00", 3, false},
      {L"REGOLD" + key + L"\tkey\t", 3, true},
      {L"REGOLD" + key + L"V\tkey\t", 3, false},
      {L"REGOLD" + key + L"\tkey\t00", 3, false},
      {L"REGOLD" + key + L"\tKEY\t", 3, false},
      // Roots any case, views exactly.
      {L"REGNEW\thkcr\t32\tZelvan.Document\tx", 3, true},
      {L"REGNEW\tHKLM\t64 \tSoftware\\Brightmoor\tx", 3, false},
      {L"KEYNEW\tHKEY_LOCAL_MACHINE\t64\tSoftware\\Brightmoor", 3, false},
      // NGEN: one of the listed ngen.exe paths.
      {L"NGENNEW\t" + ngen + app + L"Zelvan.exe", 3, true},
      {L"NGENNEW\tC:\\Windows\\Microsoft.NET\\Framework\\v2.0.50727\\ngen.exe\t" + app + L"Zelvan.exe", 3, false},
      {L"CLEANENTRY\t64\t{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}", 3, true},
      {L"CLEANENTRY\t96\t{3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7}", 3, false},
      {L"END", 3, true},
      {L"END\t", 3, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(passesAt(c.line, c.number), c.passes) << wideToUtf8(c.line.substr(0, 120)) << " at " << c.number;
  }
}

}  // namespace
}  // namespace zs::test
