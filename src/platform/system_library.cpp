#include "platform/system_library.h"

#include "platform/text.h"

namespace zs {

HMODULE loadSystemLibrary(const wchar_t* name) {
  return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool runningUnderWine(std::wstring* version) {
  using GetVersionFn = const char*(__cdecl*)();
  auto fn = systemProc<GetVersionFn>(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
  if (fn == nullptr) return false;
  if (version != nullptr) {
    const char* text = fn();
    *version = text != nullptr ? utf8ToWide(text) : std::wstring();
  }
  return true;
}

}  // namespace zs
