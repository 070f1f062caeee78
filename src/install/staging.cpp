#include "install/staging.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

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
// staging folder is covered by its STAGE record as a whole. The staging folder is new and only this
// run writes into it, so a folder it made once is not looked at again.
// False with the folder and the Windows error when one cannot be made.
bool createStagingParents(const std::wstring& base, const std::wstring& relative, NoCaseSet& made,
                          std::wstring& failed, DWORD& error) {
  size_t pos = 0;
  while ((pos = relative.find(L'\\', pos)) != std::wstring::npos) {
    std::wstring part = relative.substr(0, pos);
    if (made.count(part) == 0) {
      std::wstring folder = base + L"\\" + part;
      if (!isDirectory(folder) && !createFolder(folder, &error)) {
        failed = std::move(folder);
        return false;
      }
      made.insert(std::move(part));
    }
    ++pos;
  }
  return true;
}

// The block decompressing on a thread of its own while the files are staged. The outcome is that
// of decompressing first and staging after: whatever stops the staging waits for the decompressing
// to end, and a damaged block is what is reported if it is one.
class BlockDecoding {
 public:
  BlockDecoding(const Payload& payload, uint8_t* out, uint64_t size) : payload_(payload), out_(out), size_(size) {
    // Decided, and logged, on this thread.
    usesBuiltInDecoder();
    try {
      thread_ = std::thread([this] { decode(); });
    } catch (const std::system_error&) {
      decode();  // no thread to be had: the same, only one after the other
    }
  }
  ~BlockDecoding() {
    if (thread_.joinable()) thread_.join();
  }
  BlockDecoding(const BlockDecoding&) = delete;
  BlockDecoding& operator=(const BlockDecoding&) = delete;

  // Waits until the block's first `end` bytes are final. When the decompressing fails first, it
  // is reported as the failure.
  void waitFor(uint64_t end) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return ready_ >= end || ended_; });
      if (ready_ >= end) return;
    }
    settle();
  }

  // Waits for the end; a damaged block is logged and stops the run.
  void settle() {
    if (thread_.joinable()) thread_.join();
    if (succeeded_) return;
    logWinError(L"Decompress", error_);
    throw Stop::failed(StopCategory::Damaged);
  }

 private:
  void decode() {
    unsigned long error = 0;
    const bool ok = decompressBlock(payload_.block, payload_.blockLength, out_, size_, error, [this](uint64_t bytes) {
      std::lock_guard<std::mutex> lock(mutex_);
      ready_ = bytes;
      changed_.notify_all();
    });
    std::lock_guard<std::mutex> lock(mutex_);
    succeeded_ = ok;
    error_ = error;
    ended_ = true;
    changed_.notify_all();
  }

  const Payload& payload_;
  uint8_t* out_;
  uint64_t size_;
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t ready_ = 0;
  bool ended_ = false;
  bool succeeded_ = false;
  unsigned long error_ = 0;
  std::thread thread_;
};

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
  // Each file is staged as soon as its bytes are decompressed. Every stop below settles the
  // decompressing first, so that a damaged block is reported as it would be had the whole block
  // been decompressed before the first file.
  BlockDecoding decoding(payload, run.buffer.get(), size);
  uint64_t total = 0;
  for (const FileEntry* f : run.programFiles) total += f->size;
  uint64_t done = 0;
  int staged = 0;
  NoCaseSet folders;
  for (const FileEntry* f : run.programFiles) {
    if (run.cancel.cancelRequested()) {
      decoding.settle();
      run.cancelPoint();
    }
    // The reader checked that every line lies inside the block.
    decoding.waitFor(f->off + f->size);
    uint8_t digest[kSha256Size];
    if (!sha256(run.buffer.get() + f->off, f->size, digest) || !digestEqualsHex(digest, f->sha)) {
      decoding.settle();
      logf(L"SHA-256 differs for %ls", f->dest.c_str());
      throw Stop::failed(StopCategory::Damaged);
    }
    std::wstring relative = relativeToApp(f->dest);
    std::wstring staged_path = run.stagingFolder + L"\\" + relative;
    std::wstring failed;
    DWORD writeError = 0;
    if (!createStagingParents(run.stagingFolder, relative, folders, failed, writeError)) {
      decoding.settle();
      raiseWriteFailure(failed, writeError);
    }
    if (!writeNewFile(staged_path, run.buffer.get() + f->off, static_cast<size_t>(f->size), &writeError)) {
      decoding.settle();
      raiseWriteFailure(staged_path, writeError);
    }
    done += f->size;
    ++staged;
    run.report(0, 1, total == 0 ? 90 : static_cast<int32_t>(done * 90 / total));
  }
  decoding.settle();
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
