// The section readers: every key of every section with its rule, and the end-of-script checks.
#include <algorithm>
#include <initializer_list>

#include "base/text.h"
#include "base/paths.h"
#include "script/script.h"
#include "script/script_reader.h"
#include "script/script_values.h"

namespace zs::script {

namespace {

using Names = std::initializer_list<std::wstring_view>;

constexpr std::wstring_view kSetupKeyNames[kSetupKeyCount] = {
    L"AppId",      L"AppName",   L"AppVersion", L"Publisher",  L"PublisherUrl",
    L"SupportUrl", L"UpdatesUrl", L"DefaultDir", L"MinDotNet", L"MinWindows",
    L"ThemeFile",  L"LicenseTicked", L"FileVersion"};

constexpr std::wstring_view kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

const std::wstring* findValue(const std::vector<Pair>& pairs, std::wstring_view key) {
  for (const Pair& p : pairs) {
    if (equalsNoCase(p.key, key)) return &p.value;
  }
  return nullptr;
}

bool missingKey(ParserState& st, std::wstring_view key) {
  return st.fail(kScriptMissingKey, L"missing required key '" + std::wstring(key) + L"'");
}

bool badValue(ParserState& st, std::wstring_view value, std::wstring_view key) {
  return st.fail(kScriptBadValue, badValueText(value, key));
}

// Every key of the line must be one of the section's; then the required ones must be present.
bool checkKeys(ParserState& st, const std::vector<Pair>& pairs, std::wstring_view section,
               Names allowed, Names required) {
  for (const Pair& p : pairs) {
    bool known = std::any_of(allowed.begin(), allowed.end(),
                             [&](std::wstring_view k) { return equalsNoCase(p.key, k); });
    if (!known) {
      return st.fail(kScriptUnknownKey, L"unknown key '" + p.key + L"' in [" + std::wstring(section) + L"]");
    }
  }
  for (std::wstring_view key : required) {
    if (findValue(pairs, key) == nullptr) return missingKey(st, key);
  }
  return true;
}

bool isUnderAny(std::wstring_view value, Names roots, std::wstring& rest) {
  return std::any_of(roots.begin(), roots.end(),
                     [&](std::wstring_view root) { return isUnderVariable(value, root, &rest); });
}

bool isRestOk(std::wstring_view rest) { return !rest.empty() && isRelativePathOk(rest, false); }

// Root rule (code 25 with the given text), then the rest rule (code 14 for the key).
bool checkRootedPath(ParserState& st, std::wstring_view value, std::wstring_view key, Names roots,
                     std::wstring_view rootText) {
  std::wstring rest;
  if (!isUnderAny(value, roots, rest)) return st.fail(kScriptPathRoot, std::wstring(rootText));
  if (!isRestOk(rest)) return badValue(st, value, key);
  return true;
}

// A path whose shape the step that uses it decides still never holds a control character.
bool checkNoControlChars(ParserState& st, std::wstring_view value, std::wstring_view key) {
  if (hasControlChar(value)) return badValue(st, value, key);
  return true;
}

bool readOptionalYesNo(ParserState& st, const std::vector<Pair>& pairs, std::wstring_view key, bool& out) {
  const std::wstring* v = findValue(pairs, key);
  if (v != nullptr && !parseYesNo(*v, out)) return badValue(st, *v, key);
  return true;
}

bool readOptionalSeconds(ParserState& st, const std::vector<Pair>& pairs, uint32_t& out) {
  const std::wstring* v = findValue(pairs, L"Timeout");
  if (v != nullptr && !parseSeconds(*v, out)) return badValue(st, *v, L"Timeout");
  return true;
}

std::wstring valueOr(const std::vector<Pair>& pairs, std::wstring_view key) {
  const std::wstring* v = findValue(pairs, key);
  return v != nullptr ? *v : std::wstring();
}

void gatherTasks(ParserState& st, std::wstring_view list, std::vector<std::wstring>& tasks) {
  tasks = splitWords(list);
  for (const std::wstring& name : tasks) st.taskRefs.push_back(TaskRef{name, st.line});
}

bool readTasks(ParserState& st, const std::vector<Pair>& pairs) {
  if (!checkKeys(st, pairs, L"Tasks", {L"Name", L"Label", L"Detail", L"Default", L"Visible"},
                 {L"Name", L"Label"})) {
    return false;
  }
  TaskEntry t;
  t.line = st.line;
  t.name = valueOr(pairs, L"Name");
  t.label = valueOr(pairs, L"Label");
  t.detail = valueOr(pairs, L"Detail");
  if (const std::wstring* v = findValue(pairs, L"Default"); v != nullptr && !parseOnOff(*v, t.defaultOn)) {
    return badValue(st, *v, L"Default");
  }
  if (!readOptionalYesNo(st, pairs, L"Visible", t.visible)) return false;
  st.script.tasks.push_back(std::move(t));
  return true;
}

bool readDirs(ParserState& st, const std::vector<Pair>& pairs) {
  if (!checkKeys(st, pairs, L"Dirs", {L"Name"}, {L"Name"})) return false;
  DirEntry d;
  d.line = st.line;
  d.name = valueOr(pairs, L"Name");
  if (!checkRootedPath(st, d.name, L"Name", {L"docs", L"appdata"},
                       L"Name must be under {docs} or {appdata}")) {
    return false;
  }
  st.script.dirs.push_back(std::move(d));
  return true;
}

bool readFiles(ParserState& st, const std::vector<Pair>& pairs) {
  if (!checkKeys(st, pairs, L"Files", {L"Dest", L"Flags", L"Off", L"Size", L"Sha"},
                 {L"Off", L"Size", L"Sha"})) {
    return false;
  }
  FileEntry f;
  f.line = st.line;
  const std::wstring& off = *findValue(pairs, L"Off");
  if (!parseUnsigned64(off, f.off)) return badValue(st, off, L"Off");
  const std::wstring& size = *findValue(pairs, L"Size");
  if (!parseUnsigned64(size, f.size)) return badValue(st, size, L"Size");
  const std::wstring& sha = *findValue(pairs, L"Sha");
  if (!isSha256Hex(sha)) return badValue(st, sha, L"Sha");
  f.sha = sha;
  const std::wstring* dest = findValue(pairs, L"Dest");
  if (dest == nullptr) return missingKey(st, L"Dest");
  f.dest = *dest;
  for (const std::wstring& flag : splitWords(valueOr(pairs, L"Flags"))) {
    if (!equalsNoCase(flag, L"seed")) return st.fail(kScriptUnknownFlag, L"unknown flag '" + flag + L"'");
    f.seed = true;
  }
  std::wstring rest;
  if (f.seed) {
    if (!isUnderAny(f.dest, {L"docs", L"appdata"}, rest)) {
      return st.fail(kScriptSeedDest, L"seed Dest must be under {docs} or {appdata}");
    }
  } else if (!isUnderVariable(f.dest, L"app", &rest)) {
    return st.fail(kScriptPathRoot, L"Dest must be under {app}");
  }
  if (!isRestOk(rest)) return badValue(st, f.dest, L"Dest");
  st.script.files.push_back(std::move(f));
  return true;
}

bool isRegistryKeyShapeOk(std::wstring_view key) {
  return !key.empty() && key.front() != L'\\' && key.back() != L'\\' &&
         key.find(L"..") == std::wstring_view::npos;
}

bool readRegistry(ParserState& st, const std::vector<Pair>& pairs) {
  if (!checkKeys(st, pairs, L"Registry",
                 {L"Root", L"Key", L"Name", L"Type", L"Data", L"Uninstall", L"Tasks", L"Enabled"},
                 {L"Root", L"Key", L"Type", L"Data"})) {
    return false;
  }
  RegistryEntry r;
  r.line = st.line;
  r.root = valueOr(pairs, L"Root");
  if (!equalsNoCase(r.root, L"HKCR") && !equalsNoCase(r.root, L"HKLM") && !equalsNoCase(r.root, L"HKCU")) {
    return badValue(st, r.root, L"Root");
  }
  r.key = valueOr(pairs, L"Key");
  if (!isRegistryKeyShapeOk(r.key)) return badValue(st, r.key, L"Key");
  r.name = valueOr(pairs, L"Name");
  if (!isRegistryWriteAllowed(r.root, r.key, r.name)) {
    return st.fail(kScriptRegistryRefused,
                   L"[Registry] can't write '" + r.key +
                       L"'. It may write only .zlvd, .flow, Zelvan and Zelvan.* keys, "
                       L"Software\\Brightmoor, and the Run value named Zelvan");
  }
  r.type = valueOr(pairs, L"Type");
  bool dword = equalsNoCase(r.type, L"dword");
  if (!dword && !equalsNoCase(r.type, L"string")) return badValue(st, r.type, L"Type");
  r.data = valueOr(pairs, L"Data");
  uint32_t number = 0;
  if (dword && !parseUnsigned32(r.data, number)) return badValue(st, r.data, L"Data");
  if (const std::wstring* u = findValue(pairs, L"Uninstall")) {
    std::wstring mode;
    for (const wchar_t* m : {L"value", L"key", L"none"}) {
      if (equalsNoCase(*u, m)) mode = m;
    }
    if (mode.empty()) return badValue(st, *u, L"Uninstall");
    // Removing the whole Run key at uninstall would take every other program's start-up entry
    // with it; only the Zelvan value there is ours.
    if (mode == L"key" && equalsNoCase(r.root, L"HKLM") && equalsNoCase(r.key, kRunKey)) {
      return badValue(st, *u, L"Uninstall");
    }
    r.uninstall = mode;
  }
  gatherTasks(st, valueOr(pairs, L"Tasks"), r.tasks);
  if (!readOptionalYesNo(st, pairs, L"Enabled", r.enabled)) return false;
  st.script.registry.push_back(std::move(r));
  return true;
}

bool readShortcuts(ParserState& st, const std::vector<Pair>& pairs) {
  if (!checkKeys(st, pairs, L"Shortcuts",
                 {L"Path", L"Target", L"Args", L"WorkDir", L"Icon", L"Comment", L"AppId", L"Tasks", L"Enabled"},
                 {L"Path", L"Target"})) {
    return false;
  }
  ShortcutEntry s;
  s.line = st.line;
  s.path = valueOr(pairs, L"Path");
  std::wstring rest;
  if (!isUnderAny(s.path, {L"programs", L"desktop"}, rest) || !endsWithNoCase(s.path, L".lnk")) {
    return st.fail(kScriptPathRoot, L"Path must be under {programs} or {desktop} and end in .lnk");
  }
  if (!isRestOk(rest)) return badValue(st, s.path, L"Path");
  s.target = valueOr(pairs, L"Target");
  s.args = valueOr(pairs, L"Args");
  s.workDir = valueOr(pairs, L"WorkDir");
  s.icon = valueOr(pairs, L"Icon");
  if (!checkNoControlChars(st, s.target, L"Target") || !checkNoControlChars(st, s.workDir, L"WorkDir") ||
      !checkNoControlChars(st, s.icon, L"Icon")) {
    return false;
  }
  s.comment = valueOr(pairs, L"Comment");
  if (const std::wstring* id = findValue(pairs, L"AppId")) {
    if (!isAppUserModelId(*id)) return badValue(st, *id, L"AppId");
    s.appUserModelId = *id;
  }
  gatherTasks(st, valueOr(pairs, L"Tasks"), s.tasks);
  if (!readOptionalYesNo(st, pairs, L"Enabled", s.enabled)) return false;
  st.script.shortcuts.push_back(std::move(s));
  return true;
}

bool readNativeImages(ParserState& st, const std::vector<Pair>& pairs) {
  if (!checkKeys(st, pairs, L"NativeImages", {L"Install", L"Verify", L"Queue", L"Timeout"}, {})) return false;
  NativeImageEntry n;
  n.line = st.line;
  if (const std::wstring* install = findValue(pairs, L"Install")) {
    if (!checkRootedPath(st, *install, L"Install", {L"app"}, L"Install must be under {app}")) return false;
    n.install = *install;
    if (!readOptionalYesNo(st, pairs, L"Verify", n.verify)) return false;
  } else {
    const std::wstring* queue = findValue(pairs, L"Queue");
    if (queue == nullptr) return missingKey(st, L"Install");
    if (!equalsNoCase(*queue, L"run")) return badValue(st, *queue, L"Queue");
    n.queueRun = true;
  }
  if (!readOptionalSeconds(st, pairs, n.timeout)) return false;
  st.script.nativeImages.push_back(std::move(n));
  return true;
}

bool readRun(ParserState& st, const std::vector<Pair>& pairs) {
  if (!checkKeys(st, pairs, L"Run", {L"When", L"File", L"Args", L"Env", L"Label", L"Timeout", L"Enabled"},
                 {L"When", L"File"})) {
    return false;
  }
  RunEntry r;
  r.line = st.line;
  const std::wstring& when = *findValue(pairs, L"When");
  if (equalsNoCase(when, L"warmup")) {
    r.when = L"warmup";
  } else if (equalsNoCase(when, L"finish")) {
    r.when = L"finish";
  } else {
    return badValue(st, asciiLower(when), L"When");
  }
  r.file = valueOr(pairs, L"File");
  if (!checkRootedPath(st, r.file, L"File", {L"app"}, L"File must be under {app}")) return false;
  r.args = valueOr(pairs, L"Args");
  r.env = valueOr(pairs, L"Env");
  r.label = valueOr(pairs, L"Label");
  if (!readOptionalSeconds(st, pairs, r.timeout)) return false;
  if (!readOptionalYesNo(st, pairs, L"Enabled", r.enabled)) return false;
  st.script.runs.push_back(std::move(r));
  return true;
}

bool readLegacy(ParserState& st, const std::vector<Pair>& pairs) {
  if (pairs.size() != 1) return st.fail(kScriptExpectedKeyValue, L"expected Key: value");
  if (!checkKeys(st, pairs, L"Legacy", {L"UninstallKey", L"NgenRoot", L"File", L"Dir", L"RemoveIfEmpty"}, {})) {
    return false;
  }
  const std::wstring& key = pairs[0].key;
  const std::wstring& value = pairs[0].value;
  LegacyInfo& legacy = st.script.legacy;
  if (equalsNoCase(key, L"UninstallKey")) {
    std::wstring single = expandPaths(value, VariableTable{});
    if (single.empty() || single.find_first_of(L"\\/") != std::wstring::npos) {
      return badValue(st, value, L"UninstallKey");
    }
    legacy.uninstallKeys.push_back(value);
  } else if (equalsNoCase(key, L"NgenRoot")) {
    if (!isRelativePathOk(value, false)) return badValue(st, value, L"NgenRoot");
    legacy.ngenRoots.push_back(value);
  } else if (equalsNoCase(key, L"File")) {
    bool ok = isRelativePathOk(value, true);
    if (ok) {
      size_t cut = value.rfind(L'\\');
      std::wstring_view last = std::wstring_view(value).substr(cut == std::wstring::npos ? 0 : cut + 1);
      ok = !hasWildcard(last) || (last.front() != L'*' && last.front() != L'?');
    }
    if (!ok) return badValue(st, value, L"File");
    legacy.files.push_back(value);
  } else if (equalsNoCase(key, L"Dir")) {
    if (!isRelativePathOk(value, false)) return badValue(st, value, L"Dir");
    legacy.dirs.push_back(value);
  } else {
    std::wstring rest;
    if (!isUnderAny(value, {L"pf", L"pf32"}, rest) || !isRestOk(rest)) {
      return st.fail(kScriptPathRoot, L"RemoveIfEmpty must be under {pf} or {pf32}");
    }
    legacy.removeIfEmpty.push_back(value);
  }
  return true;
}

}  // namespace

bool readSetupLine(ParserState& st, std::wstring_view name, std::wstring_view value) {
  int index = -1;
  for (int i = 0; i < kSetupKeyCount; ++i) {
    if (equalsNoCase(name, kSetupKeyNames[i])) index = i;
  }
  if (index < 0) {
    return st.fail(kScriptUnknownKey, L"unknown key '" + std::wstring(name) + L"' in [Setup]");
  }
  if (st.setupKeySeen[index]) {
    return st.fail(kScriptDuplicateSetupKey,
                   L"duplicate [Setup] key '" + std::wstring(kSetupKeyNames[index]) + L"'");
  }
  std::wstring expanded;
  if (!expandParseTime(value, false, expanded, st.error)) {
    st.error.line = st.line;
    return false;
  }
  st.setupKeySeen[index] = true;
  st.setupValues[index] = std::move(expanded);
  return true;
}

bool readListLine(ParserState& st, const std::vector<Pair>& pairs) {
  switch (st.section) {
    case Section::Tasks: return readTasks(st, pairs);
    case Section::Dirs: return readDirs(st, pairs);
    case Section::Files: return readFiles(st, pairs);
    case Section::Registry: return readRegistry(st, pairs);
    case Section::Shortcuts: return readShortcuts(st, pairs);
    case Section::NativeImages: return readNativeImages(st, pairs);
    case Section::Run: return readRun(st, pairs);
    case Section::Legacy: return readLegacy(st, pairs);
    case Section::Setup:
    case Section::None: break;
  }
  return st.fail(kScriptOutsideSection, L"line outside any section");
}

bool checkEndOfScript(ParserState& st, int32_t lastLine) {
  SetupInfo& info = st.script.setup;
  const int32_t at = st.setupHeaderSeen ? info.setupLine : lastLine;
  const std::wstring* v = st.setupValues;

  for (SetupKey key : {kAppId, kAppName, kAppVersion, kPublisher, kDefaultDir, kMinDotNet, kMinWindows,
                       kFileVersion}) {
    if (v[key].empty()) {
      return st.failAt(at, kScriptMissingKey,
                       L"missing required key '" + std::wstring(kSetupKeyNames[key]) + L"'");
    }
  }
  if (!isGuidText(v[kAppId])) return st.failAt(at, kScriptAppIdNotGuid, L"AppId is not a GUID");
  if (!parseUnsigned32(v[kMinDotNet], info.minDotNet)) {
    return st.failAt(at, kScriptBadValue, badValueText(v[kMinDotNet], L"MinDotNet"));
  }
  if (!parseWindowsVersion(v[kMinWindows], info.minWindowsMajor, info.minWindowsMinor)) {
    return st.failAt(at, kScriptBadValue, badValueText(v[kMinWindows], L"MinWindows"));
  }
  if (!v[kLicenseTicked].empty() && !parseYesNo(v[kLicenseTicked], info.licenseTicked)) {
    return st.failAt(at, kScriptBadValue, badValueText(v[kLicenseTicked], L"LicenseTicked"));
  }
  if (!isUnderVariable(v[kDefaultDir], L"pf") && !isUnderVariable(v[kDefaultDir], L"pf32")) {
    return st.failAt(at, kScriptPathRoot, L"DefaultDir must be under {pf} or {pf32}");
  }
  if (hasControlChar(v[kDefaultDir])) {
    return st.failAt(at, kScriptBadValue, badValueText(v[kDefaultDir], L"DefaultDir"));
  }
  if (!v[kThemeFile].empty() && !isUnderVariable(v[kThemeFile], L"docs") &&
      !isUnderVariable(v[kThemeFile], L"appdata")) {
    return st.failAt(at, kScriptPathRoot, L"ThemeFile must be under {docs} or {appdata}");
  }
  if (hasControlChar(v[kThemeFile])) {
    return st.failAt(at, kScriptBadValue, badValueText(v[kThemeFile], L"ThemeFile"));
  }

  // Task names are looked up in a sorted copy so that many references stay cheap.
  std::vector<std::wstring_view> names;
  names.reserve(st.script.tasks.size());
  for (const TaskEntry& t : st.script.tasks) names.push_back(t.name);
  const NoCaseLess less;
  std::sort(names.begin(), names.end(), less);
  for (const TaskRef& ref : st.taskRefs) {
    if (!std::binary_search(names.begin(), names.end(), std::wstring_view(ref.name), less)) {
      return st.failAt(ref.line, kScriptUnknownTask, L"unknown task '" + ref.name + L"'");
    }
  }

  info.appId = v[kAppId];
  info.appName = v[kAppName];
  info.appVersion = v[kAppVersion];
  info.publisher = v[kPublisher];
  info.publisherUrl = v[kPublisherUrl];
  info.supportUrl = v[kSupportUrl];
  info.updatesUrl = v[kUpdatesUrl];
  info.defaultDir = v[kDefaultDir];
  info.themeFile = v[kThemeFile];
  info.fileVersion = v[kFileVersion];
  return true;
}

}  // namespace zs::script

namespace zs {

bool isRegistryWriteAllowed(std::wstring_view root, std::wstring_view key, std::wstring_view name) {
  // A key of the wrong shape is never ours, whatever it begins with.
  if (!script::isRegistryKeyShapeOk(key)) return false;
  if (equalsNoCase(root, L"HKCR")) {
    if (equalsNoCase(key, L".zlvd") || equalsNoCase(key, L".flow")) return true;
    std::wstring_view first = key.substr(0, key.find(L'\\'));
    return equalsNoCase(first, L"Zelvan") || startsWithNoCase(first, L"Zelvan.");
  }
  if (equalsNoCase(root, L"HKLM")) {
    if (equalsNoCase(key, L"Software\\Brightmoor") || startsWithNoCase(key, L"Software\\Brightmoor\\")) {
      return true;
    }
    return equalsNoCase(key, script::kRunKey) && equalsNoCase(name, L"Zelvan");
  }
  return false;
}

const TaskEntry* findTask(const SetupScript& script, std::wstring_view name) {
  for (const TaskEntry& t : script.tasks) {
    if (equalsNoCase(t.name, name)) return &t;
  }
  return nullptr;
}

}  // namespace zs
