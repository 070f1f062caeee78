#include "journal/registry_flush.h"

#include <string>
#include <tuple>
#include <vector>

#include "base/log.h"
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

bool flushRecordKey(const JournalRecord& record) {
  FlushTarget t;
  if (!targetOf(record, t)) return false;
  DWORD error = 0;
  if (!flushKey(t.root, t.view, t.key, &error)) logWinError(L"Couldn't write the registry key to disk: " + t.key, error);
  return true;
}

void flushJournalRegistry(const JournalImage& image) {
  std::vector<FlushTarget> done;
  for (const JournalRecord& record : image.records) {
    FlushTarget t;
    if (!targetOf(record, t)) continue;
    bool seen = false;
    for (const FlushTarget& d : done) seen = seen || sameTarget(d, t);
    if (seen) continue;
    done.push_back(t);
    DWORD error = 0;
    if (!flushKey(t.root, t.view, t.key, &error))
      logWinError(L"Couldn't write the registry key to disk: " + t.key, error);
  }
}

}  // namespace zs
