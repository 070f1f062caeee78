#include "install/staging.h"

#include <windows.h>

#include <algorithm>

#include "app/log.h"
#include "install/native_images.h"
#include "journal/journal_records.h"
#include "payload/decompressor.h"
#include "payload/payload_reader.h"
#include "payload/sha256.h"
#include "platform/files.h"
#include "platform/security.h"
#include "platform/text.h"
#include "script/known_folders.h"
#include "uninstall/uninstall_record.h"

namespace zs {

namespace {

// Creates the folders between `base` (which exists) and the file's folder; no journal: the
// staging folder is covered by its STAGE record as a whole.
void createStagingParents(const std::wstring& base, const std::wstring& relative) {
  size_t pos = 0;
  while ((pos = relative.find(L'\\', pos)) != std::wstring::npos) {
    std::wstring folder = base + L"\\" + relative.substr(0, pos);
    if (!isDirectory(folder)) {
      DWORD error = 0;
      if (!createFolder(folder, &error)) raiseWriteFailure(folder, error);
    }
    ++pos;
  }
}

}  // namespace

void createFoldersWithJournal(InstallRun& run, const std::wstring& folder, bool protect) {
  std::vector<std::wstring> missing;
  std::wstring current = folder;
  while (!pathExists(current)) {
    missing.push_back(current);
    size_t slash = current.rfind(L'\\');
    if (slash == std::wstring::npos || slash < 3) break;
    current.resize(slash);
  }
  // A drive root such as "C:\" is never created.
  if (!missing.empty() && missing.back().size() <= 3) missing.pop_back();
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    journalDirNew(run.journal, *it);
    DWORD error = 0;
    bool made = protect ? createProtectedFolder(*it, &error) : createFolder(*it, &error);
    if (!made) raiseWriteFailure(*it, error);
  }
}

void prepareInstallFolder(InstallRun& run) {
  if (pathExists(run.folder) && isLink(run.folder)) {
    logf(L"A link is at the install folder, refused: %ls", run.folder.c_str());
    throw Stop::failed(StopCategory::WriteFailed, run.folder);
  }
  bool protect = !isUnderProgramFiles(run.folder, run.folders);
  createFoldersWithJournal(run, run.folder, protect);
  if (protect && isPathTamperable(run.folder)) {
    logf(L"Other accounts can change this folder or a parent of it: %ls", run.folder.c_str());
    throw Stop::failed(StopCategory::WriteFailed, run.folder);
  }
  run.stagingFolder = run.folder + L"\\.zsnew" + run.runSuffix;
  journalStage(run.journal, run.stagingFolder);
  DWORD error = 0;
  if (!createHiddenFolder(run.stagingFolder, &error)) raiseWriteFailure(run.stagingFolder, error);
}

void stageProgramFiles(InstallRun& run) {
  const Payload& payload = *run.request.payload;
  uint64_t size = payload.uncompressedSize;
  // One allocation of the whole block; value-initialising 512 MiB would only cost time.
  run.buffer.reset(new uint8_t[size == 0 ? 1 : size]);
  run.bufferSize = size;
  unsigned long error = 0;
  if (!decompressBlock(payload.block, payload.blockLength, run.buffer.get(), size, error)) {
    logWinError(L"Decompress", error);
    throw Stop::failed(StopCategory::Damaged);
  }
  if (run.programFiles.empty()) {
    logf(L"Staged %d program files.", 0);
    return;
  }
  uint64_t total = 0;
  for (const FileEntry* f : run.programFiles) total += f->size;
  uint64_t done = 0;
  int staged = 0;
  for (const FileEntry* f : run.programFiles) {
    run.cancelPoint();
    uint8_t digest[kSha256Size];
    // The reader checked that every line lies inside the block.
    if (!sha256(run.buffer.get() + f->off, f->size, digest) || !digestEqualsHex(digest, f->sha)) {
      logf(L"SHA-256 differs for %ls", f->dest.c_str());
      throw Stop::failed(StopCategory::Damaged);
    }
    std::wstring relative = relativeToApp(f->dest);
    std::wstring staged_path = run.stagingFolder + L"\\" + relative;
    createStagingParents(run.stagingFolder, relative);
    DWORD writeError = 0;
    if (!writeNewFile(staged_path, run.buffer.get() + f->off, static_cast<size_t>(f->size), &writeError))
      raiseWriteFailure(staged_path, writeError);
    done += f->size;
    ++staged;
    run.report(0, 1, total == 0 ? 90 : static_cast<int32_t>(done * 90 / total));
  }
  logf(L"Staged %d program files.", staged);
}

void removeOldNativeImages(InstallRun& run) {
  run.oldRecordUsable = false;
  if (run.request.existing.kind == InstallKind::Own) {
    std::wstring reason;
    run.oldRecordUsable = readOldUninstallRecord(run, reason);
    if (!run.oldRecordUsable)
      logf(L"The old record of this install can't be used: %ls. Using the [Legacy] lists.", reason.c_str());
  }
  std::vector<std::wstring> roots;
  if (run.oldRecordUsable) {
    roots = oldRecordNativeImages(run);
  } else {
    for (const std::wstring& name : run.script.legacy.ngenRoots) roots.push_back(run.oldFolder + L"\\" + name);
  }
  removeNativeImages(run, roots);
  run.cancelPoint();
}

std::vector<std::wstring> expandLegacyFiles(const std::vector<std::wstring>& entries, const std::wstring& oldFolder) {
  std::vector<std::wstring> out;
  for (const std::wstring& entry : entries) {
    if (!hasWildcard(entry)) {
      out.push_back(entry);
      continue;
    }
    size_t slash = entry.rfind(L'\\');
    std::wstring folderPart = slash == std::wstring::npos ? std::wstring() : entry.substr(0, slash);
    std::wstring pattern = slash == std::wstring::npos ? entry : entry.substr(slash + 1);
    std::wstring listed = folderPart.empty() ? oldFolder : oldFolder + L"\\" + folderPart;
    if (!isDirectory(listed)) continue;
    std::vector<FolderEntry> names;
    if (!listFolder(listed, names)) continue;
    for (const FolderEntry& e : names) {
      if (e.attributes & FILE_ATTRIBUTE_DIRECTORY) continue;
      if (!matchWildcard(pattern, e.name)) continue;
      out.push_back(folderPart.empty() ? e.name : folderPart + L"\\" + e.name);
    }
  }
  return out;
}

std::vector<std::wstring> oldProgramFiles(const InstallRun& run) {
  if (run.oldRecordUsable) {
    std::vector<std::wstring> files = oldRecordFiles(run);
    files.push_back(L"ZelvanUninstall.exe");
    files.push_back(L"ZelvanUninstall.zsu");
    return files;
  }
  return expandLegacyFiles(run.script.legacy.files, run.oldFolder);
}

}  // namespace zs
