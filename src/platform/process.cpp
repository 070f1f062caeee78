#include "platform/process.h"

#include "platform/inherit_only.h"

#include <userenv.h>

#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/handle.h"
#include "platform/system_library.h"
#include "base/text.h"

namespace zs {
namespace {

constexpr DWORD kPipeReadBytes = 4096;
constexpr DWORD kTreeEndWaitMs = 5000;
constexpr DWORD kReaderStopWaitMs = 300;
constexpr DWORD kReaderCancelWaitMs = 1000;

// Shared between the reader thread and the watcher; the reader keeps its own reference, so a
// reader that cannot be stopped in time never touches freed memory.
struct OutputReader {
  HANDLE pipe = nullptr;  // owned by the run
  std::mutex lock;
  std::string partial;
  std::deque<std::string> lines;
  volatile LONG stop = 0;

  void take(const char* bytes, DWORD count) {
    std::lock_guard<std::mutex> guard(lock);
    partial.append(bytes, count);
    size_t start = 0;
    for (;;) {
      size_t lf = partial.find('\n', start);
      if (lf == std::string::npos) break;
      size_t end = lf;
      if (end > start && partial[end - 1] == '\r') --end;
      lines.emplace_back(partial, start, end - start);
      start = lf + 1;
    }
    partial.erase(0, start);
  }

  std::deque<std::string> takeLines() {
    std::lock_guard<std::mutex> guard(lock);
    std::deque<std::string> out;
    out.swap(lines);
    return out;
  }
};

DWORD WINAPI readerMain(void* parameter) {
  std::unique_ptr<std::shared_ptr<OutputReader>> holder(
      static_cast<std::shared_ptr<OutputReader>*>(parameter));
  OutputReader& reader = **holder;
  char buffer[kPipeReadBytes];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(reader.pipe, buffer, kPipeReadBytes, &got, nullptr) || got == 0) break;
    reader.take(buffer, got);
    if (InterlockedCompareExchange(&reader.stop, 0, 0) != 0) {
      // Stopping: take what is already in the pipe, but never wait for more.
      DWORD available = 0;
      if (!PeekNamedPipe(reader.pipe, nullptr, 0, nullptr, &available, nullptr) ||
          available == 0) {
        break;
      }
    }
  }
  return 0;
}

void deliver(std::deque<std::string> lines, const ProcessHooks& hooks) {
  if (!hooks.line) return;
  for (const auto& line : lines) hooks.line(line);
}

// The watch loop shared by both watched runners.
void watch(HANDLE process, HANDLE job, OutputReader* reader, HANDLE readerThread,
           DWORD timeLimitMs, const ProcessHooks& hooks, ProcessResult& result) {
  result.started = true;
  result.exitCode = 1;
  ULONGLONG start = GetTickCount64();
  for (;;) {
    DWORD wait = WaitForSingleObject(process, kWatchIntervalMs);
    if (reader != nullptr) deliver(reader->takeLines(), hooks);
    if (hooks.tick) hooks.tick();
    if (wait != WAIT_TIMEOUT) break;  // ended, or cannot be watched any more
    if (hooks.cancel && hooks.cancel()) {
      result.cancelled = true;
    } else if (timeLimitMs != 0 && GetTickCount64() - start > timeLimitMs) {
      result.timedOut = true;
    } else {
      continue;
    }
    TerminateJobObject(job, 1);
    WaitForSingleObject(process, kTreeEndWaitMs);
    break;
  }
  DWORD code = 0;
  if (GetExitCodeProcess(process, &code) && code != STILL_ACTIVE) result.exitCode = code;

  if (reader != nullptr) {
    InterlockedExchange(&reader->stop, 1);
    if (WaitForSingleObject(readerThread, kReaderStopWaitMs) == WAIT_TIMEOUT) {
      // A grandchild still holds the pipe open: end the blocked read.
      CancelSynchronousIo(readerThread);
      WaitForSingleObject(readerThread, kReaderCancelWaitMs);
    }
    deliver(reader->takeLines(), hooks);
    std::string rest;
    {
      std::lock_guard<std::mutex> guard(reader->lock);
      rest.swap(reader->partial);
    }
    if (!rest.empty() && hooks.line) hooks.line(rest);
  }
}

bool makeKillOnCloseJob(UniqueHandle& job, DWORD& error) {
  job.reset(CreateJobObjectW(nullptr, nullptr));
  if (!job) {
    error = GetLastError();
    return false;
  }
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof(limits))) {
    error = GetLastError();
    job.reset();
    return false;
  }
  return true;
}

// A child that is not in the job could outlive the setup, so it is not run at all.
bool assignOrEnd(HANDLE job, const PROCESS_INFORMATION& pi, DWORD& error) {
  if (AssignProcessToJobObject(job, pi.hProcess)) return true;
  error = GetLastError();
  TerminateProcess(pi.hProcess, 1);
  WaitForSingleObject(pi.hProcess, kTreeEndWaitMs);
  return false;
}

}  // namespace

std::vector<wchar_t> environmentWith(const wchar_t* block, const std::wstring& entry) {
  // The name ends at the first "=" after the first character: hidden entries such as "=C:=C:\"
  // begin with one.
  auto nameOf = [](std::wstring_view e) { return e.substr(0, e.find(L'=', 1)); };
  std::wstring_view name = nameOf(entry);
  bool placed = entry.empty();
  std::vector<wchar_t> out;
  for (const wchar_t* e = block; e != nullptr && *e != L'\0';) {
    std::wstring_view current(e);
    e += current.size() + 1;
    if (!entry.empty() && equalsNoCase(nameOf(current), name)) {
      if (placed) continue;  // only the given value may be seen under that name
      current = entry;
      placed = true;
    }
    out.insert(out.end(), current.begin(), current.end());
    out.push_back(L'\0');
  }
  if (!placed) {
    out.insert(out.end(), entry.begin(), entry.end());
    out.push_back(L'\0');
  }
  if (out.empty()) out.push_back(L'\0');
  out.push_back(L'\0');
  return out;
}

std::wstring commandLineFor(const std::wstring& program, const std::wstring& arguments) {
  return L"\"" + program + L"\" " + arguments;
}

ProcessResult runWithOutput(const std::wstring& program, const std::wstring& arguments,
                            const std::wstring& workingDirectory, DWORD timeLimitMs,
                            const ProcessHooks& hooks) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE readRaw = nullptr;
  HANDLE writeRaw = nullptr;
  if (!CreatePipe(&readRaw, &writeRaw, &inherit, 0)) {
    result.error = GetLastError();
    return result;
  }
  UniqueHandle readEnd(readRaw);
  UniqueHandle writeEnd(writeRaw);
  if (!SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0)) {
    result.error = GetLastError();
    return result;
  }
  UniqueHandle job;
  if (!makeKillOnCloseJob(job, result.error)) return result;

  InheritOnly onlyThePipe(writeEnd.get());
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof(si);
  si.StartupInfo.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
  si.StartupInfo.wShowWindow = SW_HIDE;
  si.StartupInfo.hStdInput = nullptr;
  si.StartupInfo.hStdOutput = writeEnd.get();
  si.StartupInfo.hStdError = writeEnd.get();
  si.lpAttributeList = onlyThePipe.make(result.error);
  if (si.lpAttributeList == nullptr) return result;
  std::wstring commandLine = commandLineFor(program, arguments);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                      CREATE_SUSPENDED | CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                      workingDirectory.c_str(), &si.StartupInfo, &pi)) {
    result.error = GetLastError();
    return result;
  }
  UniqueHandle process(pi.hProcess);
  UniqueHandle thread(pi.hThread);
  // Only the child (and its children) may hold the write end, so the pipe ends with them.
  writeEnd.reset();
  if (!assignOrEnd(job.get(), pi, result.error)) return result;

  auto reader = std::make_shared<OutputReader>();
  reader->pipe = readEnd.get();
  auto* holder = new std::shared_ptr<OutputReader>(reader);
  UniqueHandle readerThread(CreateThread(nullptr, 0, readerMain, holder, 0, nullptr));
  if (!readerThread) {
    result.error = GetLastError();
    delete holder;
    TerminateJobObject(job.get(), 1);
    return result;
  }
  ResumeThread(thread.get());

  watch(process.get(), job.get(), reader.get(), readerThread.get(), timeLimitMs, hooks, result);

  thread.reset();
  process.reset();
  job.reset();  // ends whatever is left of the tree
  WaitForSingleObject(readerThread.get(), kReaderCancelWaitMs);
  readerThread.reset();
  // A reader that is still blocked keeps its own reference to the state; the pipe handle is
  // only closed once it has let go of it.
  if (reader.use_count() == 1) readEnd.reset();
  else readEnd.release();
  return result;
}

ProcessResult runWithToken(HANDLE primaryToken, const std::wstring& program,
                           const std::wstring& arguments, const std::wstring& workingDirectory,
                           const std::wstring& extraEnvironment, DWORD timeLimitMs,
                           const ProcessHooks& hooks) {
  ProcessResult result;
  using CreateFn = BOOL(WINAPI*)(LPVOID*, HANDLE, BOOL);
  using DestroyFn = BOOL(WINAPI*)(LPVOID);
  HMODULE userenv = loadSystemLibrary(L"userenv.dll");
  auto createBlock = systemProc<CreateFn>(userenv, "CreateEnvironmentBlock");
  auto destroyBlock = systemProc<DestroyFn>(userenv, "DestroyEnvironmentBlock");
  if (primaryToken == nullptr || createBlock == nullptr || destroyBlock == nullptr) {
    result.error = ERROR_NO_TOKEN;
    return result;
  }
  void* block = nullptr;
  if (!createBlock(&block, primaryToken, FALSE)) {
    result.error = GetLastError();
    return result;
  }
  std::vector<wchar_t> environment = environmentWith(static_cast<const wchar_t*>(block), extraEnvironment);
  destroyBlock(block);

  UniqueHandle job;
  if (!makeKillOnCloseJob(job, result.error)) return result;
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  std::wstring commandLine = commandLineFor(program, arguments);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessWithTokenW(primaryToken, 0, program.c_str(), commandLine.data(),
                               CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, environment.data(),
                               workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &si,
                               &pi)) {
    result.error = GetLastError();
    return result;
  }
  UniqueHandle process(pi.hProcess);
  UniqueHandle thread(pi.hThread);
  if (!assignOrEnd(job.get(), pi, result.error)) return result;
  ResumeThread(thread.get());
  ProcessHooks noLines{nullptr, hooks.tick, hooks.cancel};
  watch(process.get(), job.get(), nullptr, nullptr, timeLimitMs, noLines, result);
  return result;
}

}  // namespace zs
