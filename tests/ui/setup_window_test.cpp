#include "ui/setup_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "ui/text_layout.h"

namespace zs::ui {
namespace {

TEST(WindowScale, FollowsTheDpiButKeepsTheWindowOnItsMonitor) {
  struct Case {
    unsigned dpi;
    int workWidth, workHeight;
    double scale;
  } cases[] = {
      {96, 1920, 1040, 1.0},
      {144, 1920, 1040, 1.5},
      {192, 1920, 1040, (1040 - 16) / 560.0},  // the height limits it
      {144, 1366, 728, 712 / 560.0},           // about 1.271: fits a small laptop at 150 %
      {120, 1024, 768, 1.25 > 1008 / 880.0 ? 1008 / 880.0 : 1.25},
      {96, 400, 300, 0.5},  // never below half size, even when it cannot fit
      {72, 1920, 1040, 0.75},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dpi << " dpi on " << c.workWidth << "x" << c.workHeight);
    double scale = windowScale(c.dpi, c.workWidth, c.workHeight);
    EXPECT_NEAR(scale, c.scale, 1e-9);
    int width = scaledPixels(880, scale), height = scaledPixels(560, scale);
    if (scale > 0.5) {
      EXPECT_LE(width, c.workWidth - 16 + 1);
      EXPECT_LE(height, c.workHeight - 16 + 1);
    }
  }
  EXPECT_EQ(scaledPixels(880, 1.5), 1320);
  EXPECT_EQ(scaledPixels(560, 712 / 560.0), 712);
  EXPECT_EQ(scaledPixels(0.5, 1.0), 1);  // halves round up
}

TEST(WindowScale, OnePixelAndSnappingStayOnTheDeviceGrid) {
  for (double k : {1.0, 1.25, 1.5, 712 / 560.0, 2.0, 2.5}) {
    SCOPED_TRACE(k);
    double p = onePixel(k);
    EXPECT_GE(p * k, 1.0 - 1e-9);
    EXPECT_NEAR(p * k, std::floor(std::max(1.0, std::floor(k))), 1e-9);
    for (double v : {0.0, 20.3, 54.0, 271.77, 559.9}) {
      double device = snap(v, k) * k;
      EXPECT_NEAR(device, std::round(device), 1e-6);
      EXPECT_LE(std::abs(snap(v, k) - v), 0.5 / k + 1e-9);
    }
  }
}

TEST(VersionText, DropsTrailingZeroParts) {
  struct Case {
    const wchar_t* in;
    const wchar_t* out;
  } cases[] = {
      {L"2.5.1.7", L"2.5.1.7"}, {L"2.5.1.0", L"2.5.1"}, {L"2.5.0.0", L"2.5"},
      {L"2.0.0.0", L"2.0"},     {L"10.0.0.3", L"10.0.0.3"}, {L"3.10.0.0", L"3.10"},
  };
  for (const Case& c : cases) EXPECT_EQ(shortVersionText(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace zs::ui
