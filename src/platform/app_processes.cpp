#include "platform/app_processes.h"

#include <psapi.h>

#include "base/log.h"
#include "platform/handle.h"
#include "platform/system_library.h"
#include "base/text.h"
#include "base/paths.h"

namespace zs {
namespace {

constexpr DWORD kImageChars = 4096;
constexpr DWORD kMaxProcessIds = 4096;
constexpr DWORD kPollMs = 250;
constexpr int kRestartManagerPolls = 20;  // 5 seconds
constexpr int kCloseMessagePolls = 40;    // 10 seconds

using RmStartSessionFn = DWORD(WINAPI*)(DWORD*, DWORD, WCHAR*);
using RmEndSessionFn = DWORD(WINAPI*)(DWORD);
using RmRegisterResourcesFn = DWORD(WINAPI*)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT,
                                             LPCWSTR*);
using RmGetListFn = DWORD(WINAPI*)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);
using RmShutdownFn = DWORD(WINAPI*)(DWORD, ULONG, RM_WRITE_STATUS_CALLBACK);

struct RestartManager {
  RmStartSessionFn start = nullptr;
  RmEndSessionFn end = nullptr;
  RmRegisterResourcesFn registerResources = nullptr;
  RmGetListFn getList = nullptr;
  RmShutdownFn shutdown = nullptr;

  bool load() {
    HMODULE dll = loadSystemLibrary(L"rstrtmgr.dll");
    start = systemProc<RmStartSessionFn>(dll, "RmStartSession");
    end = systemProc<RmEndSessionFn>(dll, "RmEndSession");
    registerResources = systemProc<RmRegisterResourcesFn>(dll, "RmRegisterResources");
    getList = systemProc<RmGetListFn>(dll, "RmGetList");
    shutdown = systemProc<RmShutdownFn>(dll, "RmShutdown");
    return start && end && registerResources && getList && shutdown;
  }
};

void addOnce(std::vector<AppProcess>& list, AppProcess process) {
  for (const auto& p : list) {
    if (p.pid == process.pid) return;
  }
  list.push_back(std::move(process));
}

constexpr DWORD kKeptRights = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;

bool sameTime(const FILETIME& a, const FILETIME& b) {
  return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

bool describe(HANDLE process, std::wstring& image, FILETIME* created) {
  std::vector<wchar_t> buffer(kImageChars);
  DWORD length = kImageChars;
  if (!QueryFullProcessImageNameW(process, 0, buffer.data(), &length)) return false;
  image.assign(buffer.data(), length);
  if (created != nullptr) {
    FILETIME exited{}, kernel{}, user{};
    if (!GetProcessTimes(process, created, &exited, &kernel, &user)) *created = FILETIME{};
  }
  return true;
}

// The process with this id now, its handle kept; false when it cannot be opened or read.
bool openAppProcess(DWORD pid, AppProcess& p) {
  SharedHandle process = shareHandle(OpenProcess(kKeptRights, FALSE, pid));
  if (!process || !describe(process.get(), p.image, &p.created)) return false;
  p.pid = pid;
  p.process = std::move(process);
  return true;
}

// The process as found, with its handle. One handed over without a handle is opened by its id,
// and only kept when it is still the process that was started at the recorded time.
AppProcess withHandle(const AppProcess& p) {
  if (p.process) return p;
  AppProcess now;
  if (openAppProcess(p.pid, now) && sameTime(now.created, p.created)) return now;
  return {};
}

bool stillRunning(const AppProcess& p) {
  return p.process && WaitForSingleObject(p.process.get(), 0) == WAIT_TIMEOUT;
}

bool anyRunning(const std::vector<AppProcess>& processes) {
  for (const auto& p : processes) {
    if (stillRunning(p)) return true;
  }
  return false;
}

bool waitUntilClosed(const std::vector<AppProcess>& processes, int polls) {
  for (int i = 0; i < polls; ++i) {
    if (!anyRunning(processes)) return true;
    Sleep(kPollMs);
  }
  return !anyRunning(processes);
}

// Asks Restart Manager; false when it did not work. Found processes inside the folders join list.
bool askRestartManager(const RestartManager& rm, const std::vector<std::wstring>& targetFiles,
                       const std::vector<std::wstring>& installFolders,
                       std::vector<AppProcess>& list) {
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  DWORD rc = rm.start(&session, 0, key);
  if (rc != ERROR_SUCCESS) {
    logWinError(L"RmStartSession", rc);
    return false;
  }
  std::vector<LPCWSTR> files;
  files.reserve(targetFiles.size());
  for (const auto& f : targetFiles) files.push_back(f.c_str());
  rc = rm.registerResources(session, static_cast<UINT>(files.size()), files.data(), 0, nullptr, 0,
                            nullptr);
  if (rc != ERROR_SUCCESS) {
    logWinError(L"Restart Manager", rc);
    rm.end(session);
    return false;
  }
  UINT needed = 0;
  UINT count = 0;
  DWORD reasons = 0;
  rc = rm.getList(session, &needed, &count, nullptr, &reasons);
  if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) {
    logWinError(L"Restart Manager", rc);
    rm.end(session);
    return false;
  }
  std::vector<RM_PROCESS_INFO> infos(needed + 4);
  count = static_cast<UINT>(infos.size());
  rc = rm.getList(session, &needed, &count, infos.data(), &reasons);
  bool worked = rc == ERROR_SUCCESS;
  if (!worked) {
    logWinError(L"Restart Manager", rc);
  } else {
    std::vector<RM_UNIQUE_PROCESS> hits;
    for (UINT i = 0; i < count && i < infos.size(); ++i) hits.push_back(infos[i].Process);
    takeRestartManagerHits(hits, installFolders, list);
  }
  rm.end(session);
  return worked;
}

BOOL CALLBACK postCloseToWindowsOf(HWND window, LPARAM pidParameter) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == static_cast<DWORD>(pidParameter)) PostMessageW(window, WM_CLOSE, 0, 0);
  return TRUE;
}

}  // namespace

bool isAppProgramName(const std::wstring& imagePath) {
  size_t slash = imagePath.find_last_of(L'\\');
  std::wstring_view name = slash == std::wstring::npos
                               ? std::wstring_view(imagePath)
                               : std::wstring_view(imagePath).substr(slash + 1);
  return equalsNoCase(name, L"Zelvan.exe") || equalsNoCase(name, L"zelvan-cli.exe");
}

bool processImage(DWORD pid, std::wstring& image, FILETIME* created) {
  UniqueHandle h(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  return h && describe(h.get(), image, created);
}

std::vector<AppProcess> listProcesses() {
  std::vector<AppProcess> list;
  std::vector<DWORD> ids(kMaxProcessIds);
  DWORD bytes = 0;
  if (!K32EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes)) {
    return list;
  }
  for (DWORD i = 0; i < bytes / sizeof(DWORD); ++i) {
    if (ids[i] == 0) continue;
    AppProcess p;
    if (openAppProcess(ids[i], p)) list.push_back(std::move(p));
  }
  return list;
}

bool isImageInside(const std::wstring& image, const std::vector<std::wstring>& folders) {
  std::wstring normal = normalizePath(image);
  for (const auto& folder : folders) {
    if (!folder.empty() && isInside(normal, folder)) return true;
  }
  return false;
}

std::vector<AppProcess> findAppProcesses(const std::vector<std::wstring>& targetFiles,
                                         const std::vector<std::wstring>& installFolders) {
  std::vector<AppProcess> list;
  RestartManager rm;
  bool worked = false;
  if (!rm.load()) {
    logLine(L"rstrtmgr.dll is not available. Checking process images instead.");
  } else {
    worked = askRestartManager(rm, targetFiles, installFolders, list);
    if (worked && !list.empty()) return list;
  }
  scanAppProcesses(installFolders, !worked, list);
  return list;
}

void takeRestartManagerHits(const std::vector<RM_UNIQUE_PROCESS>& hits,
                            const std::vector<std::wstring>& installFolders,
                            std::vector<AppProcess>& list) {
  for (const RM_UNIQUE_PROCESS& hit : hits) {
    AppProcess p;
    if (!openAppProcess(hit.dwProcessId, p) || !sameTime(p.created, hit.ProcessStartTime)) continue;
    if (isImageInside(p.image, installFolders)) {
      addOnce(list, std::move(p));
    } else {
      logf(L"Left alone: %ls holds a target file (pid %lu)", p.image.c_str(),
           static_cast<unsigned long>(hit.dwProcessId));
    }
  }
}

void scanAppProcesses(const std::vector<std::wstring>& installFolders, bool everyProgram,
                      std::vector<AppProcess>& list) {
  for (auto& p : listProcesses()) {
    if (!isImageInside(p.image, installFolders)) continue;
    if (everyProgram || isAppProgramName(p.image)) addOnce(list, std::move(p));
  }
}

bool closeAppProcesses(const std::vector<AppProcess>& given) {
  if (given.empty()) return true;
  std::vector<AppProcess> processes;
  for (const auto& p : given) processes.push_back(withHandle(p));
  if (!anyRunning(processes)) return true;
  RestartManager rm;
  if (rm.load()) {
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    DWORD rc = rm.start(&session, 0, key);
    if (rc != ERROR_SUCCESS) {
      logWinError(L"RmStartSession", rc);
    } else {
      std::vector<RM_UNIQUE_PROCESS> keys;
      for (const auto& p : processes)
        if (stillRunning(p)) keys.push_back(RM_UNIQUE_PROCESS{GetProcessId(p.process.get()), p.created});
      rc = rm.registerResources(session, 0, nullptr, static_cast<UINT>(keys.size()), keys.data(),
                                0, nullptr);
      if (rc != ERROR_SUCCESS) {
        logWinError(L"RmRegisterResources", rc);
      } else {
        rc = rm.shutdown(session, 0, nullptr);
        logf(L"RmShutdown returned %lu", static_cast<unsigned long>(rc));
      }
      rm.end(session);
      if (rc == ERROR_SUCCESS && waitUntilClosed(processes, kRestartManagerPolls)) {
        logLine(L"Closed through Restart Manager.");
        return true;
      }
    }
  }
  // The id comes from the kept handle, which keeps it from passing to another program meanwhile.
  for (const auto& p : processes) {
    if (stillRunning(p)) EnumWindows(postCloseToWindowsOf, static_cast<LPARAM>(GetProcessId(p.process.get())));
  }
  if (!waitUntilClosed(processes, kCloseMessagePolls)) {
    logLine(L"A Zelvan process did not close.");
    return false;
  }
  logLine(L"Closed with WM_CLOSE.");
  return true;
}

}  // namespace zs
