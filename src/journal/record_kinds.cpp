// One section per record kind: its rule, its undo and its change-side append. The table at the
// end ties them together.
//
// A rule refuses every field its undo could not act on, so what passes can be undone by
// construction; the undo parses its fields with the same helpers. Undo is careful rather than
// forceful: it never works through a link, never overwrites a file that has come back, touches
// the user's folders only as that user, and leaves what it cannot undo for the next rollback (its
// result says so). Every path read from a journal is normalised before use; the rule has already
// confined it to the journal's scope.
//
// The rules are portable; everything that acts on the machine is inside #ifdef _WIN32.
#include "journal/record_kinds.h"

#include <algorithm>

#include "base/text.h"
#include "base/paths.h"
#include "script/script.h"

#ifdef _WIN32
#include <windows.h>

#include <array>

#include "base/log.h"
#include "ngen/ngen.h"
#include "platform/files.h"
#include "platform/registry.h"
#endif

namespace zs {

// Functions and types of this file are its own: static, or in an unnamed namespace. Only the
// change-side appenders, findRecordKind and passesNoLinkTest are visible outside.

static std::wstring_view lastComponent(std::wstring_view path) {
  size_t slash = path.rfind(L'\\');
  return slash == std::wstring_view::npos ? path : path.substr(slash + 1);
}

static bool insideInstall(std::wstring_view path, const JournalScope& s) {
  return isInside(path, s.installFolder) || isInside(path, s.oldInstallFolder);
}

static bool isShortcutPlace(std::wstring_view path, const JournalScope& s) {
  return (isInside(path, s.programs) || isInside(path, s.desktop)) && endsWithNoCase(path, L".lnk");
}

#ifdef _WIN32
constexpr int kAttempts = 10;

static std::wstring dec(uint64_t n) { return format(32, L"%llu", static_cast<unsigned long long>(n)); }
#endif

// --- Registry vocabulary ---------------------------------------------------------------------
// Roots "HKCR", "HKLM", "HKCU" (any case) and views "64", "32", numbered as RegRoot and RegView
// number them.

namespace {
constexpr std::wstring_view kRootNames[] = {L"HKCR", L"HKLM", L"HKCU"};
constexpr int32_t kHklm = 1;

struct RegTarget {
  int32_t root = kHklm;
  int32_t view = 0;
  std::wstring subkey;
};
}  // namespace

static bool parseView(std::wstring_view text, int32_t& view) {
  if (text == L"64") {
    view = 0;
  } else if (text == L"32") {
    view = 1;
  } else {
    return false;
  }
  return true;
}

static bool isSubkeyText(std::wstring_view key) {
  return !key.empty() && key.front() != L'\\' && key.back() != L'\\' && key.find(L"..") == std::wstring_view::npos;
}

static bool regTarget(const JournalRecord& r, RegTarget& t) {
  if (r.fields.size() < 3) return false;
  auto root = std::find_if(std::begin(kRootNames), std::end(kRootNames),
                           [&](std::wstring_view name) { return equalsNoCase(r.fields[0], name); });
  if (root == std::end(kRootNames) || !parseView(r.fields[1], t.view) || !isSubkeyText(r.fields[2])) return false;
  t.root = static_cast<int32_t>(root - std::begin(kRootNames));
  t.subkey = r.fields[2];
  return true;
}

static bool isOwnEntryKey(const RegTarget& t, const JournalScope& s) {
  return t.root == kHklm && !s.ownEntryKey.empty() && equalsNoCase(t.subkey, s.ownEntryKey);
}

static bool allowedValue(const RegTarget& t, const std::wstring& name, const JournalScope& s) {
  if (isOwnEntryKey(t, s)) return true;
  return isRegistryWriteAllowed(kRootNames[t.root], t.subkey, name);
}

// Parent keys on the way to an allowed key are allowed too, so that creating them can be
// journalled and undone.
static bool allowedKey(const RegTarget& t, const JournalScope& s) {
  if (allowedValue(t, L"", s)) return true;
  if (t.root != kHklm) return false;
  const std::wstring anchors[] = {s.ownEntryKey, L"Software\\Brightmoor",
                                  L"Software\\Microsoft\\Windows\\CurrentVersion\\Run"};
  for (const std::wstring& anchor : anchors) {
    if (anchor.empty()) continue;
    if (equalsNoCase(t.subkey, anchor) || startsWithNoCase(anchor, t.subkey + L"\\")) return true;
  }
  return false;
}

#ifdef _WIN32
static_assert(static_cast<int32_t>(RegRoot::Hkcr) == 0 && static_cast<int32_t>(RegRoot::Hklm) == kHklm &&
              static_cast<int32_t>(RegRoot::Hkcu) == 2 && static_cast<int32_t>(RegView::View64) == 0 &&
              static_cast<int32_t>(RegView::View32) == 1);

static RegRoot regRoot(const RegTarget& t) { return static_cast<RegRoot>(t.root); }
static RegView regView(const RegTarget& t) { return static_cast<RegView>(t.view); }

static std::vector<std::wstring> regFields(RegRoot root, RegView view, const std::wstring& subkey) {
  return {regRootName(root), regViewName(view), subkey};
}
#endif

// --- Retried file operations -------------------------------------------------------------------

#ifdef _WIN32
template <typename Op>
static bool retried(const std::wstring& label, DWORD pauseMs, Op op) {
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    DWORD error = 0;
    if (op(error)) return true;
    logWinError(label, error);
    if (attempt < kAttempts) Sleep(pauseMs);
  }
  return false;
}
#endif

// --- BEGIN -------------------------------------------------------------------------------------
// The first record: what is installed, how, where, over which old folder, under which run suffix.

static bool beginPasses(const JournalRecord& r, const JournalScope&) {
  const std::wstring& mode = r.fields[1];
  bool knownMode = mode == L"fresh" || mode == L"repair" || mode == L"upgrade";
  return knownMode && isJournalPath(r.fields[2]) && (r.fields[3].empty() || isJournalPath(r.fields[3])) &&
         isRunSuffix(r.fields[4]);
}

#ifdef _WIN32
void journalBegin(JournalWriter& j, const std::wstring& appVersion, const std::wstring& mode,
                  const std::wstring& installFolder, const std::wstring& oldInstallFolder, const std::wstring& runSuffix) {
  j.appendOrFail(journal_kind::kBegin, {appVersion, mode, installFolder, oldInstallFolder, runSuffix});
}
#endif

// --- COMMIT, END -------------------------------------------------------------------------------

static bool alwaysPasses(const JournalRecord&, const JournalScope&) { return true; }

// --- UNDONE ------------------------------------------------------------------------------------
// Names a record before it that has been undone (or, right after a PUT, never happened).

static bool undonePasses(const JournalRecord& r, const JournalScope&) {
  uint64_t n = 0;
  return parseJournalNumber(r.fields[0], n) && r.number > 1 && n >= 1 && n < static_cast<uint64_t>(r.number);
}

// --- DIRNEW ------------------------------------------------------------------------------------
// Written before each missing folder is created, top-most first. Undone (last first) by removing
// the folder when it is empty; what else is in it belongs to someone and stays.

static bool dirNewPasses(const JournalRecord& r, const JournalScope&) { return isJournalPath(r.fields[0]); }

#ifdef _WIN32
namespace {
enum class FolderClass { Machine, User, Other };
}  // namespace

static bool atInsideOrAbove(const std::wstring& path, const std::wstring& root) {
  return !root.empty() && (isSameOrInside(path, root) || isInside(root, path));
}

static FolderClass folderClass(const std::wstring& path, const JournalScope& s) {
  for (const std::wstring* root : {&s.installFolder, &s.oldInstallFolder, &s.programs, &s.desktop, &s.setupdata}) {
    if (isSameOrInside(path, *root)) return FolderClass::Machine;
  }
  for (const std::wstring* root : {&s.installFolder, &s.programs, &s.desktop}) {
    if (!root->empty() && isInside(*root, path)) return FolderClass::Machine;
  }
  if (s.userFoldersKnown && (atInsideOrAbove(path, s.docs) || atInsideOrAbove(path, s.appdata))) {
    return FolderClass::User;
  }
  return FolderClass::Other;
}

// False only when an empty folder of the run's could not be removed: the undo is then not done,
// and the next start tries again (a folder that holds something, or lies behind a link, stays).
static bool removeIfEmptyFolder(const std::wstring& path, const JournalScope& s) {
  if (!isDirectory(path) || isLink(path) || !isFolderEmpty(path)) return true;
  if (!passesNoLinkTest(path, s)) {
    logf(L"Undo of a folder skipped, a link is in the path: %ls", path.c_str());
    return true;
  }
  DWORD error = 0;
  if (removeFolder(path, &error)) return true;
  logWinError(L"Couldn't remove the folder " + path, error);
  return false;
}

static bool dirNewUndo(const JournalRecord& r, UndoContext& c) {
  std::wstring path = normalizePath(r.fields[0]);
  bool done = true;
  switch (folderClass(path, c.scope)) {
    case FolderClass::Machine:
      done = removeIfEmptyFolder(path, c.scope);
      break;
    case FolderClass::User:
      c.asUser([&] { done = removeIfEmptyFolder(path, c.scope); });
      break;
    case FolderClass::Other:
      logf(L"Skipping a folder that isn't this run's to touch: %ls", path.c_str());
      break;
  }
  return done;
}

static bool dirNewStillThere(const JournalRecord& r, const JournalScope&) {
  return isDirectory(normalizePath(r.fields[0]));
}

void journalDirNew(JournalWriter& j, const std::wstring& folder) { j.appendOrFail(journal_kind::kDirNew, {folder}); }
#endif

// --- STAGE -------------------------------------------------------------------------------------
// The hidden folder every file is staged into; undone by deleting it with what it holds.

static bool stagePasses(const JournalRecord& r, const JournalScope& s) {
  const std::wstring& path = r.fields[0];
  return isJournalPath(path) && !s.installFolder.empty() && equalsNoCase(parentPath(path), s.installFolder) &&
         lastComponent(path) == L".zsnew" + s.runSuffix;
}

#ifdef _WIN32
static bool stageUndo(const JournalRecord& r, UndoContext& c) {
  std::wstring path = normalizePath(r.fields[0]);
  // A link at the install folder would turn the delete towards another folder.
  if (!passesNoLinkTest(path, c.scope)) {
    logf(L"Undo of the staging folder skipped, a link is in the path: %ls", path.c_str());
    return false;
  }
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    if (!pathExists(path)) return true;
    // Only the last attempt says what stayed, and why.
    DeleteErrorSink sink;
    if (attempt == kAttempts) sink = [](const std::wstring& item, DWORD error) { logWinError(L"Undo delete " + item, error); };
    deleteTree(path, sink);
    if (!pathExists(path)) return true;
    if (attempt < kAttempts) Sleep(c.retryPauseMs);
  }
  return false;
}

void journalStage(JournalWriter& j, const std::wstring& stagingFolder) {
  j.appendOrFail(journal_kind::kStage, {stagingFolder});
}
#endif

// --- MOVE --------------------------------------------------------------------------------------
// An existing file moved aside into this run's backup folder next to it, or an old shortcut moved
// into {setupdata}\bak. Undone by moving it back, never over a file that has come back.

static bool movePasses(const JournalRecord& r, const JournalScope& s) {
  const std::wstring& from = r.fields[0];
  const std::wstring& to = r.fields[1];
  if (!isJournalPath(from) || !isJournalPath(to)) return false;
  if (insideInstall(from, s)) {
    std::wstring backup = parentPath(to);
    return equalsNoCase(parentPath(backup), parentPath(from)) && lastComponent(backup) == L".zsold" + s.runSuffix &&
           equalsNoCase(lastComponent(from), lastComponent(to));
  }
  return isShortcutPlace(from, s) && !s.setupdata.empty() && isInside(to, s.setupdata + L"\\bak");
}

#ifdef _WIN32
static bool moveUndo(const JournalRecord& r, UndoContext& c) {
  std::wstring from = normalizePath(r.fields[0]);
  std::wstring to = normalizePath(r.fields[1]);
  if (!pathExists(to)) return true;
  if (pathExists(from)) {
    logf(L"Undo of a move: both exist: %ls", from.c_str());
    return false;
  }
  if (!passesNoLinkTest(from, c.scope) || !passesNoLinkTest(to, c.scope)) {
    logf(L"Undo of a move skipped, a link is in the path: %ls", from.c_str());
    return false;
  }
  return retried(L"Undo move " + to, c.retryPauseMs,
                 [&](DWORD& error) { return moveFile(to, from, true, &error); });
}

void journalMove(JournalWriter& j, const std::wstring& from, const std::wstring& to) {
  j.appendOrFail(journal_kind::kMove, {from, to});
}
#endif

// --- PUT ---------------------------------------------------------------------------------------
// A new file put where no file was. Undone by deleting it.

static bool putPasses(const JournalRecord& r, const JournalScope& s) {
  const std::wstring& path = r.fields[0];
  return isJournalPath(path) && (insideInstall(path, s) || isShortcutPlace(path, s));
}

#ifdef _WIN32
static bool putUndo(const JournalRecord& r, UndoContext& c) {
  std::wstring path = normalizePath(r.fields[0]);
  if (!pathExists(path)) return true;
  if (!passesNoLinkTest(path, c.scope)) {
    logf(L"Undo of a placed file skipped, a link is in the path: %ls", path.c_str());
    return false;
  }
  return retried(L"Undo delete " + path, c.retryPauseMs, [&](DWORD& error) {
    if (deleteFile(path, &error)) return true;
    return !pathExists(path);
  });
}

void journalPut(JournalWriter& j, const std::wstring& path) { j.appendOrFail(journal_kind::kPut, {path}); }
#endif

// --- PENDGONE ----------------------------------------------------------------------------------
// A delete at the next restart that the run took off the pending list. Undone by scheduling it
// again.

static bool pendGonePasses(const JournalRecord& r, const JournalScope& s) { return putPasses(r, s); }

#ifdef _WIN32
static bool pendGoneUndo(const JournalRecord& r, UndoContext& c) {
  std::wstring path = normalizePath(r.fields[0]);
  if (!pathExists(path) || !passesNoLinkTest(path, c.scope)) return true;
  // The run may have died before it took the delete off the list: schedule it only once.
  for (const std::wstring& pending : pendingDeletes()) {
    if (equalsNoCase(pending, path)) return true;
  }
  deleteAtRestart(path);
  return true;
}

void journalPendGone(JournalWriter& j, const std::wstring& path) { j.appendOrFail(journal_kind::kPendGone, {path}); }
#endif

// --- SEEDNEW -----------------------------------------------------------------------------------
// A first-run file written into the user's folders. Undone, as the user, only while its content
// is still exactly what the run wrote; its side file (named for the run) whatever it holds.

static bool seedNewPasses(const JournalRecord& r, const JournalScope&) {
  std::string digest;
  return isJournalPath(r.fields[0]) && r.fields[1].size() == 64 && fromHex(r.fields[1], digest);
}

#ifdef _WIN32
static bool seedNewUndo(const JournalRecord& r, UndoContext& c) {
  if (!c.scope.userFoldersKnown) {
    logLine(L"Skipping a seed with no user token");
    return true;
  }
  std::wstring path = normalizePath(r.fields[0]);
  if (!isInside(path, c.scope.docs) && !isInside(path, c.scope.appdata)) {
    logf(L"Skipping a seed that isn't this run's to touch: %ls", path.c_str());
    return true;
  }
  // The side file the content was written to before its move is named for this run alone, so it
  // goes whatever it holds: a power cut while it was written leaves it torn or zeroed.
  const bool sideFile = c.scope.runSuffix.size() > 1 && endsWithNoCase(path, L".zsseed" + c.scope.runSuffix);
  c.asUser([&] {
    std::array<uint8_t, 32> digest{};
    if (!pathExists(path) || !passesNoLinkTest(path, c.scope)) return;
    if (sideFile) {
      deleteFile(path);
      return;
    }
    if (!hashFile(path, digest)) return;
    std::string raw(reinterpret_cast<const char*>(digest.data()), digest.size());
    if (equalsNoCase(toHex(raw), r.fields[1])) deleteFile(path);
  });
  return true;
}

void journalSeedNew(JournalWriter& j, const std::wstring& path, const std::wstring& sha256Hex) {
  j.appendOrFail(journal_kind::kSeedNew, {path, sha256Hex});
}
#endif

// --- KEYNEW ------------------------------------------------------------------------------------
// A registry key that did not exist. Undone by deleting it when nothing is left in it.

static bool keyNewPasses(const JournalRecord& r, const JournalScope& s) {
  RegTarget t;
  return regTarget(r, t) && allowedKey(t, s);
}

#ifdef _WIN32
static bool keyNewUndo(const JournalRecord& r, UndoContext&) {
  RegTarget t;
  if (!regTarget(r, t)) return false;
  deleteKeyIfEmpty(regRoot(t), regView(t), t.subkey);
  return true;
}

static bool keyNewStillThere(const JournalRecord& r, const JournalScope&) {
  RegTarget t;
  return regTarget(r, t) && keyExists(regRoot(t), regView(t), t.subkey);
}

void journalKeyNew(JournalWriter& j, RegRoot root, RegView view, const std::wstring& subkey) {
  j.appendOrFail(journal_kind::kKeyNew, regFields(root, view, subkey));
}
#endif

// --- REGOLD ------------------------------------------------------------------------------------
// A value (type and bytes) about to be overwritten or deleted, or, with "key" for the type and
// empty name and data, a key about to be deleted. Undone by writing the value back, or creating
// the key again (its values and subkeys have records of their own).

constexpr std::wstring_view kWholeKey = L"key";

namespace {
struct OldValue {
  RegTarget target;
  bool wholeKey = false;
  uint32_t type = 0;
  std::string data;
};
}  // namespace

// What the undo puts back, read from the record; false when the record cannot say it.
static bool readOldValue(const JournalRecord& r, OldValue& v) {
  if (r.fields.size() != 6 || !regTarget(r, v.target)) return false;
  if (r.fields[4] == kWholeKey) {
    v.wholeKey = true;
    return r.fields[3].empty() && r.fields[5].empty();
  }
  uint64_t type = 0;
  if (!parseJournalNumber(r.fields[4], type) || type > 0xFFFFFFFFu || !fromHex(r.fields[5], v.data)) return false;
  v.type = static_cast<uint32_t>(type);
  return true;
}

static bool regOldPasses(const JournalRecord& r, const JournalScope& s) {
  OldValue v;
  if (!readOldValue(r, v)) return false;
  return v.wholeKey ? allowedKey(v.target, s) : allowedValue(v.target, r.fields[3], s);
}

#ifdef _WIN32
static bool regOldUndo(const JournalRecord& r, UndoContext&) {
  OldValue v;
  if (!readOldValue(r, v)) return false;
  const RegTarget& t = v.target;
  DWORD error = 0;
  if (v.wholeKey) {
    if (createKey(regRoot(t), regView(t), t.subkey, &error)) return true;
    logWinError(L"Undo create key " + t.subkey, error);
    return false;
  }
  if (writeValue(regRoot(t), regView(t), t.subkey, r.fields[3], v.type, v.data.data(), v.data.size(), &error)) {
    return true;
  }
  logWinError(L"Undo write value " + t.subkey + L"\\" + r.fields[3], error);
  return false;
}

void journalRegOld(JournalWriter& j, RegRoot root, RegView view, const std::wstring& subkey, const std::wstring& name,
                   DWORD type, std::string_view data) {
  std::vector<std::wstring> fields = regFields(root, view, subkey);
  fields.push_back(name);
  fields.push_back(dec(type));
  fields.push_back(toHex(data));
  j.appendOrFail(journal_kind::kRegOld, fields);
}

void journalRegOldKey(JournalWriter& j, RegRoot root, RegView view, const std::wstring& subkey) {
  std::vector<std::wstring> fields = regFields(root, view, subkey);
  fields.push_back(L"");
  fields.push_back(std::wstring(kWholeKey));
  fields.push_back(L"");
  j.appendOrFail(journal_kind::kRegOld, fields);
}
#endif

// --- REGNEW ------------------------------------------------------------------------------------
// A value that did not exist. Undone by deleting it.

static bool regNewPasses(const JournalRecord& r, const JournalScope& s) {
  RegTarget t;
  return regTarget(r, t) && allowedValue(t, r.fields[3], s);
}

#ifdef _WIN32
static bool regNewUndo(const JournalRecord& r, UndoContext&) {
  RegTarget t;
  if (!regTarget(r, t)) return false;
  return deleteValue(regRoot(t), regView(t), t.subkey, r.fields[3]);
}

void journalRegNew(JournalWriter& j, RegRoot root, RegView view, const std::wstring& subkey, const std::wstring& name) {
  std::vector<std::wstring> fields = regFields(root, view, subkey);
  fields.push_back(name);
  j.appendOrFail(journal_kind::kRegNew, fields);
}
#endif

// --- NGENOLD, NGENNEW --------------------------------------------------------------------------
// An old native image removed / a new one installed. Undone through ngen itself; native images
// are only an optimisation, so the undo never fails.

static bool ngenPasses(const JournalRecord& r, const JournalScope& s) {
  const std::wstring& ngen = r.fields[0];
  bool listed = std::any_of(s.ngenPaths.begin(), s.ngenPaths.end(),
                            [&](const std::wstring& known) { return equalsNoCase(ngen, known); });
  return listed && isJournalPath(ngen) && isJournalPath(r.fields[1]) && insideInstall(r.fields[1], s);
}

#ifdef _WIN32
static bool ngenOldUndo(const JournalRecord& r, UndoContext&) {
  queueNativeImage(normalizePath(r.fields[0]), normalizePath(r.fields[1]));
  return true;
}

static bool ngenNewUndo(const JournalRecord& r, UndoContext&) {
  uninstallNativeImage(normalizePath(r.fields[0]), normalizePath(r.fields[1]));
  return true;
}

void journalNgenOld(JournalWriter& j, const std::wstring& ngenPath, const std::wstring& assembly) {
  j.appendOrFail(journal_kind::kNgenOld, {ngenPath, assembly});
}

void journalNgenNew(JournalWriter& j, const std::wstring& ngenPath, const std::wstring& assembly) {
  j.appendOrFail(journal_kind::kNgenNew, {ngenPath, assembly});
}
#endif

// --- CLEANENTRY, CLEANDIR, CLEANEMPTY ------------------------------------------------------------
// Written at commit for the cleanup (cleanup.cpp acts on them); rollback passes over them.

static bool cleanEntryPasses(const JournalRecord& r, const JournalScope&) {
  int32_t view = 0;
  return parseView(r.fields[0], view) && isEntryName(r.fields[1]);
}

static bool cleanDirPasses(const JournalRecord& r, const JournalScope& s) {
  return isJournalPath(r.fields[0]) && !s.oldInstallFolder.empty() && isSameOrInside(r.fields[0], s.oldInstallFolder);
}

static bool cleanEmptyPasses(const JournalRecord& r, const JournalScope& s) {
  const std::wstring& path = r.fields[0];
  if (!isJournalPath(path)) return false;
  if (!s.oldInstallFolder.empty() && equalsNoCase(path, s.oldInstallFolder)) return true;
  return isInside(path, s.pf) || isInside(path, s.pf32);
}

// --- The table -----------------------------------------------------------------------------------

#ifdef _WIN32
#define ON_WINDOWS(f) f
#else
#define ON_WINDOWS(f) nullptr
#endif

constexpr size_t kFirst = 0;
constexpr size_t kSubkey = 2;

static const RecordKind kKinds[] = {
    {journal_kind::kBegin, 5, beginPasses, nullptr, nullptr, kFirst},
    {journal_kind::kDirNew, 1, dirNewPasses, ON_WINDOWS(dirNewUndo), ON_WINDOWS(dirNewStillThere), kFirst},
    {journal_kind::kStage, 1, stagePasses, ON_WINDOWS(stageUndo), nullptr, kFirst},
    {journal_kind::kMove, 2, movePasses, ON_WINDOWS(moveUndo), nullptr, kFirst},
    {journal_kind::kPut, 1, putPasses, ON_WINDOWS(putUndo), nullptr, kFirst},
    {journal_kind::kPendGone, 1, pendGonePasses, ON_WINDOWS(pendGoneUndo), nullptr, kFirst},
    {journal_kind::kSeedNew, 2, seedNewPasses, ON_WINDOWS(seedNewUndo), nullptr, kFirst},
    {journal_kind::kKeyNew, 3, keyNewPasses, ON_WINDOWS(keyNewUndo), ON_WINDOWS(keyNewStillThere), kSubkey},
    {journal_kind::kRegOld, 6, regOldPasses, ON_WINDOWS(regOldUndo), nullptr, kSubkey},
    {journal_kind::kRegNew, 4, regNewPasses, ON_WINDOWS(regNewUndo), nullptr, kSubkey},
    {journal_kind::kNgenOld, 2, ngenPasses, ON_WINDOWS(ngenOldUndo), nullptr, kFirst},
    {journal_kind::kNgenNew, 2, ngenPasses, ON_WINDOWS(ngenNewUndo), nullptr, kFirst},
    {journal_kind::kCleanEntry, 2, cleanEntryPasses, nullptr, nullptr, kFirst},
    {journal_kind::kCleanDir, 1, cleanDirPasses, nullptr, nullptr, kFirst},
    {journal_kind::kCleanEmpty, 1, cleanEmptyPasses, nullptr, nullptr, kFirst},
    {journal_kind::kCommit, 0, alwaysPasses, nullptr, nullptr, kFirst},
    {journal_kind::kEnd, 0, alwaysPasses, nullptr, nullptr, kFirst},
    {journal_kind::kUndone, 1, undonePasses, nullptr, nullptr, kFirst},
};

#undef ON_WINDOWS

const RecordKind* findRecordKind(std::wstring_view name) {
  for (const RecordKind& kind : kKinds) {
    if (kind.name == name) return &kind;
  }
  return nullptr;
}

#ifdef _WIN32
bool passesNoLinkTest(const std::wstring& path, const JournalScope& s) {
  for (const std::wstring* root : {&s.installFolder, &s.oldInstallFolder, &s.programs, &s.desktop, &s.setupdata,
                                   &s.docs, &s.appdata}) {
    if (!isInside(path, *root)) continue;
    return !isLink(*root) && noLinkBelow(*root, parentPath(path));
  }
  return true;
}
#endif

}  // namespace zs
