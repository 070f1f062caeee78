// The command line: parsed once at start into the process-wide SwitchSet, read-only afterwards.
// The parser never fails and never shows anything; the start-up sequence decides what a bad or
// refused switch means.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zs {

struct SwitchSet {
  bool silent = false;
  bool noRun = false;
  bool closeApps = false;
  bool dirGiven = false;
  std::wstring dir;           // exactly as given
  std::wstring logPath;       // made absolute against the start-up folder
  bool tasksGiven = false;
  std::vector<std::wstring> tasks;
  // The language tag /lang= gave, exactly as given (start-up matches it against the tables).
  bool langGiven = false;
  std::wstring lang;
  // The number a run that succeeded but left work for the next restart ends with, when given.
  std::optional<int32_t> restartExitCode;
  int32_t runParentId = 0;
  std::wstring appHint;
  // The handle, inherited from the launching uninstaller, through which its copy hands back its result.
  uint32_t resultHandle = 0;
  std::wstring badSwitch;     // the first argument that matched nothing
  std::wstring switchText;    // " arg" for every argument but /run=, /app= and /result=, in quoted form
};

// Parses the arguments (program path already removed). startDir resolves a relative /log= value.
SwitchSet parseSwitches(const std::vector<std::wstring>& args, std::wstring_view startDir);

// The quoted form of one argument, as the standard command-line splitter would read it back.
std::wstring quoteArgument(std::wstring_view arg);

// Process-wide state: captured and parsed once by the start-up sequence.
void captureStartDir();                 // before the current directory moves to the system folder
const std::wstring& startDir();
void parseProcessCommandLine();         // GetCommandLineW + CommandLineToArgvW
const SwitchSet& switches();

}  // namespace zs
