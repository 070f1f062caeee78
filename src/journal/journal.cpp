#include "journal/journal.h"

#include <new>

#include "base/failure.h"
#include "base/log.h"
#include "base/paths.h"
#include "platform/files.h"

namespace zs {

namespace {

bool isClosingKind(std::wstring_view kind) {
  return kind == journal_kind::kUndone || kind == journal_kind::kEnd;
}

}  // namespace

DWORD JournalWriter::create(const std::wstring& path, const KnownFolders& folders, std::wstring_view appId) {
  close();
  scope_ = makeJournalScope(JournalImage{}, folders, appId);
  DWORD error = 0;
  HANDLE file = openForAppend(path, true, &error);
  if (file == INVALID_HANDLE_VALUE) return error != 0 ? error : ERROR_GEN_FAILURE;
  // Durability rule 2: the file's own flush keeps its bytes, not its name. The folder's flush puts
  // the new entry on disk, and its parent's the folder's own (a first install has just made it),
  // or a power cut could lose the journal while the changes of its first records stay.
  const std::wstring folder = parentPath(path);
  if (!appendBytes(file, kJournalHeader, true, &error) || !flushFolderToDisk(folder, &error) ||
      !flushFolderToDisk(parentPath(folder), &error)) {
    CloseHandle(file);
    deleteFile(path);  // a journal without its header would read as invalid
    return error != 0 ? error : ERROR_WRITE_FAULT;
  }
  file_ = file;
  path_ = path;
  count_ = 0;
  size_ = kJournalHeader.size();
  broken_ = false;
  return 0;
}

DWORD JournalWriter::reopen(const std::wstring& path, uint64_t validLength, int32_t recordCount,
                            const JournalScope& scope) {
  close();
  scope_ = scope;
  DWORD error = 0;
  HANDLE file = openForAppend(path, false, &error);
  if (file == INVALID_HANDLE_VALUE) return error != 0 ? error : ERROR_GEN_FAILURE;
  if (!setFileEnd(file, validLength, &error) || !flushHandle(file, &error)) {
    CloseHandle(file);
    return error != 0 ? error : ERROR_WRITE_FAULT;
  }
  file_ = file;
  path_ = path;
  count_ = recordCount;
  size_ = validLength;
  broken_ = false;
  return 0;
}

int32_t JournalWriter::append(std::wstring_view kind, const std::vector<std::wstring>& fields, DWORD* error) {
  auto fail = [&](DWORD code) {
    if (error != nullptr) *error = code;
    return 0;
  };
  if (file_ == INVALID_HANDLE_VALUE) return fail(ERROR_INVALID_HANDLE);
  if (broken_) return fail(ERROR_WRITE_FAULT);
  if (count_ == INT32_MAX) return fail(ERROR_FILE_TOO_LARGE);
  std::string line = journalLine(kind, fields);
  JournalRecord record;
  if (!readsBackAsGiven(line, kind, fields, record)) {
    logf(L"Journal line %d (%ls) not written: it would fail the path check", count_ + 1,
         std::wstring(kind).c_str());
    return fail(ERROR_INVALID_DATA);
  }
  // Records that describe a change keep room for their own UNDONE and for END; UNDONE and END
  // may use that room but never go past the limit the reader enforces.
  uint64_t reserve = isClosingKind(kind) ? 0 : kJournalReservePerRecord * (static_cast<uint64_t>(count_) + 2);
  if (size_ + line.size() + reserve > kJournalMaxBytes) return fail(ERROR_FILE_TOO_LARGE);
  DWORD code = 0;
  if (!appendBytes(file_, line, true, &code)) {
    // Whatever part reached the file would glue itself to the next record: cut it away.
    if (!setFileEnd(file_, size_) || !flushHandle(file_)) broken_ = true;
    return fail(code != 0 ? code : ERROR_WRITE_FAULT);
  }
  size_ += line.size();
  JournalImage begin;
  if (takeBeginFields(record, begin)) setBeginScope(scope_, begin);
  return ++count_;
}

DWORD JournalWriter::flush() {
  if (file_ == INVALID_HANDLE_VALUE) return ERROR_INVALID_HANDLE;
  DWORD error = 0;
  return flushHandle(file_, &error) ? 0 : (error != 0 ? error : ERROR_WRITE_FAULT);
}

bool JournalWriter::accepts(std::wstring_view kind, const std::vector<std::wstring>& fields) const {
  JournalRecord record;
  return readsBackAsGiven(journalLine(kind, fields), kind, fields, record);
}

bool JournalWriter::readsBackAsGiven(const std::string& line, std::wstring_view kind,
                                     const std::vector<std::wstring>& fields, JournalRecord& record) const {
  if (count_ == INT32_MAX) return false;
  // The reader takes a zero byte in the last line for a block a power cut lost.
  if (line.find('\0') != std::string::npos) return false;
  record = parseJournalLine(std::string_view(line).substr(0, line.size() - 1), count_ + 1);
  return record.kind == kind && record.fields == fields && recordPassesCheck(record, scope_);
}

int32_t JournalWriter::appendOrFail(std::wstring_view kind, const std::vector<std::wstring>& fields) {
  DWORD error = 0;
  int32_t number = append(kind, fields, &error);
  if (number == 0) raiseWriteFailure(path_, error);
  return number;
}

void JournalWriter::close() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  file_ = INVALID_HANDLE_VALUE;
}

JournalState readJournal(const std::wstring& path, JournalImage& image, DWORD* error) {
  image = JournalImage{};
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return JournalState::Absent;
    if (error != nullptr) *error = code;
    return JournalState::Invalid;
  }
  std::string bytes;
  DWORD code = 0;
  if (!readWholeFile(path, kJournalMaxBytes, bytes, &code)) {
    if (error != nullptr) *error = code;
    return JournalState::Invalid;
  }
  try {
    return parseJournal(bytes, image);
  } catch (const std::bad_alloc&) {
    // Millions of tiny records can take more memory than the file; such a journal is not ours.
    image = JournalImage{};
    if (error != nullptr) *error = ERROR_NOT_ENOUGH_MEMORY;
    return JournalState::Invalid;
  }
}

}  // namespace zs
