#include "ui/worker_link.h"

#include "base/log.h"
#include "install/transaction.h"

namespace zs::ui {

// The answer event exists before any question can be asked.
WorkerLink::WorkerLink() : answerEvent_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

WorkerLink::~WorkerLink() {
  waitForWorker();
  if (answerEvent_ != nullptr) CloseHandle(answerEvent_);
}

bool WorkerLink::start(InstallRequest request, const KnownFolders& folders) {
  request.sink = this;
  done_.store(false);
  abandoned_.store(false);
  engine_ = std::make_unique<InstallTransaction>(std::move(request), folders);
  thread_ = CreateThread(nullptr, 0, &WorkerLink::workerMain, this, 0, nullptr);
  if (thread_ != nullptr) return true;
  logWinError(L"The install thread could not start", GetLastError());
  result_ = WorkerResult{exitNumber(ExitCode::Failed), static_cast<int32_t>(StopCategory::Unexpected), {}, false};
  done_.store(true);
  post(kMsgWorkerDone);
  return false;
}

DWORD WINAPI WorkerLink::workerMain(void* self) {
  auto* link = static_cast<WorkerLink*>(self);
  RunOutcome outcome = link->engine_->run();
  link->result_ = WorkerResult{exitNumber(outcome.result), static_cast<int32_t>(outcome.category), outcome.detail,
                               outcome.optimized};
  link->done_.store(true);
  link->post(kMsgWorkerDone);
  return 0;
}

bool WorkerLink::requestCancel() {
  bool accepted = engine_ != nullptr && !done_.load() && engine_->requestCancel();
  // A worker waiting on its question would never reach the cancel point: the stop answers it.
  if (accepted && waiting_.load()) reply(false);
  return accepted;
}

void WorkerLink::answer(bool retry) {
  // "Cancel" on a file in use is the user stopping the install, and it ends as stopped.
  if (!retry && engine_ != nullptr && !done_.load()) engine_->requestCancel();
  reply(retry);
}

void WorkerLink::reply(bool retry) {
  answer_.store(retry ? 1 : 0);
  waiting_.store(false);
  if (answerEvent_ != nullptr) SetEvent(answerEvent_);
}

void WorkerLink::waitForWorker() {
  if (thread_ == nullptr) return;
  // No window is left to ask: a worker waiting on its question, or about to, is told no.
  abandoned_.store(true);
  if (waiting_.load()) answer(false);
  WaitForSingleObject(thread_, INFINITE);
  CloseHandle(thread_);
  thread_ = nullptr;
}

std::wstring WorkerLink::questionText() const {
  std::lock_guard<std::mutex> hold(questionLock_);
  return question_;
}

void WorkerLink::post(UINT message, WPARAM w, LPARAM l) {
  // With no window (it is being replaced) the message is lost; the plain window that takes over
  // asks the link for what it missed.
  PostMessageW(target_.load(), message, w, l);
}

void WorkerLink::onStep(InstallStep which, StepStatus shown, int32_t percent) {
  int32_t step = static_cast<int32_t>(which);
  SlotStatus status = slotStatus(shown);
  if (step == lastStep_ && status == lastStatus_ && percent == lastPercent_) return;
  lastStep_ = step;
  lastStatus_ = status;
  lastPercent_ = percent;
  post(kMsgStep, packStep(step, status), percent);
}

void WorkerLink::onCommitted() { post(kMsgCommitted); }

void WorkerLink::onRollingBack() { post(kMsgRollingBack); }

bool WorkerLink::askRetryInUse(const std::wstring& fileName) {
  {
    std::lock_guard<std::mutex> hold(questionLock_);
    question_ = fileName;
  }
  waiting_.store(true);
  if (abandoned_.load()) {
    waiting_.store(false);
    return false;
  }
  post(kMsgFileInUse);
  WaitForSingleObject(answerEvent_, INFINITE);
  return answer_.load() != 0;
}

}  // namespace zs::ui
