// A small machine of the tests' own: folders standing in for every path variable, registry keys
// the allow-lists permit, a fake Windows folder with a stand-in ngen.exe, and a snapshot of all of
// it (files byte for byte, registry value for value, the pending deletes that name it).
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "journal/rollback.h"
#include "platform/known_folders.h"

namespace zs::test {

// Converts a build path to the Windows path Wine sees it under.
std::wstring windowsPathOf(const char* unixPath);

class Sandbox {
 public:
  Sandbox();
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  const std::wstring& root() const { return root_; }
  std::wstring operator/(const std::wstring& rest) const { return root_ + L"\\" + rest; }

  KnownFolders folders;       // every variable points into the sandbox
  std::wstring app;           // the install folder used by the scenarios
  std::wstring appId;         // a test AppId of this process
  std::wstring regBase;       // HKLM (64) Software\Brightmoor\ZsJournalTest-<pid>
  std::wstring classKey;      // HKCR Zelvan.ZsJournalTest<pid>
  std::wstring entryKey;      // HKLM (64) ...\Uninstall\{appId}
  std::wstring ngen;          // the stand-in ngen.exe inside the fake Windows folder
  std::wstring journalPath() const { return folders.setupdata + L"\\install.zsj"; }

  // Removes every file, folder, key and pending delete of the sandbox and starts empty again
  // (the fake ngen stays).
  void reset();

 private:
  std::wstring root_;
};

struct MachineState {
  std::map<std::wstring, std::string> files;     // relative path -> "D", "L" or "F" + bytes
  std::map<std::wstring, std::string> registry;  // key or key|value -> type and bytes
  std::vector<std::wstring> pending;             // sorted pending deletes inside the sandbox
  bool operator==(const MachineState& o) const {
    return files == o.files && registry == o.registry && pending == o.pending;
  }
};

MachineState snapshot(const Sandbox& box);
// What differs, one line per entry, for failure messages.
std::string describeDifference(const MachineState& a, const MachineState& b);

// Impersonates this process's own account: a stand-in for the signed-in user.
UserRunner selfImpersonation();

// Makes a Unix symbolic link, which Wine shows as a reparse point, at `link` pointing to `target`.
bool plantLink(const std::wstring& link, const std::wstring& target);
// Removes the link itself. (Wine's own delete and rename of a link to a folder act on the folder
// it points to, so tests undo their links from the Unix side.)
bool removeLink(const std::wstring& link);
// chmod 0777 from the Unix side: Wine then shows Everyone with write access.
bool makeWorldWritable(const std::wstring& path);

}  // namespace zs::test
