#include "install/transaction.h"

#include <windows.h>
#include <bcrypt.h>
#include <objbase.h>

#include <exception>

#include "base/log.h"
#include "install/apps_entry.h"
#include "install/native_images.h"
#include "install/placing.h"
#include "install/registry_lines.h"
#include "install/shortcuts.h"
#include "install/staging.h"
#include "install/user_folders_step.h"
#include "install/warm_up.h"
#include "journal/cleanup.h"
#include "journal/record_kinds.h"
#include "journal/rollback.h"
#include "journal/setup_data.h"
#include "platform/files.h"
#include "platform/security.h"
#include "platform/shell.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "journal/engine_sink.h"
#include "install/uninstall_record_step.h"
#include "uninstall/uninstall_record.h"

namespace zs {

namespace {

// COM for this thread for the run: shortcuts, the shell and the folder picker need it.
class ComScope {
 public:
  ComScope() : ok_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE))) {}
  ~ComScope() {
    if (ok_) CoUninitialize();
  }

 private:
  bool ok_;
};


}  // namespace

const wchar_t* installMode(const ExistingInstall& existing, std::wstring_view fileVersion) {
  if (!existing.usable()) return L"fresh";
  if (existing.kind == InstallKind::Own && existing.versionKnown && equalsNoCase(existing.version, fileVersion))
    return L"repair";
  return L"upgrade";
}

InstallTransaction::InstallTransaction(InstallRequest request, const KnownFolders& folders)
    : run_(std::move(request), folders) {}

RunOutcome InstallTransaction::run() {
  ComScope com;
  try {
    steps();
  } catch (const Stop& stop) {
    return rollBackAfter(stop);
  } catch (const std::exception& e) {
    logf(L"Unexpected exception: %ls", utf8ToWide(e.what()).c_str());
    return rollBackAfter(Stop::failed(StopCategory::Unexpected));
  }
  RunOutcome outcome;
  outcome.optimized = run_.nativeImages.optimized;
  outcome.startupNote = run_.nativeImages.note;
  return outcome;
}

void InstallTransaction::steps() {
  InstallRun& r = run_;
  for (const std::wstring& task : r.request.tasks) logf(L"Task on: %ls", task.c_str());
  logf(L"Mode %ls. Folder %ls. Old folder %ls.", r.mode.c_str(), r.folder.c_str(),
       r.hasOldFolder() ? r.oldFolder.c_str() : L"(none)");

  r.report(InstallStep::CopyingFiles, StepStatus::Running, 0);
  begin();
  prepareInstallFolder(r);
  stageProgramFiles(r);
  if (r.hasOldFolder()) removeOldNativeImages(r);
  clearTargets(r);
  placeFiles(r);
  if (!deleteTree(r.stagingFolder)) logf(L"Couldn't remove the staging folder %ls", r.stagingFolder.c_str());
  r.report(InstallStep::CopyingFiles, StepStatus::Done, 100);

  r.report(InstallStep::ShortcutsAndFileTypes, StepStatus::Running, 0);
  makeFoldersAndFirstRunFiles(r);
  r.report(InstallStep::ShortcutsAndFileTypes, StepStatus::Running, 30);
  writeRegistryLines(r);
  r.report(InstallStep::ShortcutsAndFileTypes, StepStatus::Running, 60);
  makeShortcuts(r);
  writeUninstallerAndRecord(r);
  writeAppsAndFeaturesEntry(r);
  notifyAssociationsChanged();
  r.report(InstallStep::ShortcutsAndFileTypes, StepStatus::Done, 100);

  // A step that ended without doing its work (no native images made, no warm-up run) is closed
  // at 0 percent, so that a front end shows it as skipped rather than done.
  r.report(InstallStep::NativeImages, StepStatus::Running, 0);
  installNativeImages(r);
  r.cancelPoint();
  r.report(InstallStep::NativeImages, StepStatus::Done, closingPercent(r.nativeImages.optimized));

  r.report(InstallStep::CheckingImages, StepStatus::Running, 0);
  r.cancelPoint();
  checkNativeImages(r);
  r.cancelPoint();
  r.report(InstallStep::CheckingImages, StepStatus::Done, closingPercent(r.nativeImages.optimized));

  r.report(InstallStep::WarmingUp, StepStatus::Running, 0);
  bool warmedUp = warmUp(r);
  r.report(InstallStep::WarmingUp, StepStatus::Done, closingPercent(warmedUp));

  CommitInputs commit;
  commit.journal = &r.journal;
  commit.installFolder = r.folder;
  commit.oldInstallFolder = r.oldFolder;
  commit.appId = r.script.setup.appId;
  commit.legacy = &r.script.legacy;
  commit.folders = &r.folders;
  commit.cancel = &r.cancel;
  commit.sink = r.request.sink;
  commit.windows64 = isWindows64();
  if (r.oldRecordUsable) {
    commit.oldProgramDirs = r.oldRecord.dir;
    commit.keptProgramDirs = keptProgramDirs(r);
  }
  commitRun(commit);
  cleanUpAfterCommit(r.journal, r.folders, r.script.setup.appId);
  logf(L"Installed. Start-up: %ls.", r.nativeImages.optimized ? L"Optimized" : L"Not optimized");
}

void InstallTransaction::begin() {
  InstallRun& r = run_;
  std::wstring setupdata;
  if (!prepareSetupData(setupdata)) throw Stop::failed(StopCategory::WriteFailed, r.folders.setupdata);
  theLog().open();

  uint8_t random[8];
  const NTSTATUS status = BCryptGenRandom(nullptr, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
  if (!BCRYPT_SUCCESS(status)) {
    logf(L"The system's random generator failed (status 0x%08lx), so the run has no name for its folders.",
         static_cast<unsigned long>(status));
    throw Stop::failed(StopCategory::Unexpected);
  }
  r.runSuffix = L"-";
  for (uint8_t b : random) r.runSuffix += format(4, L"%02x", static_cast<unsigned>(b));

  std::wstring journalPath = setupdata + L"\\install.zsj";
  if (!isTrustedFolder(setupdata)) {
    logLine(L"{setupdata} went wrong just before the journal. Nothing was started.");
    throw Stop::failed(StopCategory::WriteFailed, setupdata);
  }
  if (DWORD error = r.journal.create(journalPath, r.folders, r.script.setup.appId))
    raiseWriteFailure(journalPath, error);
  journalBegin(r.journal, r.script.setup.appVersion, r.mode, r.folder, r.oldFolder, r.runSuffix);
  theLog().pruneOldSetupLogs();
}

RunOutcome InstallTransaction::rollBackAfter(const Stop& stop) {
  RunOutcome outcome;
  outcome.result = stop.kind == StopKind::Cancelled ? ExitCode::Cancelled : ExitCode::Failed;
  outcome.category = stop.category;
  outcome.detail = stop.detail;
  if (stop.kind == StopKind::Failed) logf(L"Stopped: %ls", userText(stop.category, stop.detail).c_str());
  run_.buffer.reset();
  if (!rollBackOwnJournal(run_.journal, run_.folders, run_.script.setup.appId, run_.request.sink))
    outcome.result = ExitCode::RollbackIncomplete;
  return outcome;
}

}  // namespace zs
