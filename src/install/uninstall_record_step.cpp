#include "install/uninstall_record_step.h"

#include <algorithm>

#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "install/placing.h"
#include "journal/journal.h"
#include "journal/record_kinds.h"
#include "platform/files.h"
#include "platform/known_folders.h"
#include "platform/sha256.h"
#include "script/script.h"
#include "uninstall/existing_install.h"
#include "uninstall/uninstall_record.h"

namespace zs {

namespace {

size_t depthOf(const std::wstring& key) { return static_cast<size_t>(std::count(key.begin(), key.end(), L'\\')); }

bool sameKey(const RegistryKeyRef& a, const RegistryKeyRef& b) {
  return a.root == b.root && a.view == b.view && equalsNoCase(a.key, b.key);
}

// Each ancestor folder of the files, once, the longest first (so a folder comes before its parent).
std::vector<std::wstring> foldersOf(const std::vector<std::wstring>& files) {
  std::vector<std::wstring> dirs;
  NoCaseSet seen;
  for (const std::wstring& file : files) {
    for (size_t slash = file.rfind(L'\\'); slash != std::wstring::npos && slash > 0;
         slash = file.rfind(L'\\', slash - 1)) {
      std::wstring dir = file.substr(0, slash);
      if (seen.insert(dir).second) dirs.push_back(dir);
    }
  }
  std::stable_sort(dirs.begin(), dirs.end(),
                   [](const std::wstring& a, const std::wstring& b) { return a.size() > b.size(); });
  return dirs;
}

// A file already at the place is moved aside, then the new one is journalled as placed. A folder
// there is refused before its PUT: rollback would try to delete it as the placed file and never
// finish.
void clearAndPut(InstallRun& run, const std::wstring& path) {
  if (isDirectory(path)) {
    logf(L"A folder stands where a file goes: %ls", path.c_str());
    throw Stop::failed(StopCategory::WriteFailed, path);
  }
  if (pathExists(path)) moveAside(run, path);
  journalPut(run.journal, path);
}

}  // namespace

UninstallRecord buildUninstallRecord(const InstallRun& run) {
  UninstallRecord r;
  r.app = run.folder;
  const std::vector<NativeImageEntry>& images = run.script.nativeImages;
  for (auto it = images.rbegin(); it != images.rend(); ++it)
    if (!it->install.empty()) r.ngen.push_back(expandPaths(it->install, run.variables));
  r.lnk = run.shortcutsCreated;
  r.reg = run.linesWritten;
  r.key = run.keysCreated;
  if (run.oldRecordUsable) {
    for (const RegistryKeyRef& old : run.oldRecord.key) {
      if (!keyExists(old.root, old.view, old.key)) continue;
      if (std::none_of(r.key.begin(), r.key.end(), [&](const RegistryKeyRef& k) { return sameKey(k, old); }))
        r.key.push_back(old);
    }
  }
  std::stable_sort(r.key.begin(), r.key.end(),
                   [](const RegistryKeyRef& a, const RegistryKeyRef& b) { return depthOf(a.key) > depthOf(b.key); });
  for (const FileEntry* f : run.programFiles) {
    std::wstring name = relativeToApp(f->dest);
    if (!equalsNoCase(name, L"ZelvanUninstall.exe")) r.file.push_back(name);
  }
  r.dir = foldersOf(r.file);
  return r;
}

std::vector<std::wstring> keptProgramDirs(const InstallRun& run) {
  std::vector<std::wstring> files;
  for (const FileEntry* f : run.programFiles) files.push_back(relativeToApp(f->dest));
  std::vector<std::wstring> kept = foldersOf(files);
  for (const DirEntry& d : run.script.dirs) {
    std::wstring rest = relativeToApp(d.name);
    // A [Dirs] folder keeps every folder on its way down, which may be empty but for it.
    if (!rest.empty()) {
      rest += L"\\x";
      for (const std::wstring& dir : foldersOf({rest})) kept.push_back(dir);
    }
  }
  return kept;
}

void writeUninstallerAndRecord(InstallRun& run) {
  run.cancelPoint();
  std::string bytes = serializeUninstallRecord(buildUninstallRecord(run));
  bool hashed = false;
  std::wstring sha = sha256Hex(bytes, hashed);
  if (!hashed) {
    logLine(L"The SHA-256 of the uninstall record could not be computed.");
    throw Stop::failed(StopCategory::Unexpected);
  }

  const std::wstring finalPath = run.folder + L"\\" + kUninstallRecordName;
  const std::wstring temporary = finalPath + L".tmp";
  clearAndPut(run, temporary);
  DWORD error = 0;
  if (!writeNewFile(temporary, bytes, &error)) raiseWriteFailure(temporary, error);
  clearAndPut(run, finalPath);
  if (!moveFile(temporary, finalPath, false, &error)) raiseWriteFailure(finalPath, error);
  run.recordSha = sha;
}

bool readOldUninstallRecord(InstallRun& run, std::wstring& reason) {
  const ExistingInstall& existing = run.request.existing;
  return readUninstallRecord(existing.entryName, existing.view, run.oldFolder, run.folders, run.oldRecord, reason);
}

std::vector<std::wstring> oldRecordNativeImages(const InstallRun& run) { return run.oldRecord.ngen; }

std::vector<std::wstring> oldRecordFiles(const InstallRun& run) { return run.oldRecord.file; }

}  // namespace zs
