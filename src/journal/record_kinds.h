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

}  // namespace zs
