// Optional system DLLs are loaded from the system folder only, never from the program's folder
// or the current directory, so that nothing planted next to the setup is ever run.
#pragma once

#include <windows.h>

#include <string>

namespace zs {

// LoadLibraryExW with LOAD_LIBRARY_SEARCH_SYSTEM32; null when the DLL is not there. The module
// stays loaded for the life of the process.
HMODULE loadSystemLibrary(const wchar_t* name);

// GetProcAddress cast to the function type; null when the module or the export is missing.
template <typename F>
F systemProc(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// Whether ntdll.dll exports wine_get_version; the version text goes to *version when asked.
bool runningUnderWine(std::wstring* version = nullptr);

}  // namespace zs
