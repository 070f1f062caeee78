#include "journal/recovery.h"

#include "app/log.h"
#include "journal/cleanup.h"
#include "journal/setup_data.h"
#include "platform/files.h"
#include "script/known_folders.h"
#include "ui/engine_sink.h"

namespace zs {

namespace {

int32_t setAside(const std::wstring& journalPath) {
  theLog().open();
  std::wstring badPath = journalPath + L".bad";
  deleteFile(badPath);
  DWORD error = 0;
  if (!moveFile(journalPath, badPath, false, &error)) logWinError(L"Rename of a bad journal", error);
  logLine(L"The journal was not valid. Renamed to install.zsj.bad and nothing in it was acted on.");
  return kRecoveryGoOn;
}

}  // namespace

int32_t recoverAtStartup(const KnownFolders& folders, std::wstring_view appId, EngineSink* sink,
                         const RollbackOptions& options) {
  if (!checkSetupData(folders.setupdata)) {
    logLine(L"Nothing in {setupdata} is read while it is wrongly owned.");
    return kRecoveryGoOn;
  }
  std::wstring journalPath = folders.setupdata + L"\\install.zsj";
  if (!pathExists(journalPath)) return kRecoveryGoOn;

  JournalImage image;
  JournalState state = readJournal(journalPath, image);
  if (state == JournalState::Absent) return kRecoveryGoOn;
  if (state == JournalState::Invalid) return setAside(journalPath);
  JournalScope scope = makeJournalScope(image, folders, appId);
  if (!checkJournalPaths(image, scope, folders)) return setAside(journalPath);

  if (image.records.empty() || image.ended) {
    deleteFile(journalPath);
    return kRecoveryGoOn;
  }

  theLog().open();
  JournalWriter writer;
  DWORD error = writer.reopen(journalPath, image.validLength, static_cast<int32_t>(image.records.size()));
  if (error != 0) {
    logWinError(L"Open the journal", error);
    return kRecoveryIncomplete;
  }

  if (image.committed) {
    logLine(L"An earlier run committed but did not finish its cleanup. Finishing it.");
    finishCommittedJournal(image, writer, scope);
    writer.close();
    return kRecoveryGoOn;
  }

  logLine(L"An earlier run did not finish. Rolling back first.");
  if (sink != nullptr) sink->onRollingBack();
  bool ok = rollBack(image, writer, scope, options);
  writer.close();
  if (ok) {
    finishCompleteRollback(journalPath, scope.setupdata);
    logLine(L"Rollback of the earlier run finished.");
    return kRecoveryGoOn;
  }
  logLine(L"Rollback is not complete. The journal stays, and the next run tries again.");
  return kRecoveryIncomplete;
}

}  // namespace zs
