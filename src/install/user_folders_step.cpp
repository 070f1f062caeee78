#include "install/user_folders_step.h"

#include "base/log.h"
#include "install/placing.h"
#include "install/staging.h"
#include "journal/record_kinds.h"
#include "payload/payload_format.h"
#include "platform/sha256.h"
#include "platform/files.h"
#include "platform/signed_in_user.h"
#include "base/text.h"
#include "base/paths.h"
#include "platform/known_folders.h"

namespace zs {

namespace {

// {docs} when the unexpanded value lies under it, otherwise {appdata} (the script allows no other).
const std::wstring& userRoot(const InstallRun& run, const std::wstring& value) {
  return isUnderVariable(value, L"docs") ? run.folders.docs : run.folders.appdata;
}

// The seed's bytes, refused unless they lie inside the block and carry the entry's SHA-256: a
// wrong first-run file would be worse than none, and it means the setup file itself is damaged.
std::string_view seedContent(const InstallRun& run, const FileEntry& seed) {
  if (run.buffer.empty() || seed.off > run.buffer.size() || seed.size > run.buffer.size() - seed.off) {
    logf(L"The first-run file lies outside the payload block: %ls", seed.dest.c_str());
    throw Stop::failed(StopCategory::Damaged);
  }
  const char* data = reinterpret_cast<const char*>(run.buffer.get()) + seed.off;
  uint8_t digest[kSha256Size];
  if (!sha256(data, seed.size, digest) || !digestEqualsHex(digest, seed.sha)) {
    logf(L"The first-run file does not match its SHA-256: %ls", seed.dest.c_str());
    throw Stop::failed(StopCategory::Damaged);
  }
  return std::string_view(data, static_cast<size_t>(seed.size));
}

void writeOneSeed(InstallRun& run, const std::wstring& root, const std::wstring& path, const FileEntry& seed,
                  std::string_view content) {
  if (findLink(root, path) == LinkPlace::InPath) {
    logf(L"A link is in the path, skipped: %ls", path.c_str());
    return;
  }
  // The user's own copy, changed or not, always wins over the default.
  if (pathExists(path)) return;
  try {
    createFoldersWithJournal(run, parentPath(path), false);
    // The content goes to a side file first and is moved into place whole: a run killed while
    // writing must never leave a partial file at the path, since rollback keeps any file whose
    // content differs (it might be the user's) and the next run leaves any existing file alone.
    // The side file is named for this run, so it is never a file of the user's, and it has its
    // own record, so that the rollback of a run killed before the move takes it away.
    const std::wstring side = path + L".zsseed" + run.runSuffix;
    journalSeedNew(run.journal, path, seed.sha);
    journalSeedNew(run.journal, side, seed.sha);
    DWORD error = 0;
    if (writeNewFile(side, content, &error) && moveFile(side, path, false, &error)) return;
    // Only what holds this run's content is this run's to delete.
    if (fileMatches(side, seed)) deleteFile(side);
    logWinError(L"First-run file not written: " + path, error);
  } catch (const Stop&) {
    logf(L"Couldn't write %ls. Logged only.", path.c_str());
  }
}

}  // namespace

UserActor signedInUserActor(const InstallRun& run) {
  UserActor user;
  user.known = signedInUserTokens().impersonation != nullptr && run.folders.userFoldersKnown;
  user.act = runAsUser;
  return user;
}

void makeUserFolders(InstallRun& run, const UserActor& user) {
  run.cancelPoint();
  if (!user.known) {
    logLine(L"No signed-in user's token: [Dirs] skipped.");
    return;
  }
  for (const DirEntry& d : run.script.dirs) {
    std::wstring folder = expandPaths(d.name, run.variables);
    const std::wstring& root = userRoot(run, d.name);
    user.act([&] {
      if (findLink(root, folder) != LinkPlace::None) {
        logf(L"A link is in the path, skipped: %ls", folder.c_str());
        return;
      }
      try {
        createFoldersWithJournal(run, folder, false);
      } catch (const Stop&) {
        logf(L"Couldn't create %ls. Logged only.", folder.c_str());
      }
    });
  }
}

void writeFirstRunFiles(InstallRun& run, const UserActor& user) {
  struct Release {
    InstallRun& run;
    ~Release() { run.buffer.reset(); }
  } release{run};
  if (!user.known) {
    logLine(L"No signed-in user's token: first-run files skipped.");
    return;
  }
  for (const FileEntry& f : run.script.files) {
    if (!f.seed) continue;
    run.cancelPoint();
    std::wstring path = expandPaths(f.dest, run.variables);
    const std::wstring& root = userRoot(run, f.dest);
    std::string_view content = seedContent(run, f);
    user.act([&] { writeOneSeed(run, root, path, f, content); });
  }
}

void makeFoldersAndFirstRunFiles(InstallRun& run) {
  UserActor user = signedInUserActor(run);
  makeUserFolders(run, user);
  writeFirstRunFiles(run, user);
}

}  // namespace zs
