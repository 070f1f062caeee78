// The two native-image steps of an install: removing an earlier install's images before its files
// are replaced, and installing the new ones after the files are placed.
#include <windows.h>

#include <cmath>

#include "base/log.h"
#include "ngen/ngen.h"
#include "platform/files.h"
#include "base/paths.h"
#include "script/script.h"

namespace zs {

namespace {

bool fileSize(const std::wstring& path, uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
  size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

// One ngen run with the bar moving: ticks give elapsed time, lines give the bonus.
NgenRun runWithProgress(const NgenStepContext& context, NgenProgress& progress, std::wstring_view verb,
                        const std::wstring& assembly, DWORD limitMs) {
  ULONGLONG last = GetTickCount64();
  auto onTick = [&] {
    ULONGLONG now = GetTickCount64();
    progress.advance(static_cast<double>(now - last) / 1000.0);
    last = now;
    if (context.progress) context.progress(progress.position);
  };
  auto onLine = [&](const std::string& line) { progress.onLine(line); };
  return runNgen(context.ngenPath, verb, assembly, L"/nologo", limitMs, onLine, onTick, context.cancelled);
}

}  // namespace

void NgenProgress::begin(double runStart, double runTarget, double expected) {
  start = runStart;
  target = runTarget;
  expectedSeconds = expected > 0 ? expected : 0.5;
  elapsed = 0;
  bonus = 0;
}

void NgenProgress::advance(double seconds) {
  if (seconds > 0) elapsed += seconds;
  double fraction = 1.0 - std::exp(-elapsed / expectedSeconds) + bonus;
  if (fraction > 1.0) fraction = 1.0;
  double at = start + fraction * 0.9 * (target - start);
  if (at > position) position = at;
}

void NgenProgress::onLine(const std::string& line) {
  if (line.find("Compiling assembly") != std::string::npos) bonus += (1.0 - bonus) * 0.1;
}

double expectedNgenSeconds(uint64_t assemblyBytes) {
  double seconds = static_cast<double>(assemblyBytes) / 1048576.0 * 5.0;
  return seconds < 0.5 ? 0.5 : seconds;
}

void removeOldNativeImages(const std::vector<std::wstring>& assemblies, const NgenStepContext& context) {
  if (context.ngenPath.empty()) {
    logLine(L"No ngen on this PC, so old native images stay until .NET clears them.");
    return;
  }
  int number = 0;
  for (const std::wstring& listed : assemblies) {
    ++number;
    if (context.step) context.step(L"ngenold", number);
    std::wstring assembly = normalizePath(listed);
    if (context.beforeChange) context.beforeChange(NativeImageChange::RemoveOld, context.ngenPath, assembly);
    // Not ended by a cancel: an uninstall cut short would leave the image half gone.
    NgenRun run = runNgen(context.ngenPath, L"uninstall", assembly, L"/nologo", kNgenUninstallLimitMs);
    if (run.exitCode != 0) {
      logf(L"Old native image %ls: ngen uninstall exited %lu. Ignored.", assembly.c_str(),
           static_cast<unsigned long>(run.exitCode));
    }
    if (context.cancelAsked()) return;
  }
}

NativeImageResult installNativeImages(const std::vector<NativeImageEntry>& entries, const VariableTable& variables,
                                      const NgenStepContext& context) {
  NativeImageResult result;
  if (context.ngenPath.empty()) {
    result.note = L"no ngen on this PC";
    logLine(L"Native images: no ngen on this PC. Zelvan will start slower.");
    return result;
  }
  std::vector<const NativeImageEntry*> installs;
  const NativeImageEntry* queue = nullptr;
  for (const NativeImageEntry& entry : entries) {
    if (entry.queueRun) {
      queue = &entry;
    } else {
      installs.push_back(&entry);
    }
  }

  NgenProgress progress;
  double previousTarget = 0;
  for (size_t i = 0; i < installs.size(); ++i) {
    std::wstring assembly = normalizePath(expandPaths(installs[i]->install, variables));
    if (context.step) context.step(L"ngen", static_cast<int>(i + 1));
    uint64_t size = 0;
    if (!fileSize(assembly, size)) {
      logf(L"Native image skipped, the file is not there: %ls", assembly.c_str());
      continue;
    }
    double target = i == 0 ? 80 : 85;
    if (queue == nullptr && i + 1 == installs.size()) target = 100;
    progress.begin(previousTarget, target, expectedNgenSeconds(size));
    previousTarget = target;
    if (context.beforeChange) context.beforeChange(NativeImageChange::InstallNew, context.ngenPath, assembly);
    NgenRun run = runWithProgress(context, progress, L"install", assembly, kNgenInstallLimitMs);
    if (context.cancelAsked()) return result;
    if (run.exitCode != 0) {
      logf(L"Native image install exited %lu: %ls. It gets one retry after the check.",
           static_cast<unsigned long>(run.exitCode), assembly.c_str());
      result.retryList.push_back(assembly);
    }
    progress.finish();
    if (context.progress) context.progress(progress.position);
  }

  if (queue != nullptr) {
    if (context.step) context.step(L"ngen", static_cast<int>(installs.size() + 1));
    progress.begin(previousTarget, 100, 30);
    NgenRun run = runWithProgress(context, progress, L"executeQueuedItems", L"", queue->timeout * 1000);
    if (context.cancelAsked()) return result;
    if (run.timedOut) logLine(L"The .NET queue hit its limit. The items stay queued for Windows.");
    progress.finish();
    if (context.progress) context.progress(progress.position);
  }
  result.optimized = true;
  return result;
}

}  // namespace zs
