// Finding and closing a running Zelvan before its files are replaced or removed. Finding asks
// Restart Manager which processes hold the target files and also scans every process image;
// closing asks Restart Manager to shut them down and falls back to WM_CLOSE. Only processes whose
// program lies inside one of the install folders are ever returned or closed, and none is ever
// terminated by force. Restart Manager failures are logged here and lead to the fallback.
#pragma once

#include <windows.h>
#include <restartmanager.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/handle.h"

namespace zs {

struct AppProcess {
  DWORD pid = 0;
  FILETIME created{};   // with the id, Restart Manager's key of the process
  std::wstring image;   // full path of its program
  // Kept open from the moment the process is found: while it is held, the id cannot pass to
  // another program, and waiting and closing act on this process alone.
  SharedHandle process;
};

// The program names that are looked for even when they hold no target file.
bool isAppProgramName(const std::wstring& imagePath);

// The target files are full paths inside the install folders.
std::vector<AppProcess> findAppProcesses(const std::vector<std::wstring>& targetFiles,
                                         const std::vector<std::wstring>& installFolders);
// True when none of them runs any more; waits at most 5 and then 10 seconds. A process given
// without its handle is taken up by its id only while its creation time still matches.
bool closeAppProcesses(const std::vector<AppProcess>& processes);

// What is done with the processes Restart Manager named (id and start time): those whose program
// lies inside the folders join the list (once each); others are logged as left alone; unreadable
// ones, and ids that now belong to a process started at another time, are skipped.
void takeRestartManagerHits(const std::vector<RM_UNIQUE_PROCESS>& hits,
                            const std::vector<std::wstring>& installFolders,
                            std::vector<AppProcess>& list);

// The scan of every process image: programs inside the folders named Zelvan.exe or
// zelvan-cli.exe, or any program inside them when everyProgram (Restart Manager did not work).
void scanAppProcesses(const std::vector<std::wstring>& installFolders, bool everyProgram,
                      std::vector<AppProcess>& list);

// The process's program path and, when asked, its creation time.
bool processImage(DWORD pid, std::wstring& image, FILETIME* created = nullptr);
// Every process whose program path can be read (id 0 skipped), each with its handle kept.
std::vector<AppProcess> listProcesses();
// Whether the normalised program path lies strictly inside one of the non-empty folders.
bool isImageInside(const std::wstring& image, const std::vector<std::wstring>& folders);

}  // namespace zs
