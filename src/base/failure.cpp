#include "base/failure.h"

#include "base/log.h"

namespace zs {

std::wstring userText(StopCategory category, std::wstring_view detail) {
  switch (category) {
    case StopCategory::WriteFailed: return L"Couldn't write to " + std::wstring(detail) + L".";
    case StopCategory::DiskFull: return L"There wasn't enough disk space.";
    case StopCategory::RegistryFailed: return L"Couldn't change the Windows registry.";
    case StopCategory::Damaged: return L"This setup file is damaged.";
    case StopCategory::FileInUse: return L"A file is in use: " + std::wstring(detail) + L".";
    case StopCategory::Unexpected: return L"Something unexpected happened. The log has the details.";
    case StopCategory::None: break;
  }
  return {};
}

void raiseWriteFailure(std::wstring_view path, unsigned long code) {
  logWinError(L"Couldn't write " + std::wstring(path), code);
  if (code == 112 /* ERROR_DISK_FULL */ || code == 39 /* ERROR_HANDLE_DISK_FULL */)
    throw Stop::failed(StopCategory::DiskFull);
  throw Stop::failed(StopCategory::WriteFailed, std::wstring(path));
}

void raiseRegistryFailure(std::wstring_view key, unsigned long code) {
  logWinError(L"Couldn't change the registry key " + std::wstring(key), code);
  throw Stop::failed(StopCategory::RegistryFailed, std::wstring(key));
}

void CancelState::cancelPoint() const {
  if (!cancel_.load()) return;
  logLine(L"Cancel was asked for.");
  throw Stop::cancelled();
}

bool CancelState::requestCancel() {
  std::lock_guard<std::mutex> guard(lock_);
  if (committed_) return false;
  cancel_.store(true);
  return true;
}

bool CancelState::committed() const {
  std::lock_guard<std::mutex> guard(lock_);
  return committed_;
}

}  // namespace zs
