// Whether the running executable (which carries no payload) is the uninstaller: it is named
// ZelvanUninstall.exe and lies in a temporary copy's folder under {setupdata}, in the registered
// install folder, or anywhere when no install is registered.
#pragma once

#include <string>
#include <string_view>

namespace zs {

// The decision itself, from the executable's full path, the {setupdata} folder and the registered
// install location (registered = false when there is no Apps & Features entry).
bool isUninstallerPath(std::wstring_view exePath, std::wstring_view setupData, bool registered,
                       std::wstring_view installLocation);

// Whether the path is a temporary copy's: {setupdata}\un-...\ZelvanUninstall.exe.
bool isTemporaryCopyPath(std::wstring_view exePath, std::wstring_view setupData);

// The same for the running process.
bool isUninstaller();

// The stub's own AppId, built into the executable.
inline constexpr const wchar_t* kStubAppId = L"3F6A1C2E-7B44-4D19-9E0B-5C2D8A61F0B7";

}  // namespace zs
