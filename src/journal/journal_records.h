// The change side of the journal: one call per record kind, for the install steps. Each appends
// its record and flushes it before the caller makes the change, and raises the write failure when
// it cannot (the change is then never made). Paths are full, normalised paths.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "journal/journal.h"
#include "platform/registry.h"

namespace zs {

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

}  // namespace zs
