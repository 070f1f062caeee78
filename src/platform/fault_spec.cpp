#include "platform/fault_spec.h"

#include <charconv>

namespace zs {
namespace {

struct ClassInfo {
  FaultClass cls;
  std::string_view name;
  uint32_t error;
};

// Disk full for writes and new folders; a device error for flushes, which only fail when the disk
// does; a sharing violation for what another program holding the file stops (moves, deletes,
// folder removal); access denied for the registry and the restart list, which is what a policy or
// a locked key gives.
constexpr ClassInfo kClasses[kFaultClassCount] = {
    {FaultClass::FileWrite, "file-write", 112},
    {FaultClass::FileFlush, "file-flush", 1117},
    {FaultClass::FolderFlush, "folder-flush", 1117},
    {FaultClass::Move, "move", 32},
    {FaultClass::DeleteFile, "delete-file", 32},
    {FaultClass::FolderCreate, "folder-create", 112},
    {FaultClass::FolderRemove, "folder-remove", 32},
    {FaultClass::RegSet, "reg-set", 5},
    {FaultClass::RegDelete, "reg-delete", 5},
    {FaultClass::RegFlush, "reg-flush", 1117},
    {FaultClass::RestartSchedule, "restart-schedule", 5},
};

bool isHex(wchar_t c) {
  return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
}

wchar_t lowerAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

template <typename T>
bool parseNumber(std::string_view text, T& out, int base = 10) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return ec == std::errc() && end == text.data() + text.size();
}

bool parseTarget(std::string_view text, FaultTarget& t, std::string& reason) {
  const size_t colon = text.find(':');
  const std::string_view what = text.substr(0, colon);
  const std::string_view error = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
  size_t dot = what.find('.');
  if (dot == std::string_view::npos) {
    if (!parseNumber(what, t.index) || t.index == 0) {
      reason = "not a call number: " + std::string(what);
      return false;
    }
  } else {
    size_t second = what.find('.', dot + 1);
    if (second == std::string_view::npos || !parseFaultClass(what.substr(0, dot), t.cls) ||
        !parseNumber(what.substr(dot + 1, second - dot - 1), t.occurrence) || t.occurrence == 0 ||
        what.size() - second - 1 != 8 || !parseNumber(what.substr(second + 1), t.hash, 16)) {
      reason = "not a call key (class.K.hash): " + std::string(what);
      return false;
    }
  }
  // Without an error the call fails with its class's own, known only when the call comes.
  if (colon == std::string_view::npos) {
    t.error = 0;
  } else if (!parseNumber(error, t.error) || t.error == 0) {
    reason = "not a Windows error: " + std::string(error);
    return false;
  }
  return true;
}

}  // namespace

std::string_view faultClassName(FaultClass c) {
  for (const ClassInfo& info : kClasses)
    if (info.cls == c) return info.name;
  return "unknown";
}

bool parseFaultClass(std::string_view name, FaultClass& c) {
  for (const ClassInfo& info : kClasses) {
    if (info.name == name) {
      c = info.cls;
      return true;
    }
  }
  return false;
}

uint32_t defaultFaultError(FaultClass c) {
  for (const ClassInfo& info : kClasses)
    if (info.cls == c) return info.error;
  return 31;  // ERROR_GEN_FAILURE
}

bool parseFaultPlan(std::string_view text, FaultPlan& plan, std::string& reason) {
  plan = FaultPlan{};
  if (text.empty()) return true;
  if (text == "count") {
    plan.active = true;
    return true;
  }
  constexpr std::string_view kFail = "fail:";
  if (text.substr(0, kFail.size()) != kFail) {
    reason = "neither count nor fail:...";
    return false;
  }
  std::string_view rest = text.substr(kFail.size());
  for (;;) {
    size_t comma = rest.find(',');
    FaultTarget t;
    if (!parseTarget(rest.substr(0, comma), t, reason)) {
      plan = FaultPlan{};
      return false;
    }
    plan.targets.push_back(t);
    if (comma == std::string_view::npos) break;
    rest = rest.substr(comma + 1);
  }
  plan.active = true;
  return true;
}

std::wstring normalizeFaultPath(std::wstring_view path) {
  constexpr size_t kRandomRun = 8;
  std::wstring out;
  out.reserve(path.size());
  for (size_t i = 0; i < path.size();) {
    size_t run = 0;
    while (i + run < path.size() && isHex(path[i + run])) ++run;
    if (run >= kRandomRun) {
      out += L'#';
      i += run;
    } else if (run > 0) {
      for (size_t k = 0; k < run; ++k) out += lowerAscii(path[i + k]);
      i += run;
    } else {
      out += lowerAscii(path[i]);
      ++i;
    }
  }
  return out;
}

uint32_t callName(std::wstring_view program, FaultClass c, std::wstring_view path) {
  uint32_t h = 2166136261u;
  auto add = [&h](wchar_t unit) {
    auto v = static_cast<uint32_t>(unit) & 0xFFFFu;
    h = (h ^ (v & 0xFFu)) * 16777619u;
    h = (h ^ (v >> 8)) * 16777619u;
  };
  for (wchar_t ch : normalizeFaultPath(program)) add(ch);
  add(L'|');
  for (char ch : faultClassName(c)) add(static_cast<wchar_t>(ch));
  add(L'|');
  for (wchar_t ch : normalizeFaultPath(path)) add(ch);
  return h;
}

std::string faultKey(FaultClass c, uint32_t occurrence, uint32_t hash) {
  char hex[9];
  constexpr char kDigits[] = "0123456789abcdef";
  for (int i = 7; i >= 0; --i) {
    hex[i] = kDigits[hash & 0xF];
    hash >>= 4;
  }
  hex[8] = '\0';
  return std::string(faultClassName(c)) + "." + std::to_string(occurrence) + "." + hex;
}

bool targetMatches(const FaultTarget& t, uint64_t index, FaultClass c, uint32_t occurrence,
                   uint32_t hash) {
  if (t.index != 0) return t.index == index;
  return t.cls == c && t.occurrence == occurrence && t.hash == hash;
}

}  // namespace zs
