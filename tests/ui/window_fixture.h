// What the renderer's tests need from the window's side: a hidden window (none without a
// display) and COM on the test's thread, as the window's thread has it.
#pragma once

#include <windows.h>
#include <objbase.h>

namespace zs::ui {

struct HiddenWindow {
  HiddenWindow() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ZsRendererTest";
    RegisterClassW(&wc);
    handle = CreateWindowExW(0, wc.lpszClassName, L"", WS_POPUP, 0, 0, 880, 560, nullptr, nullptr, wc.hInstance, nullptr);
  }
  ~HiddenWindow() {
    if (handle != nullptr) DestroyWindow(handle);
  }
  HWND handle = nullptr;
};

struct ComApartment {
  ComApartment() : hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComApartment() {
    if (SUCCEEDED(hr)) CoUninitialize();
  }
  HRESULT hr;
};

}  // namespace zs::ui
