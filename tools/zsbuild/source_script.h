// The builder's source script: the setup script language plus what only the builder knows:
//   [Define]   Name = value lines; "{#Name}" in any later line is replaced by the value
//   [Setup]    LicenseFile = path (relative to the script), Output = path, Sign = command with {file}
//   [Files]    Source: a file (with Dest: its target), or a folder with Flags: recurse (Dest: the
//              target folder) and an optional Excludes: list of wildcard patterns
// Everything else passes through unchanged; the setup's own parser validates the result.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zs::build {

// A fault in the source: its line (0 when it concerns no line) and text.
struct Fault {
  int line = 0;
  std::string text;
};

struct FileSource {
  int line = 0;
  std::string source;               // as written, after [Define] substitution
  std::string dest;
  std::vector<std::string> flags;   // as written, without "recurse"
  bool recurse = false;
  std::vector<std::string> excludes;
};

// One line of the embedded script to be: a literal line, or the place of a [Files] entry whose
// lines are only known once its files are collected.
struct ScriptItem {
  int line = 0;          // the source line it comes from
  bool header = false;   // a section header
  std::string text;      // literal text (UTF-8)
  int fileSource = -1;     // index into SourceScript::files, or -1
};

struct SourceScript {
  std::vector<ScriptItem> items;
  std::vector<FileSource> files;
  std::string licenseFile;
  std::string output;
  std::string sign;
  int lastFilesItem = -1;  // the item after which lines added to [Files] go; -1: no [Files] section
};

// Reads the source text (UTF-8). On a fault fills `fault` and returns false.
// `given` are definitions from outside (the command line); a [Define] line of the same name
// does not replace them.
bool readSourceScript(std::string_view text, SourceScript& script, Fault& fault,
                      const std::vector<std::pair<std::string, std::string>>& given = {});

// A value as a Key: value line must write it: quoted (quotes doubled) when it holds ";", starts
// with a quote, or has white space at either end.
std::string quoteValue(std::string_view value);

}  // namespace zs::build
