// The drawn wizard window: one borderless, fixed-size window that Direct2D paints completely,
// with one real child control (the folder box). It owns a UiState, turns Windows input into the
// state machine's element codes and inputs, carries out the actions the state machine returns,
// and moves to plain mode whenever it cannot be created or cannot draw.
//
// Three kinds of caller use it: the install wizard and the error pages run it on the main thread;
// the uninstaller and the start-up rollback run it on a window thread of its own and change its
// state from their thread (postChange, ask), which the window thread carries out.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/app_processes.h"
#include "ui/accessible_object.h"
#include "ui/canvas.h"
#include "ui/ui_state.h"

namespace zs {
struct InstallSources;
}  // namespace zs

namespace zs::ui {

class Renderer;
class WorkerLink;

// Device pixels per layout unit on a monitor: its DPI over 96, but small enough that the window
// fits its work area with 8 pixels to spare on each side, and never below 0.5.
double windowScale(unsigned dpi, int workWidth, int workHeight);
// Window pixels for layout units at a scale, halves rounded up.
int scaledPixels(double units, double scale);

// The program's own file version for the window: "a.b.c.d", "a.b.c" when d is 0, "a.b" when c and
// d are 0; empty when it cannot be read.
std::wstring ownVersionText();
std::wstring shortVersionText(const std::wstring& fourPart);

class SetupWindow {
 public:
  // run and link are the install wizard's; both null for the other callers.
  SetupWindow(const UiState& state, const InstallSources* run = nullptr, WorkerLink* link = nullptr);
  ~SetupWindow();
  SetupWindow(const SetupWindow&) = delete;
  SetupWindow& operator=(const SetupWindow&) = delete;

  // On the thread that will run it. False with a reason text.
  bool create(std::wstring& reason);
  // Runs the message loop until the window is destroyed, then releases the window's resources.
  void runLoop();

  // The uninstaller and the start-up rollback: creates and runs the window on a thread of its own;
  // true once the window is up.
  bool startThread();
  bool running() const { return started_.load() && !ended_.load(); }
  // Ends the window (if it still runs) and waits for its thread.
  void closeAndWait();
  // Waits until the window thread has ended (the user closed the window).
  void waitForEnd();
  // Runs a change of the state on the window thread and repaints; nothing when the window is gone.
  void postChange(const std::function<void(UiState&)>& change);
  // Runs a change and waits for the user's answer; unavailable when the window moved to plain mode
  // or was not running.
  Answer ask(const std::function<void(UiState&)>& change);

  bool movedToPlain() const { return movedToPlain_; }
  // Frames drawn so far; any thread may read it (a test waits for a change to be shown).
  uint32_t framesDrawn() const { return framesDrawn_.load(); }
  const std::wstring& plainReason() const { return plainReason_; }
  const UiState& state() const { return state_; }

  LRESULT handle(HWND window, UINT message, WPARAM w, LPARAM l);
  LRESULT handleFolderBox(HWND box, UINT message, WPARAM w, LPARAM l);

 private:
  static DWORD WINAPI threadMain(void* self);
  void layout();
  void paint();
  HRESULT drawFrameCaught(HDC dc, const RECT& dirty);
  void moveToPlain(const std::wstring& reason);
  void carryOut(Action action);
  // One function per kind of message.
  LRESULT lifecycleMessage(HWND window, UINT message, WPARAM w);
  LRESULT displayMessage(UINT message, WPARAM w, LPARAM l);
  LRESULT pointerMessage(HWND window, UINT message, WPARAM w, LPARAM l);
  LRESULT mouseMessage(HWND window, UINT message, WPARAM w, LPARAM l);
  LRESULT folderBoxMessage(HWND window, UINT message, WPARAM w, LPARAM l);
  LRESULT workerMessage(UINT message, WPARAM w, LPARAM l);
  LRESULT callerMessage(HWND window, UINT message, WPARAM w, LPARAM l);
  void keyDown(WPARAM key, LPARAM flags);
  void press(PointF at);
  void moveMouse(PointF at);
  void turnWheel(PointF at, int32_t delta);
  void release(PointF at);
  void dpiChanged(UINT dpi, const RECT& suggested);
  void showFolderBox(bool show);
  void makeFolderBox();
  void placeFolderBox();
  void moveKeyboardFocus();
  void updateTimer();
  void storeAnswer(Answer answer);
  void startInstall();
  void startWorker();
  void closeApp();
  void openApp();
  void openTarget(const std::wstring& file);
  void closeAppFinished(bool closed);
  PointF layoutPoint(POINT client) const;
  PointF layoutPoint(LPARAM clientPosition) const;
  PointF layoutPointOfScreen(POINT screen) const;
  std::wstring installFolder() const;
  std::vector<AppProcess> appProcesses() const;
  void invalidate();
  void invalidateBusyMarks();
  void releaseBackgroundBrush();

  UiState state_;
  const InstallSources* run_;
  WorkerLink* link_;
  std::unique_ptr<Renderer> renderer_;
  std::wstring plainReason_;
  bool movedToPlain_ = false;
  bool destroyed_ = false;
  // Written by the window thread, read by callers on other threads.
  std::atomic<HWND> window_{nullptr};
  HWND folderBox_ = nullptr;
  WNDPROC folderBoxProc_ = nullptr;
  HFONT folderFont_ = nullptr;
  HBRUSH folderBrush_ = nullptr;
  HBRUSH backgroundBrush_ = nullptr;
  HANDLE embeddedFont_ = nullptr;
  bool folderBoxTried_ = false;
  HANDLE answerEvent_ = nullptr;
  std::atomic<Answer> answer_{Answer::No};
  std::atomic<bool> answerAwaited_{false};
  HANDLE thread_ = nullptr;
  HANDLE readyEvent_ = nullptr;
  std::atomic<bool> started_{false};
  std::atomic<bool> ended_{false};
  std::atomic<uint32_t> framesDrawn_{0};
  bool software_ = false;
  bool firstFrame_ = true;
  bool backgroundShown_ = false;
  bool painting_ = false;
  bool timerOn_ = false;
  bool mouseTracked_ = false;
  bool suppressEditChange_ = false;
  bool comInitialised_ = false;
  bool classRegistered_ = false;
  unsigned long long createMs_ = 0;
  Question lastQuestion_ = Question::None;
  double scaleOfTarget_ = 0;
  WindowAccessibility accessibility_;
};

// The install wizard on the main thread. Falls back to plain mode when the window cannot be had
// or moves to plain mode while shown; returns the run's result code.
int32_t runInstallWizard(const InstallSources& run, UiState state, WorkerLink& link);

// A page that ends the run before or instead of an install (an error page, or an incomplete
// rollback), on the main thread; returns the page's result code. A link the user follows from it
// (the download page, the log) is opened by the page itself.
int32_t runErrorPage(Page page, std::wstring_view detail, Theme theme, const std::wstring& logPath);

}  // namespace zs::ui
