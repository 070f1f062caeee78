// The install transaction's input and the state its steps share.
//
// One InstallRun per run, owned by the InstallTransaction (transaction.h). The steps are free
// functions over it, one file per step (staging.h, placing.h, shortcuts.h, ...); each writes its
// journal record before each change and throws Stop when it cannot go on.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/failure.h"
#include "base/text.h"
#include "journal/engine_sink.h"
#include "journal/journal.h"
#include "ngen/ngen.h"
#include "platform/page_memory.h"
#include "base/paths.h"
#include "script/script.h"
#include "uninstall/existing_install.h"
#include "uninstall/uninstall_record.h"

namespace zs {

// A step closed (status done) at this percent ended without doing its work: it was skipped.
inline constexpr int32_t kStepSkippedPercent = 0;
inline int32_t closingPercent(bool didItsWork) { return didItsWork ? 100 : kStepSkippedPercent; }


class EngineSink;
struct KnownFolders;
struct Payload;

struct InstallRequest {
  const Payload* payload = nullptr;
  ExistingInstall existing;
  std::wstring folder;               // absolute, normalised
  std::vector<std::wstring> tasks;   // the chosen task names
  bool noRun = false;
  EngineSink* sink = nullptr;        // may be null
};

// Ordinal order without regard to case: every set of names and paths in the run uses it.
using NoCaseSet = std::set<std::wstring, NoCaseLess>;

struct InstallRun {
  InstallRun(InstallRequest request, const KnownFolders& folders);

  InstallRequest request;
  const SetupScript& script;
  const KnownFolders& folders;
  VariableTable variables;      // {app} = folder, and the machine's folders
  JournalWriter journal;
  std::wstring folder;
  std::wstring oldFolder;       // empty when there is no usable existing install
  std::wstring runSuffix;       // "-" and 16 lower-case hex digits, made by the begin step
  std::wstring stagingFolder;   // folder + "\.zsnew" + runSuffix
  std::wstring mode;            // "fresh", "repair" or "upgrade"
  std::vector<const FileEntry*> programFiles;  // [Files] lines without the seed flag
  // The decompressed block. Staging gives back the pages of the files it has staged; the pages
  // of the seed files stay until the first-run files are written from them.
  PageMemory buffer;
  bool oldRecordUsable = false;
  UninstallRecord oldRecord;    // the old install's record, when oldRecordUsable
  CancelState cancel;
  NativeImageResult nativeImages;

  // Placing: names already right (not placed), and the backup folders made so far.
  NoCaseSet kept;
  NoCaseSet backupFolders;

  // What the later steps made, in order, for the uninstall record.
  std::vector<RegistryLine> linesWritten;
  std::vector<RegistryKeyRef> keysCreated;
  std::vector<std::wstring> shortcutsCreated;
  std::wstring recordSha;       // the written record's SHA-256, 64 lower-case hex digits

  bool hasOldFolder() const { return !oldFolder.empty(); }
  void report(InstallStep step, StepStatus status, int32_t percent) const;
  void cancelPoint() const { cancel.cancelPoint(); }
};

// Whether a [Registry], [Shortcuts] or [Run] entry applies to this run: it is enabled, and its task
// list is empty or names at least one chosen task.
bool entryApplies(const std::vector<std::wstring>& entryTasks, bool enabled, const std::vector<std::wstring>& chosen);

// A [Files] destination below {app}, without the "{app}\" (empty when it is not below {app}).
std::wstring relativeToApp(std::wstring_view dest);

}  // namespace zs
