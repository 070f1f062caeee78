#include "uninstall/temp_copy.h"

#include <windows.h>
#include <bcrypt.h>

#include "base/log.h"
#include "base/switches.h"
#include "journal/setup_data.h"
#include "platform/app_processes.h"
#include "platform/files.h"
#include "platform/process.h"
#include "base/text.h"
#include "base/paths.h"

namespace zs {

namespace {

constexpr uint64_t kMaxExecutableBytes = 1ull << 30;
constexpr size_t kRandomBytes = 16;

}  // namespace

std::wstring temporaryCopyArguments(uint32_t parentId, const std::wstring& installFolder, const SwitchSet& s) {
  std::wstring arguments = format(64, L" /run=%lu", static_cast<unsigned long>(parentId)) + L" \"/app=" +
                           installFolder + L"\"" + s.switchText;
  // The copy starts in another folder, so a relative /log= would lead it elsewhere: the last /log=
  // wins, and this one is the launcher's own, already absolute.
  if (!s.logPath.empty()) arguments += L" " + quoteArgument(L"/log=" + s.logPath);
  return arguments;
}

bool startTemporaryCopy(const SwitchSet& s, const std::wstring& exePath, const std::wstring& installFolder) {
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
  if (!createFolder(folder, &error)) {
    logWinError(L"Folder for the uninstaller copy", error);
    return false;
  }

  std::string bytes;
  if (!readWholeFile(exePath, kMaxExecutableBytes, bytes, &error)) {
    logWinError(L"Read of the uninstaller", error);
    return false;
  }
  const std::wstring copy = folder + L"\\ZelvanUninstall.exe";
  if (!writeNewFile(copy, bytes, &error)) {
    logWinError(L"Copy of the uninstaller", error);
    return false;
  }
  // A copy killed before its end never schedules itself: the launcher does it now, and the copy
  // does it once more when it ends.
  scheduleTemporaryCopyRemoval(copy);
  if (!startDetached(copy, temporaryCopyArguments(GetCurrentProcessId(), installFolder, s), &error)) {
    logWinError(L"Start of the uninstaller copy", error);
    return false;
  }
  return true;
}

void scheduleTemporaryCopyRemoval(const std::wstring& exePath) {
  std::wstring folder = parentPath(exePath);
  if (!deleteAtRestart(exePath)) logWinError(L"Couldn't schedule at the next restart " + exePath, GetLastError());
  if (!folder.empty() && !deleteAtRestart(folder))
    logWinError(L"Couldn't schedule at the next restart " + folder, GetLastError());
}

void removeStaleTemporaryCopies(const std::wstring& setupData) {
  std::vector<FolderEntry> entries;
  if (setupData.empty() || !listFolder(setupData, entries)) return;
  std::vector<AppProcess> running = listProcesses();
  for (const FolderEntry& e : entries) {
    if ((e.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || !startsWithNoCase(e.name, L"un-")) continue;
    const std::wstring folder = setupData + L"\\" + e.name;
    if (isLink(folder)) continue;
    bool inUse = false;
    for (const AppProcess& p : running) inUse = inUse || isImageInside(p.image, {folder});
    if (inUse) continue;
    const std::wstring copy = folder + L"\\ZelvanUninstall.exe";
    DWORD error = 0;
    if (pathExists(copy) && !deleteFile(copy, &error)) {
      logWinError(L"Couldn't delete the leftover uninstaller copy " + copy, error);
      continue;
    }
    if (isFolderEmpty(folder) && removeFolder(folder)) logf(L"Removed a leftover uninstaller copy: %ls", folder.c_str());
  }
}

}  // namespace zs
