// Prints "first frame %llu ms" (the time from process creation to the first successful EndDraw)
// to stdout and, when given, into the file named by the first argument; then exits.
#include <windows.h>
#include <d2d1.h>
#include <dwrite.h>
#include <shellapi.h>

#include <cstdio>

namespace {

ID2D1Factory* factory = nullptr;
IDWriteFactory* writeFactory = nullptr;
IDWriteTextFormat* format = nullptr;
ID2D1HwndRenderTarget* target = nullptr;
ID2D1SolidColorBrush* brush = nullptr;
const wchar_t* reportPath = nullptr;
int exitCode = 0;

unsigned long long msSinceProcessCreation() {
  FILETIME created, exited, kernel, user, now;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER a{}, b{};
  a.LowPart = created.dwLowDateTime;
  a.HighPart = created.dwHighDateTime;
  b.LowPart = now.dwLowDateTime;
  b.HighPart = now.dwHighDateTime;
  return b.QuadPart > a.QuadPart ? (b.QuadPart - a.QuadPart) / 10000 : 0;
}

void report(unsigned long long ms) {
  char line[64];
  int n = snprintf(line, sizeof line, "first frame %llu ms\n", ms);
  fwrite(line, 1, static_cast<size_t>(n), stdout);
  fflush(stdout);
  if (reportPath == nullptr) return;
  FILE* out = _wfopen(reportPath, L"wb");
  if (out == nullptr) return;
  fwrite(line, 1, static_cast<size_t>(n), out);
  fclose(out);
}

enum class Painted { Yes, Again, Failed };

Painted paint(HWND window) {
  if (target == nullptr) {
    RECT client;
    GetClientRect(window, &client);
    D2D1_SIZE_U size = D2D1::SizeU(static_cast<UINT32>(client.right), static_cast<UINT32>(client.bottom));
    D2D1_RENDER_TARGET_PROPERTIES props = D2D1::RenderTargetProperties();
    D2D1_HWND_RENDER_TARGET_PROPERTIES hwndProps = D2D1::HwndRenderTargetProperties(window, size);
    if (FAILED(factory->CreateHwndRenderTarget(&props, &hwndProps, &target))) return Painted::Failed;
    if (FAILED(target->CreateSolidColorBrush(D2D1::ColorF(0x14161B), &brush))) return Painted::Failed;
  }
  target->BeginDraw();
  target->Clear(D2D1::ColorF(0xF5F6F8));
  static const wchar_t kText[] = L"Install Zelvan";
  target->DrawText(kText, static_cast<UINT32>(wcslen(kText)), format, D2D1::RectF(24, 16, 600, 60), brush);
  const HRESULT hr = target->EndDraw();
  if (hr == static_cast<HRESULT>(D2DERR_RECREATE_TARGET)) {
    brush->Release();
    brush = nullptr;
    target->Release();
    target = nullptr;
    return Painted::Again;
  }
  return SUCCEEDED(hr) ? Painted::Yes : Painted::Failed;
}

LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(window, &ps);
      const Painted painted = paint(window);
      EndPaint(window, &ps);
      if (painted == Painted::Yes) report(msSinceProcessCreation());
      if (painted == Painted::Again) {
        InvalidateRect(window, nullptr, FALSE);
      } else {
        exitCode = painted == Painted::Yes ? 0 : 1;
        DestroyWindow(window);
      }
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv != nullptr && argc > 1) reportPath = argv[1];

  if (FAILED(D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, &factory))) return 2;
  if (FAILED(DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                 reinterpret_cast<IUnknown**>(&writeFactory))))
    return 2;
  if (FAILED(writeFactory->CreateTextFormat(L"Segoe UI", nullptr, DWRITE_FONT_WEIGHT_NORMAL, DWRITE_FONT_STYLE_NORMAL,
                                            DWRITE_FONT_STRETCH_NORMAL, 20.0f, L"en-us", &format)))
    return 2;

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = windowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
  wc.lpszClassName = L"ZsD2dMinimal";
  if (RegisterClassExW(&wc) == 0) return 2;
  RECT frame{0, 0, 880, 560};
  AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, 0);
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"Direct2D first frame", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr,
                                instance, nullptr);
  if (window == nullptr) return 2;
  ShowWindow(window, SW_SHOW);
  UpdateWindow(window);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return exitCode;
}
