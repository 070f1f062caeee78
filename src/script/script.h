// The setup script: its typed, read-only model and the parser that fills it.
//
// The script is the UTF-8 text in the payload that says what the setup installs. It is parsed once
// per run, before anything is changed, into a `SetupScript`; the first fault ends the parse with
// one `ScriptError` and the model is thrown away. The parser touches nothing outside memory, never
// logs, and is safe on any input (the payload may be damaged or hostile): its time and memory grow
// about in proportion to the text.
//
// Portable: the native payload builder uses the same parser to validate the script it embeds.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zs {

// Error codes, shown to the user as "ZS" and two digits. No other codes are produced.
enum ScriptErrorCode : int32_t {
  kScriptNotUtf8 = 2,             // "not valid UTF-8"
  kScriptLineTooLong = 3,         // "line too long"
  kScriptUnknownSection = 4,      // "unknown section ..."
  kScriptUnbalancedQuote = 5,     // "unbalanced quote"
  kScriptExpectedKeyValue = 6,    // "expected Key: value"
  kScriptExpectedNameValue = 7,   // "expected Name = value"
  kScriptUnbalancedBrace = 8,     // "unbalanced { or }"
  kScriptOutsideSection = 11,     // "line outside any section"
  kScriptUnknownKey = 12,         // "unknown key 'K' in [S]"
  kScriptMissingKey = 13,         // "missing required key 'K'"
  kScriptBadValue = 14,           // "bad value 'V' for K"
  kScriptUnknownVariable = 15,    // "unknown variable {N}"
  kScriptUnknownTask = 16,        // "unknown task 'N'"
  kScriptDuplicateSetupKey = 17,  // "duplicate [Setup] key 'K'"
  kScriptUnknownFlag = 18,        // "unknown flag 'F'"
  kScriptPathRoot = 25,           // "<Key> must be under {...} ..."
  kScriptSeedDest = 26,           // "seed Dest must be under {docs} or {appdata}"
  kScriptAppIdNotGuid = 27,       // "AppId is not a GUID"
  kScriptRegistryRefused = 29,    // "[Registry] can't write 'K'. ..."
};

// True for exactly the codes above.
bool isScriptErrorCode(int32_t code);

// The first fault of a script. line is 1-based; checks made after the last line report the line
// of the last [Setup] header (or, without one, the script's last line).
struct ScriptError {
  int32_t line = 0;
  int32_t code = 0;
  std::wstring text;
};

struct SetupInfo {
  int32_t setupLine = 1;  // line of the last [Setup] header
  std::wstring appId;
  std::wstring appName;
  std::wstring appVersion;
  std::wstring publisher;
  std::wstring publisherUrl;
  std::wstring supportUrl;
  std::wstring updatesUrl;
  std::wstring defaultDir;
  std::wstring themeFile;
  std::wstring fileVersion;
  uint32_t minDotNet = 0;
  uint32_t minWindowsMajor = 0;
  uint32_t minWindowsMinor = 0;
  bool licenseTicked = true;
};

struct TaskEntry {
  int32_t line = 0;
  std::wstring name;
  std::wstring label;
  std::wstring detail;
  bool defaultOn = true;
  bool visible = true;
};

struct DirEntry {
  int32_t line = 0;
  std::wstring name;  // folder path with its root variable, e.g. {docs}\Zelvan
};

struct FileEntry {
  int32_t line = 0;
  std::wstring dest;  // with its root variable
  bool seed = false;  // first-run file placed in the user's folders
  uint64_t off = 0;   // byte offset of the file in the decompressed block
  uint64_t size = 0;  // byte length
  std::wstring sha;   // 64 hexadecimal digits, as written
};

struct RegistryEntry {
  int32_t line = 0;
  std::wstring root;       // "HKCR", "HKLM" or "HKCU" as written
  std::wstring key;
  std::wstring name;       // empty: the key's default value
  std::wstring type;       // "string" or "dword" as written
  std::wstring data;       // for dword the decimal text
  std::wstring uninstall = L"none";  // "value", "key" or "none", lower case
  std::vector<std::wstring> tasks;
  bool enabled = true;
};

struct ShortcutEntry {
  int32_t line = 0;
  std::wstring path;  // the .lnk file, under {programs} or {desktop}
  std::wstring target;
  std::wstring args;
  std::wstring workDir;
  std::wstring icon;
  std::wstring comment;
  std::wstring appUserModelId;
  std::vector<std::wstring> tasks;
  bool enabled = true;
};

struct NativeImageEntry {
  int32_t line = 0;
  std::wstring install;  // empty on a queue line
  bool verify = false;
  bool queueRun = false;
  uint32_t timeout = 300;  // seconds
};

struct RunEntry {
  int32_t line = 0;
  std::wstring when;  // "warmup" or "finish", lower case
  std::wstring file;
  std::wstring args;
  std::wstring env;   // one NAME=value entry, or empty
  std::wstring label;
  uint32_t timeout = 0;  // seconds; 0 lets the warm-up use its own default
  bool enabled = true;
};

// What an earlier install made by another installer left behind, in script order.
struct LegacyInfo {
  std::vector<std::wstring> uninstallKeys;  // braces still doubled, as written
  std::vector<std::wstring> ngenRoots;
  std::vector<std::wstring> files;          // relative paths or patterns
  std::vector<std::wstring> dirs;
  std::vector<std::wstring> removeIfEmpty;
};

// Path values keep their root variable ({app}, {pf}, ...) in lower case, and "{{" / "}}" stay
// doubled; expandPaths (base/paths.h) turns them into real paths when a step needs them.
struct SetupScript {
  SetupInfo setup;
  std::vector<TaskEntry> tasks;
  std::vector<DirEntry> dirs;
  std::vector<FileEntry> files;
  std::vector<RegistryEntry> registry;
  std::vector<ShortcutEntry> shortcuts;
  std::vector<NativeImageEntry> nativeImages;
  std::vector<RunEntry> runs;
  LegacyInfo legacy;
};

// Reads the whole script text in one pass. On success fills `script` and returns true; on the
// first fault fills `error`, returns false, and leaves `script` unspecified (never to be used).
class ScriptParser {
 public:
  bool parse(std::string_view bytes, SetupScript& script, ScriptError& error);
};

// Convenience form of the above.
bool parseSetupScript(std::string_view bytes, SetupScript& script, ScriptError& error);

// The parse-time variable pass over one value: path variables are checked and written in lower
// case, "{{" and "}}" stay doubled. allowFileVariable accepts {file}, which no embedded script
// may use. On failure fills error.code and error.text (not the line) and returns false.
bool expandParseTime(std::wstring_view value, bool allowFileVariable, std::wstring& out,
                     ScriptError& error);

// The [Registry] allow-list: what the script may write. Case-insensitive throughout.
bool isRegistryWriteAllowed(std::wstring_view root, std::wstring_view key, std::wstring_view name);

// The task a name from outside (the /tasks= switch) selects, or null.
const TaskEntry* findTask(const SetupScript& script, std::wstring_view name);

}  // namespace zs
