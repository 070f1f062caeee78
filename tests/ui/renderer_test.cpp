#include <windows.h>
#include <dwrite.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "base/log.h"
#include "platform/com.h"
#include "platform/system_library.h"
#include "ui/arc_path.h"
#include "ui/mem_fonts.h"
#include "ui/palette.h"
#include "ui/renderer.h"
#include "ui/text_layout.h"
#include "ui/window_fixture.h"

namespace zs::ui {
namespace {

// ---- palette ----

TEST(Palette, EntriesSitWhereTheTableSays) {
  struct Case {
    int theme, index;
    uint32_t argb;
  } cases[] = {
      {0, 0, 0xFFF5F6F8u},  {0, 13, 0xFF4B2E83u},  {0, 83, 0xFF9AA0ACu},  {1, 83, 0xFF9D9585u},
      {2, 43, 0x38000000u}, {2, 59, 0xFF9F8EE8u},  {3, 13, 0xFFA996F2u},  {3, 47, 0x8C000000u},
      {4, 0, 0xFF000000u},  {4, 43, 0x00000000u},  {4, 47, 0xB2000000u},  {4, 83, 0xFFC9CDD5u},
      // Outside the table: opaque magenta, so that a slip shows on screen.
      {5, 0, 0xFFFF00FFu},  {-1, 0, 0xFFFF00FFu},  {0, 84, 0xFFFF00FFu},  {0, -1, 0xFFFF00FFu},
  };
  for (const Case& c : cases)
    EXPECT_EQ(paletteColour(c.theme, c.index), c.argb) << "theme " << c.theme << " entry " << c.index;
  EXPECT_EQ(paletteColourRef(0, 13), 0x00832E4Bu) << "GDI takes blue, green, red and drops alpha";
  EXPECT_EQ(paletteColourRef(4, 47), 0x00000000u);
}

// ---- link underline ----

TEST(LinkUnderline, BreaksUnderDescendersWithAGapEachSide) {
  struct Case {
    const wchar_t* text;
    double size;
    std::vector<std::pair<double, double>> pieces;
  } cases[] = {
      {L"Log", 13, {{0, 15.6 - 0.624}}},
      {L"View the log", 13, {{0, 11 * 7.8 - 0.624}}},
      {L"a,b", 20, {{0, 12 - 0.96}, {24 + 0.96, 36}}},
      {L"jy", 13, {}},
      {L"abc", 13, {{0, 23.4}}},
      {L"\x4E2D" L"p", 10, {{0, 12 - 0.48}}},  // a wide character takes two columns
  };
  for (const Case& c : cases) {
    std::vector<UnderlineSpan> got = underlineSpans(c.text, 0, c.size);
    ASSERT_EQ(got.size(), c.pieces.size()) << testing::PrintToString(std::wstring(c.text));
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_NEAR(got[i].left, c.pieces[i].first, 1e-9) << i;
      EXPECT_NEAR(got[i].right, c.pieces[i].second, 1e-9) << i;
    }
  }
  std::vector<UnderlineSpan> shifted = underlineSpans(L"ab", 100, 13);
  ASSERT_EQ(shifted.size(), 1u);
  EXPECT_DOUBLE_EQ(shifted[0].left, 100);
}

// ---- arcs ----

PointF bezierAt(PointF a, const BezierPiece& b, double t) {
  const double u = 1 - t;
  auto mix = [&](float p0, float p1, float p2, float p3) {
    return static_cast<float>(u * u * u * p0 + 3 * u * u * t * p1 + 3 * u * t * t * p2 + t * t * t * p3);
  };
  return {mix(a.x, b.control1.x, b.control2.x, b.end.x), mix(a.y, b.control1.y, b.control2.y, b.end.y)};
}

TEST(ArcPath, FollowsTheCircleClockwiseFromTheTop) {
  const PointF c{100, 50};
  const float r = 20;
  const double deg = 3.14159265358979323846 / 180;
  auto on = [&](double degrees) { return PointF{c.x + r * static_cast<float>(std::sin(degrees * deg)),
                                                c.y - r * static_cast<float>(std::cos(degrees * deg))}; };
  struct Case {
    float start, sweep;
    size_t pieces;
    double end;  // where the arc ends, clockwise degrees
  } cases[] = {
      {0, 90, 1, 90},     {37, 90, 1, 127},  {0, 360, 4, 360},  {-45, 100, 2, 55},
      {90, -135, 2, -45}, {0, 720, 4, 360},  {10, 0, 0, 10},    {0, 1, 1, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(testing::Message() << "start " << k.start << " sweep " << k.sweep);
    const ArcPath path = arcPath(c, r, k.start, k.sweep);
    ASSERT_EQ(path.pieces.size(), k.pieces);
    EXPECT_NEAR(path.start.x, on(k.start).x, 1e-3);
    EXPECT_NEAR(path.start.y, on(k.start).y, 1e-3);
    if (k.pieces == 0) continue;
    EXPECT_NEAR(path.pieces.back().end.x, on(k.end).x, 1e-3);
    EXPECT_NEAR(path.pieces.back().end.y, on(k.end).y, 1e-3);
    // Every piece stays on the circle and moves the right way round.
    PointF from = path.start;
    const double step = (k.end - k.start) / k.pieces;
    for (size_t i = 0; i < k.pieces; ++i) {
      for (double t : {0.25, 0.5, 0.75}) {
        const PointF p = bezierAt(from, path.pieces[i], t);
        EXPECT_NEAR(std::hypot(p.x - c.x, p.y - c.y), r, 0.01 * r) << "piece " << i << " t " << t;
      }
      const PointF mid = bezierAt(from, path.pieces[i], 0.5);
      const PointF want = on(k.start + step * (i + 0.5));
      EXPECT_NEAR(mid.x, want.x, 0.01 * r) << "piece " << i;
      EXPECT_NEAR(mid.y, want.y, 0.01 * r) << "piece " << i;
      from = path.pieces[i].end;
    }
  }
}

// ---- memory font loaders ----

class MemFonts : public testing::Test {
 protected:
  void SetUp() override {
    using Create = HRESULT(WINAPI*)(DWRITE_FACTORY_TYPE, REFIID, IUnknown**);
    auto create = systemProc<Create>(loadSystemLibrary(L"dwrite.dll"), "DWriteCreateFactory");
    ASSERT_NE(create, nullptr);
    ASSERT_HRESULT_SUCCEEDED(create(DWRITE_FACTORY_TYPE_ISOLATED, __uuidof(IDWriteFactory),
                                    reinterpret_cast<IUnknown**>(factory.put())));
  }
  Com<IDWriteFactory> factory;
};

TEST_F(MemFonts, KeysOfAnyOtherSizeAreRefused) {
  const uint8_t bytes[4] = {1, 2, 3, 4};
  const MemFontKey key = memFontKey(bytes, sizeof bytes);
  MemFileLoader files;
  MemCollectionLoader collections(&files);
  for (UINT32 size : {4u, 0u, 12u}) {
    IDWriteFontFileStream* stream = reinterpret_cast<IDWriteFontFileStream*>(1);
    EXPECT_EQ(files.CreateStreamFromKey(&key, size, &stream), E_INVALIDARG) << size;
    EXPECT_EQ(stream, nullptr);
    IDWriteFontFileEnumerator* enumerator = reinterpret_cast<IDWriteFontFileEnumerator*>(1);
    EXPECT_EQ(collections.CreateEnumeratorFromKey(factory.get(), &key, size, &enumerator), E_INVALIDARG) << size;
    EXPECT_EQ(enumerator, nullptr);
  }
}

TEST_F(MemFonts, FragmentsMustLieWithinTheFont) {
  const uint8_t bytes[16] = {};
  const MemFontKey key = memFontKey(bytes, sizeof bytes);
  MemFileLoader files;
  Com<IDWriteFontFileStream> stream;
  ASSERT_HRESULT_SUCCEEDED(files.CreateStreamFromKey(&key, sizeof key, stream.put()));
  struct Case {
    UINT64 offset, size;
    bool ok;
  } cases[] = {
      {0, 16, true},  {15, 1, true},  {16, 0, true},  {0, 17, false},  {16, 1, false},
      {1, 16, false}, {17, 0, false}, {~0ull, 2, false}, {0, ~0ull, false}, {1ull << 63, 1ull << 63, false},
  };
  for (const Case& c : cases) {
    const void* fragment = reinterpret_cast<const void*>(1);
    void* context = reinterpret_cast<void*>(1);
    HRESULT hr = stream->ReadFileFragment(&fragment, c.offset, c.size, &context);
    if (c.ok) {
      EXPECT_EQ(hr, S_OK) << c.offset << "+" << c.size;
      EXPECT_EQ(fragment, bytes + c.offset);
    } else {
      EXPECT_EQ(hr, E_FAIL) << c.offset << "+" << c.size;
      EXPECT_EQ(fragment, nullptr);
    }
  }
  UINT64 size = 0, time = 1;
  EXPECT_EQ(stream->GetFileSize(&size), S_OK);
  EXPECT_EQ(size, 16u);
  EXPECT_EQ(stream->GetLastWriteTime(&time), S_OK);
  EXPECT_EQ(time, 0u);

  void* out = nullptr;
  EXPECT_EQ(stream->QueryInterface(__uuidof(IDWriteFontFileLoader), &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(stream->QueryInterface(__uuidof(IUnknown), &out), S_OK);
  EXPECT_EQ(out, static_cast<IUnknown*>(stream.get()));
  static_cast<IUnknown*>(out)->Release();
}

TEST_F(MemFonts, TheEnumeratorYieldsOneFileOnce) {
  const uint8_t bytes[16] = {};
  const MemFontKey key = memFontKey(bytes, sizeof bytes);
  MemFileLoader files;
  MemCollectionLoader collections(&files);
  ASSERT_HRESULT_SUCCEEDED(factory->RegisterFontFileLoader(&files));
  {
    Com<IDWriteFontFileEnumerator> enumerator;
    ASSERT_HRESULT_SUCCEEDED(collections.CreateEnumeratorFromKey(factory.get(), &key, sizeof key, enumerator.put()));
    Com<IDWriteFontFile> file;
    EXPECT_EQ(enumerator->GetCurrentFontFile(file.put()), E_FAIL) << "before MoveNext";
    EXPECT_EQ(file.get(), nullptr);
    BOOL has = FALSE;
    ASSERT_EQ(enumerator->MoveNext(&has), S_OK);
    EXPECT_TRUE(has);
    ASSERT_EQ(enumerator->GetCurrentFontFile(file.put()), S_OK);
    ASSERT_TRUE(file);
    const void* fileKey = nullptr;
    UINT32 fileKeySize = 0;
    ASSERT_HRESULT_SUCCEEDED(file->GetReferenceKey(&fileKey, &fileKeySize));
    ASSERT_EQ(fileKeySize, sizeof key);
    EXPECT_EQ(static_cast<const MemFontKey*>(fileKey)->address, key.address);
    EXPECT_EQ(enumerator->MoveNext(&has), S_OK);
    EXPECT_FALSE(has);
    EXPECT_EQ(enumerator->MoveNext(&has), S_OK);
    EXPECT_FALSE(has);
  }
  factory->UnregisterFontFileLoader(&files);
}

#ifdef ZS_TEST_UI_FONTS
TEST_F(MemFonts, TheEmbeddedFontsFillTheThreeWeightSlots) {
  EmbeddedFonts fonts;
  const wchar_t* reason = L"";
  ASSERT_TRUE(loadEmbeddedFonts(factory.get(), fonts, reason)) << testing::PrintToString(std::wstring(reason));
  const DWRITE_FONT_WEIGHT weights[kWeightSlots] = {DWRITE_FONT_WEIGHT_NORMAL, DWRITE_FONT_WEIGHT_MEDIUM,
                                                    DWRITE_FONT_WEIGHT_SEMI_BOLD};
  for (int i = 0; i < kWeightSlots; ++i) {
    EXPECT_EQ(fonts.slots[i].family, L"JetBrains Mono") << i;
    EXPECT_EQ(fonts.slots[i].weight, weights[i]) << i;
    EXPECT_EQ(fonts.slots[i].stretch, DWRITE_FONT_STRETCH_NORMAL) << i;
    EXPECT_EQ(fonts.slots[i].style, DWRITE_FONT_STYLE_NORMAL) << i;
    ASSERT_TRUE(fonts.slots[i].collection);
    EXPECT_EQ(fonts.slots[i].collection->GetFontFamilyCount(), 1u);
  }
}
#endif

// ---- renderer ----

// Every primitive once, in every text size and weight.
void drawEverything(Canvas& c) {
  c.fillRect({0, 0, 880, 560}, Colour::Background);
  c.fillRoundRect({10, 10, 100, 50}, 6, Colour::Rail);
  c.borderedRoundRect({10, 60, 100, 100}, 6, Colour::Field, Colour::Rail);
  c.strokeRoundRect({10, 110, 100, 150}, 6, 1, Colour::Focus);
  c.line({10, 160}, {100, 160}, 1, Colour::PendingMark);
  const PointF check[] = {{5, 8.2f}, {7, 10.2f}, {11, 6}};
  c.polyline(check, 3, 1.75f, Colour::Success);
  c.fillCircle({150, 30}, 10, Colour::Accent);
  c.strokeCircle({150, 70}, 10, 1.5f, Colour::Track);
  for (float sweep : {90.0f, 360.0f, -135.0f}) c.arc({150, 110}, 10, 37, sweep, 2, Colour::Accent);
  c.pushClip({200, 0, 700, 400});
  float y = 0;
  for (float size : kTextSizes) {
    for (Weight w : {Weight::Regular, Weight::Medium, Weight::SemiBold}) {
      c.text(L"Install Zelvan \x00B7 Step 2 of 4", {200, y}, size, w, Colour::StrongText);
      y += 16;
    }
  }
  c.text(L"Browse\x2026", {200, y}, 14, Weight::Regular, Colour::StrongText);
  c.popClip();
  c.text(L"View the install log", {200, 500}, 13, Weight::Regular, Colour::Accent);
  c.linkUnderline(L"View the install log", {200, 500}, 13, Colour::Accent);
  c.brand({20, 20, 56, 56});
}

TEST(Renderer, DrawsEveryPrimitiveOnBothKindsOfTarget) {
  ComApartment com;
  ASSERT_HRESULT_SUCCEEDED(com.hr);
  Renderer renderer;
  std::wstring reason;
  ASSERT_TRUE(renderer.initialise(reason)) << testing::PrintToString(reason);
#ifdef ZS_TEST_UI_FONTS
  EXPECT_FALSE(renderer.installedFont());
#endif
  EXPECT_EQ(renderer.drawFrame(Theme::Light, nullptr, drawEverything), E_POINTER) << "no target yet";

  HiddenWindow window;
  if (window.handle == nullptr) GTEST_SKIP() << "no display: windows and render targets need one (set DISPLAY)";
  for (bool dc : {false, true}) {
    SCOPED_TRACE(dc ? "DC target" : "HWND target");
    renderer.useDcTarget(dc);
    ASSERT_HRESULT_SUCCEEDED(renderer.makeTarget(window.handle, 880, 560, false, 1.0));
    EXPECT_TRUE(renderer.hasTarget());
    HDC paintDc = GetDC(window.handle);
    for (Theme theme : {Theme::Light, Theme::Warm, Theme::Dim, Theme::Dark, Theme::Contrast})
      EXPECT_EQ(renderer.drawFrame(theme, paintDc, drawEverything), S_OK);
    // A new scale re-makes the line metrics and the brand bitmap.
    ASSERT_HRESULT_SUCCEEDED(renderer.resizeTarget(1.5, 1320, 840));
    EXPECT_EQ(renderer.targetScale(), 1.5);
    EXPECT_EQ(renderer.drawFrame(Theme::Dark, paintDc, drawEverything), S_OK);
    EXPECT_EQ(renderer.drawFrame(Theme::Dark, paintDc, [](Canvas& c) { c.popClip(); }), E_FAIL)
        << "a clip popped that was never pushed fails the frame";
    EXPECT_EQ(renderer.drawFrame(Theme::Dark, paintDc,
                                 [](Canvas& c) {
                                   c.pushClip({0, 0, 10, 10});
                                 }),
              E_FAIL)
        << "a clip left pushed fails the frame, which still ends";
    EXPECT_EQ(renderer.drawFrame(Theme::Dark, paintDc, drawEverything), S_OK) << "and the next frame draws";
    ReleaseDC(window.handle, paintDc);
    renderer.releaseTarget();
    EXPECT_FALSE(renderer.hasTarget());
  }
#ifdef ZS_TEST_UI_BRAND
  EXPECT_EQ(theLog().pendingBytes().find("brand image could not be prepared"), std::string::npos);
#endif
}

}  // namespace
}  // namespace zs::ui
