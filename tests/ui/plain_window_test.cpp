#include "ui/plain_window.h"

#include <gtest/gtest.h>

#include <string>

#include "ui/plain_messages.h"

namespace zs::ui {
namespace {

TEST(PlainWindow, LicenceBoxText) {
  struct Case { const char* utf8; const wchar_t* shown; };
  const Case cases[] = {
      {"one\ntwo\n", L"one\r\ntwo\r\n"},
      {"\xEF\xBB\xBFterms\r\nmore", L"terms\r\nmore"},
      {"\nfirst", L"\r\nfirst"},
      {"a\r\n\nb", L"a\r\n\r\nb"},
      {"Br\xC3\xBC" "cke", L"Br\u00FCcke"},
      {"", L""},
  };
  for (const Case& c : cases) {
    std::string bytes(c.utf8);
    EXPECT_EQ(licenseBoxText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), c.shown) << c.utf8;
  }
  EXPECT_EQ(licenseBoxText(nullptr, 10), L"");
}

TEST(PlainWindow, HiddenTasksTakeNoPlaceInTheColumn) {
  std::vector<TaskChoice> tasks{{L"a", L"", L"", true, true}, {L"b", L"", L"", true, false},
                                {L"c", L"", L"", false, true}, {L"d", L"", L"", false, true}};
  EXPECT_EQ(taskBoxTops(tasks), (std::vector<int>{330, 0, 354, 378}));
}

TEST(PlainWindow, ProgressFillsAFifthPerStep) {
  struct Case { int32_t step, percent, position; };
  for (Case c : {Case{0, 0, 0}, Case{0, 100, 20}, Case{3, 40, 68}, Case{4, 100, 100}, Case{2, 4, 40}})
    EXPECT_EQ(progressPosition(c.step, c.percent), c.position) << c.step << " " << c.percent;
}

TEST(PlainWindow, TheReadyMessageAsksToOpenZelvanUnlessNoRun) {
  ClosingMessage ask = closingMessage(0, 0, L"", true, L"C:\\Z", L"", true);
  EXPECT_TRUE(ask.yesNo);
  EXPECT_EQ(ask.text, L"Prepared for this PC, so it opens quickly from the first launch.\r\n\r\nInstalled to: C:\\Z"
                      L"\r\n\r\nOpen Zelvan now?");
  ClosingMessage plain = closingMessage(0, 0, L"", true, L"C:\\Z", L"", false);
  EXPECT_FALSE(plain.yesNo);
  EXPECT_EQ(plain.text.find(L"Open Zelvan"), std::wstring::npos);
  EXPECT_FALSE(closingMessage(2, 0, L"", true, L"C:\\Z", L"", true).yesNo) << "only the installed message asks";
}

}  // namespace
}  // namespace zs::ui
