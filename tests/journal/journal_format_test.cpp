// The journal's bytes: escaping, reading back, torn tails, numbering.
#include <gtest/gtest.h>

#include "journal/journal_format.h"

namespace zs {
namespace {

TEST(JournalFormat, FieldsComeBackUnchangedThroughEscaping) {
  for (std::wstring field : {std::wstring(L"100%"), std::wstring(L"a\tb"), std::wstring(L"line\r\nnext"),
                             std::wstring(L"%25 stays %25"), std::wstring(L"\u00e9\u4e2d\U0001F600"), std::wstring()}) {
    std::string line = journalLine(L"PUT", {field, L"x"});
    JournalImage image;
    ASSERT_EQ(parseJournal("ZSJ1\n" + line, image), JournalState::Invalid);  // no BEGIN first
    ASSERT_EQ(image.records.size(), 1u);
    ASSERT_EQ(image.records[0].fields.size(), 2u);
    EXPECT_EQ(image.records[0].fields[0], field);
    EXPECT_EQ(line.find('\r'), std::string::npos);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
  }
}

TEST(JournalFormat, OnlyTheFourUpperCaseEscapesAreDecoded) {
  EXPECT_EQ(unescapeJournalField(L"%0d%41%0D%25%0a%09%"), L"%0d%41\r%%0a\t%");
  EXPECT_EQ(unescapeJournalField(L"%2"), L"%2");
  EXPECT_EQ(unescapeJournalField(L"50%25"), L"50%");
  EXPECT_EQ(escapeJournalField(L"%0D"), L"%250D");
}

TEST(JournalFormat, HeaderAloneIsAnEmptyValidJournal) {
  JournalImage image;
  EXPECT_EQ(parseJournal("ZSJ1\n", image), JournalState::Valid);
  EXPECT_TRUE(image.records.empty());
  EXPECT_EQ(image.validLength, 5u);
  EXPECT_EQ(parseJournal("ZSJ1", image), JournalState::Invalid);
  EXPECT_EQ(parseJournal("", image), JournalState::Invalid);
  EXPECT_EQ(parseJournal("ZSJ2\nBEGIN\t1\t2\t3\t4\t5\n", image), JournalState::Invalid);
}

// What a power cut can leave of the header (a prefix, blocks of it zeroed) is told apart from a
// file that is something else.
TEST(JournalFormat, ATornHeaderIsToldApartFromAnythingElse) {
  using namespace std::string_literals;
  for (const std::string& torn : {""s, "Z"s, "ZSJ1"s, "ZSJ1\n"s, "\0\0\0\0\0"s, "Z\0J\0\n"s, "\0"s})
    EXPECT_TRUE(isTornJournalHeader(torn)) << torn.size();
  for (const std::string& other : {"ZSJ1\nB"s, "X"s, "ZSJ2\n"s, "\0\0\0\0\0\0"s, "ZSJ1\r"s, "SJ1\n"s})
    EXPECT_FALSE(isTornJournalHeader(other)) << other;
}

TEST(JournalFormat, TornTailIsNotARecord) {
  std::string head = "ZSJ1\nBEGIN\t2.0\tfresh\tC:\\A\t\t-0123456789abcdef\nDIRNEW\tC:\\A\n";
  JournalImage image;
  ASSERT_EQ(parseJournal(head + "PUT\tC:\\A\\x", image), JournalState::Valid);
  ASSERT_EQ(image.records.size(), 2u);
  EXPECT_EQ(image.validLength, head.size());
  EXPECT_EQ(image.records[1].number, 2);
  EXPECT_EQ(image.installFolder, L"C:\\A");
  EXPECT_EQ(image.oldInstallFolder, L"");
  EXPECT_EQ(image.runSuffix, L"-0123456789abcdef");
}

// A power cut can lose the block holding a record's start and keep the one holding its end and line
// feed: only the last line can be such a record, since each is flushed before the next is written.
TEST(JournalFormat, ALastLineWithZerosIsTornAndAnEarlierOneIsNot) {
  using namespace std::string_literals;
  const std::string head = "ZSJ1\nBEGIN\t2.0\tfresh\tC:\\A\t\t-0123456789abcdef\nDIRNEW\tC:\\A\n";
  struct Case {
    std::string tail;
    size_t records;
    size_t validLength;
  } cases[] = {
      {"\0\0\0\0T\tC:\\A\\x\n"s, 2, head.size()},
      {"PUT\tC:\\A\0\0x\n"s, 2, head.size()},
      {"\0\n"s, 2, head.size()},
      // Zeros in a line with another after it were flushed that way: a record, and one the path
      // check will refuse.
      {"\0\0T\tC:\\A\\x\nPUT\tC:\\A\\y\n"s, 4, head.size() + 22},
      {"PUT\tC:\\A\\x\n\0\0\0"s, 3, head.size() + 11},
  };
  for (const Case& c : cases) {
    JournalImage image;
    ASSERT_EQ(parseJournal(head + c.tail, image), JournalState::Valid);
    EXPECT_EQ(image.records.size(), c.records) << c.tail.size();
    EXPECT_EQ(image.validLength, c.validLength) << c.tail.size();
  }
}

TEST(JournalFormat, FirstRecordMustBeAFiveFieldBegin) {
  JournalImage image;
  EXPECT_EQ(parseJournal("ZSJ1\nBEGIN\t1\t2\t3\t4\n", image), JournalState::Invalid);
  EXPECT_EQ(parseJournal("ZSJ1\nBEGIN\t1\t2\t3\t4\t5\t6\n", image), JournalState::Invalid);
  EXPECT_EQ(parseJournal("ZSJ1\nbegin\t1\t2\t3\t4\t5\n", image), JournalState::Invalid);
  EXPECT_EQ(parseJournal("ZSJ1\nBEGIN\t1\t2\t3\t4\t5\n", image), JournalState::Valid);
}

TEST(JournalFormat, EmptyFieldsKeepTheirPlaceAndFlagsAreSet) {
  JournalImage image;
  ASSERT_EQ(parseJournal("ZSJ1\nBEGIN\t\t\t\t\t\nCOMMIT\nREGNEW\tHKLM\t64\tk\t\nEND\n", image), JournalState::Valid);
  EXPECT_TRUE(image.committed);
  EXPECT_TRUE(image.ended);
  ASSERT_EQ(image.records.size(), 4u);
  EXPECT_EQ(image.records[0].fields.size(), 5u);
  EXPECT_TRUE(image.records[1].fields.empty());
  EXPECT_EQ(image.records[2].fields.size(), 4u);
  EXPECT_EQ(image.records[2].fields[3], L"");
}

TEST(JournalFormat, InvalidUtf8IsMarkedAndReadWithReplacements) {
  JournalImage image;
  ASSERT_EQ(parseJournal("ZSJ1\nBEGIN\t1\t2\t3\t4\t5\nPUT\tC:\\A\\\xC3\x28\n", image), JournalState::Valid);
  EXPECT_TRUE(image.records[0].textValid);
  EXPECT_FALSE(image.records[1].textValid);
  EXPECT_NE(image.records[1].fields[0].find(L'\uFFFD'), std::wstring::npos);
}

TEST(JournalFormat, UndoneNumbers) {
  uint64_t v = 0;
  EXPECT_TRUE(parseJournalNumber(L"18446744073709551615", v));
  EXPECT_EQ(v, UINT64_MAX);
  EXPECT_FALSE(parseJournalNumber(L"18446744073709551616", v));
  EXPECT_FALSE(parseJournalNumber(L"000000000000000000001", v));  // 21 digits
  EXPECT_FALSE(parseJournalNumber(L"12a", v));
  EXPECT_FALSE(parseJournalNumber(L"", v));
  EXPECT_FALSE(parseJournalNumber(L"-1", v));
  EXPECT_TRUE(parseJournalNumber(L"00000000000000000001", v));
  EXPECT_EQ(v, 1u);
}

TEST(JournalFormat, AnyBytesReadWithoutHarmAndConsistently) {
  // A small deterministic generator: the same inputs on every run.
  uint32_t state = 12345;
  auto next = [&] {
    state = state * 1103515245u + 12345u;
    return state >> 16;
  };
  const std::string pieces[] = {"ZSJ1\n", "BEGIN", "\t", "\n", "%", "%0A", "%25", "\xC3", "\x80", "\xFF", "C:\\A", "UNDONE"};
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = round % 2 == 0 ? "ZSJ1\n" : "";
    int n = static_cast<int>(next() % 40);
    for (int i = 0; i < n; ++i) bytes += pieces[next() % (sizeof(pieces) / sizeof(pieces[0]))];
    JournalImage image;
    JournalState state1 = parseJournal(bytes, image);
    ASSERT_LE(image.validLength, bytes.size());
    if (state1 == JournalState::Valid) {
      ASSERT_EQ(bytes.compare(0, 5, "ZSJ1\n"), 0);
      // Reading only the valid part gives the same records.
      JournalImage again;
      ASSERT_EQ(parseJournal(bytes.substr(0, image.validLength), again), JournalState::Valid);
      ASSERT_EQ(again.records.size(), image.records.size());
    }
    for (size_t i = 0; i < image.records.size(); ++i) ASSERT_EQ(image.records[i].number, static_cast<int32_t>(i + 1));
  }
}

}  // namespace
}  // namespace zs
