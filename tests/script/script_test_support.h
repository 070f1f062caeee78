// Helpers shared by the script tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "script/script.h"

namespace zs::test {

// A complete, valid [Setup] section of nine lines; what a test appends starts on line 10.
inline constexpr std::string_view kSetupBlock =
    "[Setup]\n"
    "AppId = 7D2B4E91-5C3A-4F08-B6E1-0A9C3D5F7E24\n"
    "AppName = Zelvan\n"
    "AppVersion = 2.5\n"
    "Publisher = Brightmoor\n"
    "DefaultDir = {pf}\\Zelvan\n"
    "MinDotNet = 528040\n"
    "MinWindows = 6.3\n"
    "FileVersion = 2.5.0.1\n";

inline constexpr std::string_view kSha =
    "a29898fc538bb51f00062d73ac38ac364db5087a9752e988cc1d4648d799a80b";

struct Parsed {
  bool ok = false;
  SetupScript script;
  ScriptError error;
};

inline Parsed parseText(std::string_view text) {
  Parsed p;
  p.ok = parseSetupScript(text, p.script, p.error);
  return p;
}

// The setup block followed by the given lines.
inline std::string withSetup(std::string_view rest) { return std::string(kSetupBlock) + std::string(rest); }

inline std::string describe(const Parsed& p) {
  if (p.ok) return "parsed";
  return "line " + std::to_string(p.error.line) + ": ZS" + std::to_string(p.error.code) + " " +
         wideToUtf8(p.error.text);
}

inline ::testing::AssertionResult fails(std::string_view text, int32_t line, int32_t code,
                                        std::wstring_view message) {
  Parsed p = parseText(text);
  if (!p.ok && p.error.line == line && p.error.code == code && p.error.text == message) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "expected line " << line << ": ZS" << code << " "
                                       << wideToUtf8(message) << "\n got " << describe(p);
}

inline ::testing::AssertionResult parses(std::string_view text) {
  Parsed p = parseText(text);
  if (p.ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << describe(p);
}

// A readable text of the whole model, for comparing two parses.
inline std::string dumpModel(const SetupScript& s) {
  std::wstring o;
  auto add = [&](std::wstring_view name, std::wstring_view value) {
    o.append(name).append(L"=").append(value).append(L"\n");
  };
  auto num = [](uint64_t v) { return std::to_wstring(v); };
  auto list = [](const std::vector<std::wstring>& v) {
    std::wstring r;
    for (const auto& x : v) r.append(x).append(L"|");
    return r;
  };
  const SetupInfo& i = s.setup;
  add(L"setupLine", num(static_cast<uint64_t>(i.setupLine)));
  for (auto v : {&i.appId, &i.appName, &i.appVersion, &i.publisher, &i.publisherUrl, &i.supportUrl,
                 &i.updatesUrl, &i.defaultDir, &i.themeFile, &i.fileVersion}) {
    add(L"setup", *v);
  }
  add(L"minDotNet", num(i.minDotNet));
  add(L"minWindows", num(i.minWindowsMajor) + L"." + num(i.minWindowsMinor));
  add(L"licenseTicked", num(i.licenseTicked));
  for (const auto& t : s.tasks)
    add(L"task", num(static_cast<uint64_t>(t.line)) + L" " + t.name + L"|" + t.label + L"|" + t.detail + L"|" +
                     num(t.defaultOn) + num(t.visible));
  for (const auto& d : s.dirs) add(L"dir", num(static_cast<uint64_t>(d.line)) + L" " + d.name);
  for (const auto& f : s.files)
    add(L"file", num(static_cast<uint64_t>(f.line)) + L" " + f.dest + L"|" + num(f.seed) + L"|" + num(f.off) +
                     L"|" + num(f.size) + L"|" + f.sha);
  for (const auto& r : s.registry)
    add(L"reg", num(static_cast<uint64_t>(r.line)) + L" " + r.root + L"|" + r.key + L"|" + r.name + L"|" +
                    r.type + L"|" + r.data + L"|" + r.uninstall + L"|" + list(r.tasks) + num(r.enabled));
  for (const auto& k : s.shortcuts)
    add(L"lnk", num(static_cast<uint64_t>(k.line)) + L" " + k.path + L"|" + k.target + L"|" + k.args + L"|" +
                    k.workDir + L"|" + k.icon + L"|" + k.comment + L"|" + k.appUserModelId + L"|" +
                    list(k.tasks) + num(k.enabled));
  for (const auto& n : s.nativeImages)
    add(L"ngen", num(static_cast<uint64_t>(n.line)) + L" " + n.install + L"|" + num(n.verify) +
                     num(n.queueRun) + L"|" + num(n.timeout));
  for (const auto& r : s.runs)
    add(L"run", num(static_cast<uint64_t>(r.line)) + L" " + r.when + L"|" + r.file + L"|" + r.args + L"|" +
                    r.env + L"|" + r.label + L"|" + num(r.timeout) + num(r.enabled));
  add(L"legacy", list(s.legacy.uninstallKeys) + L"/" + list(s.legacy.ngenRoots) + L"/" +
                     list(s.legacy.files) + L"/" + list(s.legacy.dirs) + L"/" + list(s.legacy.removeIfEmpty));
  return wideToUtf8(o);
}

}  // namespace zs::test
