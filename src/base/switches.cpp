#include "base/switches.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "base/paths.h"
#include "base/text.h"

namespace zs {

namespace {

SwitchSet g_switches;
std::wstring g_startDir;

enum class Form { Flag, Value };

enum class Id {
  Silent,
  VerySilent,
  NoRestart,
  SuppressMsgBoxes,
  Sp,
  NoRun,
  CloseApps,
  Dir,
  Log,
  Tasks,
  RestartExitCode,
  Lang,
  Run,
  App,
  Result,
};

struct SwitchDef {
  const wchar_t* name;
  Form form;
  Id id;
};

// Tried in this order; the first match decides.
constexpr SwitchDef kSwitches[] = {
    {L"/silent", Form::Flag, Id::Silent},
    {L"/verysilent", Form::Flag, Id::VerySilent},
    {L"/norestart", Form::Flag, Id::NoRestart},
    {L"/suppressmsgboxes", Form::Flag, Id::SuppressMsgBoxes},
    {L"/sp-", Form::Flag, Id::Sp},
    {L"/norun", Form::Flag, Id::NoRun},
    {L"/closeapps", Form::Flag, Id::CloseApps},
    {L"/dir", Form::Value, Id::Dir},
    {L"/log", Form::Value, Id::Log},
    {L"/tasks", Form::Value, Id::Tasks},
    {L"/restartexitcode", Form::Value, Id::RestartExitCode},
    {L"/lang", Form::Value, Id::Lang},
    {L"/run", Form::Value, Id::Run},
    {L"/app", Form::Value, Id::App},
    {L"/result", Form::Value, Id::Result},
};

// Returns true on a match; for a value switch, value receives what follows the "=".
bool matches(std::wstring_view arg, const SwitchDef& def, std::wstring_view& value) {
  std::wstring_view name = def.name;
  if (arg.size() < name.size()) return false;
  if (!equalsNoCase(arg.substr(0, name.size()), name)) return false;
  if (def.form == Form::Flag) return arg.size() == name.size();
  if (arg.size() <= name.size() || arg[name.size()] != L'=') return false;
  value = arg.substr(name.size() + 1);
  return true;
}

std::wstring absoluteLogPath(std::wstring_view value, std::wstring_view startDir) {
  // No Windows path can have it; the log refuses it when it opens and says so.
  if (!isWithinPathLimits(value)) return std::wstring(value);
  bool absolute = value.size() >= 2 && (value[1] == L':' || value[0] == L'\\');
  std::wstring joined = absolute ? std::wstring(value) : std::wstring(startDir) + L"\\" + std::wstring(value);
  if (!isWithinPathLimits(joined)) return std::wstring(value);
  constexpr DWORD kCapacity = 4096;
  std::wstring full(kCapacity, L'\0');
  DWORD n = GetFullPathNameW(joined.c_str(), kCapacity, full.data(), nullptr);
  // A result that does not fit comes back as the size needed (>= the capacity): treat it as a failure.
  if (n == 0 || n >= kCapacity) return std::wstring(value);
  full.resize(n);
  return full;
}

// Reads a signed decimal number the way the C runtime's atoi does: leading white space and a sign,
// then digits up to the first non-digit. Saturates instead of overflowing.
int32_t readDecimal(std::wstring_view v) {
  size_t i = 0;
  while (i < v.size() && (v[i] == L' ' || (v[i] >= L'\t' && v[i] <= L'\r'))) ++i;
  bool negative = false;
  if (i < v.size() && (v[i] == L'+' || v[i] == L'-')) negative = v[i++] == L'-';
  int64_t n = 0;
  for (; i < v.size() && v[i] >= L'0' && v[i] <= L'9'; ++i) {
    n = n * 10 + (v[i] - L'0');
    if (n > 0x80000000LL) n = 0x80000000LL;
  }
  if (negative) n = -n;
  if (n > 0x7FFFFFFF) n = 0x7FFFFFFF;
  return static_cast<int32_t>(n);
}

// An exit code an administrator's script asks for: plain decimal digits, at most 2147483647. A
// typing slip must not pass for 0, which would read as "nothing left for the restart".
std::optional<int32_t> readExitNumber(std::wstring_view v) {
  if (v.empty() || v.size() > 10) return std::nullopt;
  int64_t n = 0;
  for (wchar_t c : v) {
    if (c < L'0' || c > L'9') return std::nullopt;
    n = n * 10 + (c - L'0');
  }
  if (n > 0x7FFFFFFF) return std::nullopt;
  return static_cast<int32_t>(n);
}

}  // namespace

std::wstring quoteArgument(std::wstring_view arg) {
  if (arg.find_first_of(L" \t\"") == std::wstring_view::npos) return std::wstring(arg);
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      out.append(backslashes * 2 + 1, L'\\');
    } else {
      out.append(backslashes, L'\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(backslashes * 2, L'\\');
  out.push_back(L'"');
  return out;
}

SwitchSet parseSwitches(const std::vector<std::wstring>& args, std::wstring_view startDir) {
  SwitchSet s;
  for (const std::wstring& arg : args) {
    const SwitchDef* hit = nullptr;
    std::wstring_view value;
    for (const SwitchDef& def : kSwitches) {
      if (matches(arg, def, value)) {
        hit = &def;
        break;
      }
    }
    bool echoed = true;
    if (hit == nullptr) {
      if (s.badSwitch.empty()) s.badSwitch = arg;
    } else {
      switch (hit->id) {
        case Id::Silent:
        case Id::VerySilent: s.silent = true; break;
        case Id::NoRestart:
        case Id::SuppressMsgBoxes:
        case Id::Sp: break;
        case Id::NoRun: s.noRun = true; break;
        case Id::CloseApps: s.closeApps = true; break;
        case Id::Dir:
          s.dirGiven = true;
          s.dir = value;
          break;
        case Id::Log: s.logPath = absoluteLogPath(value, startDir); break;
        case Id::Tasks: {
          s.tasksGiven = true;
          // A repeated name adds nothing but length to what is stored; the first spelling stays.
          for (std::wstring& name : splitTrimmed(value, L',')) {
            bool seen = false;
            for (const std::wstring& kept : s.tasks) seen = seen || equalsNoCase(kept, name);
            if (!seen) s.tasks.push_back(std::move(name));
          }
          break;
        }
        case Id::RestartExitCode:
          if (std::optional<int32_t> number = readExitNumber(value)) {
            s.restartExitCode = number;
          } else if (s.badSwitch.empty()) {
            s.badSwitch = arg;
          }
          break;
        case Id::Lang:
          s.langGiven = true;
          s.lang = value;
          break;
        case Id::Run:
          s.runParentId = readDecimal(value);
          echoed = false;
          break;
        case Id::Result:
          s.resultHandle = static_cast<uint32_t>(readDecimal(value));
          echoed = false;
          break;
        case Id::App:
          // The copy's hint names a folder; a value no Windows path can have is not one.
          if (isWithinPathLimits(value)) {
            s.appHint = value;
          } else if (s.badSwitch.empty()) {
            s.badSwitch = arg;
          }
          echoed = false;
          break;
      }
    }
    if (echoed) {
      s.switchText += L' ';
      s.switchText += quoteArgument(arg);
    }
  }
  return s;
}

void captureStartDir() {
  constexpr DWORD kCapacity = 4096;
  std::wstring buf(kCapacity, L'\0');
  DWORD n = GetCurrentDirectoryW(kCapacity, buf.data());
  if (n == 0 || n >= kCapacity) n = 0;
  buf.resize(n);
  g_startDir = std::move(buf);
}

const std::wstring& startDir() { return g_startDir; }

void parseProcessCommandLine() {
  int argc = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return;
  std::vector<std::wstring> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  LocalFree(argv);
  g_switches = parseSwitches(args, g_startDir);
}

const SwitchSet& switches() { return g_switches; }


}  // namespace zs
