// A child process that hands its parent one result before it ends. The parent starts it with the
// write end of a pipe as the one handle it inherits and names that handle on its command line; the
// child writes its result there once, and may go on working after its parent has read it and
// ended. However the child ends, the pipe then breaks: a parent never waits for a result that can
// no longer come. Nothing here throws or logs.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "platform/handle.h"

namespace zs {

struct ReportingChild {
  UniqueHandle process;
  UniqueHandle results;  // the pipe's read end
};

// Starts the program with the arguments argumentsFor makes from the number of the handle the child
// inherits. The child is shown as it would be on its own and is in no job of ours: it outlives this
// process. False with the Windows error when it could not be started.
bool startReportingChild(const std::wstring& program, const std::function<std::wstring(uint32_t)>& argumentsFor,
                         ReportingChild& child, DWORD* error = nullptr);

struct ChildResult {
  bool received = false;
  int32_t value = 0;
  DWORD error = 0;                    // why nothing came: ERROR_BROKEN_PIPE when the child ended first
  DWORD childExitCode = STILL_ACTIVE; // when nothing came: the child's own exit code, once it has ended
};

// Blocks until the child has handed its result over, or can no longer.
ChildResult waitForChildResult(ReportingChild& child);

// The child's side: the handle its command line named, once it is known to be a pipe, and from
// then on kept from the child's own children. Empty, with the Windows error, otherwise.
UniqueHandle takeResultPipe(uint32_t handleNumber, DWORD* error = nullptr);

// Writes the result in one piece; false with the Windows error.
bool sendResult(HANDLE pipe, int32_t value, DWORD* error = nullptr);

}  // namespace zs
