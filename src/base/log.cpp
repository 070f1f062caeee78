#include "base/log.h"

#include <algorithm>
#include <cstdarg>
#include <memory>
#include <vector>

#include "base/paths.h"
#include "base/text.h"

namespace zs {

namespace {
constexpr size_t kLineCapacity = 4096;
constexpr size_t kKeptSetupLogs = 5;
constexpr int kSameSecondLogs = 9;
}  // namespace

std::wstring stampLine(const SYSTEMTIME& t, std::wstring_view text) {
  std::wstring s = format(32, L"%02u:%02u:%02u.%03u  ", static_cast<unsigned>(t.wHour),
                          static_cast<unsigned>(t.wMinute), static_cast<unsigned>(t.wSecond),
                          static_cast<unsigned>(t.wMilliseconds));
  s.append(text);
  s.append(L"\r\n");
  return s;
}

std::wstring systemMessage(unsigned long code) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                           nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text;
  if (n != 0 && buffer != nullptr) text = std::wstring(trimWhite(std::wstring_view(buffer, n)));
  if (buffer != nullptr) LocalFree(buffer);
  return text;
}

std::wstring windowsErrorText(std::wstring_view label, unsigned long code) {
  return format(kLineCapacity, L"%ls: Windows error %lu: %ls", std::wstring(label).c_str(), code,
                systemMessage(code).c_str());
}

Log::Log(Config config) : config_(std::move(config)) {}

Log::~Log() {
  if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

void Log::write(const std::string& utf8) {
  std::lock_guard<std::mutex> guard(lock_);
  if (file_ != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    // A failed or short write is ignored: the log never stops the run.
    WriteFile(file_, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  } else {
    pending_ += utf8;
  }
}

void Log::line(std::wstring_view text) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  // Built before the lock is taken, so the lock is held only for the append or the write.
  std::string utf8 = wideToUtf8(stampLine(t, text));
  write(utf8);
}

void Log::lineV(const wchar_t* fmt, va_list args) { line(formatV(kLineCapacity, fmt, args)); }

void Log::linef(const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  lineV(fmt, args);
  va_end(args);
}

void Log::windowsError(std::wstring_view label, unsigned long code) { line(windowsErrorText(label, code)); }

std::wstring Log::fileNameFor(const SYSTEMTIME& t, int sameSecond) const {
  std::wstring tag;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (!versionTag_.empty()) tag = L"-" + versionTag_;
  }
  // "_" sorts after ".", so a second run's log still lists after the first's.
  const std::wstring number = sameSecond > 1 ? format(16, L"_%d", sameSecond) : std::wstring();
  return format(512, L"%ls%ls-%04u%02u%02u-%02u%02u%02u%ls.log", uninstallRole_ ? L"Zelvan-Uninstall" : L"Zelvan-Setup",
                tag.c_str(), static_cast<unsigned>(t.wYear), static_cast<unsigned>(t.wMonth),
                static_cast<unsigned>(t.wDay), static_cast<unsigned>(t.wHour), static_cast<unsigned>(t.wMinute),
                static_cast<unsigned>(t.wSecond), number.c_str());
}

namespace {
HANDLE openLogFile(const std::wstring& path) {
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}
}  // namespace

void Log::open() {
  if (isOpen()) return;
  std::wstring path = config_.logPath;
  HANDLE h = INVALID_HANDLE_VALUE;
  bool givenTooLong = false;
  DWORD givenError = 0;
  std::string notes;
  if (!path.empty()) {
    givenTooLong = !isWithinPathLimits(path);
    if (!givenTooLong && (h = openLogFile(path)) == INVALID_HANDLE_VALUE) givenError = GetLastError();
  }
  if (h == INVALID_HANDLE_VALUE) {
    // A /log= path that cannot be written must not leave the run without a log: the default
    // place takes it, and the log says why.
    std::wstring given = path;
    std::wstring folder;
    if (!config_.folder || !config_.folder(folder)) {  // lines stay in memory
      if (givenTooLong) line(L"The /log= path is longer than Windows allows.");
      if (givenError != 0) windowsError(L"Could not open the log", givenError);
      return;
    }
    SYSTEMTIME t;
    GetLocalTime(&t);
    path = folder + L"\\" + fileNameFor(t);
    h = openLogFile(path);
    // Another run of this second still writes that name (an uninstaller and its copy).
    for (int n = 2; h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION && n <= kSameSecondLogs;
         ++n) {
      path = folder + L"\\" + fileNameFor(t, n);
      h = openLogFile(path);
    }
    if (h == INVALID_HANDLE_VALUE) {
      windowsError(L"Could not open the log", GetLastError());
      return;
    }
    // The notes open the file, so that its last line stays the exit code.
    const SYSTEMTIME& now = t;
    if (givenTooLong) {
      notes = wideToUtf8(stampLine(
          now, L"The /log= path is longer than Windows allows, so the log is in the default place instead."));
    }
    if (givenError != 0) {
      notes = wideToUtf8(stampLine(now, windowsErrorText(L"Could not open the log at " + given, givenError))) +
              wideToUtf8(stampLine(now, L"The log is in the default place instead."));
    }
  }
  LARGE_INTEGER zero{};
  SetFilePointerEx(h, zero, nullptr, FILE_END);
  std::lock_guard<std::mutex> guard(lock_);
  file_ = h;
  openPath_ = path;
  std::string first = "\xEF\xBB\xBF" + notes + pending_;
  pending_.clear();
  DWORD written = 0;
  WriteFile(file_, first.data(), static_cast<DWORD>(first.size()), &written, nullptr);
}

void Log::leaveGivenFile() {
  bool writes = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (file_ != INVALID_HANDLE_VALUE) return;
    writes = config_.silent || !config_.logPath.empty();
    config_.logPath.clear();
  }
  if (writes) open();
}

int Log::finish(int exitCode) {
  linef(L"Exit code %d", exitCode);
  if (config_.silent || !config_.logPath.empty() || isOpen()) open();
  std::lock_guard<std::mutex> guard(lock_);
  if (file_ != INVALID_HANDLE_VALUE) {
    CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
  }
  return exitCode;
}

void Log::pruneOldSetupLogs() {
  std::wstring folder;
  if (!config_.folder || !config_.folder(folder)) return;
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW fd;
  HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &fd);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    std::wstring_view name = fd.cFileName;
    if (startsWithNoCase(name, L"Zelvan-Setup-") && endsWithNoCase(name, L".log")) names.emplace_back(name);
  } while (FindNextFileW(find, &fd));
  FindClose(find);
  if (names.size() <= kKeptSetupLogs) return;
  std::sort(names.begin(), names.end());  // ascending ordinal order: the oldest stamps first
  std::wstring open = openPath();
  for (size_t i = 0; i + kKeptSetupLogs < names.size(); ++i) {
    std::wstring path = folder + L"\\" + names[i];
    if (equalsNoCase(path, open)) continue;
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
      SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    DeleteFileW(path.c_str());  // errors are ignored: an old log is not worth stopping for
  }
}

void Log::setVersionTag(std::wstring tag) {
  std::lock_guard<std::mutex> guard(lock_);
  versionTag_ = std::move(tag);
}

void Log::setUninstallRole(bool uninstall) { uninstallRole_ = uninstall; }

std::wstring Log::openPath() const {
  std::lock_guard<std::mutex> guard(lock_);
  return openPath_;
}

bool Log::isOpen() const {
  std::lock_guard<std::mutex> guard(lock_);
  return file_ != INVALID_HANDLE_VALUE;
}

std::string Log::pendingBytes() const {
  std::lock_guard<std::mutex> guard(lock_);
  return pending_;
}

namespace {
std::unique_ptr<Log> g_log;
}  // namespace

Log& theLog() {
  if (!g_log) g_log = std::make_unique<Log>(Log::Config{});
  return *g_log;
}

void Log::configure(Config config) {
  std::lock_guard<std::mutex> guard(lock_);
  config_ = std::move(config);
}

void logLine(std::wstring_view text) { theLog().line(text); }

void logf(const wchar_t* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  theLog().lineV(fmt, args);
  va_end(args);
}

void logWinError(std::wstring_view label, unsigned long code) { theLog().windowsError(label, code); }

}  // namespace zs
