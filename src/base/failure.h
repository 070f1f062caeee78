// How the engines fail. A step that cannot go on logs the technical reason (usually a Windows-error
// line) and throws one Stop; only the run driver turns a Stop into a RunOutcome and an exit code.
// User texts never carry an error number: the number is in the log line written before the throw.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "base/exit_code.h"

namespace zs {

enum class StopCategory : int32_t {
  None = 0,
  WriteFailed = 1,
  DiskFull = 2,
  RegistryFailed = 3,
  Damaged = 4,
  FileInUse = 5,
  Unexpected = 6,
};

// Why an engine run stopped. The run driver turns it into the run's outcome (ExitCode::Failed or
// ExitCode::Cancelled, or RollbackIncomplete when the rollback does not finish); the numbers here
// are not exit codes.
enum class StopKind : int32_t {
  Failed = 1,
  Cancelled = 2,
};

struct Stop {
  StopKind kind = StopKind::Failed;
  StopCategory category = StopCategory::None;
  std::wstring detail;

  static Stop failed(StopCategory c, std::wstring detail = {}) { return Stop{StopKind::Failed, c, std::move(detail)}; }
  static Stop cancelled() { return Stop{StopKind::Cancelled, StopCategory::None, {}}; }
};

// An engine run's result: Installed, Failed, Cancelled or RollbackIncomplete.
struct RunOutcome {
  ExitCode result = ExitCode::Installed;
  StopCategory category = StopCategory::None;
  std::wstring detail;
  bool optimized = false;
  std::wstring startupNote;
};

// The text a user sees for a category; empty for None and for unknown values.
std::wstring userText(StopCategory category, std::wstring_view detail);

// Logs "Couldn't write <path>: Windows error ..." and throws DiskFull (codes 112, 39) or
// WriteFailed with the path.
[[noreturn]] void raiseWriteFailure(std::wstring_view path, unsigned long code);
// Logs "Couldn't change the registry key <key>: Windows error ..." and throws RegistryFailed.
[[noreturn]] void raiseRegistryFailure(std::wstring_view key, unsigned long code);

// The engine's cancel state. The lock orders a cancel request against the commit record: a cancel
// is either honoured before the commit or refused after it.
class CancelState {
 public:
  // Throws Stop (cancelled) after logging "Cancel was asked for." when a cancel was requested.
  void cancelPoint() const;
  // Sets the cancel flag unless the run has committed; returns whether it was set.
  bool requestCancel();
  bool cancelRequested() const { return cancel_.load(); }
  bool committed() const;

  // The commit step holds this lock while it writes the commit record and marks the commit.
  std::mutex& lock() { return lock_; }
  void markCommittedLocked() { committed_ = true; }

 private:
  mutable std::mutex lock_;
  std::atomic<bool> cancel_{false};
  bool committed_ = false;
};

}  // namespace zs
