// An upgrade run over an earlier install in the sandbox, making every kind of change through the
// journal the way the install steps do, and able to "die" at any chosen point.
#pragma once

#include <string>
#include <vector>

#include "journal/journal.h"
#include "journal/sandbox.h"

namespace zs::test {

inline constexpr const wchar_t* kRunSuffix = L"-0123456789abcdef";

// Thrown where the process would have died.
struct CrashNow {};

enum class CrashWhere {
  Never,
  BeforeChange,  // record N is durable, its change not made
  AfterChange,   // record N and its change are done
  TornNext,      // after change N, half of record N+1 reached the file
  HoledNext,     // after change N, record N+1 reached the file with its first half as zeros
};

// What of the next record reached the file in a torn crash (TornNext, HoledNext); empty otherwise.
std::string reachedOfNext(const std::string& next, CrashWhere where);

struct CrashPlan {
  int record = 0;
  CrashWhere where = CrashWhere::Never;
  // The full journal's lines (each with its line feed), for the torn tails.
  const std::vector<std::string>* lines = nullptr;
};

// The earlier install: files, an old shortcut, registry values of four types and a key tree, a
// pending delete, an old native image, an old entry in the 32-bit view, legacy folders.
void prepareBefore(Sandbox& box);

// The run: every change with its record first. Returns the number of the last change record.
// With commit, the commit records follow (through the real commit) and the writer stays open.
int runChanges(Sandbox& box, JournalWriter& journal, const CrashPlan& plan, bool commit);

// The journal file's records as lines.
std::vector<std::string> journalLines(const std::wstring& path);
// Appends raw bytes to a file (to make a journal as a dead process left it).
void appendRaw(const std::wstring& path, const std::string& bytes);

}  // namespace zs::test
