// The .NET Framework's ngen.exe: where it is, and single runs of it. Native images only make the
// first start faster, so nothing here ever fails a run: every outcome is logged and returned.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zs {

struct KnownFolders;
struct NativeImageEntry;
class VariableTable;

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

// What the native-image steps found: filled by the install, completed by the check.
struct NativeImageResult {
  bool optimized = false;
  std::wstring note;                     // why it is not optimized; empty when it is
  std::vector<std::wstring> retryList;   // assemblies whose install exited non-zero
};

// What a native-image step is about to do to the machine.
enum class NativeImageChange {
  RemoveOld,   // an earlier install's image is about to be removed
  InstallNew,  // an image of this install is about to be made
};

// What a native-image step is given by its caller. Any hook may be empty.
struct NgenStepContext {
  std::wstring ngenPath;  // findNgen's answer; empty when this PC has none
  std::function<void(std::wstring_view name, int number)> step;
  // Called before each change with what is about to change; the install journals it there. When
  // it throws, the change is not made.
  std::function<void(NativeImageChange change, const std::wstring& ngenPath, const std::wstring& assembly)> beforeChange;
  std::function<bool()> cancelled;
  std::function<void(double percent)> progress;

  bool cancelAsked() const { return cancelled && cancelled(); }
};

// The progress bar of one ngen run, in percent of the whole native-image phase. Time moves it
// along an exponential curve towards 90 % of the run's span, ngen's "Compiling assembly" lines
// add a bonus, and only the end of the run reaches the target. The position never goes back.
struct NgenProgress {
  double start = 0;
  double target = 0;
  double expectedSeconds = 0.5;
  double elapsed = 0;
  double bonus = 0;
  double position = 0;

  void begin(double runStart, double runTarget, double expected);
  void advance(double seconds);  // a tick of the process runner
  void onLine(const std::string& line);
  void finish() { position = position > target ? position : target; }
};

// 5 seconds per MiB, at least half a second.
double expectedNgenSeconds(uint64_t assemblyBytes);

// Removes the native images of an earlier install's assemblies, each after its NGENOLD record.
void removeOldNativeImages(const std::vector<std::wstring>& assemblies, const NgenStepContext& context);

// Installs the native images of the [NativeImages] install lines (NGENNEW before each), then runs
// the queue when the script asks for it. Never fails: the outcome is in the result; a cancel stops
// the step early and the caller handles it.
NativeImageResult installNativeImages(const std::vector<NativeImageEntry>& entries, const VariableTable& variables,
                                      const NgenStepContext& context);

}  // namespace zs
