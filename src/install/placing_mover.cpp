#include "install/placing_mover.h"

#include <system_error>
#include <utility>

#include "base/log.h"
#include "platform/files.h"

namespace zs {

namespace {

// A waiting mover is woken once this many files wait for it (or at the end), not for each one:
// under Wine every wake-up is a round trip to the same server the moves wait on.
constexpr size_t kWakeBatch = 8;

}  // namespace

PlacingMover::PlacingMover(const CancelState& cancel) : cancel_(cancel) {
  try {
    thread_ = std::thread([this] { work(); });
  } catch (const std::system_error&) {
    // Moved by give() itself.
  }
}

PlacingMover::~PlacingMover() {
  if (thread_.joinable()) finish();
}

bool PlacingMover::give(Placement placement) {
  if (!thread_.joinable()) {
    if (outcome_.failed) {
      queue_.push_back(std::move(placement));
      return false;
    }
    DWORD error = 0;
    if (!moveOne(placement, error)) fail(std::move(placement), error);
    return !outcome_.failed;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  // A refused placement's records are on disk all the same: it stays with the unmoved, after
  // those handed over before it, so that each of its PUTs gets its UNDONE. Without one, rollback
  // would delete whatever another program has put at its target meanwhile.
  if (outcome_.failed) {
    queue_.push_back(std::move(placement));
    return false;
  }
  queue_.push_back(std::move(placement));
  if (waiting_ && queue_.size() >= kWakeBatch) changed_.notify_one();
  return true;
}

MoverOutcome PlacingMover::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    changed_.notify_one();
  }
  if (thread_.joinable()) thread_.join();
  for (Placement& p : queue_) outcome_.unmoved.push_back(std::move(p));
  queue_.clear();
  return std::move(outcome_);
}

void PlacingMover::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    waiting_ = true;
    changed_.wait(lock, [&] { return closed_ || queue_.size() >= kWakeBatch; });
    waiting_ = false;
    // Everything handed over so far is moved before the mover looks again.
    while (!queue_.empty()) {
      Placement p = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      DWORD error = 0;
      const bool moved = moveOne(p, error);
      lock.lock();
      if (!moved) {
        fail(std::move(p), error);
        return;
      }
    }
    if (closed_) return;
  }
}

bool PlacingMover::moveOne(const Placement& p, DWORD& error) {
  error = 0;
  for (int attempt = 1; attempt <= kMoveTries && !cancel_.cancelRequested(); ++attempt) {
    if (moveFile(p.from, p.target, false, &error)) return true;
    if (!isInUseError(error)) return false;
    logf(L"In use, try %d of 10: %ls", attempt, p.target.c_str());
    if (attempt < kMoveTries) Sleep(kMoveTryPauseMs);
  }
  return false;
}

// With the lock held, or on the only thread there is.
void PlacingMover::fail(Placement p, DWORD error) {
  outcome_.failed = true;
  outcome_.failedAt = std::move(p);
  outcome_.error = error;
}

}  // namespace zs
