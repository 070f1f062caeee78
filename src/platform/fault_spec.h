// What the fault-injecting test build of the setup is told to do, and how it names the calls it
// counts. Pure text and arithmetic, so the host build tests it natively; only the test-only build
// of the platform layer (ZS_FAULT_INJECTION) uses it.
//
// The plan comes from the environment variable ZS_FAULT:
//   count                      count every call of the classes below and trace it
//   fail:T[:E][,T[:E]]...      the same, and fail each target T once with Windows error E
// A target is either N, the Nth counted call of the process (1-based, in the order the calls
// happen), or CLASS.K.HASH: the Kth call of that class on the same path from the same program,
// HASH being the call's name hash (callName). The second form does not depend on how the setup's
// threads interleave: staging writes files from several threads and placing moves them from one
// of its own, so the global order of those calls differs between runs, while each path's own
// calls come in a fixed order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zs {

enum class FaultClass : int32_t {
  FileWrite,        // a file written (new file, journal append, cut, shortcut saved)
  FileFlush,        // a file's or a handle's buffers flushed
  FolderFlush,      // a folder's entries flushed
  Move,             // a file or folder moved or renamed
  DeleteFile,       // a file deleted (alone or inside a tree)
  FolderCreate,     // a folder created
  FolderRemove,     // a folder removed (alone or inside a tree)
  RegSet,           // a registry value written or a key created
  RegDelete,        // a registry value or key deleted
  RegFlush,         // a hive flushed
  RestartSchedule,  // a delete scheduled at the next restart, or taken off that list
};
inline constexpr int32_t kFaultClassCount = 11;

// The class's name in the trace and in targets ("file-write", "move", ...).
std::string_view faultClassName(FaultClass c);
bool parseFaultClass(std::string_view name, FaultClass& c);
// The error a call of the class most plausibly fails with on a real machine.
uint32_t defaultFaultError(FaultClass c);

struct FaultTarget {
  uint64_t index = 0;  // the Nth counted call; 0 when the target is named by key
  FaultClass cls = FaultClass::FileWrite;
  uint32_t occurrence = 0;
  uint32_t hash = 0;
  uint32_t error = 0;  // the Windows error to fail with
};

struct FaultPlan {
  bool active = false;  // count and trace; with targets, also fail them
  std::vector<FaultTarget> targets;
};

// False with a reason for a plan that cannot be read; an empty text is an inactive plan.
bool parseFaultPlan(std::string_view text, FaultPlan& plan, std::string& reason);

// A path (or registry key) as the trace keys it: lower case (ASCII), with every run of eight or
// more hexadecimal digits, which in the setup's own names are a run's random suffix, a temporary
// copy's folder or a time stamp, replaced by "#".
std::wstring normalizeFaultPath(std::wstring_view path);
// FNV-1a over the UTF-16 code units of "program|class|normalized path": the call's name.
uint32_t callName(std::wstring_view program, FaultClass c, std::wstring_view path);
// "class.K.hash" (hash as eight lower-case hex digits), as a target names a call.
std::string faultKey(FaultClass c, uint32_t occurrence, uint32_t hash);

// Whether a counted call is the target (not yet used).
bool targetMatches(const FaultTarget& t, uint64_t index, FaultClass c, uint32_t occurrence,
                   uint32_t hash);

}  // namespace zs
