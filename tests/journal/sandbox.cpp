#include "journal/sandbox.h"

#include <algorithm>
#include <atomic>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/security.h"
#include "base/text.h"

namespace zs::test {

namespace {

std::atomic<unsigned> g_boxes{0};

void walk(const std::wstring& base, const std::wstring& rel, std::map<std::wstring, std::string>& out) {
  std::vector<FolderEntry> entries;
  if (!listFolder(rel.empty() ? base : base + L"\\" + rel, entries)) return;
  for (const FolderEntry& e : entries) {
    std::wstring childRel = rel.empty() ? e.name : rel + L"\\" + e.name;
    std::wstring full = base + L"\\" + childRel;
    if (e.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      out[childRel] = "L";
    } else if (e.attributes & FILE_ATTRIBUTE_DIRECTORY) {
      out[childRel] = "D";
      walk(base, childRel, out);
    } else if (equalsNoCase(e.name, L"ngen.exe")) {
      out[childRel] = "T";  // the stand-in tool itself, not state
    } else {
      std::string bytes;
      readWholeFile(full, 1u << 26, bytes);
      out[childRel] = "F" + bytes;
    }
  }
}

void walkKey(RegRoot root, RegView view, const std::wstring& key, std::map<std::wstring, std::string>& out) {
  std::wstring tag = std::wstring(regRootName(root)) + L"\\" + regViewName(view) + L"\\" + key;
  std::vector<RegValue> values;
  if (!listValues(root, view, key, values)) return;
  out[tag] = "K";
  for (const RegValue& v : values) out[tag + L"|" + v.name] = std::to_string(v.type) + ":" + v.data;
  std::vector<std::wstring> subkeys;
  listSubkeys(root, view, key, subkeys);
  for (const std::wstring& sub : subkeys) walkKey(root, view, key + L"\\" + sub, out);
}

std::string narrow(const std::wstring& s) { return wideToUtf8(s); }

}  // namespace

std::wstring windowsPathOf(const char* unixPath) {
  std::wstring path = L"Z:" + utf8ToWide(unixPath);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

Sandbox::Sandbox() {
  unsigned n = g_boxes++;
  root_ = format(96, L"C:\\zs-jt-%lu-%u", GetCurrentProcessId(), n);
  deleteTree(root_);
  createFolder(root_);
  app = root_ + L"\\Apps\\Zelvan";
  folders.pf = root_ + L"\\pf";
  folders.pf32 = root_ + L"\\pf32";
  folders.programs = root_ + L"\\programs";
  folders.desktop = root_ + L"\\desktop";
  folders.docs = root_ + L"\\docs";
  folders.appdata = root_ + L"\\appdata";
  folders.win = root_ + L"\\win";
  folders.setupdata = root_ + L"\\setupdata";
  folders.userProfiles = root_ + L"\\profiles";
  folders.profile = root_ + L"\\profiles\\me";
  folders.userFoldersKnown = true;
  appId = format(64, L"7E1D0C5B-2A39-4F6E-8B1A-%012lX", GetCurrentProcessId() * 16 + n);
  regBase = format(96, L"Software\\Brightmoor\\ZsJournalTest-%lu-%u", GetCurrentProcessId(), n);
  classKey = format(96, L"Zelvan.ZsJournalTest%lu%u", GetCurrentProcessId(), n);
  entryKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{" + appId + L"}";
  ngen = folders.win + L"\\Microsoft.NET\\Framework64\\v4.0.30319\\ngen.exe";
  std::wstring folder = folders.win;
  createFolder(folder);
  for (const wchar_t* part : {L"Microsoft.NET", L"Framework64", L"v4.0.30319"}) {
    folder += L"\\";
    folder += part;
    createFolder(folder);
  }
  CopyFileW(windowsPathOf(ZS_FAKE_NGEN).c_str(), ngen.c_str(), TRUE);
  reset();
}

Sandbox::~Sandbox() {
  reset();
  deleteTree(root_);
  // The parent of every test key; it goes only when no one else left anything in it.
  deleteKeyIfEmpty(RegRoot::Hklm, RegView::View64, L"Software\\Brightmoor");
}

void Sandbox::reset() {
  std::vector<std::wstring> ours;
  for (const std::wstring& p : pendingDeletes()) {
    if (startsWithNoCase(p, root_ + L"\\")) ours.push_back(p);
  }
  if (!ours.empty()) removePendingDeletes(ours);
  std::vector<FolderEntry> entries;
  listFolder(root_, entries);
  for (const FolderEntry& e : entries) {
    if (!equalsNoCase(e.name, L"win")) deleteTree(root_ + L"\\" + e.name);
  }
  deleteFile(folders.win + L"\\Microsoft.NET\\Framework64\\v4.0.30319\\images.txt");
  deleteKeyTree(RegRoot::Hklm, RegView::View64, regBase);
  deleteKeyTree(RegRoot::Hkcr, RegView::View64, classKey);
  deleteKeyTree(RegRoot::Hklm, RegView::View64, entryKey);
  deleteKeyTree(RegRoot::Hklm, RegView::View32, entryKey);
  for (const wchar_t* f : {L"pf", L"pf32", L"programs", L"desktop", L"docs", L"appdata", L"profiles"}) {
    createFolder(root_ + L"\\" + f);
  }
}

MachineState snapshot(const Sandbox& box) {
  MachineState s;
  walk(box.root(), L"", s.files);
  walkKey(RegRoot::Hklm, RegView::View64, box.regBase, s.registry);
  walkKey(RegRoot::Hkcr, RegView::View64, box.classKey, s.registry);
  walkKey(RegRoot::Hklm, RegView::View64, box.entryKey, s.registry);
  walkKey(RegRoot::Hklm, RegView::View32, box.entryKey, s.registry);
  for (const std::wstring& p : pendingDeletes()) {
    if (startsWithNoCase(p, box.root() + L"\\")) s.pending.push_back(p);
  }
  std::sort(s.pending.begin(), s.pending.end());
  return s;
}

std::string describeDifference(const MachineState& a, const MachineState& b) {
  std::string out;
  auto compare = [&](const std::map<std::wstring, std::string>& x, const std::map<std::wstring, std::string>& y) {
    for (const auto& [k, v] : x) {
      auto it = y.find(k);
      if (it == y.end()) out += "  only before: " + narrow(k) + "\n";
      else if (it->second != v) out += "  changed: " + narrow(k) + "\n";
    }
    for (const auto& [k, v] : y) {
      if (x.find(k) == x.end()) out += "  only after: " + narrow(k) + "\n";
    }
  };
  compare(a.files, b.files);
  compare(a.registry, b.registry);
  if (a.pending != b.pending) {
    out += "  pending deletes differ:";
    for (const std::wstring& p : a.pending) out += " before:" + narrow(p);
    for (const std::wstring& p : b.pending) out += " after:" + narrow(p);
    out += "\n";
  }
  return out;
}

UserRunner selfImpersonation() {
  return [](const std::function<void()>& work) {
    if (!ImpersonateSelf(SecurityImpersonation)) return false;
    work();
    RevertToSelf();
    return true;
  };
}

namespace {

std::wstring unixPathOf(const std::wstring& path) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  auto toUnix = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  if (toUnix == nullptr) return {};
  char* name = toUnix(path.c_str());
  if (name == nullptr) return {};
  std::wstring out = utf8ToWide(name);
  HeapFree(GetProcessHeap(), 0, name);
  return out;
}

template <typename Done>
bool waitFor(Done done) {
  for (int i = 0; i < 250; ++i) {
    if (done()) return true;
    Sleep(20);
  }
  return false;
}

// Wine runs a Unix program handed to CreateProcess, but neither the wait on it nor its exit code
// is reliable; the command therefore leaves a marker file when it is done, and we wait for that.
bool runUnix(const std::wstring& program, const std::wstring& arguments) {
  static std::atomic<unsigned> counter{0};
  std::wstring marker = format(96, L"/tmp/zs-jt-done-%lu-%u", GetCurrentProcessId(), counter++);
  std::wstring windowsMarker = L"Z:" + marker;
  std::replace(windowsMarker.begin(), windowsMarker.end(), L'/', L'\\');
  DeleteFileW(windowsMarker.c_str());
  // Wine splits the command line the Windows way: the script is one double-quoted argument, and
  // the paths inside it are in single quotes.
  std::wstring cmd = L"/bin/sh -c \"" + program + L" " + arguments + L"; : > " + marker + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(L"/bin/sh", cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  bool done = waitFor([&] { return GetFileAttributesW(windowsMarker.c_str()) != INVALID_FILE_ATTRIBUTES; });
  DeleteFileW(windowsMarker.c_str());
  return done;
}

}  // namespace

bool plantLink(const std::wstring& link, const std::wstring& target) {
  std::wstring unixLink = unixPathOf(link);
  std::wstring unixTarget = unixPathOf(target);
  if (unixLink.empty() || unixTarget.empty()) return false;
  return runUnix(L"/bin/ln", L"-s '" + unixTarget + L"' '" + unixLink + L"'") &&
         waitFor([&] { return isLink(link); });
}

bool removeLink(const std::wstring& link) {
  std::wstring unixLink = unixPathOf(link);
  if (unixLink.empty()) return false;
  // A dangling link has no attributes but is still listed: wait until its name is gone.
  std::wstring parent = link.substr(0, link.rfind(L'\\'));
  std::wstring name = link.substr(link.rfind(L'\\') + 1);
  return runUnix(L"/bin/rm", L"-f '" + unixLink + L"'") && waitFor([&] {
           std::vector<FolderEntry> entries;
           listFolder(parent, entries);
           return std::none_of(entries.begin(), entries.end(),
                               [&](const FolderEntry& e) { return equalsNoCase(e.name, name); });
         });
}

bool makeWorldWritable(const std::wstring& path) {
  std::wstring unixPath = unixPathOf(path);
  return !unixPath.empty() && runUnix(L"/bin/chmod", L"0777 '" + unixPath + L"'") &&
         waitFor([&] { return !isTrustedFolder(path); });
}

}  // namespace zs::test
