// Built only into the test-only platform library (ZS_FAULT_INJECTION): the setup that ships has
// none of this, and a build test looks for this file's environment variable name in it.
#include "platform/fault_injection.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/text.h"
#include "platform/registry.h"

namespace zs {
namespace {

constexpr const wchar_t* kPlanVariable = L"ZS_FAULT";
constexpr const wchar_t* kTraceVariable = L"ZS_FAULT_TRACE";

std::wstring environmentValue(const wchar_t* name) {
  DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return {};
  std::wstring value(n, L'\0');
  n = GetEnvironmentVariableW(name, value.data(), n);
  value.resize(n);
  return value;
}

std::wstring programPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 4; ++attempt) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
  return {};
}

// The plan is read once, at the first counted call; every later call of any thread sees it.
class Injector {
 public:
  Injector() : program_(programPath()) {
    std::wstring trace = environmentValue(kTraceVariable);
    if (!trace.empty()) {
      trace_ = CreateFileW(trace.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    const std::string text = wideToUtf8(environmentValue(kPlanVariable));
    std::string reason;
    if (!parseFaultPlan(text, plan_, reason)) {
      write("bad-plan\t" + reason + "\t" + text);
      return;
    }
    used_.assign(plan_.targets.size(), false);
    if (plan_.active) write("start\t" + wideToUtf8(program_) + "\t" + text);
  }

  bool active() const { return plan_.active; }

  bool fails(FaultClass c, const std::wstring& path, DWORD* error) {
    if (!plan_.active) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t index = ++count_;
    const uint32_t hash = callName(program_, c, path);
    const uint32_t occurrence = ++occurrences_[{c, hash}];
    DWORD code = 0;
    for (size_t i = 0; i < plan_.targets.size() && code == 0; ++i) {
      if (used_[i] || !targetMatches(plan_.targets[i], index, c, occurrence, hash)) continue;
      used_[i] = true;
      code = plan_.targets[i].error != 0 ? plan_.targets[i].error : defaultFaultError(c);
    }
    write("call\t" + std::to_string(index) + "\t" + faultKey(c, occurrence, hash) + "\t" +
          (code != 0 ? "fail " + std::to_string(code) : std::string("-")) + "\t" + wideToUtf8(path));
    if (code == 0) return false;
    if (error != nullptr) *error = code;
    SetLastError(code);
    return true;
  }

 private:
  void write(const std::string& line) {
    if (trace_ == INVALID_HANDLE_VALUE) return;
    const std::string text = std::to_string(GetCurrentProcessId()) + "\t" + line + "\r\n";
    DWORD wrote = 0;
    WriteFile(trace_, text.data(), static_cast<DWORD>(text.size()), &wrote, nullptr);
  }

  const std::wstring program_;
  HANDLE trace_ = INVALID_HANDLE_VALUE;  // open for the whole process
  FaultPlan plan_;
  std::vector<bool> used_;
  std::mutex mutex_;
  uint64_t count_ = 0;
  std::map<std::pair<FaultClass, uint32_t>, uint32_t> occurrences_;
};

Injector& injector() {
  static Injector instance;
  return instance;
}

std::wstring handlePath(HANDLE file) {
  std::wstring text(MAX_PATH, L'\0');
  DWORD n = GetFinalPathNameByHandleW(file, text.data(), static_cast<DWORD>(text.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (n >= text.size()) {
    text.assign(n + 1, L'\0');
    n = GetFinalPathNameByHandleW(file, text.data(), static_cast<DWORD>(text.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  }
  if (n == 0 || n >= text.size()) return L"<handle>";
  text.resize(n);
  constexpr std::wstring_view kLocal = L"\\\\?\\";
  if (text.compare(0, kLocal.size(), kLocal) == 0) text.erase(0, kLocal.size());
  return text;
}

// A sharing violation on a file that is not there, or a full disk for a folder that already is, is
// nothing a machine does: such calls fail (or succeed) on their own and are not counted.
bool couldFail(FaultClass c, const std::wstring& path) {
  switch (c) {
    case FaultClass::Move:
      return GetFileAttributesW(path.substr(0, path.find(L" > ")).c_str()) != INVALID_FILE_ATTRIBUTES;
    case FaultClass::DeleteFile:
    case FaultClass::FolderRemove:
    case FaultClass::FileFlush:
    case FaultClass::FolderFlush:
      return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    case FaultClass::FolderCreate:
      return GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES;
    default:
      return true;
  }
}

}  // namespace

bool failsHere(FaultClass c, const std::wstring& path, DWORD* error) {
  if (!injector().active()) return false;
  // The hooked call's own last error must survive a call that is not failed.
  const DWORD last = GetLastError();
  const bool failed = couldFail(c, path) && injector().fails(c, path, error);
  if (!failed) SetLastError(last);
  return failed;
}

bool failsHere(FaultClass c, HANDLE file, DWORD* error) {
  if (!injector().active()) return false;
  const DWORD last = GetLastError();
  const bool failed = injector().fails(c, handlePath(file), error);
  if (!failed) SetLastError(last);
  return failed;
}

bool failsHere(FaultClass c, RegRoot root, RegView view, const std::wstring& key, const std::wstring* value,
               DWORD* error) {
  if (!injector().active()) return false;
  const DWORD last = GetLastError();
  bool there = true;
  if (c == FaultClass::RegDelete) {
    DWORD type = 0;
    std::string data;
    there = value != nullptr ? readValue(root, view, key, *value, type, data) : keyExists(root, view, key);
  }
  std::wstring path = std::wstring(regRootName(root)) + L":" + regViewName(view) + L"\\" + key;
  if (value != nullptr) path += L"|" + *value;
  const bool failed = there && injector().fails(c, path, error);
  if (!failed) SetLastError(last);
  return failed;
}

}  // namespace zs
