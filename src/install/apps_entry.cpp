#include "install/apps_entry.h"

#include <windows.h>

#include "install/registry_lines.h"
#include "base/text.h"
#include "uninstall/existing_install.h"

namespace zs {

namespace {

std::string stringBytes(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
}

std::string dwordBytes(uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

}  // namespace

std::wstring appsEntryKey(const SetupScript& script) { return uninstallKeyOf(L"{" + script.setup.appId + L"}"); }

uint32_t estimatedSizeKiB(const std::vector<const FileEntry*>& files) {
  uint64_t total = 0;
  for (const FileEntry* f : files) total += f->size;
  return static_cast<uint32_t>(total >> 10);
}

void writeAppsAndFeaturesEntry(InstallRun& run) {
  run.cancelPoint();
  const SetupInfo& setup = run.script.setup;
  const std::wstring key = appsEntryKey(run.script);
  const std::wstring uninstaller = L"\"" + run.folder + L"\\ZelvanUninstall.exe\"";

  auto text = [&](const wchar_t* name, const std::wstring& value) {
    writeOneValue(run, RegRoot::Hklm, RegView::View64, key, name, REG_SZ, stringBytes(value));
  };
  auto number = [&](const wchar_t* name, uint32_t value) {
    writeOneValue(run, RegRoot::Hklm, RegView::View64, key, name, REG_DWORD, dwordBytes(value));
  };

  text(L"DisplayName", setup.appName);
  text(L"DisplayVersion", setup.appVersion);
  text(L"Publisher", setup.publisher);
  text(L"DisplayIcon", run.folder + L"\\Zelvan.exe");
  text(L"InstallLocation", run.folder);
  text(L"UninstallString", uninstaller);
  text(L"QuietUninstallString", uninstaller + L" /silent");
  number(L"NoModify", 1);
  number(L"NoRepair", 1);
  if (!setup.publisherUrl.empty()) text(L"URLInfoAbout", setup.publisherUrl);
  if (!setup.supportUrl.empty()) text(L"HelpLink", setup.supportUrl);
  if (!setup.updatesUrl.empty()) text(L"URLUpdateInfo", setup.updatesUrl);
  number(L"EstimatedSize", estimatedSizeKiB(run.programFiles));
  SYSTEMTIME now{};
  GetLocalTime(&now);
  text(L"InstallDate", format(16, L"%04u%02u%02u", static_cast<unsigned>(now.wYear), static_cast<unsigned>(now.wMonth),
                              static_cast<unsigned>(now.wDay)));
  std::wstring tasks;
  for (const std::wstring& t : run.request.tasks) tasks += (tasks.empty() ? L"" : L",") + t;
  text(L"ZelvanSetup: Tasks", tasks);
  text(L"ZelvanSetup: FileVersion", setup.fileVersion);
  text(L"ZelvanSetup: ListSha", run.recordSha);
}

}  // namespace zs
