// The parser's state and the section readers it hands lines to. Internal to the script folder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "script/script.h"
#include "script/script_lines.h"

namespace zs::script {

enum class Section { None, Setup, Tasks, Dirs, Files, Registry, Shortcuts, NativeImages, Run, Legacy };

struct TaskRef {
  std::wstring name;
  int32_t line = 0;
};

// The [Setup] keys; the order is that of the table the end-of-script checks walk.
enum SetupKey : int {
  kAppId, kAppName, kAppVersion, kPublisher, kPublisherUrl, kSupportUrl, kUpdatesUrl, kDefaultDir,
  kMinDotNet, kMinWindows, kThemeFile, kLicenseTicked, kFileVersion, kSetupKeyCount
};

struct ParserState {
  ParserState(SetupScript& s, ScriptError& e) : script(s), error(e) {}

  SetupScript& script;
  ScriptError& error;
  Section section = Section::None;
  int32_t line = 0;
  bool setupHeaderSeen = false;
  bool setupKeySeen[kSetupKeyCount] = {};
  std::wstring setupValues[kSetupKeyCount];
  std::vector<TaskRef> taskRefs;

  // Records the fault on the current line; always returns false so callers can `return fail(...)`.
  bool fail(int32_t code, std::wstring text);
  bool failAt(int32_t atLine, int32_t code, std::wstring text);
};

std::wstring badValueText(std::wstring_view value, std::wstring_view key);

// One [Setup] Name = value line (name already checked for shape, value trimmed and unquoted).
bool readSetupLine(ParserState& state, std::wstring_view name, std::wstring_view value);
// One Key: value line of a list section, values already through the parse-time pass.
bool readListLine(ParserState& state, const std::vector<Pair>& pairs);
// The checks after the last line; lastLine is the number of the script's last line.
bool checkEndOfScript(ParserState& state, int32_t lastLine);

}  // namespace zs::script
