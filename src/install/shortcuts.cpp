#include "install/shortcuts.h"

#include <windows.h>

#include "base/log.h"
#include "install/staging.h"
#include "journal/record_kinds.h"
#include "platform/files.h"
#include "platform/shell.h"
#include "base/text.h"
#include "base/paths.h"
#include "platform/known_folders.h"

namespace zs {

namespace {

std::wstring lastComponent(const std::wstring& path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

const std::wstring& shortcutRoot(const InstallRun& run, const std::wstring& path) {
  return isInside(path, run.folders.programs) ? run.folders.programs : run.folders.desktop;
}

[[noreturn]] void refuseLink(const std::wstring& path) {
  logf(L"A link is in the path, refused: %ls", path.c_str());
  throw Stop::failed(StopCategory::WriteFailed, path);
}

void createOne(InstallRun& run, const ShortcutEntry& s, uint32_t& counter) {
  run.cancelPoint();
  std::wstring path = expandPaths(s.path, run.variables);
  const std::wstring& root = shortcutRoot(run, path);
  // Without its folder the path would be read against the current drive's root.
  if (root.empty() || !isInside(path, root)) {
    logf(L"The shortcut's folder is not known here: %ls", path.c_str());
    throw Stop::failed(StopCategory::WriteFailed, path);
  }
  if (findLink(root, path) != LinkPlace::None) refuseLink(path);
  createFoldersWithJournal(run, parentPath(path), false);
  if (pathExists(path)) moveShortcutAside(run, path, counter);
  journalPut(run.journal, path);

  ShortcutSpec shortcut;
  shortcut.linkPath = path;
  shortcut.target = expandPaths(s.target, run.variables);
  shortcut.arguments = expandPaths(s.args, run.variables);
  shortcut.workingDirectory = expandPaths(s.workDir, run.variables);
  shortcut.icon = expandPaths(s.icon, run.variables);
  shortcut.description = expandPaths(s.comment, run.variables);
  shortcut.appUserModelId = s.appUserModelId;
  HRESULT hr = S_OK;
  if (!createShortcut(shortcut, &hr)) {
    if (HRESULT_FACILITY(hr) == FACILITY_WIN32) {
      logWinError(L"Couldn't create the shortcut " + path, HRESULT_CODE(hr));
    } else {
      logf(L"Couldn't create the shortcut %ls: 0x%08lx", path.c_str(), static_cast<unsigned long>(hr));
    }
    throw Stop::failed(StopCategory::WriteFailed, path);
  }
  run.shortcutsCreated.push_back(path);
}

// Shortcuts of the old install that this run does not create: unchosen entries, then the old
// record's "lnk" lines.
std::vector<std::wstring> shortcutsToTakeAway(const InstallRun& run) {
  std::vector<std::wstring> paths;
  for (const ShortcutEntry& s : run.script.shortcuts)
    if (!entryApplies(s.tasks, s.enabled, run.request.tasks)) paths.push_back(expandPaths(s.path, run.variables));
  if (run.oldRecordUsable)
    for (const std::wstring& lnk : run.oldRecord.lnk) paths.push_back(lnk);
  return paths;
}

bool wasCreated(const InstallRun& run, const std::wstring& path) {
  for (const std::wstring& created : run.shortcutsCreated)
    if (equalsNoCase(created, path)) return true;
  return false;
}

}  // namespace

void moveShortcutAside(InstallRun& run, const std::wstring& path, uint32_t& counter) {
  const std::wstring bak = run.folders.setupdata + L"\\bak";
  std::wstring folder;
  // A folder left over from a run whose cleanup failed is never reused: its file would be in the
  // way of the move, and it is not this run's to give back.
  do {
    ++counter;
    folder = bak + L"\\" + std::to_wstring(counter);
  } while (pathExists(folder));
  if (findLink(run.folders.setupdata, folder) != LinkPlace::None) refuseLink(folder);
  const bool bakWasThere = isDirectory(bak);
  createFoldersWithJournal(run, folder, false);
  if (!bakWasThere) makeFolderDurable(bak);
  makeFolderDurable(folder);
  std::wstring to = folder + L"\\" + lastComponent(path);
  journalMove(run.journal, path, to);
  DWORD error = 0;
  if (!moveFile(path, to, true, &error)) raiseWriteFailure(path, error);
}

void makeShortcuts(InstallRun& run) {
  uint32_t counter = 0;
  for (const ShortcutEntry& s : run.script.shortcuts)
    if (entryApplies(s.tasks, s.enabled, run.request.tasks)) createOne(run, s, counter);
  if (!run.hasOldFolder()) return;

  for (const std::wstring& path : shortcutsToTakeAway(run)) {
    if (wasCreated(run, path)) continue;
    // Only the two shortcut folders are ever touched, whatever an old record says.
    if (!isInside(path, run.folders.programs) && !isInside(path, run.folders.desktop)) continue;
    if (!pathExists(path) || findLink(shortcutRoot(run, path), path) != LinkPlace::None) continue;
    run.cancelPoint();
    moveShortcutAside(run, path, counter);
  }
}

}  // namespace zs
