#include "platform/system_library.h"

#include "base/text.h"

#include <new>

namespace zs {

HMODULE loadSystemLibrary(const wchar_t* name) {
  return LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

namespace {

struct Preload {
  const wchar_t* const* names;
  size_t count;
};

DWORD WINAPI preloadThread(void* param) {
  Preload* job = static_cast<Preload*>(param);
  for (size_t i = 0; i < job->count; ++i) loadSystemLibrary(job->names[i]);
  delete job;
  return 0;
}

}  // namespace

void preloadSystemLibraries(const wchar_t* const* names, size_t count) {
  Preload* job = new (std::nothrow) Preload{names, count};
  if (job == nullptr) return;
  HANDLE thread = CreateThread(nullptr, 0, preloadThread, job, 0, nullptr);
  if (thread == nullptr) {
    delete job;
    return;
  }
  CloseHandle(thread);
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

USHORT nativeMachine() {
  using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
  auto isWow64Process2 = systemProc<IsWow64Process2Fn>(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2");
  USHORT process = 0, native = 0;
  if (isWow64Process2 != nullptr && isWow64Process2(GetCurrentProcess(), &process, &native) && native != 0)
    return native;
  BOOL wow64 = FALSE;
  return IsWow64Process(GetCurrentProcess(), &wow64) && wow64 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
}

}  // namespace zs
