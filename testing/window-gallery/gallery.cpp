// Shows the drawn setup window in states read from a list, one after the other, so that a test can
// photograph every page and question in every theme without driving an install to each of them.
// Test-only: it is never part of a setup.
//
//   ZelvanGallery.exe <list> <sync folder>
//     For each line "name role page question theme [flag...]" of the list: puts the window into
//     that state, lets it paint, writes <sync>\<name>.ready and waits for <sync>\<name>.done.
//     Flags: focus=N (with the focus ring), hover=N, pressed=N, scroll=N, accepted=0, folderError,
//     notOptimized, noRun, committed, closingApp, skipped (steps 2 and 3 skipped, the warm-up
//     running), longFolder, longDetails (the sample product's long task details).
//   ZelvanGallery.exe /startms <out file>
//     Writes the milliseconds from this process's creation to its entry point: Wine's own start,
//     for the first-frame benchmark.
//   ZelvanGallery.exe /hitboxes <role> <page> <question> <out file> [flag...]
//     Writes "element left top right bottom" per hit box (layout units) for tests that click.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/log.h"
#include "ui/page_layout.h"
#include "ui/setup_window.h"
#include "ui/ui_state.h"

using namespace zs::ui;

namespace {

const wchar_t kLicense[] =
    L"ZELVAN END-USER LICENSE AGREEMENT\n\n"
    L"Please read this agreement carefully before installing Zelvan. By installing, copying or "
    L"otherwise using the software you agree to be bound by its terms.\n\n"
    L"1. Grant of licence. Brightmoor grants you a non-exclusive licence to install and use one copy "
    L"of the software on each computer you own or control, for your own projects.\n\n"
    L"2. Restrictions. You may not rent, lease or lend the software, or remove any notice of ownership "
    L"from it.\n\n"
    L"3. Updates. The software may offer updates; installing one replaces the earlier version.\n\n"
    L"4. No warranty. The software is provided as it is, without warranty of any kind.\n\n"
    L"5. Limitation of liability. In no event shall Brightmoor be liable for any damages arising out of "
    L"the use of the software, even if advised of the possibility of such damages.\n\n"
    L"6. Termination. This licence ends automatically if you fail to comply with its terms.\n\n"
    L"7. Governing law. This agreement is governed by the laws of the place where you acquired it.\n";

// The list and the command line name the state by the codes' numbers.
UiState sampleState(int roleCode, int pageCode, int questionCode, int themeCode) {
  Role role = static_cast<Role>(roleCode);
  Page page = static_cast<Page>(pageCode);
  Question question = static_cast<Question>(questionCode);
  UiState s;
  s.role = role;
  s.theme = static_cast<zs::Theme>(themeCode);
  s.versionText = role == Role::Uninstall ? L"2.5" : L"2.5.0";
  s.licenseLines = licenseLinesOf(kLicense);
  s.folder = L"C:\\Program Files\\Zelvan";
  s.tasks = {{L"desktopicon", L"Create a desktop shortcut", L"Adds Zelvan to your desktop.", true, true},
             {L"fileassoc", L"Open .zlvd files with Zelvan", L"Double-click a project to open it.", true, true},
             {L"startup", L"Start Zelvan when I sign in", L"Opens in the tray, ready when you are.", false, true}};
  s.logPath = L"C:\\ProgramData\\Zelvan\\Setup\\Install 2026-12-07 16.40.11.log";
  s.failureText = L"There isn't enough free space on the drive for Zelvan. Free up some space and try again.";
  s.errorDetail = L"/frobnicate";
  s.inUseFile = L"Zelvan.Core.dll";
  int steps = role == Role::Uninstall ? 3 : 5;
  for (int i = 0; i < 5; ++i) s.steps[i].percent = -1;
  if (page == Page::Installing || page == Page::Removing) {
    s.steps[0] = {SlotStatus::Done, 100, {}};
    s.steps[1] = {SlotStatus::Running, role == Role::Uninstall ? -1 : 42, {}};
    for (int i = 2; i < steps; ++i) s.steps[i] = {SlotStatus::NotStarted, 0, {}};
  }
  moveToPage(s, page);
  if (question != Question::None) showQuestion(s, question);
  return s;
}

void applyFlag(UiState& s, const std::string& flag) {
  auto value = [&](const char* key) { return std::atoi(flag.c_str() + std::strlen(key)); };
  auto element = [&](const char* key) { return static_cast<Element>(value(key)); };
  if (flag.rfind("focus=", 0) == 0) {
    s.focus = element("focus=");
    s.focusVisible = true;
  } else if (flag.rfind("hover=", 0) == 0) {
    s.hover = element("hover=");
  } else if (flag.rfind("pressed=", 0) == 0) {
    s.pressed = element("pressed=");
  } else if (flag.rfind("scroll=", 0) == 0) {
    s.licenseScroll = value("scroll=");
  } else if (flag == "accepted=0") {
    s.licenseAccepted = false;
  } else if (flag == "folderError") {
    s.folderError = 3;
    s.folderErrorText = L"Setup can't install into that folder because it's inside the Windows folder. Choose "
                        L"another folder.";
  } else if (flag == "notOptimized") {
    s.notOptimized = true;
  } else if (flag == "noRun") {
    s.noRun = true;
  } else if (flag == "committed") {
    s.cancelAllowed = false;
  } else if (flag == "closingApp") {
    s.closingApp = true;
  } else if (flag == "skipped") {
    for (int i = 0; i < 4; ++i) s.steps[i] = {SlotStatus::Done, i == 2 || i == 3 ? 0 : 100, {}};
    s.steps[4] = {SlotStatus::Running, 30, {}};
  } else if (flag == "longFolder") {
    s.folder = L"D:\\Work\\Shared tools for the design team\\Applications installed for everyone on this "
               L"PC\\Visual editors and viewers\\Brightmoor\\Zelvan";
  } else if (flag == "longDetails") {
    s.tasks[1].label = L"Open .zlvd and .flow files with Zelvan";
    s.tasks[1].detail = L"Zelvan becomes the program for documents (.zlvd) and flows (.flow)";
    s.tasks[2].label = L"Start faster after sign-in";
    s.tasks[2].detail =
        L"Zelvan loads its libraries in the background when you sign in, so that it opens quickly later";
  }
}

bool fileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

int hitboxes(int argc, wchar_t** argv) {
  if (argc < 6) return 2;
  UiState s = sampleState(_wtoi(argv[2]), _wtoi(argv[3]), _wtoi(argv[4]), 0);
  for (int i = 6; i < argc; ++i) {
    std::wstring flag = argv[i];
    applyFlag(s, std::string(flag.begin(), flag.end()));
  }
  FILE* out = _wfopen(argv[5], L"w");
  if (out == nullptr) return 1;
  for (const HitBox& box : hitBoxes(s))
    std::fprintf(out, "%d %.2f %.2f %.2f %.2f\n", static_cast<int>(box.element), box.rect.left, box.rect.top,
                 box.rect.right, box.rect.bottom);
  std::fclose(out);
  return 0;
}

}  // namespace

int startMs(const wchar_t* out) {
  FILETIME created{}, exited{}, kernel{}, user{}, now{};
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  GetSystemTimeAsFileTime(&now);
  auto ticks = [](const FILETIME& f) { return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime; };
  FILE* f = _wfopen(out, L"w");
  if (f == nullptr) return 1;
  std::fprintf(f, "start %llu ms\n", (ticks(now) - ticks(created)) / 10000);
  std::fclose(f);
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wcscmp(argv[1], L"/startms") == 0) return startMs(argv[2]);
  if (argc >= 2 && std::wcscmp(argv[1], L"/hitboxes") == 0) return hitboxes(argc, argv);
  if (argc < 3) return 2;
  // A still spinner, so that every picture of a busy page is the same.
  SystemParametersInfoW(SPI_SETCLIENTAREAANIMATION, 0, reinterpret_cast<void*>(FALSE), 0);
  std::ifstream list(argv[1]);
  std::wstring sync = argv[2];
  std::vector<std::string> lines;
  for (std::string line; std::getline(list, line);)
    if (!line.empty() && line[0] != '#') lines.push_back(line);
  if (lines.empty()) return 2;

  SetupWindow* window = nullptr;
  for (const std::string& line : lines) {
    std::istringstream fields(line);
    std::string name;
    int role = 0, page = 0, question = 0, theme = 0;
    fields >> name >> role >> page >> question >> theme;
    UiState s = sampleState(role, page, question, theme);
    for (std::string flag; fields >> flag;) applyFlag(s, flag);
    uint32_t before = 0;
    if (window == nullptr) {
      window = new SetupWindow(s);
      if (!window->startThread()) return 1;
    } else {
      before = window->framesDrawn();
      window->postChange([s](UiState& state) {
        double scale = state.scale;
        bool editShown = state.editShown;
        state = s;
        state.scale = scale;
        state.editShown = editShown;
      });
    }
    // The picture is taken once the new state has been drawn and has had time to reach the screen.
    for (int waited = 0; window->framesDrawn() <= before && window->running(); waited += 10) {
      if (waited > 60000) return 3;
      Sleep(10);
    }
    GdiFlush();
    Sleep(200);
    std::wstring wname(name.begin(), name.end());
    HANDLE ready = CreateFileW((sync + L"\\" + wname + L".ready").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    for (int waited = 0; !fileExists(sync + L"\\" + wname + L".done") && window->running(); waited += 20) {
      if (waited > 120000) return 3;
      Sleep(20);
    }
  }
  window->closeAndWait();
  delete window;
  return 0;
}
