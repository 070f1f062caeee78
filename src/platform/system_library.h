// Optional system DLLs are loaded from the system folder only, never from the program's folder
// or the current directory, so that nothing planted next to the setup is ever run.
#pragma once

#include <windows.h>

#include <string>

namespace zs {

// LoadLibraryExW with LOAD_LIBRARY_SEARCH_SYSTEM32; null when the DLL is not there. The module
// stays loaded for the life of the process.
HMODULE loadSystemLibrary(const wchar_t* name);

// Loads the DLLs (from the system folder) on a thread of its own, so that a later
// loadSystemLibrary finds them mapped already; nothing happens when the thread cannot start. The
// list must outlive the thread (a static array).
void preloadSystemLibraries(const wchar_t* const* names, size_t count);

// GetProcAddress cast to the function type; null when the module or the export is missing.
template <typename F>
F systemProc(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The machine type of Windows itself (IMAGE_FILE_MACHINE_I386, _AMD64 or _ARM64), also when this
// 32-bit process runs under WoW64. Without IsWow64Process2 (before Windows 10 1511) a WoW64 process
// is taken to run on x64.
USHORT nativeMachine();

// Whether ntdll.dll exports wine_get_version; the version text goes to *version when asked.
bool runningUnderWine(std::wstring* version = nullptr);

}  // namespace zs
