#include "install/preflight.h"

#include "base/log.h"
#include "base/paths.h"
#include "base/text.h"
#include "payload/payload_reader.h"
#include "platform/files.h"

namespace zs {

FolderCheck checkFolderBeforeInstall(const std::wstring& typed, const InstallSources& sources, RefusalLogLine line) {
  FolderCheck check;
  check.verdict = checkInstallFolder(typed, *sources.folders, sources.payload->uncompressedSize);
  if (check.accepted()) {
    check.folder = installFolderOf(typed);
  } else if (line == RefusalLogLine::CodeOnly) {
    logf(L"Folder refused: F%d", check.verdict.number());
  } else {
    logf(L"Folder refused, F%d: %ls", check.verdict.number(), check.verdict.message.c_str());
  }
  return check;
}

std::wstring installFolderOf(const std::wstring& typed) { return normalizePath(trimWhite(typed)); }

std::vector<AppProcess> runningAppProcesses(const InstallSources& sources, const std::wstring& folder) {
  const ExistingInstall& existing = sources.existing;
  std::vector<std::wstring> candidates;
  if (pathExists(folder)) candidates.push_back(folder);
  if (existing.usable() && !equalsNoCase(existing.folder, folder) && pathExists(existing.folder))
    candidates.push_back(existing.folder);
  if (candidates.empty()) return {};
  std::vector<std::wstring> files;
  for (const std::wstring& candidate : candidates) {
    for (const FileEntry& f : sources.payload->script.files) {
      std::wstring rest;
      if (!f.seed && isUnderVariable(f.dest, L"app", &rest)) files.push_back(candidate + L"\\" + rest);
    }
  }
  return findAppProcesses(files, candidates);
}

InstallRequest beginInstall(const InstallSources& sources, const std::wstring& folder,
                            std::vector<std::wstring> tasks, bool noRun, EngineSink* sink) {
  theLog().open();
  InstallRequest request;
  request.payload = sources.payload;
  request.existing = sources.existing;
  request.folder = folder;
  request.tasks = std::move(tasks);
  request.noRun = noRun;
  request.sink = sink;
  return request;
}

}  // namespace zs
