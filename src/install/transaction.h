// The install transaction: one object per run, the fixed order of steps, the begin step, the
// commit, and the rollback path that every failure and cancel takes.
//
// run() never throws: a Stop or any standard exception from a step ends in the rollback of the
// run's own journal, and the outcome says how the run ended (0 installed, 1 failed and rolled
// back, 2 cancelled and rolled back, 10 rollback incomplete: the journal stays for the next run).
// requestCancel() may be called from another thread; a cancel is honoured before the commit
// record and refused after it.
#pragma once

#include "install/install_state.h"

namespace zs {

class InstallTransaction {
 public:
  InstallTransaction(InstallRequest request, const KnownFolders& folders);

  RunOutcome run();
  bool requestCancel() { return run_.cancel.requestCancel(); }
  const InstallRun& state() const { return run_; }

 private:
  void steps();
  void begin();
  RunOutcome rollBackAfter(const Stop& stop);

  InstallRun run_;
};

// "fresh", "repair" or "upgrade" for an existing install and the script's FileVersion.
const wchar_t* installMode(const ExistingInstall& existing, std::wstring_view fileVersion);

}  // namespace zs
