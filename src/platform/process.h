// Starting other programs: tools whose output is read line by line (ngen), the application as
// the signed-in user, and detached copies of the setup. Watched runs live in a job object that
// ends the whole process tree when the setup lets go of it, and are watched every 100 ms so that
// a time limit or a cancel takes effect. Nothing here throws or logs.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace zs {

struct ProcessResult {
  bool started = false;   // created and watched
  DWORD exitCode = 1;     // 1 until one is read
  bool timedOut = false;  // the time limit ended the run
  bool cancelled = false; // the cancel test ended the run
  DWORD error = 0;        // why it could not be started
};

// Each may be empty. All are called on the watching thread, never on the pipe reader's.
struct ProcessHooks {
  std::function<void(const std::string& line)> line;  // every complete output line, in order
  std::function<void()> tick;                         // every 100 ms while the process runs
  std::function<bool()> cancel;                       // every 100 ms; true stops the run
};

inline constexpr DWORD kWatchIntervalMs = 100;

// Standard output and standard error go to one pipe; no standard input, no console window.
// timeLimitMs 0 means none. Lines are handed over as the child wrote them (no code page change).
ProcessResult runWithOutput(const std::wstring& program, const std::wstring& arguments,
                            const std::wstring& workingDirectory, DWORD timeLimitMs,
                            const ProcessHooks& hooks);

// Runs with a primary token and that user's own environment (plus one NAME=value entry when
// given). No output is collected. A null token gives error 1008 (ERROR_NO_TOKEN).
ProcessResult runWithToken(HANDLE primaryToken, const std::wstring& program,
                           const std::wstring& arguments, const std::wstring& workingDirectory,
                           const std::wstring& extraEnvironment, DWORD timeLimitMs,
                           const ProcessHooks& hooks);

// An environment block (entries each ended by a zero, then one more zero) with one NAME=value
// entry set: an entry of that name, compared without regard to case as Windows does, is replaced
// where it stands; otherwise the entry is added at the end. An empty entry changes nothing.
std::vector<wchar_t> environmentWith(const wchar_t* block, const std::wstring& entry);

// A double quote, the program, a double quote, a blank, the arguments as given.
std::wstring commandLineFor(const std::wstring& program, const std::wstring& arguments);

}  // namespace zs
