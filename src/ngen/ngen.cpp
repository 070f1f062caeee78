#include "ngen/ngen.h"

#include "platform/system_library.h"

#include "base/log.h"
#include "platform/files.h"
#include "platform/process.h"
#include "base/text.h"
#include "base/paths.h"
#include "platform/known_folders.h"

namespace zs {

namespace {

constexpr std::wstring_view kFrameworks[] = {L"Framework", L"Framework64", L"FrameworkArm64"};
constexpr std::wstring_view kNgenTail = L"\\v4.0.30319\\ngen.exe";

std::wstring dotNetBase(std::wstring_view windowsFolder) {
  std::wstring base(windowsFolder);
  while (!base.empty() && base.back() == L'\\') base.pop_back();
  return base + L"\\Microsoft.NET\\";
}

NativeArch nativeArch() {
  switch (nativeMachine()) {
    case IMAGE_FILE_MACHINE_ARM64: return NativeArch::Arm64;
    case IMAGE_FILE_MACHINE_AMD64: return NativeArch::X64;
    default: return NativeArch::X86;
  }
}

// The directory part of a path, without the trailing "\".
}  // namespace

std::wstring chooseNgen(const std::wstring& windowsFolder, NativeArch arch,
                        const std::function<bool(const std::wstring&)>& exists) {
  if (windowsFolder.empty()) return {};
  std::wstring base = dotNetBase(windowsFolder);
  std::vector<std::wstring_view> candidates;
  switch (arch) {
    case NativeArch::X64: candidates = {L"Framework64"}; break;
    case NativeArch::Arm64: candidates = {L"FrameworkArm64", L"Framework64"}; break;
    case NativeArch::X86: candidates = {L"Framework"}; break;
  }
  for (std::wstring_view framework : candidates) {
    std::wstring path = base + std::wstring(framework) + std::wstring(kNgenTail);
    if (exists(path)) return path;
  }
  return {};
}

std::wstring findNgen(const KnownFolders& folders) {
  return chooseNgen(folders.win, nativeArch(), [](const std::wstring& p) { return pathExists(p) && !isDirectory(p); });
}

std::wstring assemblyStem(std::wstring_view path) {
  size_t slash = path.rfind(L'\\');
  std::wstring_view name = slash == std::wstring_view::npos ? path : path.substr(slash + 1);
  size_t dot = name.rfind(L'.');
  return std::wstring(dot == std::wstring_view::npos ? name : name.substr(0, dot));
}

std::wstring ngenArguments(std::wstring_view verb, std::wstring_view assembly, std::wstring_view extra) {
  std::wstring args(verb);
  if (!assembly.empty()) args += L" \"" + std::wstring(assembly) + L"\"";
  if (!extra.empty()) args += L" " + std::wstring(extra);
  return args;
}

NgenRun runNgen(const std::wstring& ngenPath, std::wstring_view verb, const std::wstring& assembly,
                std::wstring_view extra, DWORD limitMs, const NgenLineHandler& onLine, const NgenTickHandler& onTick,
                const NgenCancelTest& cancelled) {
  NgenRun run;
  std::wstring args = ngenArguments(verb, assembly, extra);
  logf(L"ngen: \"%ls\" %ls", ngenPath.c_str(), args.c_str());
  // ngen lies in {win}\Microsoft.NET\<framework>\v4.0.30319; its working folder is {win}.
  std::wstring windowsFolder = parentPath(parentPath(parentPath(parentPath(ngenPath))));
  ProcessHooks hooks;
  hooks.line = [&](const std::string& line) {
    logf(L"  ngen> %ls", utf8ToWide(line).c_str());
    run.output += line;
    run.output += '\n';
    if (onLine) onLine(line);
  };
  hooks.tick = onTick;
  hooks.cancel = cancelled;
  ProcessResult result = runWithOutput(ngenPath, args, windowsFolder, limitMs, hooks);
  run.started = result.started;
  run.timedOut = result.timedOut;
  run.exitCode = result.exitCode;
  run.error = result.error;
  if (!result.started) logWinError(L"ngen could not start", result.error);
  if (result.timedOut) logf(L"ngen hit its limit of %lu seconds and was ended", static_cast<unsigned long>(limitMs / 1000));
  logf(L"ngen exit %lu", static_cast<unsigned long>(run.exitCode));
  return run;
}

NgenRun queueNativeImage(const std::wstring& ngenPath, const std::wstring& assembly) {
  if (ngenPath.empty()) return {};
  return runNgen(ngenPath, L"install", assembly, L"/queue /nologo", kNgenQueueLimitMs);
}

NgenRun uninstallNativeImage(const std::wstring& ngenPath, const std::wstring& assembly) {
  if (ngenPath.empty()) return {};
  return runNgen(ngenPath, L"uninstall", assembly, L"/nologo", kNgenUninstallLimitMs);
}

}  // namespace zs
