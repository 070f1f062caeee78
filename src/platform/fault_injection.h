// Fault hooks of the platform primitives. In the setup that ships ZS_FAULT_HOOK is the constant
// false, so a hook and the arguments it names compile to nothing. In the test-only build
// (ZS_FAULT_INJECTION, ZelvanSetupFaults) it counts the calls of the classes in fault_spec.h and
// fails the one the environment names as the system call would: with its Windows error in *error
// (when an error pointer is given) and in GetLastError. Only calls that could fail that way are
// counted: a delete, move, removal or flush of something that is there, a folder made that is not.
#pragma once

#include <windows.h>

#include <string>

#include "platform/fault_spec.h"
#include "platform/registry_names.h"

#ifdef ZS_FAULT_INJECTION
#define ZS_FAULT_HOOK(...) ::zs::failsHere(__VA_ARGS__)
#else
#define ZS_FAULT_HOOK(...) false
#endif

namespace zs {

#ifdef ZS_FAULT_INJECTION
bool failsHere(FaultClass c, const std::wstring& path, DWORD* error = nullptr);
// A call through a handle is named by the file the handle is open on.
bool failsHere(FaultClass c, HANDLE file, DWORD* error = nullptr);
// A registry call is named "ROOT:VIEW\key", with "|value" when it names a value. A delete is
// only counted when there is something to delete.
bool failsHere(FaultClass c, RegRoot root, RegView view, const std::wstring& key,
               const std::wstring* value = nullptr, DWORD* error = nullptr);
#endif

}  // namespace zs
