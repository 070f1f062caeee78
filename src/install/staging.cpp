#include "install/staging.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "base/log.h"
#include "install/native_images.h"
#include "journal/record_kinds.h"
#include "payload/decompressor.h"
#include "payload/payload_reader.h"
#include "platform/sha256.h"
#include "platform/files.h"
#include "platform/security.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "install/uninstall_record_step.h"
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

  // Waits until the block's first `end` bytes are final; false when the decompressing ended
  // without them (it failed). Any thread may wait.
  bool waitFor(uint64_t end) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return ready_ >= end || ended_; });
    return ready_ >= end;
  }

  // How many leading bytes are final so far.
  uint64_t ready() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ready_;
  }
  uint64_t size() const { return size_; }

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

int32_t stagingPercent(uint64_t decoded, uint64_t blockSize, uint64_t staged, uint64_t filesSize) {
  const uint64_t whole = blockSize + filesSize;
  // Every program file written is the end of staging, whatever of the block (seed files) is
  // still being decoded.
  if (whole == 0 || staged >= filesSize) return 90;
  return static_cast<int32_t>(std::min(decoded + staged, whole) * 90 / whole);
}

namespace {

// How many files are hashed, written and flushed at once. A flush waits for the disk, and the
// file system commits flushes that wait together in one go, so several writers finish far sooner
// than one, even on one processor.
constexpr size_t kStagingWriters = 4;

// The program files staged by several workers, each file as soon as its bytes are decompressed,
// with the outcome of staging them one after the other in script order: progress is reported in
// that order on the calling thread, cancel is looked at before each file is taken, and of the
// files that fail the first in script order is the one reported, on the calling thread, after
// every worker has stopped. Files after it may have been written, but only into the staging
// folder, which rollback removes as a whole.
class StagingWork {
 public:
  StagingWork(InstallRun& run, BlockDecoding& decoding) : run_(run), decoding_(decoding), done_(run.programFiles.size()) {
    for (const FileEntry& f : run.script.files)
      if (f.seed) seeds_.emplace_back(f.off, f.off + f.size);
  }

  // Returns when every file is staged, or when the workers stopped at a failure or a cancel.
  void stageAll() {
    if (run_.programFiles.empty()) return;
    for (const FileEntry* f : run_.programFiles) total_ += f->size;
    std::vector<std::thread> workers;
    for (size_t i = 0; i < std::min(kStagingWriters, run_.programFiles.size()); ++i) {
      try {
        workers.emplace_back([this] { stageFiles(); });
      } catch (const std::system_error&) {
        break;
      }
    }
    if (workers.empty()) stageFiles();  // no thread to be had: this one does the work
    try {
      reportProgress(workers.size());
    } catch (...) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
      }
      for (std::thread& t : workers) t.join();
      throw;
    }
    for (std::thread& t : workers) t.join();
  }

  // The first failure in script order, logged and raised as staging one file after the other
  // would have; then a cancel seen before a file was taken.
  void raiseFirstFailure() {
    if (failure_.error) std::rethrow_exception(failure_.error);
    switch (failure_.kind) {
      case Failure::None:
        break;
      case Failure::Hash:
        logf(L"SHA-256 differs for %ls", run_.programFiles[failure_.index]->dest.c_str());
        throw Stop::failed(StopCategory::Damaged);
      case Failure::Write:
        raiseWriteFailure(failure_.path, failure_.code);
      case Failure::Decompress:
        break;  // the block's own failure, raised by its settling
    }
    if (cancelled_) run_.cancelPoint();
  }

 private:
  struct Failure {
    enum Kind { None, Decompress, Hash, Write } kind = None;
    size_t index = 0;
    std::wstring path;
    DWORD code = 0;
    std::exception_ptr error;  // anything else a worker ran into, such as a shortage of memory
  };

  void stageFiles() {
    for (;;) {
      size_t index = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_ || next_ == run_.programFiles.size()) break;
        if (run_.cancel.cancelRequested()) {
          cancelled_ = stopped_ = true;
          break;
        }
        index = next_++;
      }
      Failure failure;
      try {
        stageOne(*run_.programFiles[index], failure);
      } catch (...) {
        failure.error = std::current_exception();
      }
      // The reporting thread is not woken per file: it looks on its own a few times a second, and
      // under Wine every wake-up is a round trip to the server that the file operations wait behind.
      std::lock_guard<std::mutex> lock(mutex_);
      if (failure.kind == Failure::None && !failure.error) {
        done_[index] = true;
      } else if (!failed_ || index < failure_.index) {
        failure.index = index;
        failure_ = std::move(failure);
        failed_ = stopped_ = true;
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++finishedWorkers_;
    changed_.notify_all();
  }

  void stageOne(const FileEntry& f, Failure& failure) {
    // The reader checked that every line lies inside the block.
    if (!decoding_.waitFor(f.off + f.size)) {
      failure.kind = Failure::Decompress;
      return;
    }
    uint8_t digest[kSha256Size];
    if (!sha256(run_.buffer.get() + f.off, f.size, digest) || !digestEqualsHex(digest, f.sha)) {
      failure.kind = Failure::Hash;
      return;
    }
    const std::wstring relative = relativeToApp(f.dest);
    {
      std::lock_guard<std::mutex> lock(foldersMutex_);
      if (!createStagingParents(run_.stagingFolder, relative, folders_, failure.path, failure.code)) {
        failure.kind = Failure::Write;
        return;
      }
    }
    std::wstring path = run_.stagingFolder + L"\\" + relative;
    if (!writeNewFile(path, run_.buffer.get() + f.off, static_cast<size_t>(f.size), &failure.code)) {
      failure.kind = Failure::Write;
      failure.path = std::move(path);
    }
  }

  // On the calling thread: the files staged in script order and the bytes decoded so far, until
  // the workers stop. The decoder does not wake this thread, so it looks a few times a second.
  void reportProgress(size_t workers) {
    constexpr auto kLook = std::chrono::milliseconds(100);
    uint64_t doneBytes = 0;
    size_t reported = 0;
    int32_t shown = -1;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      // Read before the files done: a last pass then sees every file, and staging ends at 90.
      const bool workersEnded = finishedWorkers_ == std::max<size_t>(workers, 1);
      const size_t before = reported;
      while (reported < done_.size() && done_[reported]) {
        doneBytes += run_.programFiles[reported]->size;
        ++reported;
      }
      lock.unlock();
      const int32_t percent = stagingPercent(decoding_.ready(), decoding_.size(), doneBytes, total_);
      if (percent > shown) {
        shown = percent;
        run_.report(InstallStep::CopyingFiles, StepStatus::Running, percent);
      }
      lock.lock();
      if (reported != before) {
        const FileEntry& last = *run_.programFiles[reported - 1];
        lock.unlock();
        giveBackStaged(last.off + last.size);
        lock.lock();
      }
      if (workersEnded) return;
      changed_.wait_for(lock, kLook);
    }
  }

  // Gives the block's pages below `end` back to the system, but for those of seed files, which
  // are written from the block later. Every program file below `end` is staged, and its bytes
  // were final before it was: the chunks there are decoded, and nothing reads those pages again.
  // Called on one thread only, with `end` rising.
  void giveBackStaged(uint64_t end) {
    if (givingBackFailed_) return;
    for (const BlockRange& r : pagesWithoutSeeds(seeds_, givenBack_, end, page_)) {
      unsigned long error = 0;
      if (!run_.buffer.discard(r.first, r.second - r.first, &error)) {
        // It costs memory and nothing else: said once, and the block is kept whole from here on.
        logWinError(L"VirtualFree (giving back the pages of staged files)", error);
        givingBackFailed_ = true;
        return;
      }
    }
    givenBack_ = end / page_ * page_;
  }

  InstallRun& run_;
  BlockDecoding& decoding_;
  uint64_t total_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;
  bool stopped_ = false;
  bool cancelled_ = false;
  bool failed_ = false;
  Failure failure_;
  std::vector<bool> done_;
  size_t finishedWorkers_ = 0;
  std::mutex foldersMutex_;
  NoCaseSet folders_;
  // The calling thread's own: the block's pages below givenBack_ are given back or hold a seed.
  std::vector<BlockRange> seeds_;
  const uint64_t page_ = PageMemory::pageSize();
  uint64_t givenBack_ = 0;
  bool givingBackFailed_ = false;
};

}  // namespace

std::vector<BlockRange> pagesWithoutSeeds(const std::vector<BlockRange>& seeds, uint64_t from, uint64_t end,
                                          uint64_t page) {
  std::vector<BlockRange> runs;
  size_t next = 0;  // the first seed that ends after the page looked at
  for (uint64_t at = from; at + page <= end; at += page) {
    while (next < seeds.size() && seeds[next].second <= at) ++next;
    bool holdsSeed = false;
    for (size_t i = next; i < seeds.size() && seeds[i].first < at + page && !holdsSeed; ++i)
      holdsSeed = seeds[i].second > seeds[i].first;  // an empty seed holds no byte
    if (holdsSeed) continue;
    if (!runs.empty() && runs.back().second == at) {
      runs.back().second = at + page;
    } else {
      runs.emplace_back(at, at + page);
    }
  }
  return runs;
}

void makeFolderDurable(const std::wstring& folder) {
  const std::wstring parent = parentPath(folder);
  DWORD error = 0;
  if (!parent.empty() && !flushFolderToDisk(parent, &error)) raiseWriteFailure(parent, error);
}

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
  // One allocation of the whole block, in pages of its own so that staged files give theirs back.
  unsigned long error = 0;
  if (!run.buffer.allocate(size, &error)) {
    logWinError(L"VirtualAlloc (the decompressed block)", error);
    throw Stop::failed(StopCategory::Unexpected);
  }
  BlockDecoding decoding(payload, run.buffer.get(), size);
  StagingWork work(run, decoding);
  work.stageAll();
  // A damaged block is reported before anything the staging found, as it would be had the whole
  // block been decompressed before the first file.
  decoding.settle();
  work.raiseFirstFailure();
  logf(L"Staged %d program files.", static_cast<int>(run.programFiles.size()));
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
