#include "uninstall/temp_copy.h"

#include <windows.h>
#include <bcrypt.h>

#include "base/log.h"
#include "base/switches.h"
#include "journal/setup_data.h"
#include "platform/files.h"
#include "platform/process.h"
#include "base/text.h"
#include "base/paths.h"

namespace zs {

namespace {

constexpr uint64_t kMaxExecutableBytes = 1ull << 30;
constexpr size_t kRandomBytes = 16;

}  // namespace

std::wstring temporaryCopyArguments(uint32_t parentId, const std::wstring& installFolder,
                                    const std::wstring& switchText) {
  return format(64, L" /run=%lu", static_cast<unsigned long>(parentId)) + L" \"/app=" + installFolder + L"\"" +
         switchText;
}

bool startTemporaryCopy(const SwitchSet& s, const std::wstring& exePath, const std::wstring& installFolder) {
  std::wstring setupData;
  if (!prepareSetupData(setupData)) return false;

  uint8_t random[kRandomBytes];
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    return false;
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
  if (!startDetached(copy, temporaryCopyArguments(GetCurrentProcessId(), installFolder, s.switchText), &error)) {
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

}  // namespace zs
