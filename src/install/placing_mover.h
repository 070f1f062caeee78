// The moves of placing, on a thread of their own, one after the other in the order handed over.
// What is moved is a staged file, or a staged folder with every file below it when its place in
// the install folder does not exist yet.
//
// Contract:
// - A file is handed over only once its PUT record is flushed to the journal, and a folder only once
//   the records of every folder and file below it are: every move follows its own records on disk,
//   as when each record and its move took turns.
// - The moves happen in the order handed over, each with ten tries while its target's place is in
//   use, none once cancel is asked for.
// - After the first move that fails, nothing more is moved; the files handed over after it,
//   the first one refused included, are given back unmoved, so that the caller can write an
//   UNDONE for each of their PUT records too.
// - The mover writes no journal record and throws nothing: it logs each try, and the caller logs
//   the failure and decides.
//
// Why a thread: a record's flush waits for the disk, and a move waits for Wine's server, which
// resolves both of its paths. One thread doing both waits for each in turn.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/failure.h"

namespace zs {

// A file in use gets this many tries, this far apart, before its move counts as failed.
constexpr int kMoveTries = 10;
constexpr DWORD kMoveTryPauseMs = 500;

inline bool isInUseError(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// One file or folder to move whose records are on disk.
struct Placement {
  std::wstring from;
  std::wstring target;
  std::vector<int32_t> puts;  // the numbers of the PUT records of the file, or of the files below the folder
};

// The move that failed, and the files handed over after it, unmoved.
struct MoverOutcome {
  bool failed = false;
  Placement failedAt;
  DWORD error = 0;  // 0 when the cancel stopped it before a try
  std::vector<Placement> unmoved;
};

class PlacingMover {
 public:
  // Without a thread to be had, each file is moved as it is handed over.
  explicit PlacingMover(const CancelState& cancel);
  ~PlacingMover();
  PlacingMover(const PlacingMover&) = delete;
  PlacingMover& operator=(const PlacingMover&) = delete;

  // False once a move has failed: the file is not moved but kept among the unmoved, and the caller
  // hands over no more.
  bool give(Placement placement);

  // Waits until every file handed over is moved or a move failed. Call once.
  MoverOutcome finish();

 private:
  void work();
  // The tries of one move; false with the last error (0 for a cancel) when none succeeded.
  bool moveOne(const Placement& p, DWORD& error);
  void fail(Placement p, DWORD error);

  const CancelState& cancel_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Placement> queue_;
  bool closed_ = false;
  bool waiting_ = false;
  MoverOutcome outcome_;
  std::thread thread_;
};

}  // namespace zs
