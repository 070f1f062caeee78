// What happens between the choice to install and the transaction's start, the same for the silent
// run, the drawn wizard and plain mode: the folder is checked and a refusal logged, the folder is
// normalised, a running Zelvan that holds the files is found, and the request is made with the log
// file opened. How each front end asks about a running Zelvan is its own; the rest is here once.
#pragma once

#include <string>
#include <vector>

#include "install/install_state.h"
#include "platform/app_processes.h"
#include "script/install_folder.h"
#include "uninstall/existing_install.h"

namespace zs {

struct KnownFolders;
struct Payload;

// What a front end is given to install from; read-only for the whole run.
struct InstallSources {
  const Payload* payload = nullptr;
  const KnownFolders* folders = nullptr;
  ExistingInstall existing;
};

// How a folder refusal is logged: with the sentence the user is shown, or (plain mode) with the
// rule's code alone.
enum class RefusalLogLine { WithReason, CodeOnly };

struct FolderCheck {
  FolderVerdict verdict;  // accepted, or the refusal with its sentence
  std::wstring folder;    // the folder as the install will use it; empty when refused

  bool accepted() const { return verdict.accepted(); }
};

// Checks the folder as typed or given and, when it is refused, logs why once.
FolderCheck checkFolderBeforeInstall(const std::wstring& typed, const InstallSources& sources, RefusalLogLine line);

// The folder as the install will use it: outer white space and a trailing separator gone.
std::wstring installFolderOf(const std::wstring& typed);

// The running Zelvan processes that hold program files in the folder, or in the old install's
// folder when that differs.
std::vector<AppProcess> runningAppProcesses(const InstallSources& sources, const std::wstring& folder);

// The transaction's request for what was chosen. Opens the run's log file: from here on the
// machine may change, and an administrator must find a log of it.
InstallRequest beginInstall(const InstallSources& sources, const std::wstring& folder,
                            std::vector<std::wstring> tasks, bool noRun, EngineSink* sink);

}  // namespace zs
