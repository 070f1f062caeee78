#include "platform/child_result.h"

#include "platform/inherit_only.h"

#include <vector>

namespace zs {
namespace {

constexpr DWORD kEndWaitMs = 5000;

void setError(DWORD* error, DWORD value) {
  if (error != nullptr) *error = value;
}

}  // namespace

bool startReportingChild(const std::wstring& program, const std::function<std::wstring(uint32_t)>& argumentsFor,
                         ReportingChild& child, DWORD* error) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE readRaw = nullptr;
  HANDLE writeRaw = nullptr;
  if (!CreatePipe(&readRaw, &writeRaw, &inherit, 0)) {
    setError(error, GetLastError());
    return false;
  }
  UniqueHandle readEnd(readRaw);
  UniqueHandle writeEnd(writeRaw);
  if (!SetHandleInformation(readEnd.get(), HANDLE_FLAG_INHERIT, 0)) {
    setError(error, GetLastError());
    return false;
  }
  InheritOnly onlyThePipe(writeEnd.get());
  DWORD listError = 0;
  STARTUPINFOEXW si{};
  si.StartupInfo.cb = sizeof(si);
  si.lpAttributeList = onlyThePipe.make(listError);
  if (si.lpAttributeList == nullptr) {
    setError(error, listError);
    return false;
  }
  const uint32_t number = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(writeEnd.get()));
  std::wstring commandLine = L"\"" + program + L"\" " + argumentsFor(number);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, EXTENDED_STARTUPINFO_PRESENT,
                      nullptr, nullptr, &si.StartupInfo, &pi)) {
    setError(error, GetLastError());
    return false;
  }
  CloseHandle(pi.hThread);
  child.process.reset(pi.hProcess);
  child.results = std::move(readEnd);
  // Only the child may hold the write end, so that the pipe breaks when the child ends.
  writeEnd.reset();
  return true;
}

ChildResult waitForChildResult(ReportingChild& child) {
  ChildResult result;
  int32_t value = 0;
  auto* bytes = reinterpret_cast<char*>(&value);
  DWORD have = 0;
  while (have < sizeof(value)) {
    DWORD got = 0;
    if (!ReadFile(child.results.get(), bytes + have, sizeof(value) - have, &got, nullptr)) {
      result.error = GetLastError();
      break;
    }
    if (got == 0) {
      result.error = ERROR_BROKEN_PIPE;
      break;
    }
    have += got;
  }
  if (have == sizeof(value)) {
    result.received = true;
    result.value = value;
    return result;
  }
  // The pipe breaks as the child's handles are closed, a moment before its exit code is set.
  if (child.process && WaitForSingleObject(child.process.get(), kEndWaitMs) == WAIT_OBJECT_0) {
    DWORD code = STILL_ACTIVE;
    if (GetExitCodeProcess(child.process.get(), &code)) result.childExitCode = code;
  }
  return result;
}

UniqueHandle takeResultPipe(uint32_t handleNumber, DWORD* error) {
  HANDLE handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(handleNumber));
  if (handleNumber == 0) {
    setError(error, ERROR_INVALID_HANDLE);
    return {};
  }
  // A number that names no pipe of ours (a hand-made command line) is not written to.
  SetLastError(ERROR_SUCCESS);
  if (GetFileType(handle) != FILE_TYPE_PIPE) {
    DWORD code = GetLastError();
    setError(error, code != ERROR_SUCCESS ? code : ERROR_INVALID_HANDLE);
    return {};
  }
  if (!SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0)) {
    setError(error, GetLastError());
    return {};
  }
  return UniqueHandle(handle);
}

bool sendResult(HANDLE pipe, int32_t value, DWORD* error) {
  DWORD wrote = 0;
  if (!WriteFile(pipe, &value, sizeof(value), &wrote, nullptr)) {
    setError(error, GetLastError());
    return false;
  }
  if (wrote != sizeof(value)) {
    setError(error, ERROR_WRITE_FAULT);
    return false;
  }
  return true;
}

}  // namespace zs
