// The .NET Framework's ngen.exe: where it is, and single runs of it. Native images only make the
// first start faster, so nothing here ever fails a run: every outcome is logged and returned.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace zs {

struct KnownFolders;

struct NgenRun {
  bool started = false;
  bool timedOut = false;
  uint32_t exitCode = 1;
  DWORD error = 0;     // why it did not start
  std::string output;  // every line ngen wrote, each followed by a line feed
};

using NgenLineHandler = std::function<void(const std::string& line)>;
using NgenTickHandler = std::function<void()>;
using NgenCancelTest = std::function<bool()>;

// Time limits of the single commands, in milliseconds.
inline constexpr DWORD kNgenInstallLimitMs = 600000;
inline constexpr DWORD kNgenUninstallLimitMs = 120000;
inline constexpr DWORD kNgenQueueLimitMs = 60000;
inline constexpr DWORD kNgenDisplayLimitMs = 60000;

// The native-architecture ngen.exe under {win}\Microsoft.NET, or empty. A 32-bit ngen is never
// used on 64-bit Windows.
std::wstring findNgen(const KnownFolders& folders);
// The same choice, given the Windows folder, the native architecture and an existence test.
enum class NativeArch { X86, X64, Arm64 };
std::wstring chooseNgen(const std::wstring& windowsFolder, NativeArch arch,
                        const std::function<bool(const std::wstring&)>& exists);

// One of the three ngen.exe paths under the Windows folder (whatever the architecture).
bool isNgenPath(std::wstring_view path, std::wstring_view windowsFolder);

// "Zelvan.XmlSerializers.dll" -> "Zelvan.XmlSerializers".
std::wstring assemblyStem(std::wstring_view path);

// The argument text: verb, the quoted assembly when there is one, then the extra arguments.
std::wstring ngenArguments(std::wstring_view verb, std::wstring_view assembly, std::wstring_view extra);

// Runs ngen once with its output logged line by line. The working folder is the Windows folder
// the ngen path lies in ({win}); a limit of 0 means none.
NgenRun runNgen(const std::wstring& ngenPath, std::wstring_view verb, const std::wstring& assembly,
                std::wstring_view extra, DWORD limitMs, const NgenLineHandler& onLine = {},
                const NgenTickHandler& onTick = {}, const NgenCancelTest& cancelled = {});

// Puts a native image back on the queue ("install /queue /nologo", 60 s). Nothing without ngen.
NgenRun queueNativeImage(const std::wstring& ngenPath, const std::wstring& assembly);
// Removes a native image ("uninstall /nologo", 120 s). Nothing without ngen.
NgenRun uninstallNativeImage(const std::wstring& ngenPath, const std::wstring& assembly);

}  // namespace zs
