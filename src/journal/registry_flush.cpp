#include "journal/registry_flush.h"

#include <string>
#include <tuple>
#include <vector>

#include "base/text.h"
#include "journal/journal_check.h"
#include "platform/registry.h"

namespace zs {

namespace {

struct FlushTarget {
  RegRoot root = RegRoot::Hklm;
  RegView view = RegView::View64;
  std::wstring key;
};

bool sameTarget(const FlushTarget& a, const FlushTarget& b) {
  return a.root == b.root && a.view == b.view && equalsNoCase(a.key, b.key);
}

// The key a record changes, when it names one.
bool targetOf(const JournalRecord& r, FlushTarget& t) {
  using namespace journal_kind;
  if ((r.kind == kKeyNew || r.kind == kRegOld || r.kind == kRegNew) && r.fields.size() >= 3) {
    t.key = r.fields[2];
    return parseRegRoot(r.fields[0], t.root) && parseRegView(r.fields[1], t.view);
  }
  if (r.kind == kCleanEntry && r.fields.size() == 2) {
    t.root = RegRoot::Hklm;
    t.key = uninstallEntryKey(r.fields[1]);
    return parseRegView(r.fields[0], t.view);
  }
  if (r.kind == kPendGone) {
    PendingRenameLocation where;
    t.root = where.root;
    t.view = where.view;
    t.key = where.key;
    return true;
  }
  return false;
}

}  // namespace

KeyFlush flushRecordKey(const JournalRecord& record, FlushFailure& failure) {
  FlushTarget t;
  if (!targetOf(record, t)) return KeyFlush::NoKey;
  DWORD error = 0;
  if (flushKey(t.root, t.view, t.key, &error)) return KeyFlush::Flushed;
  failure = FlushFailure{t.key, error};
  return KeyFlush::Failed;
}

FlushFailure flushJournalRegistry(const JournalImage& image) {
  std::vector<FlushTarget> targets;
  auto add = [&](const FlushTarget& t) {
    for (const FlushTarget& d : targets) {
      if (sameTarget(d, t)) return;
    }
    targets.push_back(t);
  };
  for (const JournalRecord& record : image.records) {
    FlushTarget t;
    if (targetOf(record, t)) add(t);
  }
  // Cleanup and rollback may put deletes on the restart list without a record of their own.
  PendingRenameLocation restartList;
  add(FlushTarget{restartList.root, restartList.view, restartList.key});
  FlushFailure first;
  for (const FlushTarget& t : targets) {
    DWORD error = 0;
    if (!flushKey(t.root, t.view, t.key, &error) && !first.failed()) first = FlushFailure{t.key, error};
  }
  return first;
}

}  // namespace zs
