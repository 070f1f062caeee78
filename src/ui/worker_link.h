// The install engine on a worker thread, and the only way it reaches the window: each report
// becomes a message posted to the target window, and the one question (a file stays in use)
// blocks the worker until the window answers. The target can move from one window to another
// (the drawn window hands over to plain mode) while the worker runs.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "install/install_state.h"
#include "ui/silent_sink.h"
#include "ui/ui_state.h"

namespace zs {
class InstallTransaction;
}

namespace zs::ui {

// Window messages, all posted but the state change, which is sent.
inline constexpr UINT kMsgStep = WM_APP + 1;        // wParam (status << 16) | step, lParam percent
inline constexpr UINT kMsgCommitted = WM_APP + 2;
inline constexpr UINT kMsgRollingBack = WM_APP + 3;
inline constexpr UINT kMsgFileInUse = WM_APP + 4;
inline constexpr UINT kMsgWorkerDone = WM_APP + 5;
inline constexpr UINT kMsgStateChange = WM_APP + 6;  // wParam: callback; lParam 1: no repaint
inline constexpr UINT kMsgCloseAppDone = WM_APP + 7; // wParam 1 closed, 0 not
inline constexpr UINT kMsgToPlain = WM_APP + 8;
inline constexpr UINT kMsgClose = WM_APP + 9;

inline WPARAM packStep(int32_t step, SlotStatus status) {
  return (static_cast<WPARAM>(static_cast<uint32_t>(status)) << 16) | (static_cast<uint32_t>(step) & 0xFFFFu);
}
inline int32_t stepOf(WPARAM w) { return static_cast<int32_t>(w & 0xFFFFu); }
inline SlotStatus statusOf(WPARAM w) { return static_cast<SlotStatus>(static_cast<uint32_t>(w) >> 16); }

class WorkerLink : public EngineSink {
 public:
  WorkerLink();
  WorkerLink(const WorkerLink&) = delete;
  WorkerLink& operator=(const WorkerLink&) = delete;
  ~WorkerLink() override;

  void setTarget(HWND window) { target_.store(window); }
  HWND target() const { return target_.load(); }

  // Window thread. Makes the engine with this link as its sink and starts the worker; false when
  // the thread could not start (the result then says so and the done message is posted anyway).
  bool start(InstallRequest request, const KnownFolders& folders);
  bool started() const { return thread_ != nullptr || done_.load(); }
  // Asks the engine to stop at its next cancel point; false once it has committed (or before
  // it exists). An accepted stop also answers a waiting question with no.
  bool requestCancel();
  // Answers the worker's question; no is the user's stop.
  void answer(bool retry);
  // Waits for the worker thread to end (it has ended once the done message came); a question
  // still waiting is answered no first.
  void waitForWorker();

  bool done() const { return done_.load(); }
  bool waiting() const { return waiting_.load(); }
  const WorkerResult& result() const { return result_; }
  std::wstring questionText() const;

  // EngineSink, called on the worker thread.
  void onStep(InstallStep step, StepStatus status, int32_t percent) override;
  void onCommitted() override;
  void onRollingBack() override;
  bool askRetryInUse(const std::wstring& fileName) override;

 private:
  static DWORD WINAPI workerMain(void* self);
  void post(UINT message, WPARAM w = 0, LPARAM l = 0);
  void reply(bool retry);

  std::atomic<HWND> target_{nullptr};
  std::unique_ptr<InstallTransaction> engine_;
  WorkerResult result_;
  HANDLE thread_ = nullptr;
  HANDLE answerEvent_ = nullptr;
  std::atomic<bool> done_{false};
  std::atomic<bool> waiting_{false};
  std::atomic<bool> abandoned_{false};
  std::atomic<uint8_t> answer_{0};
  mutable std::mutex questionLock_;
  std::wstring question_;
  int32_t lastStep_ = 0;
  int32_t lastPercent_ = 0;
  SlotStatus lastStatus_ = SlotStatus::NotStarted;
};

}  // namespace zs::ui
