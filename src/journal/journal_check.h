// What a journal may touch, and the check every journal read back must pass before anything in
// it is acted on. A journal is only ever written by this program into its protected folder, so
// anything that does not look exactly like what the program writes is refused as a whole. The
// writer runs the same per-record check before it writes a record (journal.h), so a journal it
// wrote always passes.
//
// Portable: the per-record check and its vocabulary work on text only and are built natively too
// (the journal fuzzer). Building the scope and the whole-journal check ask the machine.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "journal/journal_format.h"

namespace zs {

struct KnownFolders;

// The folders a journal may touch, each normalised; an empty one contains nothing.
struct JournalScope {
  std::wstring installFolder;     // BEGIN field 3
  std::wstring oldInstallFolder;  // BEGIN field 4, may be empty
  std::wstring programs;
  std::wstring desktop;
  std::wstring docs;
  std::wstring appdata;
  std::wstring setupdata;
  std::wstring win;
  std::wstring pf;
  std::wstring pf32;
  // Without the signed-in user's folders {docs} and {appdata} are not this run's to touch.
  bool userFoldersKnown = false;
  std::wstring runSuffix;  // BEGIN field 5
  // "SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{AppId}": the setup's own entry.
  std::wstring ownEntryKey;
  // The ngen.exe paths under {win} an NGENOLD or NGENNEW may name, one per .NET folder.
  std::vector<std::wstring> ngenPaths;
};

// The scope of a journal under the current run's path variables and AppId.
JournalScope makeJournalScope(const JournalImage& image, const KnownFolders& folders, std::wstring_view appId);
// The part of the scope that the journal's BEGIN gives: the two install folders and the run suffix.
void setBeginScope(JournalScope& scope, const JournalImage& image);

// True when the journal may be acted on: both BEGIN folders pass the install folder rules (as
// plausible install folders under `folders`) and every record passes recordPassesCheck. Logs
// "Journal line %d (%s) failed the path check" for the first record that does not.
bool checkJournalPaths(const JournalImage& image, const JournalScope& scope, const KnownFolders& folders);

// The record is one this program writes at its place in a journal of this scope: a known kind,
// valid text, its kind's field count, BEGIN as record 1 and only there, and every field as its
// kind's rule wants it (record_kinds.h). Nothing logged.
bool recordPassesCheck(const JournalRecord& record, const JournalScope& scope);

// Shared vocabulary of the rules.
// Longest path a journal may name: the longest Windows can make full.
inline constexpr size_t kMaxJournalPathChars = 32767;
// A drive path (a letter, ":", "\" and more) or a UNC path ("\\" and three more characters) whose
// rest passes the relative path rule, at most kMaxJournalPathChars long.
bool isJournalPath(std::wstring_view path);
// "-" and 16 lower-case hexadecimal digits.
bool isRunSuffix(std::wstring_view suffix);
// "{" + a GUID in its textual form (36 characters) + at least "}" , no "\".
bool isEntryName(std::wstring_view name);
std::wstring uninstallEntryKey(std::wstring_view entryName);

}  // namespace zs
