// Every journal record kind in one table: the rule each of its fields must pass when a record of
// that kind is written or read back, what it records on the change side, and how rollback undoes
// it. Adding a kind means adding one entry (and one section in record_kinds.cpp), nothing else.
//
// A rule accepts only what the kind's undo can act on: a record that passes can be undone by
// construction, so a journal never holds a record that would fail every rollback for ever.
//
// Portable: the rules are text only and built natively too; the change and undo sides are
// Windows only (their entries are null elsewhere).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "journal/journal_check.h"
#include "journal/journal_format.h"

#ifdef _WIN32
#include <windows.h>

#include "journal/journal.h"
#include "platform/registry.h"
#endif

namespace zs {

// Runs the work while impersonating the signed-in user; false (and the work not done) when that
// cannot be set up.
using UserRunner = std::function<bool(const std::function<void()>& work)>;

struct UndoContext {
  const JournalScope& scope;
  const UserRunner& asUser;
  uint32_t retryPauseMs = 500;  // between attempts on a file in use
};

struct RecordKind {
  std::wstring_view name;
  size_t fieldCount;
  // The kind's rule, given a record with exactly fieldCount fields.
  bool (*passes)(const JournalRecord& record, const JournalScope& scope);
  // Null: rollback passes over records of this kind.
  bool (*undo)(const JournalRecord& record, UndoContext& context);
  // After an earlier failure in the same rollback: whether what the record made is still there,
  // in which case no UNDONE is written for it (the failure may be what keeps it there). Null: never.
  bool (*stillThere)(const JournalRecord& record, const JournalScope& scope);
  // Which field "Undo record %d: %s %s" shows.
  size_t detailField;
};

// Null for a kind this program does not write.
const RecordKind* findRecordKind(std::wstring_view name);

// The no-link test of undo: the path's folders from the first scope root it lies inside down to
// its parent hold no link. A path under none of the roots passes. (Windows only.)
bool passesNoLinkTest(const std::wstring& path, const JournalScope& scope);


// --- The change side (Windows only) --------------------------------------------------------------
// The change side of the journal: one call per record kind, for the install steps. Each appends
// its record and flushes it before the caller makes the change, and raises the write failure when
// it cannot (the change is then never made). Paths are full, normalised paths.
#ifdef _WIN32

// BEGIN: the first record of every journal.
void journalBegin(JournalWriter& journal, const std::wstring& appVersion, const std::wstring& mode,
                  const std::wstring& installFolder, const std::wstring& oldInstallFolder,
                  const std::wstring& runSuffix);
// A folder about to be created (top-most missing folder first).
void journalDirNew(JournalWriter& journal, const std::wstring& folder);
// The staging folder, install folder + "\.zsnew" + run suffix, before staging begins.
void journalStage(JournalWriter& journal, const std::wstring& stagingFolder);
// An existing file about to be moved aside (into a backup folder, or {setupdata}\bak).
void journalMove(JournalWriter& journal, const std::wstring& from, const std::wstring& to);
// A new file about to be put where no file is.
void journalPut(JournalWriter& journal, const std::wstring& path);
// A delete-at-restart of this path about to be taken off the pending list.
void journalPendGone(JournalWriter& journal, const std::wstring& path);
// A first-run file about to be written in the user's folders, with the SHA-256 of its content.
void journalSeedNew(JournalWriter& journal, const std::wstring& path, const std::wstring& sha256Hex);
// A registry key that does not exist, about to be created.
void journalKeyNew(JournalWriter& journal, RegRoot root, RegView view, const std::wstring& subkey);
// An existing value about to be overwritten or deleted, with its old type and bytes.
void journalRegOld(JournalWriter& journal, RegRoot root, RegView view, const std::wstring& subkey,
                   const std::wstring& name, DWORD type, std::string_view data);
// An existing key about to be deleted (one record for it and one for each subkey).
void journalRegOldKey(JournalWriter& journal, RegRoot root, RegView view, const std::wstring& subkey);
// A value that does not exist, about to be written.
void journalRegNew(JournalWriter& journal, RegRoot root, RegView view, const std::wstring& subkey,
                   const std::wstring& name);
// An old native image about to be uninstalled / a new one about to be installed.
void journalNgenOld(JournalWriter& journal, const std::wstring& ngenPath, const std::wstring& assembly);
void journalNgenNew(JournalWriter& journal, const std::wstring& ngenPath, const std::wstring& assembly);

#endif  // _WIN32

}  // namespace zs
