// A file whose existence says "in use" for exactly as long as this process holds it: made new,
// shared with nobody, and deleted by Windows when its handle closes, the process's end included.
// Another process that tries to delete it fails with a sharing violation while it is held, and
// succeeds only with a lock left behind by a power cut. Nothing here throws or logs.
#pragma once

#include <windows.h>

#include <string>

#include "platform/handle.h"

namespace zs {

// Empty, with the Windows error, when the file exists already or cannot be made.
UniqueHandle createLockFile(const std::wstring& path, DWORD* error = nullptr);

}  // namespace zs
