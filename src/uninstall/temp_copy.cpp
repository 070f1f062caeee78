#include "uninstall/temp_copy.h"

#include <windows.h>
#include <bcrypt.h>

#include "base/exit_code.h"
#include "base/log.h"
#include "base/switches.h"
#include "journal/setup_data.h"
#include "platform/app_processes.h"
#include "platform/child_result.h"
#include "platform/files.h"
#include "platform/handle.h"
#include "platform/lock_file.h"
#include "base/text.h"
#include "base/paths.h"

namespace zs {

namespace {

constexpr uint64_t kMaxExecutableBytes = 1ull << 30;
constexpr size_t kRandomBytes = 16;
constexpr std::wstring_view kLockSuffix = L".lock";

// Where the copy went, and the lock that keeps a sweep away from it until its launcher ends.
struct CopyPlace {
  std::wstring copy;
  UniqueHandle lock;
};

bool writeTemporaryCopy(const std::wstring& exePath, CopyPlace& place) {
  std::wstring setupData;
  if (!prepareSetupData(setupData)) return false;

  uint8_t random[kRandomBytes];
  const NTSTATUS status = BCryptGenRandom(nullptr, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (!BCRYPT_SUCCESS(status)) {
    logf(L"The system's random generator failed (status 0x%08lx), so the uninstaller has no name for its copy.",
         static_cast<unsigned long>(status));
    return false;
  }
  std::wstring folder = setupData + L"\\un-";
  for (uint8_t b : random) folder += format(4, L"%02x", static_cast<unsigned>(b));
  DWORD error = 0;
  // Taken before the folder exists: a setup's sweep must never find the folder, however new and
  // empty, without it.
  place.lock = createLockFile(temporaryCopyLockPath(folder), &error);
  if (!place.lock) {
    logWinError(L"Lock for the uninstaller copy", error);
    return false;
  }
  if (!createFolder(folder, &error)) {
    logWinError(L"Folder for the uninstaller copy", error);
    return false;
  }

  std::string bytes;
  if (!readWholeFile(exePath, kMaxExecutableBytes, bytes, &error)) {
    logWinError(L"Read of the uninstaller", error);
    return false;
  }
  place.copy = folder + L"\\ZelvanUninstall.exe";
  if (!writeNewFile(place.copy, bytes, &error)) {
    logWinError(L"Copy of the uninstaller", error);
    return false;
  }
  // A copy killed before its end never schedules itself: the launcher does it now, and the copy
  // does it once more when it ends.
  scheduleTemporaryCopyRemoval(place.copy);
  return true;
}

}  // namespace

std::wstring temporaryCopyArguments(uint32_t parentId, const std::wstring& installFolder, const SwitchSet& s,
                                    uint32_t resultHandle) {
  std::wstring arguments = format(64, L" /run=%lu", static_cast<unsigned long>(parentId)) + L" \"/app=" +
                           installFolder + L"\"" + format(64, L" /result=%lu", static_cast<unsigned long>(resultHandle)) +
                           s.switchText;
  // The copy starts in another folder, so a relative /log= would lead it elsewhere: the last /log=
  // wins, and this one is the launcher's own, already absolute.
  if (!s.logPath.empty()) arguments += L" " + quoteArgument(L"/log=" + s.logPath);
  return arguments;
}

std::optional<int32_t> runTemporaryCopy(const SwitchSet& s, const std::wstring& exePath,
                                        const std::wstring& installFolder) {
  CopyPlace place;
  if (!writeTemporaryCopy(exePath, place)) return std::nullopt;

  // The launcher's log opens before its copy's, so that it lists first.
  if (s.silent && s.logPath.empty()) theLog().open();
  ReportingChild copy;
  DWORD error = 0;
  auto arguments = [&](uint32_t resultHandle) {
    return temporaryCopyArguments(GetCurrentProcessId(), installFolder, s, resultHandle);
  };
  if (!startReportingChild(place.copy, arguments, copy, &error)) {
    logWinError(L"Start of the uninstaller copy", error);
    return std::nullopt;
  }
  logLine(L"Restarted from a temp copy.");
  // A /log= file is the copy's now: it writes there while this run still waits.
  theLog().leaveGivenFile();

  const ChildResult result = waitForChildResult(copy);
  if (result.received) {
    logf(L"The copy's result: exit code %d.", result.value);
    return result.value;
  }
  if (result.childExitCode == STILL_ACTIVE) {
    logWinError(L"The copy's result could not be read", result.error);
  } else {
    logWinError(format(64, L"The copy ended (exit code %lu) without telling its result",
                       static_cast<unsigned long>(result.childExitCode)),
                result.error);
  }
  return exitNumber(UninstallExit::CopyGaveNoResult);
}

std::wstring temporaryCopyLockPath(const std::wstring& copyFolder) { return copyFolder + std::wstring(kLockSuffix); }

void scheduleTemporaryCopyRemoval(const std::wstring& exePath) {
  std::wstring folder = parentPath(exePath);
  if (!deleteAtRestart(exePath)) logWinError(L"Couldn't schedule at the next restart " + exePath, GetLastError());
  if (folder.empty()) return;
  if (!deleteAtRestart(folder)) logWinError(L"Couldn't schedule at the next restart " + folder, GetLastError());
  // The launcher's lock goes when its handle closes; only a power cut keeps it, and then perhaps
  // no uninstaller or setup runs again to sweep it.
  const std::wstring lock = temporaryCopyLockPath(folder);
  if (!deleteAtRestart(lock)) logWinError(L"Couldn't schedule at the next restart " + lock, GetLastError());
}

void removeStaleTemporaryCopies(const std::wstring& setupData) {
  std::vector<FolderEntry> entries;
  if (setupData.empty() || !listFolder(setupData, entries)) return;
  for (const FolderEntry& e : entries) {
    if ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || !startsWithNoCase(e.name, L"un-")) continue;
    const std::wstring folder = setupData + L"\\" + e.name;
    if (isLink(folder)) continue;
    // Its launcher still runs, maybe about to start the copy: the lock it holds cannot be deleted.
    // One that can be is what a power cut left.
    const std::wstring lock = temporaryCopyLockPath(folder);
    DWORD error = 0;
    if (pathExists(lock) && !deleteFile(lock, &error) && pathExists(lock)) continue;
    // Asked only now: a launcher that let go of its lock had started its copy first.
    bool inUse = false;
    for (const AppProcess& p : listProcesses()) inUse = inUse || isImageInside(p.image, {folder});
    if (inUse) continue;
    const std::wstring copy = folder + L"\\ZelvanUninstall.exe";
    if (pathExists(copy) && !deleteFile(copy, &error)) {
      logWinError(L"Couldn't delete the leftover uninstaller copy " + copy, error);
      continue;
    }
    if (isFolderEmpty(folder) && removeFolder(folder)) logf(L"Removed a leftover uninstaller copy: %ls", folder.c_str());
  }
  // Locks whose folder is gone, or never came, and that nobody holds any more.
  for (const FolderEntry& e : entries) {
    if ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !startsWithNoCase(e.name, L"un-") ||
        !endsWithNoCase(e.name, kLockSuffix))
      continue;
    const std::wstring lock = setupData + L"\\" + e.name;
    if (!isDirectory(lock.substr(0, lock.size() - kLockSuffix.size()))) deleteFile(lock);
  }
}

}  // namespace zs
