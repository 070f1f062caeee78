#include "journal/scenario.h"

#include <array>
#include <stdexcept>

#include "base/failure.h"
#include "journal/cleanup.h"
#include "journal/record_kinds.h"
#include "journal/setup_data.h"
#include "ngen/ngen.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "base/text.h"
#include "base/paths.h"
#include "script/script.h"

namespace zs::test {

namespace {

std::string dword(DWORD v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string wide(const std::wstring& s) {
  return std::string(reinterpret_cast<const char*>(s.c_str()), (s.size() + 1) * sizeof(wchar_t));
}

void mustWrite(const std::wstring& path, const std::string& bytes) {
  if (!writeNewFile(path, bytes)) throw std::runtime_error("cannot write a sandbox file");
}

struct Run {
  Sandbox& box;
  JournalWriter& j;
  const CrashPlan& plan;

  void crash(int n) {
    j.close();
    if (plan.lines != nullptr && static_cast<size_t>(n) < plan.lines->size()) {
      appendRaw(j.path(), reachedOfNext((*plan.lines)[n], plan.where));
    }
    throw CrashNow{};
  }

  template <typename Record, typename Change>
  void step(Record record, Change change) {
    record();
    int n = j.recordCount();
    if (plan.record == n && plan.where == CrashWhere::BeforeChange) crash(n);
    change();
    if (plan.record == n && (plan.where == CrashWhere::AfterChange || plan.where == CrashWhere::TornNext ||
                             plan.where == CrashWhere::HoledNext)) {
      crash(n);
    }
  }
};

}  // namespace

std::string reachedOfNext(const std::string& next, CrashWhere where) {
  if (where == CrashWhere::TornNext) return next.substr(0, next.size() / 2);
  // The block holding the record's start never reached the disk, the one with its end did.
  if (where == CrashWhere::HoledNext) return std::string(next.size() / 2, '\0') + next.substr(next.size() / 2);
  return {};
}

void prepareBefore(Sandbox& box) {
  const std::wstring& app = box.app;
  createFolder(box / L"Apps");
  createFolder(app);
  createFolder(app + L"\\sub");
  createFolder(app + L"\\empty-old");
  createFolder(box.folders.setupdata);
  createFolder(box.folders.pf + L"\\Brightmoor");
  mustWrite(app + L"\\Zelvan.exe", "old exe");
  mustWrite(app + L"\\a.dll", "old a");
  mustWrite(app + L"\\sub\\b.txt", "old b");
  mustWrite(app + L"\\stale.tmp", "stale");
  mustWrite(box.folders.programs + L"\\Zelvan.lnk", "old shortcut");
  mustWrite(box.folders.setupdata + L"\\Zelvan-Setup-old.log", "an older log");
  deleteAtRestart(app + L"\\stale.tmp");
  std::wstring images = box.folders.win + L"\\Microsoft.NET\\Framework64\\v4.0.30319\\images.txt";
  mustWrite(images, wideToUtf8(normalizePath(app + L"\\a.dll")) + "\n");

  std::wstring existing = box.regBase + L"\\Existing";
  auto put = [](RegRoot root, RegView view, const std::wstring& key, const wchar_t* name, DWORD type,
                const std::string& data) {
    if (!writeValue(root, view, key, name, type, data.data(), data.size())) throw std::runtime_error("registry");
  };
  put(RegRoot::Hklm, RegView::View64, existing, L"Str", REG_SZ, wide(L"old text"));
  put(RegRoot::Hklm, RegView::View64, existing, L"Exp", REG_EXPAND_SZ, wide(L"%SystemRoot%\\old"));
  put(RegRoot::Hklm, RegView::View64, existing, L"Num", REG_DWORD, dword(7));
  put(RegRoot::Hklm, RegView::View64, existing, L"Bin", REG_BINARY, std::string("\x01\x02\x00\xff", 4));
  put(RegRoot::Hklm, RegView::View64, box.regBase + L"\\Doomed", L"V", REG_SZ, wide(L"doomed"));
  put(RegRoot::Hklm, RegView::View64, box.regBase + L"\\Doomed\\Inner", L"W", REG_DWORD, dword(1));
  put(RegRoot::Hklm, RegView::View32, box.entryKey, L"DisplayName", REG_SZ, wide(L"Zelvan (32-bit entry)"));
}

int runChanges(Sandbox& box, JournalWriter& j, const CrashPlan& plan, bool commit) {
  Run run{box, j, plan};
  const std::wstring& app = box.app;
  const std::wstring staging = app + L"\\.zsnew" + kRunSuffix;
  const std::wstring backup = app + L"\\.zsold" + kRunSuffix;
  const std::wstring bak = box.folders.setupdata + L"\\bak";
  const RegRoot hklm = RegRoot::Hklm;
  const RegView v64 = RegView::View64;

  if (!prepareSetupDataAt(box.folders.setupdata)) throw std::runtime_error("setupdata");
  if (j.create(box.journalPath(), box.folders, box.appId) != 0) throw std::runtime_error("journal");
  if (plan.record == 0 && (plan.where == CrashWhere::TornNext || plan.where == CrashWhere::HoledNext)) run.crash(0);
  run.step([&] { journalBegin(j, L"2.0", L"upgrade", app, app, kRunSuffix); }, [] {});
  run.step([&] { journalStage(j, staging); }, [&] {
    createHiddenFolder(staging);
    mustWrite(staging + L"\\a.dll", "new a");
    mustWrite(staging + L"\\Zelvan.exe", "new exe");
    mustWrite(staging + L"\\c.dll", "new c");
  });
  run.step([&] { journalNgenOld(j, box.ngen, app + L"\\a.dll"); },
           [&] { uninstallNativeImage(box.ngen, normalizePath(app + L"\\a.dll")); });
  run.step([&] { journalDirNew(j, backup); }, [&] { createHiddenFolder(backup); });
  for (const wchar_t* name : {L"a.dll", L"Zelvan.exe"}) {
    std::wstring placed = app + L"\\" + name;
    run.step([&] { journalMove(j, placed, backup + L"\\" + name); },
             [&] { moveFile(placed, backup + L"\\" + name, false); });
    run.step([&] { journalPut(j, placed); }, [&] { moveFile(staging + L"\\" + name, placed, false); });
  }
  run.step([&] { journalDirNew(j, app + L"\\plugins"); }, [&] { createFolder(app + L"\\plugins"); });
  run.step([&] { journalDirNew(j, app + L"\\plugins\\x"); }, [&] { createFolder(app + L"\\plugins\\x"); });
  run.step([&] { journalPut(j, app + L"\\plugins\\x\\c.dll"); },
           [&] { moveFile(staging + L"\\c.dll", app + L"\\plugins\\x\\c.dll", false); });
  run.step([&] { journalPendGone(j, app + L"\\stale.tmp"); },
           [&] { removePendingDeletes({normalizePath(app + L"\\stale.tmp")}); });
  std::wstring shortcut = box.folders.programs + L"\\Zelvan.lnk";
  run.step([&] { journalDirNew(j, bak); }, [&] { createFolder(bak); });
  run.step([&] { journalMove(j, shortcut, bak + L"\\Zelvan.lnk"); },
           [&] { moveFile(shortcut, bak + L"\\Zelvan.lnk", false); });
  run.step([&] { journalPut(j, shortcut); }, [&] { mustWrite(shortcut, "new shortcut"); });

  // First-run files in the user's folders, made as the user.
  std::wstring seedFolder = box.folders.docs + L"\\Zelvan";
  std::wstring seed = seedFolder + L"\\first.json";
  const std::string seedBytes = "{\"first\": true}";
  run.step([&] { journalDirNew(j, seedFolder); }, [&] { selfImpersonation()([&] { createFolder(seedFolder); }); });
  // SHA-256 of seedBytes, in upper case as a script may give it.
  const wchar_t* seedSha = L"CDE2CA7C86760958A5C56ED21C980F7012B150A4819B274FC806EA42A4500D19";
  run.step([&] { journalSeedNew(j, seed, seedSha); },
           [&] { selfImpersonation()([&] { mustWrite(seed, seedBytes); }); });

  std::wstring fresh = box.regBase + L"\\New";
  std::wstring existing = box.regBase + L"\\Existing";
  run.step([&] { journalKeyNew(j, hklm, v64, fresh); }, [&] { createKey(hklm, v64, fresh); });
  run.step([&] { journalRegNew(j, hklm, v64, fresh, L"Name"); },
           [&] { writeValue(hklm, v64, fresh, L"Name", REG_SZ, wide(L"new").data(), wide(L"new").size()); });
  struct Overwrite {
    const wchar_t* name;
    DWORD oldType;
    std::string oldData;
    DWORD newType;  // REG_NONE: the value is deleted
    std::string newData;
  };
  const Overwrite overwrites[] = {
      {L"Str", REG_SZ, wide(L"old text"), REG_SZ, wide(L"new text")},
      {L"Exp", REG_EXPAND_SZ, wide(L"%SystemRoot%\\old"), REG_EXPAND_SZ, wide(L"%SystemRoot%\\new")},
      {L"Num", REG_DWORD, dword(7), REG_NONE, {}},
      {L"Bin", REG_BINARY, std::string("\x01\x02\x00\xff", 4), REG_SZ, wide(L"was binary")},
  };
  for (const Overwrite& o : overwrites) {
    run.step([&] { journalRegOld(j, hklm, v64, existing, o.name, o.oldType, o.oldData); },
             [&] {
               if (o.newType == REG_NONE) deleteValue(hklm, v64, existing, o.name);
               else writeValue(hklm, v64, existing, o.name, o.newType, o.newData.data(), o.newData.size());
             });
  }
  std::wstring doomed = box.regBase + L"\\Doomed";
  run.step([&] { journalRegOldKey(j, hklm, v64, doomed); }, [] {});
  run.step([&] { journalRegOld(j, hklm, v64, doomed, L"V", REG_SZ, wide(L"doomed")); }, [] {});
  run.step([&] { journalRegOldKey(j, hklm, v64, doomed + L"\\Inner"); }, [] {});
  run.step([&] { journalRegOld(j, hklm, v64, doomed + L"\\Inner", L"W", REG_DWORD, dword(1)); },
           [&] { deleteKeyTree(hklm, v64, doomed); });
  run.step([&] { journalKeyNew(j, RegRoot::Hkcr, v64, box.classKey); },
           [&] { createKey(RegRoot::Hkcr, v64, box.classKey); });
  run.step([&] { journalRegNew(j, RegRoot::Hkcr, v64, box.classKey, L""); },
           [&] { writeValue(RegRoot::Hkcr, v64, box.classKey, L"", REG_SZ, wide(L"Zelvan test").data(), wide(L"Zelvan test").size()); });
  run.step([&] { journalKeyNew(j, hklm, v64, box.entryKey); }, [&] { createKey(hklm, v64, box.entryKey); });
  run.step([&] { journalRegNew(j, hklm, v64, box.entryKey, L"DisplayName"); },
           [&] { writeValue(hklm, v64, box.entryKey, L"DisplayName", REG_SZ, wide(L"Zelvan").data(), wide(L"Zelvan").size()); });
  run.step([&] { journalNgenNew(j, box.ngen, app + L"\\a.dll"); },
           [&] { runNgen(box.ngen, L"install", normalizePath(app + L"\\a.dll"), L"/nologo", kNgenInstallLimitMs); });
  int lastChange = j.recordCount();
  if (!commit) return lastChange;

  LegacyInfo legacy;
  legacy.dirs = {L"empty-old", L"sub"};
  legacy.removeIfEmpty = {L"{pf}\\Brightmoor"};
  CancelState cancel;
  CommitInputs in;
  in.journal = &j;
  in.installFolder = app;
  in.oldInstallFolder = app;
  in.appId = box.appId;
  in.legacy = &legacy;
  in.folders = &box.folders;
  in.cancel = &cancel;
  in.windows64 = true;
  commitRun(in);
  return lastChange;
}

std::vector<std::string> journalLines(const std::wstring& path) {
  std::string bytes;
  readWholeFile(path, 1u << 26, bytes);
  std::vector<std::string> lines;
  size_t pos = 5;
  while (pos < bytes.size()) {
    size_t end = bytes.find('\n', pos);
    if (end == std::string::npos) break;
    lines.push_back(bytes.substr(pos, end + 1 - pos));
    pos = end + 1;
  }
  return lines;
}

void appendRaw(const std::wstring& path, const std::string& bytes) {
  HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) throw std::runtime_error("append");
  DWORD wrote = 0;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr);
  CloseHandle(h);
}

}  // namespace zs::test
