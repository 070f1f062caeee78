#include "ui/plain_window.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <functional>

#include "base/failure.h"
#include "base/log.h"
#include "payload/payload_reader.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/signed_in_user.h"
#include "platform/shell.h"
#include "platform/system_library.h"
#include "base/text.h"
#include "script/install_folder.h"
#include "platform/known_folders.h"
#include "base/paths.h"
#include "ui/plain_messages.h"
#include "ui/plain_uninstall.h"

namespace zs::ui {

namespace {

constexpr int kIdLicense = 100;
constexpr int kIdAccept = 101;
constexpr int kIdFolder = 102;
constexpr int kIdBrowse = 103;
constexpr int kIdCancel = 104;
constexpr int kIdInstall = 105;
constexpr int kIdProgress = 106;
constexpr int kIdStatus = 107;
constexpr int kIdFolderLabel = 108;
constexpr int kIdLicenseLabel = 109;
constexpr int kIdFirstTask = 120;

constexpr int kFolderChars = 1024;

class PlainWindow {
 public:
  PlainWindow(const InstallSources& run, const UiState& state, WorkerLink& link) : run_(run), link_(link), state_(state) {}
  int32_t run();
  LRESULT handle(HWND window, UINT message, WPARAM w, LPARAM l);

 private:
  HWND child(const wchar_t* cls, const wchar_t* text, DWORD style, int id, int x, int y, int width, int height);
  void createControls();
  void showProgressView();
  void takeOver();
  void install();
  bool appMayBeReplaced(const std::wstring& folder);
  void startInstall(const std::wstring& folder);
  void browse();
  void close();
  void fileInUse();
  void workerDone();
  void closingMessage();
  void openApp();
  int box(const PlainBox& b) { return modal(b.caption, b.text.c_str(), b.flags); }
  int modal(const wchar_t* caption, const wchar_t* text, unsigned flags);
  std::wstring folderBoxText() const;
  void enableCancel() { EnableWindow(cancel_, state_.page == Page::Installing && stopOffered(state_)); }

  const InstallSources& run_;
  WorkerLink& link_;
  UiState state_;
  HWND window_ = nullptr;
  HFONT font_ = nullptr;
  double scale_ = 1.0;
  std::vector<HWND> pageControls_;
  std::vector<HWND> taskBoxes_;
  HWND progress_ = nullptr;
  HWND status_ = nullptr;
  HWND cancel_ = nullptr;
  HWND install_ = nullptr;
  std::wstring folder_;
  int32_t refusedCode_ = 0;
  std::wstring refusedText_;
  bool finished_ = false;
  // While a message box is open, the worker's end and its question wait for it to close.
  int modal_ = 0;
  bool doneWaiting_ = false;
  bool questionWaiting_ = false;
};

std::atomic<PlainWindow*> thePlainWindow{nullptr};

LRESULT CALLBACK plainWindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  PlainWindow* self = thePlainWindow.load(std::memory_order_acquire);
  return self != nullptr ? self->handle(window, message, w, l) : DefWindowProcW(window, message, w, l);
}

int PlainWindow::modal(const wchar_t* caption, const wchar_t* text, unsigned flags) {
  ++modal_;
  int answer = MessageBoxW(window_, text, caption, flags);
  if (--modal_ == 0) {
    if (questionWaiting_) PostMessageW(window_, kMsgFileInUse, 0, 0);
    if (doneWaiting_) PostMessageW(window_, kMsgWorkerDone, 0, 0);
    questionWaiting_ = doneWaiting_ = false;
  }
  return answer;
}

HWND PlainWindow::child(const wchar_t* cls, const wchar_t* text, DWORD style, int id, int x, int y, int width,
                        int height) {
  HWND h = CreateWindowExW(0, cls, text, WS_CHILD | style, scaledUnits(x, scale_), scaledUnits(y, scale_),
                           scaledUnits(width, scale_), scaledUnits(height, scale_), window_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  if (h != nullptr) SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  return h;
}

void PlainWindow::createControls() {
  const Payload& payload = *run_.payload;
  std::wstring license = licenseBoxText(payload.licence, static_cast<size_t>(payload.licenceLength));
  // Screen readers name a box after the label before it; the licence box's label is not shown,
  // as the drawn window's licence box has none either, but gives it the drawn window's name.
  child(L"STATIC", L"License agreement", 0, kIdLicenseLabel, 12, 12, 600, 18);
  pageControls_.push_back(child(L"EDIT", license.c_str(),
                                WS_VISIBLE | WS_BORDER | WS_VSCROLL | WS_TABSTOP | ES_READONLY | ES_MULTILINE |
                                    ES_AUTOVSCROLL,
                                kIdLicense, 12, 12, 600, 230));
  HWND accept = child(L"BUTTON", L"I accept the license agreement", WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX,
                      kIdAccept, 12, 250, 600, 22);
  SendMessageW(accept, BM_SETCHECK, state_.licenseAccepted ? BST_CHECKED : BST_UNCHECKED, 0);
  pageControls_.push_back(accept);
  pageControls_.push_back(child(L"STATIC", L"Install folder", WS_VISIBLE, kIdFolderLabel, 12, 278, 600, 18));
  pageControls_.push_back(child(L"EDIT", state_.folder.c_str(), WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL,
                                kIdFolder, 12, 298, 500, 24));
  pageControls_.push_back(child(L"BUTTON", L"Browse\u2026", WS_VISIBLE | WS_TABSTOP, kIdBrowse, 520, 298, 92, 24));
  std::vector<int> tops = taskBoxTops(state_.tasks);
  for (size_t n = 0; n < state_.tasks.size(); ++n) {
    HWND box = nullptr;
    if (state_.tasks[n].visible) {
      box = child(L"BUTTON", state_.tasks[n].label.c_str(), WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX,
                  kIdFirstTask + static_cast<int>(n), 12, tops[n], 600, 22);
      SendMessageW(box, BM_SETCHECK, state_.tasks[n].on ? BST_CHECKED : BST_UNCHECKED, 0);
      pageControls_.push_back(box);
    }
    taskBoxes_.push_back(box);
  }
  progress_ = child(PROGRESS_CLASSW, L"", 0, kIdProgress, 12, 200, 600, 22);
  SendMessageW(progress_, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
  status_ = child(L"STATIC", L"", 0, kIdStatus, 12, 230, 600, 40);
  cancel_ = child(L"BUTTON", L"Cancel", WS_VISIBLE | WS_TABSTOP, kIdCancel, 428, 484, 88, 28);
  install_ = child(L"BUTTON", L"Install", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, kIdInstall, 524, 484, 88, 28);
}

void PlainWindow::showProgressView() {
  for (HWND h : pageControls_) ShowWindow(h, SW_HIDE);
  ShowWindow(progress_, SW_SHOW);
  ShowWindow(status_, SW_SHOW);
  ShowWindow(install_, SW_HIDE);
  SetWindowTextW(status_, installStepName(InstallStep::CopyingFiles));
  SetFocus(cancel_);
}

// Taking over an install that the drawn window started: what it may have taken without acting
// on is asked again.
void PlainWindow::takeOver() {
  showProgressView();
  if (state_.page == Page::RollingBack) SetWindowTextW(status_, L"Undoing what setup changed. Please wait.");
  if (state_.page == Page::Installing || state_.page == Page::RollingBack) {
    enableCancel();
    if (link_.done()) PostMessageW(window_, kMsgWorkerDone, 0, 0);
    if (link_.waiting()) PostMessageW(window_, kMsgFileInUse, 0, 0);
    return;
  }
  finished_ = true;
  closingMessage();
}

std::wstring PlainWindow::folderBoxText() const {
  std::wstring text(kFolderChars + 1, L'\0');
  int n = GetDlgItemTextW(window_, kIdFolder, text.data(), kFolderChars + 1);
  text.resize(static_cast<size_t>(n));
  return text;
}

void PlainWindow::install() {
  if (state_.page == Page::Welcome) moveToPage(state_, Page::Options);
  state_.licenseAccepted = IsDlgButtonChecked(window_, kIdAccept) == BST_CHECKED;
  if (!state_.licenseAccepted) {
    box(plainInstallBox(PlainInstallAsk::AcceptLicense));
    return;
  }
  if (applyInput(state_, Input::Primary) != Action::StartInstall) return;

  folder_ = folderBoxText();
  state_.folder = folder_;
  FolderCheck check = checkFolderBeforeInstall(folder_, run_, RefusalLogLine::CodeOnly);
  takeFolderVerdict(state_, check.verdict.number(), check.verdict.message);
  refusedCode_ = check.verdict.number();
  refusedText_ = check.verdict.message;
  if (!check.accepted()) {
    showFolderRefusal(check.verdict.message, window_);
    HWND folderBox = GetDlgItem(window_, kIdFolder);
    SetFocus(folderBox);
    SendMessageW(folderBox, EM_SETSEL, 0, -1);
    return;
  }
  for (size_t n = 0; n < taskBoxes_.size(); ++n)
    if (taskBoxes_[n] != nullptr) state_.tasks[n].on = SendMessageW(taskBoxes_[n], BM_GETCHECK, 0, 0) == BST_CHECKED;

  if (!appMayBeReplaced(check.folder)) return;
  startInstall(check.folder);
}

// Zelvan holding its files is closed only when the user says so.
bool PlainWindow::appMayBeReplaced(const std::wstring& folder) {
  std::vector<AppProcess> running = runningAppProcesses(run_, folder);
  if (running.empty()) return true;
  showQuestion(state_, Question::AppOpen);
  PlainUninstallBox ask = plainUninstallBox(PlainUninstallAsk::CloseApp);
  if (applyInput(state_, modal(ask.caption, ask.text, ask.flags) == IDOK ? Input::Yes : Input::No) != Action::CloseApp)
    return false;
  for (;;) {
    if (closeAppProcesses(running)) return true;
    showQuestion(state_, Question::AppDidNotClose);
    PlainUninstallBox retry = plainUninstallBox(PlainUninstallAsk::RetryClose);
    if (applyInput(state_, modal(retry.caption, retry.text, retry.flags) == IDRETRY ? Input::Yes : Input::No) !=
        Action::CloseApp)
      return false;
    running = runningAppProcesses(run_, folder);
    if (running.empty()) return true;
  }
}

void PlainWindow::startInstall(const std::wstring& folder) {
  state_.folder = folder;
  InstallRequest request = beginInstall(run_, folder, tasksOn(state_), state_.noRun, nullptr);
  moveToPage(state_, Page::Installing);
  showProgressView();
  enableCancel();
  link_.start(std::move(request), *run_.folders);
}

void PlainWindow::browse() {
  if (activate(state_, Element::Browse) != Action::PickFolder) return;
  std::wstring chosen;
  if (!pickFolder(window_, folderBoxText(), chosen)) return;
  state_.folder = chosen;
  takeFolderVerdict(state_, 0, {});
  SetDlgItemTextW(window_, kIdFolder, chosen.c_str());
}

void PlainWindow::close() {
  Page page = state_.page;
  Action action = closeRequested(state_);
  if (action == Action::CancelInUse) link_.answer(false);
  if (page == Page::Installing) {
    if (state_.question != Question::Stop) return;
    bool ok = box(plainInstallBox(PlainInstallAsk::StopInstalling)) == IDOK;
    if (applyInput(state_, ok ? Input::Yes : Input::No) == Action::StopEngine && !link_.requestCancel())
      takeStopRefused(state_);
    enableCancel();
    return;
  }
  if (action == Action::CloseWindow) DestroyWindow(window_);
}

void PlainWindow::fileInUse() {
  if (!link_.waiting() || state_.question == Question::FileInUse) return;
  if (modal_ > 0) {
    questionWaiting_ = true;
    return;
  }
  takeFileInUse(state_, link_.questionText());
  bool retry = box(plainInstallBox(PlainInstallAsk::FileInUse, state_.inUseFile)) == IDRETRY;
  link_.answer(applyInput(state_, retry ? Input::Yes : Input::No) == Action::RetryInUse);
}

void PlainWindow::workerDone() {
  if (finished_) return;
  if (modal_ > 0) {
    doneWaiting_ = true;
    return;
  }
  finished_ = true;
  link_.waitForWorker();
  takeWorkerDone(state_, link_.result(), theLog().openPath());
  closingMessage();
}

void PlainWindow::closingMessage() {
  const WorkerResult& r = link_.result();
  if (state_.page < Page::Ready || state_.page > Page::Incomplete) {
    DestroyWindow(window_);
    return;
  }
  bool askOpen = state_.page == Page::Ready && openAppOffered(state_);
  ClosingMessage m = zs::closingMessage(state_.result, r.category, r.detail, !state_.notOptimized, state_.folder,
                                        state_.logPath, askOpen);
  int answer = showClosingMessage(m, window_);
  if (askOpen && applyInput(state_, answer == IDYES ? Input::Primary : Input::Close) == Action::OpenApp) openApp();
  DestroyWindow(window_);
}

// The program of the finish entry starts as the signed-in user through the desktop shell, so it
// never runs elevated.
void PlainWindow::openApp() {
  if (openFinishEntry(run_.payload->script, *run_.folders, state_.folder)) return;
  showQuestion(state_, Question::CouldNotOpen);
  box(plainInstallBox(PlainInstallAsk::CouldNotOpen, state_.logPath));
  applyInput(state_, Input::Yes);
}

LRESULT PlainWindow::handle(HWND window, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_COMMAND: {
      int id = LOWORD(w);
      if (id == kIdInstall || (id == IDOK && state_.page <= Page::Options))
        install();
      else if (id == kIdBrowse) browse();
      else if (id == kIdCancel || id == IDCANCEL) close();
      else if (id == kIdAccept) state_.licenseAccepted = IsDlgButtonChecked(window_, kIdAccept) == BST_CHECKED;
      return 0;
    }
    case DM_GETDEFID:
      if (state_.page <= Page::Options) return MAKELRESULT(kIdInstall, DC_HASDEFID);
      return 0;
    case WM_CLOSE: close(); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case kMsgStep: {
      int32_t step = stepOf(w);
      SlotStatus status = statusOf(w);
      int32_t percent = static_cast<int32_t>(l);
      takeStep(state_, step, status, percent);
      if (status == SlotStatus::Running) {
        SetWindowTextW(status_, installStepName(step));
        SendMessageW(progress_, PBM_SETPOS, static_cast<WPARAM>(progressPosition(step, percent)), 0);
      }
      return 0;
    }
    case kMsgCommitted:
      takeCommitted(state_);
      enableCancel();
      return 0;
    case kMsgRollingBack:
      takeRollingBack(state_);
      SetWindowTextW(status_, L"Undoing what setup changed. Please wait.");
      enableCancel();
      return 0;
    case kMsgFileInUse: fileInUse(); return 0;
    case kMsgWorkerDone: workerDone(); return 0;
    case kMsgStateChange:
      if (w != 0) (*reinterpret_cast<const std::function<void(UiState&)>*>(w))(state_);
      return 0;
    case kMsgClose: DestroyWindow(window); return 0;
    default: return DefWindowProcW(window, message, w, l);
  }
}

int32_t PlainWindow::run() {
  thePlainWindow.store(this, std::memory_order_release);
  takeOverInPlainMode(state_);
  bool interactive = state_.page == Page::Welcome || state_.page == Page::Options;
  if (interactive) state_.result = exitNumber(ExitCode::Cancelled);

  if (HMODULE comctl = loadSystemLibrary(L"comctl32.dll")) {
    using InitFn = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    if (auto init = systemProc<InitFn>(comctl, "InitCommonControlsEx")) {
      INITCOMMONCONTROLSEX icc{sizeof(icc), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
      init(&icc);
    }
  }
  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = plainWindowProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  wc.lpszClassName = kSetupWindowClass;
  RegisterClassExW(&wc);

  HDC screen = GetDC(nullptr);
  scale_ = screen != nullptr ? GetDeviceCaps(screen, LOGPIXELSY) / 96.0 : 1.0;
  if (screen != nullptr) ReleaseDC(nullptr, screen);
  state_.scale = scale_;
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
    font_ = CreateFontIndirectW(&metrics.lfMessageFont);

  int width = scaledUnits(640, scale_);
  int height = scaledUnits(560, scale_);
  window_ = CreateWindowExW(0, kSetupWindowClass, L"Install Zelvan", WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN,
                            (GetSystemMetrics(SM_CXSCREEN) - width) / 2, (GetSystemMetrics(SM_CYSCREEN) - height) / 2,
                            width, height, nullptr, nullptr, instance, nullptr);
  int32_t result = exitNumber(ExitCode::Failed);
  if (window_ == nullptr) {
    logWinError(L"The window could not be created", GetLastError());
  } else {
    createControls();
    link_.setTarget(window_);
    ShowWindow(window_, SW_SHOWNORMAL);
    UpdateWindow(window_);
    logLine(L"Plain mode is up.");
    if (!interactive) {
      takeOver();
    } else {
      SetFocus(GetDlgItem(window_, state_.licenseAccepted ? kIdInstall : kIdAccept));
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (!IsDialogMessageW(window_, &msg)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
    link_.setTarget(nullptr);
    link_.waitForWorker();
    result = state_.result;
  }
  if (font_ != nullptr) DeleteObject(font_);
  UnregisterClassW(kSetupWindowClass, instance);
  thePlainWindow.store(nullptr, std::memory_order_release);
  return result;
}

}  // namespace

int32_t runPlainWindow(const InstallSources& run, const UiState& state, WorkerLink& link) {
  PlainWindow window(run, state, link);
  return window.run();
}

std::wstring licenseText(const uint8_t* utf8, size_t length) {
  std::wstring text = utf8ToWide(std::string_view(reinterpret_cast<const char*>(utf8), utf8 == nullptr ? 0 : length));
  if (!text.empty() && text.front() == L'\uFEFF') text.erase(0, 1);
  return text;
}

bool openFinishEntry(const SetupScript& script, const KnownFolders& folders, const std::wstring& folder) {
  for (const RunEntry& entry : script.runs) {
    if (!equalsNoCase(entry.when, L"finish")) continue;
    VariableTable table = makeVariableTable(folders, folder);
    return openAsSignedInUser(expandPaths(entry.file, table), expandPaths(entry.args, table), folder);
  }
  return true;
}

std::wstring licenseBoxText(const uint8_t* utf8, size_t length) {
  std::wstring text = licenseText(utf8, length);
  std::wstring out;
  out.reserve(text.size() + text.size() / 16);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\n' && (i == 0 || text[i - 1] != L'\r')) out.push_back(L'\r');
    out.push_back(text[i]);
  }
  return out;
}

int scaledUnits(int units, double scale) { return static_cast<int>(units * scale + 0.5); }

int progressPosition(int32_t step, int32_t percent) { return percent / 5 + step * 20; }

std::vector<int> taskBoxTops(const std::vector<TaskChoice>& tasks) {
  std::vector<int> tops;
  int shown = 0;
  for (const TaskChoice& t : tasks) tops.push_back(t.visible ? 330 + 24 * shown++ : 0);
  return tops;
}

}  // namespace zs::ui
