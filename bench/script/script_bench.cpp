// Parse time of a 10,000-line script: the reference script with its list sections repeated.
// Reports only; run it by hand (under Wine for the figure that matters).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "reference_script.h"
#include "script/script.h"

namespace {

std::string makeLongScript(size_t wantLines) {
  std::string base(zs::test::referenceScript());
  size_t setupEnd = base.find("[Tasks]");
  std::string head = base.substr(0, setupEnd);
  std::string body = base.substr(setupEnd);
  std::string out = head;
  size_t lines = static_cast<size_t>(std::count(head.begin(), head.end(), '\n'));
  size_t bodyLines = static_cast<size_t>(std::count(body.begin(), body.end(), '\n'));
  while (lines + bodyLines <= wantLines) {
    out += body;
    lines += bodyLines;
  }
  // Fill up with file lines to the exact count.
  std::string fileLine = "[Files]\n";
  while (lines < wantLines) {
    out += fileLine;
    ++lines;
    fileLine = "Dest: {app}\\Extra\\File" + std::to_string(lines) + ".dat; Off: 0; Size: 1; Sha: "
               "a29898fc538bb51f00062d73ac38ac364db5087a9752e988cc1d4648d799a80b\n";
  }
  return out;
}

}  // namespace

int main() {
  const std::string text = makeLongScript(10000);
  const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
  std::vector<double> ms;
  size_t entries = 0;
  for (int run = 0; run < 30; ++run) {
    zs::SetupScript script;
    zs::ScriptError error;
    auto start = std::chrono::steady_clock::now();
    bool ok = zs::parseSetupScript(text, script, error);
    auto end = std::chrono::steady_clock::now();
    if (!ok) {
      std::printf("parse failed on line %d: ZS%02d\n", static_cast<int>(error.line), static_cast<int>(error.code));
      return 1;
    }
    entries = script.files.size() + script.registry.size() + script.shortcuts.size() + script.tasks.size() +
              script.dirs.size() + script.nativeImages.size() + script.runs.size();
    ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
  }
  std::sort(ms.begin(), ms.end());
  std::printf("script_bench: %zu lines, %zu bytes, %zu entries: min %.2f ms, median %.2f ms, max %.2f ms (30 runs)\n",
              lines, text.size(), entries, ms.front(), ms[ms.size() / 2], ms.back());
  return 0;
}
