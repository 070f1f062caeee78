#include "embedded_script.h"

#include <cstdio>

#include "base/text.h"

namespace zs::build {

namespace {

std::string renderFileLine(const BlockFile& f) {
  std::string line = "Dest: " + quoteValue(f.dest);
  if (!f.flags.empty()) {
    line += "; Flags: ";
    for (size_t i = 0; i < f.flags.size(); ++i) line += (i ? ", " : "") + f.flags[i];
  }
  line += "; Off: " + std::to_string(f.off) + "; Size: " + std::to_string(f.size) + "; Sha: " + f.sha;
  return line;
}

}  // namespace

EmbeddedScript embedScript(const SourceScript& source, const std::vector<BlockFile>& files, bool hasUninstaller) {
  EmbeddedScript script;
  script.origin.push_back(0);
  auto emit = [&](const std::string& line, int from) {
    script.text += line;
    script.text += '\n';
    script.origin.push_back(from);
  };
  // Headers and lines as written; a [Files] entry becomes the lines of its files.
  for (size_t i = 0; i < source.items.size(); ++i) {
    const ScriptItem& item = source.items[i];
    if (item.header && !script.text.empty()) emit("", item.line);
    if (item.fileSource >= 0) {
      for (const BlockFile& f : files) {
        if (f.entry == item.fileSource) emit(renderFileLine(f), f.line);
      }
    } else {
      emit(item.text, item.line);
    }
    if (static_cast<int>(i) == source.lastFilesItem && hasUninstaller) emit(renderFileLine(files.back()), 0);
  }
  // A script without a [Files] section gets one for the uninstaller.
  if (source.lastFilesItem < 0 && hasUninstaller) {
    if (!script.text.empty()) emit("", 0);
    emit("[Files]", 0);
    emit(renderFileLine(files.back()), 0);
  }
  return script;
}

bool checkEmbeddedScript(const EmbeddedScript& script, SetupScript& parsed, Fault& fault) {
  ScriptError error;
  if (parseSetupScript(script.text, parsed, error)) return true;
  const int line = error.line > 0 && static_cast<size_t>(error.line) < script.origin.size() ? script.origin[error.line] : 0;
  char code[8];
  std::snprintf(code, sizeof(code), "ZS%02d", static_cast<int>(error.code));
  fault = {line, std::string(code) + " " + wideToUtf8(error.text)};
  return false;
}

}  // namespace zs::build
