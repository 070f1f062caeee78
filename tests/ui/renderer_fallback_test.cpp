// This executable carries "FONT_R" and "FONT_S" but neither "FONT_M" nor "BRAND": the window must
// fall back to an installed font for every weight and draw without the image.
#include <windows.h>
#include <dwrite.h>

#include <gtest/gtest.h>

#include <string>

#include "base/log.h"
#include "ui/renderer.h"
#include "ui/window_fixture.h"

namespace zs::ui {
namespace {

size_t count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

TEST(RendererFallback, AMissingFontOrImageDowngradesTheLookOnce) {
  ComApartment com;
  ASSERT_HRESULT_SUCCEEDED(com.hr);
  Renderer renderer;
  std::wstring reason;
  ASSERT_TRUE(renderer.initialise(reason)) << testing::PrintToString(reason);
  EXPECT_TRUE(renderer.installedFont()) << "no mix of embedded and installed weights";
  EXPECT_EQ(count(theLog().pendingBytes(),
                  "The embedded fonts could not be loaded (font resource missing). Using an installed font."),
            1u);

  HiddenWindow window;
  if (window.handle == nullptr) GTEST_SKIP() << "no display: windows and render targets need one (set DISPLAY)";
  ASSERT_HRESULT_SUCCEEDED(renderer.makeTarget(window.handle, 880, 560, false, 1.0));
  auto frame = [](Canvas& c) {
    c.fillRect({0, 0, 880, 560}, Colour::Background);
    c.brand({20, 9, 56, 45});
    c.text(L"Install Zelvan", {80, 16}, 15, Weight::SemiBold, Colour::StrongText);
  };
  EXPECT_EQ(renderer.drawFrame(Theme::Light, nullptr, frame), S_OK) << "the frame draws without the image";
  EXPECT_EQ(renderer.drawFrame(Theme::Light, nullptr, frame), S_OK);
  ASSERT_HRESULT_SUCCEEDED(renderer.resizeTarget(2.0, 1760, 1120));
  EXPECT_EQ(renderer.drawFrame(Theme::Light, nullptr, frame), S_OK);
  ASSERT_HRESULT_SUCCEEDED(renderer.makeTarget(window.handle, 880, 560, false, 1.0));
  EXPECT_EQ(renderer.drawFrame(Theme::Light, nullptr, frame), S_OK);
  EXPECT_EQ(count(theLog().pendingBytes(), "The brand image could not be prepared, so the window draws without it."), 1u)
      << "tried once, never again: not per frame, size or target";
}

}  // namespace
}  // namespace zs::ui
