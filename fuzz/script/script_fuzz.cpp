// libFuzzer target: any bytes as a setup script. The parser must end with a model or with one
// listed fault on an existing line; the path helpers must take any text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/text.h"
#include "base/paths.h"
#include "script/script.h"

namespace {

int32_t countLines(std::string_view text) {
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  int32_t lines = 1;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == '\n') ++lines;
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  zs::SetupScript script;
  zs::ScriptError error;
  if (zs::parseSetupScript(text, script, error)) {
    if (error.code != 0 || script.setup.appId.size() != 36) std::abort();
  } else if (!zs::isScriptErrorCode(error.code) || error.line < 1 || error.line > countLines(text) ||
             error.text.empty()) {
    std::abort();
  }

  // The same bytes as a path, a pattern and a value.
  std::wstring wide = zs::utf8ToWide(text.substr(0, 2048));
  size_t cut = wide.find(L'|');
  std::wstring_view pattern = std::wstring_view(wide).substr(0, cut);
  std::wstring_view name = cut == std::wstring::npos ? std::wstring_view() : std::wstring_view(wide).substr(cut + 1);
  (void)zs::matchWildcard(pattern, name);
  (void)zs::isRelativePathOk(wide, true);
  (void)zs::hasBadPathChars(wide);
  (void)zs::isInside(pattern, name);
  zs::VariableTable table;
  table.set(L"app", L"C:\\Program Files\\Zelvan");
  std::wstring expanded = zs::expandPaths(wide, table);
  if (expanded.size() > wide.size() * 25 + 1) std::abort();
  std::wstring out;
  zs::ScriptError e;
  (void)zs::expandParseTime(wide, false, out, e);
  (void)zs::normalizePath(wide);
  return 0;
}
