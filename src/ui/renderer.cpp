#include "ui/renderer.h"

#include <wincodec.h>
#include <d2d1.h>
#include <dwrite.h>

#include <algorithm>
#include <optional>
#include <cmath>
#include <span>
#include <string_view>
#include <unordered_map>

#include "base/log.h"
#include "platform/com.h"
#include "platform/resource.h"
#include "platform/system_library.h"
#include "base/text.h"
#include "ui/arc_path.h"
#include "ui/mem_fonts.h"
#include "ui/palette.h"
#include "ui/text_layout.h"

namespace zs::ui {

namespace {

// Direct2D and DirectWrite are reached through GetProcAddress only: the setup has to start (and
// fall back to its plain window) on a system without them.
using D2D1CreateFactoryFn = HRESULT(WINAPI*)(D2D1_FACTORY_TYPE, REFIID, const D2D1_FACTORY_OPTIONS*, void**);
using DWriteCreateFactoryFn = HRESULT(WINAPI*)(DWRITE_FACTORY_TYPE, REFIID, IUnknown**);

constexpr int kSizeCount = 6;
constexpr DWRITE_FONT_WEIGHT kInstalledWeights[kWeightSlots] = {DWRITE_FONT_WEIGHT_NORMAL, DWRITE_FONT_WEIGHT_NORMAL,
                                                                DWRITE_FONT_WEIGHT_BOLD};
// Text layouts are kept between frames; a page shows far fewer distinct texts than this.
constexpr size_t kLayoutCacheLimit = 512;
constexpr double kBrandUnits = 36;

std::wstring hresultText(const wchar_t* what, HRESULT hr) {
  return format(96, L"%ls 0x%08lx", what, static_cast<unsigned long>(hr));
}

HRESULT lastErrorResult() {
  DWORD error = GetLastError();
  return error == 0 ? E_FAIL : HRESULT_FROM_WIN32(error);
}

D2D1_COLOR_F colourOf(Theme theme, Colour colour) {
  const uint32_t argb = paletteColour(theme, colour);
  return D2D1::ColorF(static_cast<float>((argb >> 16) & 0xFF) / 255.0f, static_cast<float>((argb >> 8) & 0xFF) / 255.0f,
                      static_cast<float>(argb & 0xFF) / 255.0f, static_cast<float>(argb >> 24) / 255.0f);
}

// The format whose size is nearest; a size between the formats' is set on the layout itself.
int sizeIndex(float size) {
  int best = 0;
  for (int i = 1; i < kSizeCount; ++i)
    if (std::fabs(kTextSizes[i] - size) < std::fabs(kTextSizes[best] - size)) best = i;
  return best;
}

HRESULT setLineMetrics(IDWriteTextFormat* format, float size, double scale) {
  return format->SetLineSpacing(DWRITE_LINE_SPACING_METHOD_UNIFORM, static_cast<float>(lineHeight(size, scale)),
                                static_cast<float>(fontAscent(size, scale)));
}

}  // namespace

// Everything a frame's primitives reach; the renderer's implementation is this state.
struct RenderState {
  Com<ID2D1Factory> d2d;
  Com<IDWriteFactory> dwrite;  // outlives the fonts, which unregister their loaders from it
  EmbeddedFonts fonts;
  FontSlot installed[kWeightSlots];
  bool installedFont = false;
  Com<IDWriteTextFormat> formats[kSizeCount][kWeightSlots];
  double formatScale = 1;
  Com<IDWriteRenderingParams> renderingParams;
  Com<ID2D1StrokeStyle> stroke;

  bool useDc = false;
  HWND window = nullptr;
  Com<ID2D1HwndRenderTarget> hwndTarget;
  Com<ID2D1DCRenderTarget> dcTarget;
  ID2D1RenderTarget* target = nullptr;  // whichever of the two is made
  Com<ID2D1SolidColorBrush> brush;
  double scale = 1;

  Com<IWICImagingFactory> wic;
  bool wicTried = false;
  Com<ID2D1Bitmap> brand;
  UINT brandPixels = 0;
  bool brandFailed = false;

  std::unordered_map<std::wstring, Com<IDWriteTextLayout>> layouts;
  bool drawError = false;
  int clipDepth = 0;

  const FontSlot* slots() const { return installedFont ? installed : fonts.slots; }
  void useInstalledFont();
  bool makeFormats();
  void adoptScale(double newScale);
  HRESULT createTarget(HWND hwnd, UINT width, UINT height, bool software);
  void prepareBrand(UINT pixels);
  void failBrand();
  IDWriteTextLayout* layoutFor(std::wstring_view text, float size, Weight weight);
};

struct Renderer::Impl : RenderState {};

// The layout measures every text as monospaced, so the installed monospaced families come first:
// a proportional font breaks lines early and leaves gaps. Consolas, Lucida Console and Courier New
// come with Windows; Liberation Mono and DejaVu Sans Mono are what a Wine prefix usually sees.
// Only then Segoe UI (on every Windows), the system's message font, Tahoma, or else the first
// family installed, so that text never disappears for want of a font.
void RenderState::useInstalledFont() {
  Com<IDWriteFontCollection> system;
  const bool haveSystem = SUCCEEDED(dwrite->GetSystemFontCollection(system.put(), FALSE));
  auto installedFamily = [&](const wchar_t* name) {
    UINT32 index = 0;
    BOOL exists = FALSE;
    return haveSystem && name != nullptr && name[0] != L'\0' &&
           SUCCEEDED(system->FindFamilyName(name, &index, &exists)) && exists;
  };
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  const wchar_t* messageFont =
      SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0) ? metrics.lfMessageFont.lfFaceName
                                                                                     : nullptr;
  std::wstring family = L"Segoe UI";
  bool found = false;
  for (const wchar_t* candidate : {L"Consolas", L"Lucida Console", L"Courier New", L"Liberation Mono",
                                   L"DejaVu Sans Mono", L"Segoe UI", messageFont, L"Tahoma"}) {
    if (installedFamily(candidate)) {
      family = candidate;
      found = true;
      break;
    }
  }
  if (!found && haveSystem && system->GetFontFamilyCount() > 0) {
    Com<IDWriteFontFamily> first;
    Com<IDWriteLocalizedStrings> names;
    UINT32 length = 0;
    if (SUCCEEDED(system->GetFontFamily(0, first.put())) && SUCCEEDED(first->GetFamilyNames(names.put())) &&
        SUCCEEDED(names->GetStringLength(0, &length))) {
      std::wstring name(length + 1, L'\0');
      if (SUCCEEDED(names->GetString(0, name.data(), length + 1))) family = name.c_str();
    }
  }
  for (int i = 0; i < kWeightSlots; ++i) {
    installed[i].family = family;
    installed[i].weight = kInstalledWeights[i];
  }
  installedFont = true;
}

bool RenderState::makeFormats() {
  const FontSlot* from = slots();
  for (int s = 0; s < kSizeCount; ++s) {
    for (int w = 0; w < kWeightSlots; ++w) {
      IDWriteTextFormat** format = formats[s][w].put();
      if (FAILED(dwrite->CreateTextFormat(from[w].family.c_str(), from[w].collection.get(), from[w].weight,
                                          from[w].style, from[w].stretch, kTextSizes[s], L"en-us", format)))
        return false;
      IDWriteTextFormat* f = *format;
      if (FAILED(f->SetWordWrapping(DWRITE_WORD_WRAPPING_NO_WRAP)) ||
          FAILED(f->SetTextAlignment(DWRITE_TEXT_ALIGNMENT_LEADING)) ||
          FAILED(f->SetParagraphAlignment(DWRITE_PARAGRAPH_ALIGNMENT_NEAR)) ||
          FAILED(setLineMetrics(f, kTextSizes[s], formatScale)))
        return false;
    }
  }
  return true;
}

// Line heights and ascents are whole device pixels, so they change with the scale; layouts made
// for the old scale are dropped.
void RenderState::adoptScale(double newScale) {
  scale = newScale;
  if (newScale == formatScale) return;
  formatScale = newScale;
  for (int s = 0; s < kSizeCount; ++s)
    for (int w = 0; w < kWeightSlots; ++w)
      if (formats[s][w]) setLineMetrics(formats[s][w].get(), kTextSizes[s], newScale);
  layouts.clear();
}

HRESULT RenderState::createTarget(HWND hwnd, UINT width, UINT height, bool software) {
  const float dpi = static_cast<float>(scale * 96.0);
  HRESULT hr;
  if (useDc) {
    // A DC target takes only this pixel format.
    D2D1_RENDER_TARGET_PROPERTIES props = D2D1::RenderTargetProperties(
        software ? D2D1_RENDER_TARGET_TYPE_SOFTWARE : D2D1_RENDER_TARGET_TYPE_DEFAULT,
        D2D1::PixelFormat(DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_IGNORE), dpi, dpi);
    hr = d2d->CreateDCRenderTarget(&props, dcTarget.put());
    if (SUCCEEDED(hr)) target = dcTarget.get();
  } else {
    D2D1_RENDER_TARGET_PROPERTIES props = D2D1::RenderTargetProperties(
        software ? D2D1_RENDER_TARGET_TYPE_SOFTWARE : D2D1_RENDER_TARGET_TYPE_DEFAULT,
        D2D1::PixelFormat(DXGI_FORMAT_UNKNOWN, D2D1_ALPHA_MODE_IGNORE), dpi, dpi);
    D2D1_HWND_RENDER_TARGET_PROPERTIES hwndProps = D2D1::HwndRenderTargetProperties(hwnd, D2D1::SizeU(width, height));
    hr = d2d->CreateHwndRenderTarget(&props, &hwndProps, hwndTarget.put());
    if (SUCCEEDED(hr)) target = hwndTarget.get();
  }
  return hr;
}

void RenderState::failBrand() {
  logLine(L"The brand image could not be prepared, so the window draws without it.");
  brandFailed = true;
  brand.reset();
  brandPixels = 0;
}

void RenderState::prepareBrand(UINT pixels) {
  if (!wicTried) {
    wicTried = true;
    if (loadSystemLibrary(L"windowscodecs.dll") != nullptr)
      CoCreateInstance(CLSID_WICImagingFactory2, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                       wic.putVoid());
  }
  const std::span<const uint8_t> png = rcdataResource(L"BRAND");
  Com<IWICStream> stream;
  Com<IWICBitmapDecoder> decoder;
  Com<IWICBitmapFrameDecode> frame;
  Com<IWICBitmapScaler> scaler;
  Com<IWICFormatConverter> converter;
  if (!wic || png.empty() || FAILED(wic->CreateStream(stream.put())) ||
      FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(png.data()), static_cast<DWORD>(png.size()))) ||
      FAILED(wic->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnLoad, decoder.put())) ||
      FAILED(decoder->GetFrame(0, frame.put())) || FAILED(wic->CreateBitmapScaler(scaler.put())) ||
      FAILED(scaler->Initialize(frame.get(), pixels, pixels, WICBitmapInterpolationModeFant)) ||
      FAILED(wic->CreateFormatConverter(converter.put())) ||
      FAILED(converter->Initialize(scaler.get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeMedianCut)) ||
      FAILED(target->CreateBitmapFromWicBitmap(converter.get(), nullptr, brand.put()))) {
    failBrand();
    return;
  }
  brandPixels = pixels;
}

IDWriteTextLayout* RenderState::layoutFor(std::wstring_view text, float size, Weight weight) {
  const int s = sizeIndex(size);
  const int w = std::clamp(static_cast<int>(weight), 0, kWeightSlots - 1);
  std::wstring key;
  key.reserve(text.size() + 3);
  key.push_back(static_cast<wchar_t>(w + 1));
  key.push_back(static_cast<wchar_t>(std::lround(size * 8) + 1));
  key.append(text);
  if (auto found = layouts.find(key); found != layouts.end()) return found->second.get();
  if (layouts.size() >= kLayoutCacheLimit) layouts.clear();

  Com<IDWriteTextLayout>& layout = layouts[key];
  const UINT32 length = static_cast<UINT32>(text.size());
  HRESULT hr = dwrite->CreateTextLayout(text.data(), length, formats[s][w].get(), 8192.0f, 1024.0f, layout.put());
  if (SUCCEEDED(hr) && size != kTextSizes[s]) {
    const DWRITE_TEXT_RANGE all{0, length};
    hr = layout->SetFontSize(size, all);
    if (SUCCEEDED(hr)) hr = setLineMetrics(layout.get(), size, formatScale);
  }
  if (FAILED(hr)) {
    layouts.erase(key);
    return nullptr;
  }
  return layout.get();
}

namespace {

// The page code's primitives on the current target. Every coordinate is in layout units, which
// the target's DPI makes device-independent units.
class TargetCanvas final : public Canvas {
 public:
  TargetCanvas(RenderState& r, Theme theme) : r_(r), theme_(theme) {}

  void fillRect(const RectF& rect, Colour colour) override {
    if (outside(rect)) return;
    paint(colour)->FillRectangle(snapped(rect), r_.brush.get());
  }

  void fillRoundRect(const RectF& rect, float radius, Colour colour) override {
    if (outside(rect)) return;
    paint(colour)->FillRoundedRectangle(D2D1::RoundedRect(snapped(rect), radius, radius), r_.brush.get());
  }

  void borderedRoundRect(const RectF& rect, float radius, Colour border, Colour fill) override {
    if (outside(rect)) return;
    const D2D1_RECT_F outer = snapped(rect);
    const float px = pixel();
    const D2D1_RECT_F inner = D2D1::RectF(outer.left + px, outer.top + px, outer.right - px, outer.bottom - px);
    const float innerRadius = std::max(0.0f, radius - px);
    paint(border)->FillRoundedRectangle(D2D1::RoundedRect(outer, radius, radius), r_.brush.get());
    if (inner.right > inner.left && inner.bottom > inner.top)
      paint(fill)->FillRoundedRectangle(D2D1::RoundedRect(inner, innerRadius, innerRadius), r_.brush.get());
  }

  void strokeRoundRect(const RectF& rect, float radius, float width, Colour colour) override {
    if (outside({rect.left - width, rect.top - width, rect.right + width, rect.bottom + width})) return;
    const D2D1_RECT_F edges = snapped(rect);
    const float half = pixel() / 2;
    const D2D1_RECT_F centres = D2D1::RectF(edges.left + half, edges.top + half, edges.right - half, edges.bottom - half);
    paint(colour)->DrawRoundedRectangle(D2D1::RoundedRect(centres, radius, radius), r_.brush.get(), width,
                                        r_.stroke.get());
  }

  void line(PointF a, PointF b, float width, Colour colour) override {
    if (outside({std::min(a.x, b.x) - width, std::min(a.y, b.y) - width, std::max(a.x, b.x) + width,
                 std::max(a.y, b.y) + width}))
      return;
    paint(colour)->DrawLine(point(a), point(b), r_.brush.get(), width, r_.stroke.get());
  }

  void polyline(const PointF* points, size_t count, float width, Colour colour) override {
    if (count < 2) return;
    Com<ID2D1PathGeometry> path;
    Com<ID2D1GeometrySink> sink;
    if (!openPath(path, sink)) return;
    sink->BeginFigure(point(points[0]), D2D1_FIGURE_BEGIN_HOLLOW);
    for (size_t i = 1; i < count; ++i) sink->AddLine(point(points[i]));
    strokePath(path, sink, width, colour);
  }

  void fillCircle(PointF centre, float radius, Colour colour) override {
    if (outside({centre.x - radius, centre.y - radius, centre.x + radius, centre.y + radius})) return;
    paint(colour)->FillEllipse(D2D1::Ellipse(point(centre), radius, radius), r_.brush.get());
  }

  void strokeCircle(PointF centre, float radius, float width, Colour colour) override {
    const float reach = radius + width;
    if (outside({centre.x - reach, centre.y - reach, centre.x + reach, centre.y + reach})) return;
    paint(colour)->DrawEllipse(D2D1::Ellipse(point(centre), radius, radius), r_.brush.get(), width,
                               r_.stroke.get());
  }

  // Bezier pieces, not an arc segment: some Direct2D versions draw arc segments as straight lines.
  void arc(PointF centre, float radius, float startDegrees, float sweepDegrees, float width, Colour colour) override {
    const ArcPath shape = arcPath(centre, radius, startDegrees, sweepDegrees);
    if (shape.pieces.empty()) return;
    Com<ID2D1PathGeometry> path;
    Com<ID2D1GeometrySink> sink;
    if (!openPath(path, sink)) return;
    sink->BeginFigure(point(shape.start), D2D1_FIGURE_BEGIN_HOLLOW);
    for (const BezierPiece& piece : shape.pieces) {
      const D2D1_BEZIER_SEGMENT bezier{point(piece.control1), point(piece.control2), point(piece.end)};
      sink->AddBezier(&bezier);
    }
    strokePath(path, sink, width, colour);
  }

  void text(std::wstring_view text, PointF topLeft, float size, Weight weight, Colour colour) override {
    if (text.empty()) return;
    // At most two columns per character, and a line's height, as the layout measures.
    const float width = static_cast<float>(text.size()) * 1.2f * size;
    if (outside({topLeft.x, topLeft.y, topLeft.x + width, topLeft.y + 2 * size})) return;
    IDWriteTextLayout* layout = r_.layoutFor(text, size, weight);
    if (layout == nullptr) {
      r_.drawError = true;
      return;
    }
    paint(colour)->DrawTextLayout(D2D1::Point2F(snap(topLeft.x), snap(topLeft.y)), layout, r_.brush.get());
  }

  void linkUnderline(std::wstring_view text, PointF topLeft, float size, Colour colour) override {
    // Measured from where text() puts the text: its snapped origin.
    const double k = r_.scale;
    const float top = snap(snap(topLeft.y) + static_cast<float>(fontAscent(size, k)) + 1.3f);
    const float thickness = static_cast<float>(std::max(1.0, rnd(0.8125 * k)) / k);
    for (const UnderlineSpan& piece : underlineSpans(text, snap(topLeft.x), size))
      fillRect({static_cast<float>(piece.left), top, static_cast<float>(piece.right), top + thickness}, colour);
  }

  void brand(const RectF& rect) override {
    if (r_.brandFailed) return;
    const UINT pixels = static_cast<UINT>(rnd(kBrandUnits * r_.scale));
    if (!r_.brand || r_.brandPixels != pixels) r_.prepareBrand(pixels);
    if (!r_.brand) return;
    r_.target->DrawBitmap(r_.brand.get(), snapped(rect), 1.0f, D2D1_BITMAP_INTERPOLATION_MODE_LINEAR);
  }

  void pushClip(const RectF& rect) override {
    // The outermost clip is the part being repainted: what lies wholly outside it is not drawn.
    if (r_.clipDepth == 0) cull_ = rect;
    r_.target->PushAxisAlignedClip(snapped(rect), D2D1_ANTIALIAS_MODE_ALIASED);
    ++r_.clipDepth;
  }

  void popClip() override {
    if (r_.clipDepth == 0) {
      r_.drawError = true;
      return;
    }
    r_.target->PopAxisAlignedClip();
    if (--r_.clipDepth == 0) cull_.reset();
  }

 private:
  static D2D1_POINT_2F point(PointF p) { return D2D1::Point2F(p.x, p.y); }
  float snap(float v) const { return static_cast<float>(zs::ui::snap(v, r_.scale)); }
  float pixel() const { return static_cast<float>(onePixel(r_.scale)); }
  D2D1_RECT_F snapped(const RectF& rect) const {
    return D2D1::RectF(snap(rect.left), snap(rect.top), snap(rect.right), snap(rect.bottom));
  }

  ID2D1RenderTarget* paint(Colour colour) {
    r_.brush->SetColor(colourOf(theme_, colour));
    return r_.target;
  }

  bool openPath(Com<ID2D1PathGeometry>& path, Com<ID2D1GeometrySink>& sink) {
    if (FAILED(r_.d2d->CreatePathGeometry(path.put())) || FAILED(path->Open(sink.put()))) {
      r_.drawError = true;
      return false;
    }
    return true;
  }

  void strokePath(Com<ID2D1PathGeometry>& path, Com<ID2D1GeometrySink>& sink, float width, Colour colour) {
    sink->EndFigure(D2D1_FIGURE_END_OPEN);
    if (FAILED(sink->Close())) {
      r_.drawError = true;
      return;
    }
    paint(colour)->DrawGeometry(path.get(), r_.brush.get(), width, r_.stroke.get());
  }

  // Wholly outside the repainted part (with a pixel to spare for anti-aliasing).
  bool outside(const RectF& r) const {
    if (!cull_) return false;
    const float spare = 2 * pixel();
    return r.right + spare < cull_->left || r.left - spare > cull_->right || r.bottom + spare < cull_->top ||
           r.top - spare > cull_->bottom;
  }

  RenderState& r_;
  Theme theme_;
  std::optional<RectF> cull_;
};

}  // namespace

Renderer::Renderer() : impl_(std::make_unique<Impl>()) {}
Renderer::~Renderer() { releaseTarget(); }

bool Renderer::initialise(std::wstring& reason) {
  Impl& r = *impl_;
  auto d2dCreate = systemProc<D2D1CreateFactoryFn>(loadSystemLibrary(L"d2d1.dll"), "D2D1CreateFactory");
  HRESULT hr = d2dCreate == nullptr ? lastErrorResult()
                                    : d2dCreate(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                                                r.d2d.putVoid());
  if (FAILED(hr)) {
    reason = hresultText(L"D2D1CreateFactory", hr);
    return false;
  }
  auto dwriteCreate = systemProc<DWriteCreateFactoryFn>(loadSystemLibrary(L"dwrite.dll"), "DWriteCreateFactory");
  hr = dwriteCreate == nullptr ? lastErrorResult()
                               : dwriteCreate(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                              reinterpret_cast<IUnknown**>(r.dwrite.put()));
  if (FAILED(hr)) {
    reason = hresultText(L"DWriteCreateFactory", hr);
    return false;
  }

  const wchar_t* why = nullptr;
  if (!loadEmbeddedFonts(r.dwrite.get(), r.fonts, why)) {
    logf(L"The embedded fonts could not be loaded (%ls). Using an installed font.", why);
    r.useInstalledFont();
  }
  if (!r.makeFormats()) {
    reason = L"CreateTextFormat";
    return false;
  }

  Com<IDWriteRenderingParams> defaults;
  hr = r.dwrite->CreateRenderingParams(defaults.put());
  if (SUCCEEDED(hr))
    hr = r.dwrite->CreateCustomRenderingParams(defaults->GetGamma(), defaults->GetEnhancedContrast(),
                                               defaults->GetClearTypeLevel(), defaults->GetPixelGeometry(),
                                               DWRITE_RENDERING_MODE_CLEARTYPE_NATURAL_SYMMETRIC,
                                               r.renderingParams.put());
  if (FAILED(hr)) {
    reason = hresultText(L"CreateCustomRenderingParams", hr);
    return false;
  }

  const D2D1_STROKE_STYLE_PROPERTIES stroke = D2D1::StrokeStyleProperties(
      D2D1_CAP_STYLE_SQUARE, D2D1_CAP_STYLE_SQUARE, D2D1_CAP_STYLE_FLAT, D2D1_LINE_JOIN_MITER, 10.0f);
  hr = r.d2d->CreateStrokeStyle(&stroke, nullptr, 0, r.stroke.put());
  if (FAILED(hr)) {
    reason = hresultText(L"CreateStrokeStyle", hr);
    return false;
  }
  return true;
}

bool Renderer::installedFont() const { return impl_->installedFont; }

void Renderer::useDcTarget(bool on) { impl_->useDc = on; }

HRESULT Renderer::makeTarget(HWND window, UINT width, UINT height, bool software, double scale) {
  Impl& r = *impl_;
  releaseTarget();
  if (!r.d2d) return E_UNEXPECTED;
  r.window = window;
  r.adoptScale(scale);
  HRESULT hr = r.createTarget(window, width, height, software);
  if (FAILED(hr)) {
    releaseTarget();
    return hr;
  }
  hr = r.target->CreateSolidColorBrush(D2D1::ColorF(0, 0, 0, 1), r.brush.put());
  if (FAILED(hr)) releaseTarget();
  return hr;
}

HRESULT Renderer::resizeTarget(double scale, UINT width, UINT height) {
  Impl& r = *impl_;
  if (r.target == nullptr) return E_POINTER;
  r.adoptScale(scale);
  const float dpi = static_cast<float>(scale * 96.0);
  r.target->SetDpi(dpi, dpi);
  // A DC target takes its size from the paint DC every frame.
  if (r.hwndTarget) {
    const D2D1_SIZE_U size = D2D1::SizeU(width, height);
    return r.hwndTarget->Resize(&size);
  }
  return S_OK;
}

void Renderer::releaseTarget() {
  Impl& r = *impl_;
  r.brand.reset();
  r.brandPixels = 0;
  r.brush.reset();
  r.target = nullptr;
  r.hwndTarget.reset();
  r.dcTarget.reset();
}

bool Renderer::hasTarget() const { return impl_->target != nullptr; }

double Renderer::targetScale() const { return impl_->scale; }

HRESULT Renderer::drawFrame(Theme theme, HDC paintDc, const std::function<void(Canvas&)>& draw) {
  RECT client{};
  if (impl_->window == nullptr || !GetClientRect(impl_->window, &client)) client = RECT{0, 0, 0, 0};
  return drawFrame(theme, paintDc, client, draw);
}

HRESULT Renderer::drawFrame(Theme theme, HDC paintDc, const RECT& dirty, const std::function<void(Canvas&)>& draw) {
  Impl& r = *impl_;
  if (r.target == nullptr) return E_POINTER;
  r.drawError = false;
  r.clipDepth = 0;
  // Where the target's origin lies in the window, in layout units.
  float originX = 0, originY = 0;
  if (r.dcTarget) {
    RECT client{}, part{};
    if (paintDc == nullptr || !GetClientRect(r.window, &client)) return E_INVALIDARG;
    if (!IntersectRect(&part, &client, &dirty)) part = client;
    HRESULT hr = r.dcTarget->BindDC(paintDc, &part);
    if (FAILED(hr)) return hr;
    originX = static_cast<float>(part.left / r.scale);
    originY = static_cast<float>(part.top / r.scale);
  }
  r.target->BeginDraw();
  r.target->SetTransform(D2D1::Matrix3x2F::Translation(-originX, -originY));
  r.target->SetAntialiasMode(D2D1_ANTIALIAS_MODE_PER_PRIMITIVE);
  r.target->SetTextAntialiasMode(D2D1_TEXT_ANTIALIAS_MODE_CLEARTYPE);
  r.target->SetTextRenderingParams(r.renderingParams.get());
  TargetCanvas canvas(r, theme);
  auto closeClips = [&] {
    while (r.clipDepth > 0) {
      r.target->PopAxisAlignedClip();
      --r.clipDepth;
      r.drawError = true;
    }
  };
  try {
    draw(canvas);
  } catch (...) {
    closeClips();
    r.target->EndDraw();
    throw;
  }
  closeClips();
  const HRESULT hr = r.target->EndDraw();
  if (FAILED(hr)) return hr;
  return r.drawError ? E_FAIL : S_OK;
}

}  // namespace zs::ui
