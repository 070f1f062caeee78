#include "ui/setup_window.h"

#include <windows.h>
#include <objbase.h>
#include <uxtheme.h>
#include <windowsx.h>

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "base/failure.h"
#include "base/log.h"
#include "payload/payload_reader.h"
#include "platform/app_processes.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/resource.h"
#include "platform/shell.h"
#include "platform/signed_in_user.h"
#include "platform/system_library.h"
#include "base/text.h"
#include "script/install_folder.h"
#include "platform/known_folders.h"
#include "base/paths.h"
#include "ui/accessible_object.h"
#include "ui/page_layout.h"
#include "ui/pages.h"
#include "ui/palette.h"
#include "ui/plain_messages.h"
#include "ui/plain_window.h"
#include "ui/renderer.h"
#include "ui/text_layout.h"
#include "ui/worker_link.h"

namespace zs::ui {

namespace {

constexpr UINT_PTR kAnimationTimer = 1;
constexpr UINT_PTR kFirstFrameTimer = 2;
constexpr UINT kAnimationMs = 33;
constexpr int kFolderBoxId = 1;
constexpr int kFolderChars = 1024;
constexpr int kFolderReadChars = 1100;
constexpr HRESULT kRecreateTarget = static_cast<HRESULT>(0x8899000CL);
constexpr int kPageStep = 224;

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTW*>(l);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<SetupWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  return self != nullptr ? self->handle(window, message, w, l) : DefWindowProcW(window, message, w, l);
}

LRESULT CALLBACK folderBoxProc(HWND box, UINT message, WPARAM w, LPARAM l) {
  auto* self = reinterpret_cast<SetupWindow*>(GetWindowLongPtrW(box, GWLP_USERDATA));
  return self->handleFolderBox(box, message, w, l);
}

unsigned long long msSinceProcessStart() {
  FILETIME created{}, exited{}, kernel{}, user{}, now{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  GetSystemTimeAsFileTime(&now);
  auto ticks = [](const FILETIME& f) { return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
  unsigned long long a = ticks(created), b = ticks(now);
  return b > a ? (b - a) / 10000 : 0;
}

// The monitor's effective DPI where shcore can tell it; the screen's otherwise.
unsigned monitorDpi(HMONITOR monitor) {
  using GetDpiFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
  static auto getDpi = systemProc<GetDpiFn>(loadSystemLibrary(L"shcore.dll"), "GetDpiForMonitor");
  UINT x = 0, y = 0;
  if (getDpi != nullptr && monitor != nullptr && SUCCEEDED(getDpi(monitor, 0 /* MDT_EFFECTIVE_DPI */, &x, &y)) && y != 0)
    return y;
  HDC screen = GetDC(nullptr);
  int dpi = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<unsigned>(dpi) : 96;
}

RECT workAreaOf(HMONITOR monitor) {
  MONITORINFO info{};
  info.cbSize = sizeof(info);
  if (monitor != nullptr && GetMonitorInfoW(monitor, &info)) return info.rcWork;
  RECT r{0, 0, 1024, 768};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &r, 0);
  return r;
}

bool animationsOn() {
  BOOL on = TRUE;
  if (!SystemParametersInfoW(SPI_GETCLIENTAREAANIMATION, 0, &on, 0)) return true;
  return on != FALSE;
}

bool timerNeeded(const UiState& s) {
  if (s.page == Page::RollingBack || (s.page == Page::Options && s.closingApp)) return true;
  if (s.page != Page::Installing && s.page != Page::Removing) return false;
  int slots = s.role == Role::Uninstall ? kUninstallStepCount : kInstallStepCount;
  for (int i = 0; i < slots; ++i)
    if (s.steps[i].status == SlotStatus::Running) return true;
  return false;
}

std::wstring hresultText(const wchar_t* format, HRESULT hr) {
  wchar_t text[128];
  swprintf(text, 128, format, static_cast<unsigned long>(hr));
  return text;
}

}  // namespace

double windowScale(unsigned dpi, int workWidth, int workHeight) {
  double byDpi = dpi / 96.0;
  double byWidth = (workWidth - 16) / static_cast<double>(kWindowWidth);
  double byHeight = (workHeight - 16) / static_cast<double>(kWindowHeight);
  return std::max(0.5, std::min({byDpi, byWidth, byHeight}));
}

int scaledPixels(double units, double scale) { return static_cast<int>(std::floor(units * scale + 0.5)); }

std::wstring shortVersionText(const std::wstring& fourPart) {
  std::wstring v = fourPart;
  for (int i = 0; i < 2; ++i) {
    if (v.size() > 2 && v.compare(v.size() - 2, 2, L".0") == 0 && std::count(v.begin(), v.end(), L'.') > 1)
      v.resize(v.size() - 2);
    else
      break;
  }
  return v;
}

std::wstring ownVersionText() {
  std::wstring version;
  if (!readFileVersion(ownExecutablePath(), version)) return {};
  return shortVersionText(version);
}

SetupWindow::SetupWindow(const UiState& state, const InstallSources* run, WorkerLink* link)
    : state_(state), run_(run), link_(link) {}

SetupWindow::~SetupWindow() {
  if (thread_ != nullptr) {
    closeAndWait();
    CloseHandle(thread_);
  }
  if (readyEvent_ != nullptr) CloseHandle(readyEvent_);
  if (answerEvent_ != nullptr) CloseHandle(answerEvent_);
  if (embeddedFont_ != nullptr) RemoveFontMemResourceEx(embeddedFont_);
  releaseBackgroundBrush();
}

bool SetupWindow::create(std::wstring& reason) {
  if (loadSystemLibrary(L"d2d1.dll") == nullptr || loadSystemLibrary(L"dwrite.dll") == nullptr) {
    reason = L"d2d1.dll or dwrite.dll is missing";
    return false;
  }
  comInitialised_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
  renderer_ = std::make_unique<Renderer>();
  if (!renderer_->initialise(reason)) return false;
  if (renderer_->installedFont()) logLine(L"Drawing with an installed font, not the embedded one.");
  // Wine hides a child window under an HWND render target; a target bound to the paint DC keeps
  // the folder box visible there.
  if (runningUnderWine()) {
    logLine(L"Under Wine the window draws through its paint DC, so that the folder box stays visible.");
    renderer_->useDcTarget(true);
  }
  answerEvent_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (answerEvent_ == nullptr) {
    reason = L"CreateEvent";
    return false;
  }

  POINT cursor{};
  GetCursorPos(&cursor);
  HMONITOR monitor = MonitorFromPoint(cursor, MONITOR_DEFAULTTOPRIMARY);
  RECT work = workAreaOf(monitor);
  state_.scale = windowScale(monitorDpi(monitor), work.right - work.left, work.bottom - work.top);

  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = windowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  // The theme's background from the first moment: the first Direct2D frame can take most of a
  // second (the graphics stack starts), and a window without a brush shows black until then.
  backgroundBrush_ = CreateSolidBrush(paletteColourRef(state_.theme, Colour::Background));
  wc.hbrBackground = backgroundBrush_;
  wc.lpszClassName = kSetupWindowClass;
  classRegistered_ = RegisterClassExW(&wc) != 0;

  int width = scaledPixels(kWindowWidth, state_.scale);
  int height = scaledPixels(kWindowHeight, state_.scale);
  int x = work.left + ((work.right - work.left) - width) / 2;
  int y = work.top + ((work.bottom - work.top) - height) / 2;
  // The performance counter: the tick count moves in steps of 10 to 16 ms, as long as the call.
  LARGE_INTEGER frequency{}, before{}, after{};
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&before);
  window_ = CreateWindowExW(
      0, kSetupWindowClass, state_.role == Role::Uninstall ? L"Uninstall Zelvan" : L"Install Zelvan",
      WS_POPUP | WS_CLIPCHILDREN | WS_SYSMENU | WS_MINIMIZEBOX, x, y, width, height, nullptr, nullptr, instance, this);
  QueryPerformanceCounter(&after);
  createMs_ = frequency.QuadPart > 0
                  ? static_cast<unsigned long long>((after.QuadPart - before.QuadPart) * 1000 / frequency.QuadPart)
                  : 0;
  if (window_ == nullptr) {
    logWinError(L"The window could not be created", GetLastError());
    if (classRegistered_) UnregisterClassW(kSetupWindowClass, instance);
    classRegistered_ = false;
    releaseBackgroundBrush();
    reason = L"CreateWindowEx";
    return false;
  }

  if (HMODULE dwm = loadSystemLibrary(L"dwmapi.dll")) {
    using ExtendFn = HRESULT(WINAPI*)(HWND, const MARGINS*);
    using AttributeFn = HRESULT(WINAPI*)(HWND, DWORD, LPCVOID, DWORD);
    if (auto extend = systemProc<ExtendFn>(dwm, "DwmExtendFrameIntoClientArea")) {
      MARGINS margins{1, 1, 1, 1};
      extend(window_, &margins);
    }
    if (auto attribute = systemProc<AttributeFn>(dwm, "DwmSetWindowAttribute")) {
      DWORD policy = 2;  // DWMNCRP_ENABLED
      attribute(window_, 2 /* DWMWA_NCRENDERING_POLICY */, &policy, sizeof(policy));
      DWORD corners = 1;  // DWMWCP_DONOTROUND
      attribute(window_, 33 /* DWMWA_WINDOW_CORNER_PREFERENCE */, &corners, sizeof(corners));
    }
  }

  state_.focus = defaultFocus(state_);
  layout();
  if (link_ != nullptr) link_->setTarget(window_);
  ShowWindow(window_, SW_SHOWNORMAL);
  UpdateWindow(window_);
  moveKeyboardFocus();
  updateTimer();
  return true;
}

void SetupWindow::runLoop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (link_ != nullptr && link_->target() == window_) link_->setTarget(nullptr);
  window_ = nullptr;
  folderBox_ = nullptr;
  if (folderFont_ != nullptr) DeleteObject(folderFont_);
  if (folderBrush_ != nullptr) DeleteObject(folderBrush_);
  folderFont_ = nullptr;
  folderBrush_ = nullptr;
  renderer_.reset();
  if (classRegistered_) UnregisterClassW(kSetupWindowClass, GetModuleHandleW(nullptr));
  classRegistered_ = false;
  releaseBackgroundBrush();
  if (comInitialised_) CoUninitialize();
  comInitialised_ = false;
}

DWORD WINAPI SetupWindow::threadMain(void* param) {
  auto* self = static_cast<SetupWindow*>(param);
  std::wstring reason;
  bool up = self->create(reason);
  if (!up) {
    logf(L"The window could not start: %ls. Plain mode.", reason.c_str());
    if (self->comInitialised_) CoUninitialize();
    self->comInitialised_ = false;
  }
  self->started_.store(up);
  SetEvent(self->readyEvent_);
  if (up) self->runLoop();
  self->ended_.store(true);
  return 0;
}

bool SetupWindow::startThread() {
  readyEvent_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (readyEvent_ == nullptr) return false;
  thread_ = CreateThread(nullptr, 0, threadMain, this, 0, nullptr);
  if (thread_ == nullptr) {
    logWinError(L"The window thread could not start", GetLastError());
    return false;
  }
  WaitForSingleObject(readyEvent_, INFINITE);
  return started_.load();
}

void SetupWindow::closeAndWait() {
  if (thread_ == nullptr) return;
  HWND window = window_.load();
  if (running() && window != nullptr) PostMessageW(window, kMsgClose, 0, 0);
  WaitForSingleObject(thread_, INFINITE);
}

void SetupWindow::waitForEnd() {
  if (thread_ != nullptr) WaitForSingleObject(thread_, INFINITE);
}

void SetupWindow::postChange(const std::function<void(UiState&)>& change) {
  HWND window = window_.load();
  if (!running() || window == nullptr) return;
  SendMessageW(window, kMsgStateChange, reinterpret_cast<WPARAM>(&change), 0);
}

Answer SetupWindow::ask(const std::function<void(UiState&)>& change) {
  HWND window = window_.load();
  if (!running() || window == nullptr) return Answer::Unavailable;
  ResetEvent(answerEvent_);
  answerAwaited_.store(true);
  SendMessageW(window, kMsgStateChange, reinterpret_cast<WPARAM>(&change), 0);
  // The window may end without having seen the change; its thread's end answers then.
  HANDLE waits[2] = {answerEvent_, thread_};
  DWORD got = WaitForMultipleObjects(thread_ != nullptr ? 2 : 1, waits, FALSE, INFINITE);
  if (got == WAIT_OBJECT_0) return answer_.load();
  answerAwaited_.store(false);
  return movedToPlain_ ? Answer::Unavailable : Answer::No;
}

void SetupWindow::storeAnswer(Answer answer) {
  if (!answerAwaited_.exchange(false)) return;
  answer_.store(answer);
  SetEvent(answerEvent_);
}

void SetupWindow::invalidate() {
  if (window_ == nullptr) return;
  InvalidateRect(window_, nullptr, FALSE);
  accessibility_.stateShown(window_, state_);
}

// After the class that uses it is gone.
void SetupWindow::releaseBackgroundBrush() {
  if (backgroundBrush_ != nullptr) DeleteObject(backgroundBrush_);
  backgroundBrush_ = nullptr;
}

// The turning marks alone: a whole frame 30 times a second costs a core under Wine.
void SetupWindow::invalidateBusyMarks() {
  if (window_ == nullptr) return;
  const double k = state_.scale;
  for (const RectF& r : busyMarkAreas(state_)) {
    RECT pixels{static_cast<LONG>(std::floor(r.left * k)), static_cast<LONG>(std::floor(r.top * k)),
                static_cast<LONG>(std::ceil(r.right * k)), static_cast<LONG>(std::ceil(r.bottom * k))};
    InvalidateRect(window_, &pixels, FALSE);
  }
}

void SetupWindow::layout() {
  lastQuestion_ = state_.question;
  showFolderBox(state_.page == Page::Options && state_.question == Question::None && !state_.closingApp);
  updateTimer();
  invalidate();
  moveKeyboardFocus();
}

void SetupWindow::updateTimer() {
  if (window_ == nullptr) return;
  bool needed = timerNeeded(state_) && animationsOn() && !destroyed_;
  if (needed && !timerOn_) timerOn_ = SetTimer(window_, kAnimationTimer, kAnimationMs, nullptr) != 0;
  if (!needed && timerOn_) {
    KillTimer(window_, kAnimationTimer);
    timerOn_ = false;
  }
  if (!timerOn_) state_.spinnerAngle = 0;
}

void SetupWindow::makeFolderBox() {
  folderBoxTried_ = true;
  std::span<const uint8_t> font = rcdataResource(L"FONT_R");
  if (!font.empty()) {
    DWORD installed = 0;
    embeddedFont_ = AddFontMemResourceEx(const_cast<uint8_t*>(font.data()), static_cast<DWORD>(font.size()), nullptr,
                                         &installed);
  }
  folderBrush_ = CreateSolidBrush(paletteColourRef(state_.theme, Colour::Field));
  folderBox_ = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | ES_AUTOHSCROLL, 0, 0, 10, 10, window_,
                               reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFolderBoxId)), GetModuleHandleW(nullptr),
                               nullptr);
  if (folderBox_ == nullptr) {
    logWinError(L"The folder box could not be made", GetLastError());
    return;
  }
  SetWindowLongPtrW(folderBox_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  folderBoxProc_ = reinterpret_cast<WNDPROC>(
      SetWindowLongPtrW(folderBox_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(folderBoxProc)));
  SendMessageW(folderBox_, EM_LIMITTEXT, kFolderChars, 0);
  placeFolderBox();
}

void SetupWindow::placeFolderBox() {
  if (folderBox_ == nullptr) return;
  double k = state_.scale;
  int fontHeight = scaledPixels(13, k);
  HFONT font = CreateFontW(-fontHeight, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_TT_PRECIS,
                           CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, FIXED_PITCH | FF_MODERN,
                           embeddedFont_ != nullptr ? L"JetBrains Mono" : L"Consolas");
  if (font != nullptr) {
    SendMessageW(folderBox_, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (folderFont_ != nullptr) DeleteObject(folderFont_);
    folderFont_ = font;
  }
  SendMessageW(folderBox_, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, 0);
  int ascent = fontHeight, height = fontHeight;
  if (HDC dc = GetDC(folderBox_)) {
    HGDIOBJ old = SelectObject(dc, folderFont_);
    TEXTMETRICW tm{};
    if (GetTextMetricsW(dc, &tm)) {
      ascent = tm.tmAscent;
      height = tm.tmHeight;
    }
    SelectObject(dc, old);
    ReleaseDC(folderBox_, dc);
  }
  RectF span = folderTextSpan(frameOf(state_), folderField(state_));
  int left = scaledPixels(span.left, k);
  int width = scaledPixels(span.width(), k);
  int top = scaledPixels(folderBaseline(state_), k) - ascent;
  SetWindowPos(folderBox_, nullptr, left, top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

void SetupWindow::showFolderBox(bool show) {
  if (show && !folderBoxTried_) makeFolderBox();
  if (folderBox_ == nullptr) {
    state_.editShown = false;
    return;
  }
  if (show && !state_.editShown) {
    suppressEditChange_ = true;
    SetWindowTextW(folderBox_, state_.folder.c_str());
    suppressEditChange_ = false;
    ShowWindow(folderBox_, SW_SHOWNOACTIVATE);
  } else if (!show && state_.editShown) {
    if (GetFocus() == folderBox_) SetFocus(window_);
    ShowWindow(folderBox_, SW_HIDE);
  }
  state_.editShown = show;
}

void SetupWindow::moveKeyboardFocus() {
  if (window_ == nullptr || GetActiveWindow() != window_) return;
  if (state_.focus == Element::Folder && state_.editShown && folderBox_ != nullptr) {
    if (GetFocus() != folderBox_) SetFocus(folderBox_);
  } else if (GetFocus() != window_) {
    SetFocus(window_);
  }
}

PointF SetupWindow::layoutPoint(POINT client) const {
  return {static_cast<float>(client.x / state_.scale), static_cast<float>(client.y / state_.scale)};
}

PointF SetupWindow::layoutPoint(LPARAM clientPosition) const {
  return layoutPoint(POINT{GET_X_LPARAM(clientPosition), GET_Y_LPARAM(clientPosition)});
}

PointF SetupWindow::layoutPointOfScreen(POINT screen) const {
  ScreenToClient(window_, &screen);
  return layoutPoint(screen);
}

void SetupWindow::paint() {
  if (movedToPlain_ || painting_ || destroyed_ || renderer_ == nullptr) return;
  painting_ = true;
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(window_, &ps);
  // The first render target takes most of a second to make (the graphics stack starts). The
  // theme's background is shown first, and the frame follows once the loop has let it reach the
  // screen: a paint that fills and goes on in the same call shows black until the frame is done.
  if (firstFrame_ && !renderer_->hasTarget() && !backgroundShown_ && backgroundBrush_ != nullptr) {
    FillRect(dc, &ps.rcPaint, backgroundBrush_);
    EndPaint(window_, &ps);
    painting_ = false;
    backgroundShown_ = true;
    if (SetTimer(window_, kFirstFrameTimer, 1, nullptr) == 0) invalidate();
    return;
  }
  RECT client{};
  GetClientRect(window_, &client);
  UINT width = static_cast<UINT>(client.right - client.left);
  UINT height = static_cast<UINT>(client.bottom - client.top);
  bool drawn = false;
  for (int attempt = 0; attempt < 3 && !drawn && !movedToPlain_; ++attempt) {
    HRESULT hr = S_OK;
    if (renderer_->hasTarget() && scaleOfTarget_ != state_.scale) {
      hr = renderer_->resizeTarget(state_.scale, width, height);
      // A target that could not follow is never drawn on: a new one is made below.
      if (SUCCEEDED(hr))
        scaleOfTarget_ = state_.scale;
      else
        renderer_->releaseTarget();
    }
    if (!renderer_->hasTarget()) {
      hr = renderer_->makeTarget(window_, width, height, software_, state_.scale);
      if (FAILED(hr) && !software_) {
        logLine(hresultText(L"The Direct2D target could not be made (0x%08lx). Using the software target.", hr));
        software_ = true;
        hr = renderer_->makeTarget(window_, width, height, true, state_.scale);
      }
      if (FAILED(hr)) {
        moveToPlain(hresultText(L"no render target, 0x%08lx", hr));
        break;
      }
      scaleOfTarget_ = state_.scale;
    }
    hr = drawFrameCaught(dc, ps.rcPaint);
    if (SUCCEEDED(hr)) {
      drawn = true;
      break;
    }
    renderer_->releaseTarget();
    if (hr == kRecreateTarget && attempt == 0) continue;
    if (software_) {
      moveToPlain(hresultText(L"drawing failed in software too, 0x%08lx", hr));
      break;
    }
    logLine(hresultText(L"Drawing failed (0x%08lx). Trying the software target.", hr));
    software_ = true;
  }
  EndPaint(window_, &ps);
  painting_ = false;
  if (drawn) framesDrawn_.fetch_add(1);
  if (drawn && firstFrame_) {
    firstFrame_ = false;
    logf(L"First frame drawn %llu ms after the process started, %llu ms of it inside Windows' CreateWindowEx.",
         msSinceProcessStart(), createMs_);
  }
  if (drawn && state_.editShown && folderBox_ != nullptr) {
    InvalidateRect(folderBox_, nullptr, TRUE);
    UpdateWindow(folderBox_);
  }
}

// An exception from the page code must not leave the window procedure: it counts as a failed
// frame, and the paint ladder takes its next step.
HRESULT SetupWindow::drawFrameCaught(HDC dc, const RECT& dirty) {
  // Only what needs painting is drawn.
  const double k = state_.scale;
  const RectF clip{static_cast<float>(dirty.left / k), static_cast<float>(dirty.top / k),
                   static_cast<float>(dirty.right / k), static_cast<float>(dirty.bottom / k)};
  try {
    return renderer_->drawFrame(state_.theme, dc, dirty, [&](Canvas& canvas) {
      canvas.pushClip(clip);
      drawPage(canvas, state_);
      canvas.popClip();
    });
  } catch (const std::exception& e) {
    logf(L"Drawing the frame threw: %hs.", e.what());
  } catch (...) {
    logLine(L"Drawing the frame threw.");
  }
  return E_UNEXPECTED;
}

void SetupWindow::moveToPlain(const std::wstring& reason) {
  if (movedToPlain_) return;
  movedToPlain_ = true;
  plainReason_ = reason;
  logf(L"Moving to Plain mode: %ls.", reason.c_str());
  ShowWindow(window_, SW_HIDE);
  PostMessageW(window_, kMsgToPlain, 0, 0);
}

void SetupWindow::keyDown(WPARAM key, LPARAM flags) {
  bool repeat = (flags & (1 << 30)) != 0;  // the key was already down
  bool shift = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
  UiKey k;
  switch (key) {
    case VK_TAB: k = UiKey::Tab; break;
    case VK_RETURN: k = UiKey::Enter; break;
    case VK_ESCAPE: k = UiKey::Escape; break;
    case VK_SPACE: k = UiKey::Space; break;
    case VK_UP: k = UiKey::Up; break;
    case VK_DOWN: k = UiKey::Down; break;
    case VK_PRIOR: k = UiKey::PageUp; break;
    case VK_NEXT: k = UiKey::PageDown; break;
    case VK_HOME: k = UiKey::Home; break;
    case VK_END: k = UiKey::End; break;
    default: return;
  }
  Action action = pressKey(state_, k, shift, repeat, licenseMaxScroll(state_));
  carryOut(action);
}

void SetupWindow::press(PointF at) {
  const float x = at.x, y = at.y;
  if (state_.closingApp) return;
  Element element = hitTest(state_, x, y);
  state_.hover = state_.pressed = element;
  if (element == Element::None || element == Element::TitleClose) return;
  if (element == Element::LicenseBox) {
    state_.focus = Element::LicenseBox;
    RectF track = licenseTrack(state_);
    int32_t maxScroll = licenseMaxScroll(state_);
    if (maxScroll > 0 && x >= track.left) {
      bool up = licenseThumb(state_).top > y;
      state_.licenseScroll = std::clamp(state_.licenseScroll + (up ? -kPageStep : kPageStep), 0, maxScroll);
    }
    return;
  }
  if (element == Element::Thumb) {
    state_.dragging = true;
    state_.dragStartY = y;
    state_.dragStartScroll = state_.licenseScroll;
    state_.focus = Element::LicenseBox;
    return;
  }
  state_.focus = element;
}

void SetupWindow::moveMouse(PointF at) {
  const float x = at.x, y = at.y;
  if (state_.dragging) {
    int32_t maxScroll = licenseMaxScroll(state_);
    float free = licenseFreeTrack(state_);
    double moved = free > 0 ? (y - state_.dragStartY) * maxScroll / free : 0;
    int32_t to = state_.dragStartScroll + static_cast<int32_t>(moved < 0 ? -std::floor(-moved + 0.5) : std::floor(moved + 0.5));
    to = std::clamp(to, 0, std::max(0, maxScroll));
    if (to != state_.licenseScroll) {
      state_.licenseScroll = to;
      invalidate();
    }
    return;
  }
  Element hover = state_.closingApp ? Element::None : hitTest(state_, x, y);
  if (hover != state_.hover) {
    state_.hover = hover;
    invalidate();
  }
}

void SetupWindow::turnWheel(PointF at, int32_t delta) {
  Element element = hitTest(state_, at.x, at.y);
  if (state_.page == Page::Welcome && state_.question == Question::None &&
      (element == Element::LicenseBox || element == Element::Thumb)) {
    int32_t before = state_.licenseScroll;
    wheelLicense(state_, delta, licenseMaxScroll(state_));
    if (before != state_.licenseScroll) invalidate();
  }
}

void SetupWindow::release(PointF at) {
  const float x = at.x, y = at.y;
  if (state_.dragging) {
    state_.dragging = false;
    state_.hover = hitTest(state_, x, y);
    state_.pressed = Element::None;
    invalidate();
    return;
  }
  Element pressed = state_.pressed;
  state_.pressed = Element::None;
  Action action = Action::None;
  if (!state_.closingApp && pressed != Element::None && hitTest(state_, x, y) == pressed)
    action = activate(state_, pressed);
  carryOut(action);
}

void SetupWindow::carryOut(Action action) {
  bool uninstallAnswer = state_.role == Role::Uninstall && answerAwaited_.load();
  switch (action) {
    case Action::CloseWindow: DestroyWindow(window_); return;
    case Action::StartInstall: startInstall(); break;
    case Action::UninstallConfirmed: storeAnswer(Answer::Yes); break;
    case Action::StopEngine:
      if (link_ == nullptr || !link_->requestCancel()) takeStopRefused(state_);
      state_.focus = defaultFocus(state_);
      break;
    case Action::OpenApp: openApp(); return;
    case Action::OpenLog: openTarget(state_.logPath); break;
    case Action::OpenDownload: openTarget(kDotNetDownloadPage); break;
    case Action::CloseApp:
      if (uninstallAnswer)
        storeAnswer(Answer::Yes);
      else closeApp();
      break;
    case Action::RetryInUse:
      if (link_ != nullptr) link_->answer(true);
      break;
    case Action::CancelInUse:
      if (link_ != nullptr) link_->answer(false);
      break;
    case Action::PickFolder: {
      std::wstring chosen;
      if (pickFolder(window_, state_.folder, chosen)) {
        state_.folder = chosen;
        takeFolderVerdict(state_, 0, {});
        if (folderBox_ != nullptr) {
          suppressEditChange_ = true;
          SetWindowTextW(folderBox_, chosen.c_str());
          suppressEditChange_ = false;
        }
      }
      break;
    }
    default:
      // A question of the uninstaller dismissed without a yes.
      if (uninstallAnswer && lastQuestion_ != Question::None && state_.question == Question::None)
        storeAnswer(Answer::No);
      break;
  }
  // The worker's question waited behind the one just answered.
  if (link_ != nullptr && link_->waiting() && state_.question == Question::None)
    takeFileInUse(state_, link_->questionText());
  if (window_ != nullptr && !destroyed_) layout();
}

std::wstring SetupWindow::installFolder() const { return installFolderOf(state_.folder); }

std::vector<AppProcess> SetupWindow::appProcesses() const { return runningAppProcesses(*run_, installFolder()); }

void SetupWindow::startInstall() {
  if (run_ == nullptr) return;
  FolderCheck check = checkFolderBeforeInstall(state_.folder, *run_, RefusalLogLine::WithReason);
  takeFolderVerdict(state_, check.verdict.number(), check.verdict.message);
  if (!check.accepted()) return;
  if (!appProcesses().empty()) {
    showQuestion(state_, Question::AppOpen);
    return;
  }
  startWorker();
}

void SetupWindow::startWorker() {
  if (run_ == nullptr || link_ == nullptr) return;
  std::wstring folder = installFolder();
  state_.folder = folder;
  InstallRequest request = beginInstall(*run_, folder, tasksOn(state_), state_.noRun, nullptr);
  link_->setTarget(window_);
  moveToPage(state_, Page::Installing);
  link_->start(std::move(request), *run_->folders);
}

namespace {

struct CloseAppJob {
  HWND window;
  std::vector<AppProcess> processes;
};

DWORD WINAPI closeAppThread(void* param) {
  auto* job = static_cast<CloseAppJob*>(param);
  bool closed = closeAppProcesses(job->processes);
  PostMessageW(job->window, kMsgCloseAppDone, closed ? 1 : 0, 0);
  delete job;
  return 0;
}

}  // namespace

void SetupWindow::closeApp() {
  if (run_ == nullptr) return;
  std::vector<AppProcess> running = appProcesses();
  if (running.empty()) {
    startWorker();
    return;
  }
  state_.closingApp = true;
  auto* job = new CloseAppJob{window_, std::move(running)};
  HANDLE thread = CreateThread(nullptr, 0, closeAppThread, job, 0, nullptr);
  if (thread == nullptr) {
    logWinError(L"The thread that closes Zelvan could not start", GetLastError());
    delete job;
    state_.closingApp = false;
    showQuestion(state_, Question::AppDidNotClose);
    return;
  }
  CloseHandle(thread);
}

void SetupWindow::closeAppFinished(bool closed) {
  bool stillHeld = false;
  if (closed && run_ != nullptr) stillHeld = !appProcesses().empty();
  if (takeCloseAppFinished(state_, closed, stillHeld)) startWorker();
}

// Programs the user opens from the window start as the signed-in user through the desktop shell:
// this process is elevated, and Zelvan, an editor or a browser must not be.
void SetupWindow::openApp() {
  if (run_ == nullptr || openFinishEntry(run_->payload->script, *run_->folders, state_.folder)) {
    DestroyWindow(window_);
    return;
  }
  showQuestion(state_, Question::CouldNotOpen);
  layout();
}

void SetupWindow::openTarget(const std::wstring& file) {
  if (file.empty() || !openAsSignedInUser(file, L"", L"")) showQuestion(state_, Question::CouldNotOpen);
}

void SetupWindow::dpiChanged(UINT dpi, const RECT& suggested) {
  HMONITOR monitor = MonitorFromRect(&suggested, MONITOR_DEFAULTTONEAREST);
  RECT work = workAreaOf(monitor);
  state_.scale = windowScale(dpi, work.right - work.left, work.bottom - work.top);
  int width = scaledPixels(kWindowWidth, state_.scale);
  int height = scaledPixels(kWindowHeight, state_.scale);
  SetWindowPos(window_, nullptr, suggested.left, suggested.top, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
  placeFolderBox();
  if (renderer_ != nullptr && renderer_->hasTarget()) {
    if (SUCCEEDED(renderer_->resizeTarget(state_.scale, static_cast<UINT>(width), static_cast<UINT>(height))))
      scaleOfTarget_ = state_.scale;
    else
      renderer_->releaseTarget();
  }
  invalidate();
}

LRESULT SetupWindow::handleFolderBox(HWND box, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_KEYDOWN:
      if (w == VK_TAB || w == VK_RETURN || w == VK_ESCAPE) {
        keyDown(w, l);
        return 0;
      }
      break;
    case WM_CHAR:
      if (w == L'\t' || w == L'\r' || w == 27) return 0;
      break;
    case WM_SETFOCUS: {
      LRESULT r = CallWindowProcW(folderBoxProc_, box, message, w, l);
      if (state_.focus != Element::Folder) {
        state_.focus = Element::Folder;
        invalidate();
      }
      if (state_.focusVisible) SendMessageW(box, EM_SETSEL, 0, -1);
      return r;
    }
    default: break;
  }
  return CallWindowProcW(folderBoxProc_, box, message, w, l);
}

LRESULT SetupWindow::handle(HWND window, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_DESTROY:
    case WM_CLOSE:
    case WM_ACTIVATE:
    case WM_SETFOCUS: return lifecycleMessage(window, message, w);
    case WM_PAINT:
    case WM_ERASEBKGND:
    case WM_SIZE:
    case WM_DPICHANGED:
    case WM_TIMER: return displayMessage(message, w, l);
    case WM_KEYDOWN: keyDown(w, l); return 0;
    case WM_NCHITTEST:
    case WM_SETCURSOR: return pointerMessage(window, message, w, l);
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
    case WM_MOUSEMOVE:
    case WM_LBUTTONUP:
    case WM_MOUSELEAVE:
    case WM_MOUSEWHEEL: return mouseMessage(window, message, w, l);
    case WM_CTLCOLOREDIT:
    case WM_COMMAND: return folderBoxMessage(window, message, w, l);
    case kMsgStep:
    case kMsgCommitted:
    case kMsgRollingBack:
    case kMsgFileInUse:
    case kMsgWorkerDone:
    case kMsgCloseAppDone: return workerMessage(message, w, l);
    case kMsgStateChange:
    case kMsgToPlain:
    case kMsgClose: return callerMessage(window, message, w, l);
    case WM_GETOBJECT: return accessibility_.answer(window, w, l, state_);
    case kMsgAccessibleAction:
      if (!destroyed_) carryOut(accessibleRequest(state_, w, l));
      return 0;
    default: return DefWindowProcW(window, message, w, l);
  }
}

LRESULT SetupWindow::lifecycleMessage(HWND window, UINT message, WPARAM w) {
  switch (message) {
    case WM_DESTROY:
      destroyed_ = true;
      accessibility_.disconnect();
      if (timerOn_) KillTimer(window, kAnimationTimer);
      timerOn_ = false;
      if (renderer_ != nullptr) renderer_->releaseTarget();
      storeAnswer(movedToPlain_ ? Answer::Unavailable : Answer::No);
      PostQuitMessage(0);
      break;
    case WM_CLOSE:
      if (!state_.closingApp) carryOut(closeRequested(state_));
      break;
    case WM_ACTIVATE:
      if (LOWORD(w) != WA_INACTIVE) moveKeyboardFocus();
      break;
    case WM_SETFOCUS:
      if (state_.focus == Element::Folder && state_.editShown && folderBox_ != nullptr) SetFocus(folderBox_);
      break;
  }
  return 0;
}

LRESULT SetupWindow::displayMessage(UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_PAINT: paint(); break;
    case WM_ERASEBKGND:
      // Only the first showing asks for it (repaints never erase): the background until the
      // first frame is drawn over it.
      if (backgroundBrush_ != nullptr && renderer_ != nullptr && firstFrame_) {
        RECT client{};
        GetClientRect(window_, &client);
        FillRect(reinterpret_cast<HDC>(w), &client, backgroundBrush_);
      }
      return 1;
    case WM_SIZE:
      if (w != SIZE_MINIMIZED && renderer_ != nullptr && renderer_->hasTarget()) {
        if (SUCCEEDED(renderer_->resizeTarget(state_.scale, LOWORD(l), HIWORD(l))))
          scaleOfTarget_ = state_.scale;
        else
          renderer_->releaseTarget();  // the next paint makes a new one, or steps down the ladder
      }
      break;
    case WM_DPICHANGED: dpiChanged(HIWORD(w), *reinterpret_cast<const RECT*>(l)); break;
    case WM_TIMER:
      if (w == kFirstFrameTimer) {
        KillTimer(window_, kFirstFrameTimer);
        invalidate();
      }
      if (w == kAnimationTimer) {
        state_.spinnerAngle = static_cast<int32_t>((GetTickCount64() % 1000) * 360 / 1000);
        invalidateBusyMarks();
      }
      break;
  }
  return 0;
}

// Where the pointer is: the title band drags the window except over its close button, and the
// cursor shows what a click would do.
LRESULT SetupWindow::pointerMessage(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_NCHITTEST) {
    PointF at = layoutPointOfScreen(POINT{GET_X_LPARAM(l), GET_Y_LPARAM(l)});
    if (at.y >= 0 && at.y < kTitleBandHeight && at.x >= 0 && at.x < kWindowWidth)
      return hitTest(state_, at.x, at.y) == Element::TitleClose ? HTCLIENT : HTCAPTION;
    return HTCLIENT;
  }
  if (LOWORD(l) != HTCLIENT || reinterpret_cast<HWND>(w) != window) return DefWindowProcW(window, message, w, l);
  POINT mouse{};
  GetCursorPos(&mouse);
  PointF at = layoutPointOfScreen(mouse);
  Element element = hitTest(state_, at.x, at.y);
  LPCWSTR cursor = IDC_ARROW;
  if (element == Element::Accept || isTaskBox(element) || element == Element::Link)
    cursor = IDC_HAND;
  else if (element == Element::Folder)
    cursor = IDC_IBEAM;
  SetCursor(LoadCursorW(nullptr, cursor));
  return TRUE;
}

LRESULT SetupWindow::mouseMessage(HWND window, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_LBUTTONDOWN:
    case WM_LBUTTONDBLCLK:
      SetCapture(window);
      press(layoutPoint(l));
      layout();
      break;
    case WM_MOUSEMOVE:
      if (!mouseTracked_) {
        TRACKMOUSEEVENT track{sizeof(track), TME_LEAVE, window, 0};
        mouseTracked_ = TrackMouseEvent(&track) != FALSE;
      }
      moveMouse(layoutPoint(l));
      break;
    case WM_LBUTTONUP:
      ReleaseCapture();
      release(layoutPoint(l));
      break;
    case WM_MOUSELEAVE:
      mouseTracked_ = false;
      if (!state_.dragging && state_.hover != Element::None) {
        state_.hover = Element::None;
        invalidate();
      }
      break;
    case WM_MOUSEWHEEL:  // its position is on the screen
      turnWheel(layoutPointOfScreen(POINT{GET_X_LPARAM(l), GET_Y_LPARAM(l)}), GET_WHEEL_DELTA_WPARAM(w));
      break;
  }
  return 0;
}

// The folder box's colours and its changes.
LRESULT SetupWindow::folderBoxMessage(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (reinterpret_cast<HWND>(l) != folderBox_) return DefWindowProcW(window, message, w, l);
  if (message == WM_CTLCOLOREDIT) {
    HDC dc = reinterpret_cast<HDC>(w);
    SetTextColor(dc, paletteColourRef(state_.theme, Colour::StrongText));
    SetBkColor(dc, paletteColourRef(state_.theme, Colour::Field));
    return reinterpret_cast<LRESULT>(folderBrush_);
  }
  if (LOWORD(w) != kFolderBoxId) return DefWindowProcW(window, message, w, l);
  if (HIWORD(w) == EN_CHANGE && !suppressEditChange_) {
    std::wstring text(kFolderReadChars + 1, L'\0');
    int n = GetWindowTextW(folderBox_, text.data(), kFolderReadChars + 1);
    text.resize(static_cast<size_t>(std::max(n, 0)));
    state_.folder = text;
    takeFolderVerdict(state_, 0, {});
    invalidate();
  }
  return 0;
}

// The reports of the install worker and of the thread that closes Zelvan.
LRESULT SetupWindow::workerMessage(UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case kMsgStep:
      takeStep(state_, stepOf(w), statusOf(w), static_cast<int32_t>(l));
      updateTimer();
      invalidate();
      return 0;
    case kMsgCommitted:
      takeCommitted(state_);
      invalidate();
      return 0;
    case kMsgRollingBack: takeRollingBack(state_); break;
    case kMsgFileInUse:
      if (link_ != nullptr && link_->waiting()) takeFileInUse(state_, link_->questionText());
      break;
    case kMsgWorkerDone:
      if (link_ != nullptr) {
        link_->waitForWorker();
        takeWorkerDone(state_, link_->result(), theLog().openPath());
      }
      break;
    case kMsgCloseAppDone: closeAppFinished(w == 1); break;
  }
  layout();
  return 0;
}

// What the window's callers on other threads ask of it, and its own move to plain mode.
LRESULT SetupWindow::callerMessage(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message != kMsgStateChange) {
    DestroyWindow(window);
    return 0;
  }
  double scale = state_.scale;
  if (w != 0) (*reinterpret_cast<const std::function<void(UiState&)>*>(w))(state_);
  if (scale != state_.scale) placeFolderBox();
  if (l != 1) layout();
  return 0;
}

int32_t runInstallWizard(const InstallSources& run, UiState state, WorkerLink& link) {
  state.role = Role::Install;
  state.result = exitNumber(ExitCode::Cancelled);
  const Payload& payload = *run.payload;
  state.licenseLines = licenseLinesOf(licenseText(payload.licence, static_cast<size_t>(payload.licenceLength)));

  UiState plainState = state;
  std::wstring reason;
  {
    SetupWindow window(state, &run, &link);
    if (window.create(reason)) {
      window.runLoop();
      if (!window.movedToPlain()) {
        link.waitForWorker();
        return window.state().result;
      }
      plainState = window.state();
      reason = window.plainReason();
    }
  }
  logf(L"Plain mode: %ls.", reason.c_str());
  return runPlainWindow(run, plainState, link);
}

int32_t runErrorPage(Page page, std::wstring_view detail, Theme theme, const std::wstring& logPath) {
  UiState state;
  state.role = Role::Install;
  state.theme = theme;
  state.versionText = ownVersionText();
  state.errorDetail = std::wstring(detail);
  state.logPath = logPath;
  moveToPage(state, page);
  state.result = pageResultCode(page);
  std::wstring reason;
  bool shown = false;
  {
    SetupWindow window(state);
    if (window.create(reason)) {
      window.runLoop();
      if (!window.movedToPlain()) return window.state().result;
      reason = window.plainReason();
      shown = true;
    }
  }
  if (!shown) logf(L"Plain mode: %ls.", reason.c_str());
  std::wstring open;
  int32_t result = showErrorPage(page, detail, &open);
  if (!open.empty()) openAsSignedInUser(open, L"", L"");
  return result;
}

}  // namespace zs::ui
