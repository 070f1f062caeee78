// zs-a11y-client: what a screen reader sees of a top-level window, for tests.
//
//   zs-a11y-client tree TITLE           prints the client object and each child, one a line:
//                                       id, role, state bits, name, value, description, default
//                                       action and location, separated by tabs
//   zs-a11y-client do TITLE NAME [N]    the default action of the N-th (from 1) child named NAME
//                                       among those that have one
//   zs-a11y-client focus TITLE NAME [N] takes the focus to the N-th focusable child named NAME
//   zs-a11y-client controls TITLE       the same for each visible child window (a standard control)
//   zs-a11y-client events TITLE MS      listens to the window's events for MS milliseconds, as a
//                                       screen reader does (out of context): prints "listening",
//                                       then a line per event: event, object, child and the name
//                                       of what it is about
//
// Exit code 0 on success, 2 when the window is not there, 3 when no such child, 4 when a call
// fails. Only AccessibleObjectFromWindow and IAccessible are used, as by any MSAA client.
#include <windows.h>
#include <oleacc.h>

#include <cstdio>
#include <string>

namespace {

void out(const std::wstring& text) {
  int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Tabs and line ends inside a property would break the line format.
std::wstring clean(BSTR b) {
  std::wstring s = b != nullptr ? std::wstring(b, SysStringLen(b)) : L"";
  for (wchar_t& c : s)
    if (c == L'\t') c = L' ';
    else if (c == L'\n') c = 0x2424;  // a visible stand-in for a line break
    else if (c == L'\r') c = L' ';
  return s;
}

std::wstring property(IAccessible* a, LONG id, HRESULT (STDMETHODCALLTYPE IAccessible::*get)(VARIANT, BSTR*)) {
  VARIANT child;
  child.vt = VT_I4;
  child.lVal = id;
  BSTR b = nullptr;
  std::wstring s;
  if (SUCCEEDED((a->*get)(child, &b))) s = clean(b);
  SysFreeString(b);
  return s;
}

LONG number(IAccessible* a, LONG id, HRESULT (STDMETHODCALLTYPE IAccessible::*get)(VARIANT, VARIANT*)) {
  VARIANT child;
  child.vt = VT_I4;
  child.lVal = id;
  VARIANT v;
  VariantInit(&v);
  if (FAILED((a->*get)(child, &v)) || v.vt != VT_I4) return -1;
  return v.lVal;
}

std::wstring line(IAccessible* parent, LONG index) {
  // A child that is an object of its own (a standard control's window) answers for itself.
  IAccessible* a = parent;
  LONG id = index;
  VARIANT child;
  child.vt = VT_I4;
  child.lVal = index;
  IDispatch* own = nullptr;
  IAccessible* ownAccessible = nullptr;
  if (index != CHILDID_SELF && parent->get_accChild(child, &own) == S_OK && own != nullptr &&
      SUCCEEDED(own->QueryInterface(IID_IAccessible, reinterpret_cast<void**>(&ownAccessible)))) {
    a = ownAccessible;
    id = CHILDID_SELF;
    child.lVal = CHILDID_SELF;
  }
  if (own != nullptr) own->Release();
  LONG x = 0, y = 0, w = 0, h = 0;
  a->accLocation(&x, &y, &w, &h, child);
  wchar_t head[64];
  swprintf(head, 64, L"%ld\t0x%lx\t0x%lx\t", index, number(a, id, &IAccessible::get_accRole),
           number(a, id, &IAccessible::get_accState));
  wchar_t where[64];
  swprintf(where, 64, L"%ld,%ld,%ld,%ld", x, y, w, h);
  std::wstring text = head + property(a, id, &IAccessible::get_accName) + L"\t" +
                      property(a, id, &IAccessible::get_accValue) + L"\t" +
                      property(a, id, &IAccessible::get_accDescription) + L"\t" +
                      property(a, id, &IAccessible::get_accDefaultAction) + L"\t" + where + L"\n";
  if (ownAccessible != nullptr) ownAccessible->Release();
  return text;
}

// The id of the n-th child with the name that can be acted on (it has a default action, or for
// the focus, it is focusable); 0 when there is none.
LONG childNamed(IAccessible* a, const std::wstring& name, long nth, bool toFocus) {
  LONG count = 0;
  if (FAILED(a->get_accChildCount(&count))) return 0;
  for (LONG id = 1; id <= count; ++id) {
    if (property(a, id, &IAccessible::get_accName) != name) continue;
    bool usable = toFocus ? (number(a, id, &IAccessible::get_accState) & STATE_SYSTEM_FOCUSABLE) != 0
                          : !property(a, id, &IAccessible::get_accDefaultAction).empty();
    if (usable && --nth == 0) return id;
  }
  return 0;
}

// The events of one window's process, with the name of what each is about, read back through
// AccessibleObjectFromEvent as a reader does.
HWND g_listened = nullptr;

void CALLBACK onEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child, DWORD, DWORD) {
  if (window != g_listened || object != OBJID_CLIENT) return;
  IAccessible* about = nullptr;
  VARIANT which;
  VariantInit(&which);
  std::wstring name;
  if (SUCCEEDED(AccessibleObjectFromEvent(window, static_cast<DWORD>(object), static_cast<DWORD>(child), &about,
                                          &which)) && about != nullptr) {
    BSTR b = nullptr;
    if (SUCCEEDED(about->get_accName(which, &b))) name = clean(b);
    SysFreeString(b);
    about->Release();
  }
  wchar_t head[64];
  swprintf(head, 64, L"0x%04lx\t%ld\t%ld\t", event, object, child);
  out(head + name + L"\n");
}

int listen(HWND window, DWORD ms) {
  g_listened = window;
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  HWINEVENTHOOK hook = SetWinEventHook(EVENT_MIN, EVENT_MAX, nullptr, onEvent, process, 0, WINEVENT_OUTOFCONTEXT);
  if (hook == nullptr) return 4;
  out(L"listening\n");
  ULONGLONG end = GetTickCount64() + ms;
  while (GetTickCount64() < end) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
  UnhookWinEvent(hook);
  return 0;
}

BOOL CALLBACK addControl(HWND control, LPARAM all) {
  if (!IsWindowVisible(control)) return TRUE;
  IAccessible* a = nullptr;
  if (SUCCEEDED(AccessibleObjectFromWindow(control, static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                                           reinterpret_cast<void**>(&a))) && a != nullptr) {
    *reinterpret_cast<std::wstring*>(all) += line(a, CHILDID_SELF);
    a->Release();
  }
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    out(L"usage: zs-a11y-client tree|do|focus TITLE [NAME [N]]\n");
    return 1;
  }
  std::wstring command = argv[1];
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  HWND window = FindWindowW(nullptr, argv[2]);
  if (window == nullptr) {
    out(L"no window\n");
    return 2;
  }
  if (command == L"controls") {
    std::wstring all;
    EnumChildWindows(window, addControl, reinterpret_cast<LPARAM>(&all));
    out(all);
    CoUninitialize();
    return 0;
  }
  if (command == L"events") {
    int code = listen(window, argc >= 4 ? wcstoul(argv[3], nullptr, 10) : 5000);
    CoUninitialize();
    return code;
  }
  IAccessible* a = nullptr;
  HRESULT hr = AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT), IID_IAccessible,
                                          reinterpret_cast<void**>(&a));
  if (FAILED(hr) || a == nullptr) {
    wchar_t text[80];
    swprintf(text, 80, L"AccessibleObjectFromWindow failed: 0x%08lx\n", static_cast<unsigned long>(hr));
    out(text);
    return 4;
  }
  int code = 0;
  if (command == L"tree") {
    // The window may change page while it is read: read again until the page and the number of
    // children are the same before and after.
    std::wstring all;
    for (int attempt = 0; attempt < 10; ++attempt) {
      LONG count = 0, after = -1;
      std::wstring before = property(a, CHILDID_SELF, &IAccessible::get_accName);
      hr = a->get_accChildCount(&count);
      all = line(a, CHILDID_SELF);
      for (LONG id = 1; SUCCEEDED(hr) && id <= count; ++id) all += line(a, id);
      if (FAILED(hr) || FAILED(a->get_accChildCount(&after))) break;
      if (after == count && property(a, CHILDID_SELF, &IAccessible::get_accName) == before) break;
      Sleep(100);
    }
    out(all);
    if (FAILED(hr)) code = 4;
  } else if (argc >= 4 && (command == L"do" || command == L"focus")) {
    LONG id = childNamed(a, argv[3], argc >= 5 ? wcstol(argv[4], nullptr, 10) : 1, command == L"focus");
    if (id == 0) {
      out(L"no such child\n");
      code = 3;
    } else {
      VARIANT child;
      child.vt = VT_I4;
      child.lVal = id;
      hr = command == L"do" ? a->accDoDefaultAction(child) : a->accSelect(SELFLAG_TAKEFOCUS, child);
      if (FAILED(hr)) {
        wchar_t text[80];
        swprintf(text, 80, L"the call failed: 0x%08lx\n", static_cast<unsigned long>(hr));
        out(text);
        code = 4;
      }
    }
  } else {
    out(L"unknown command\n");
    code = 1;
  }
  a->Release();
  CoUninitialize();
  return code;
}
