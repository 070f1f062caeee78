// What the setup asks of the Windows shell: shortcuts with an AppUserModelID, the note that file
// associations changed, starting a program through the desktop shell (as the signed-in user,
// not elevated), the folder picker, and the setup's own path. Nothing here throws or logs.
#pragma once

#include <windows.h>

#include <string>

namespace zs {

struct ShortcutSpec {
  std::wstring linkPath;
  std::wstring target;
  std::wstring arguments;         // each of these only set when not empty
  std::wstring workingDirectory;
  std::wstring icon;              // icon index 0
  std::wstring description;
  std::wstring appUserModelId;
};

// The caller's thread has COM initialised. On failure *hr gets the first failing HRESULT.
bool createShortcut(const ShortcutSpec& shortcut, HRESULT* hr = nullptr);

// Tells Explorer that file associations (and their icons) changed.
void notifyAssociationsChanged();

// Asks the desktop shell to start the program with the verb "open" in a normal window. The
// program runs as the shell's user; no handle or exit code comes back. The caller's thread has
// COM initialised.
bool shellExecuteAsUser(const std::wstring& program, const std::wstring& arguments,
                        const std::wstring& folder);

// The folder dialog, opened at the nearest existing folder of startPath.
bool pickFolder(HWND owner, const std::wstring& startPath, std::wstring& chosen);
// The nearest existing folder of a path (trailing components cut off); empty when none is left.
std::wstring pickerStartFolder(const std::wstring& startPath);

std::wstring ownExecutablePath();

}  // namespace zs
