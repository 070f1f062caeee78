// The process-wide, thread-safe run log.
//
// Lines are kept in memory until the log file is opened; opening writes a UTF-8 byte-order mark
// and everything kept so far in one write, and from then on each line goes straight to the file
// (one WriteFile each, no flush). Whether a file is written at all is decided by the callers: a
// silent run, a run with /log=, and every run that reaches a change open it.
//
// Every line is "hh:mm:ss.mmm  " + text + CR LF. Format strings use %ls for wide strings.
#pragma once

#include <windows.h>

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "base/exit_code.h"

namespace zs {

class Log {
 public:
  // Where the log goes when no /log= path is given: prepares the folder and returns it, or false.
  using FolderProvider = std::function<bool(std::wstring& folder)>;

  struct Config {
    std::wstring logPath;       // /log= value, already absolute; empty for the default name
    bool silent = false;
    FolderProvider folder;      // the setup's data folder
  };

  explicit Log(Config config);
  ~Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  void line(std::wstring_view text);
  void linef(const wchar_t* fmt, ...);
  void lineV(const wchar_t* fmt, va_list args);
  void windowsError(std::wstring_view label, unsigned long code);

  // Set once by the start-up sequence when the switches are known; lines written before stay pending.
  void configure(Config config);

  void open();
  // The /log= file is another process's from now on (the uninstaller's copy, which writes it while
  // this run still waits for it): this run's own lines go to the default place, and the file opens
  // there now when the run writes one at all (silent, or /log= given).
  void leaveGivenFile();
  // Writes "Exit code N" and closes the log; returns N for the process to exit with.
  int finish(int exitCode);
  int finish(ExitCode code) { return finish(exitNumber(code)); }
  int finish(UninstallExit code) { return finish(exitNumber(code)); }
  void pruneOldSetupLogs();

  void setVersionTag(std::wstring tag);
  void setUninstallRole(bool uninstall);
  std::wstring openPath() const;
  bool isOpen() const;
  // The file name the log takes in the data folder when opened at the given local time. Two runs
  // that open their logs in the same second, while the first still holds its file, are told apart
  // by the second's number: "..._2.log" and on.
  std::wstring fileNameFor(const SYSTEMTIME& t, int sameSecond = 1) const;

  // What is still in memory (for tests).
  std::string pendingBytes() const;

 private:
  void write(const std::string& utf8);

  Config config_;
  mutable std::mutex lock_;
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::string pending_;
  std::wstring openPath_;
  std::wstring versionTag_;
  bool uninstallRole_ = false;
};

// The stamped line as the log writes it (UTF-16, with CR LF), for the given local time.
std::wstring stampLine(const SYSTEMTIME& t, std::wstring_view text);
// "%s: Windows error %lu: %s" with the system's trimmed text for the code.
std::wstring windowsErrorText(std::wstring_view label, unsigned long code);
// The system's message for a Windows error code, trimmed; empty when there is none.
std::wstring systemMessage(unsigned long code);

// The process's log.
Log& theLog();

// Shorthands for the process log, used everywhere.
void logLine(std::wstring_view text);
void logf(const wchar_t* fmt, ...);
void logWinError(std::wstring_view label, unsigned long code);

}  // namespace zs
