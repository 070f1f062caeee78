#include "install/install_state.h"

#include "install/transaction.h"
#include "payload/payload_reader.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "journal/engine_sink.h"

namespace zs {

std::wstring relativeToApp(std::wstring_view dest) {
  std::wstring rest;
  if (!isUnderVariable(dest, L"app", &rest)) return {};
  return rest;
}

bool entryApplies(const std::vector<std::wstring>& entryTasks, bool enabled, const std::vector<std::wstring>& chosen) {
  if (!enabled) return false;
  if (entryTasks.empty()) return true;
  for (const std::wstring& t : entryTasks)
    for (const std::wstring& c : chosen)
      if (equalsNoCase(t, c)) return true;
  return false;
}

InstallRun::InstallRun(InstallRequest req, const KnownFolders& knownFolders)
    : request(std::move(req)), script(request.payload->script), folders(knownFolders) {
  folder = request.folder;
  variables = makeVariableTable(folders, folder);
  if (request.existing.usable()) oldFolder = request.existing.folder;
  mode = installMode(request.existing, script.setup.fileVersion);
  for (const FileEntry& f : script.files)
    if (!f.seed) programFiles.push_back(&f);
}

void InstallRun::report(InstallStep step, StepStatus status, int32_t percent) const {
  if (request.sink != nullptr) request.sink->onStep(step, status, percent);
}

}  // namespace zs
