#include "platform/files.h"

#include <algorithm>
#include <new>

#include "platform/fault_injection.h"
#include "platform/handle.h"
#include "platform/system_library.h"
#include "base/text.h"
#include "platform/sha256.h"
#include "platform/known_folders.h"
#include "base/paths.h"

namespace zs {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kHashBlock = 1024 * 1024;
constexpr DWORD kListBufferBytes = 64 * 1024;

void setError(DWORD* error, DWORD code) {
  if (error != nullptr) *error = code;
}

std::wstring childPath(const std::wstring& folder, const std::wstring& name) {
  if (!folder.empty() && folder.back() == L'\\') return folder + name;
  return folder + L'\\' + name;
}

// What a handle opened without following links says about itself. Some systems (Wine) follow a
// link even when told not to; the caller compares this with what the path says.
bool handleAttributes(HANDLE h, DWORD& attributes) {
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof(basic))) return false;
  attributes = basic.FileAttributes;
  return true;
}

bool deleteNode(const std::wstring& path, DWORD knownAttributes, const DeleteErrorSink& sink);

void report(const DeleteErrorSink& sink, const std::wstring& path, DWORD code) {
  if (sink) sink(path, code);
}

// Lists the children of an open folder with their attributes as the folder reports them.
bool listChildren(HANDLE folder, std::vector<std::pair<std::wstring, DWORD>>& children,
                  DWORD& error) {
  std::vector<LONGLONG> buffer(kListBufferBytes / sizeof(LONGLONG));  // 8-byte aligned
  for (;;) {
    if (!GetFileInformationByHandleEx(folder, FileIdBothDirectoryInfo, buffer.data(),
                                      kListBufferBytes)) {
      DWORD code = GetLastError();
      if (code == ERROR_NO_MORE_FILES) return true;
      error = code;
      return false;
    }
    const auto* base = reinterpret_cast<const BYTE*>(buffer.data());
    size_t offset = 0;
    for (;;) {
      const auto* e = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(base + offset);
      std::wstring name(e->FileName, e->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") children.emplace_back(std::move(name), e->FileAttributes);
      if (e->NextEntryOffset == 0) break;
      offset += e->NextEntryOffset;
      if (offset >= kListBufferBytes) break;
    }
  }
}

// Under Wine a delete on a read-only drive or in an immutable folder reports success while the
// entry stays. What is still there once its delete reported success is a failure; an entry whose
// delete waits for another handle to close (Windows' delete pending) can no longer be queried, and
// counts as deleted.
bool goneAfterDelete(const std::wstring& path, DWORD* error) {
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return true;
  if (error != nullptr) *error = ERROR_ACCESS_DENIED;
  return false;
}

bool deleteNode(const std::wstring& path, DWORD knownAttributes, const DeleteErrorSink& sink) {
  UniqueHandle h(CreateFileW(path.c_str(),
                             DELETE | SYNCHRONIZE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES |
                                 FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!h) {
    DWORD code = GetLastError();
    if (isMissingError(code)) return true;
    report(sink, path, code);
    return false;
  }
  DWORD attributes = 0;
  if (!handleAttributes(h.get(), attributes)) {
    report(sink, path, GetLastError());
    return false;
  }
  // The path names a link but the handle does not show one: the system opened what the link
  // points to. Deleting through that handle would delete the target, so the link is left.
  if ((knownAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    report(sink, path, ERROR_NOT_SUPPORTED);
    return false;
  }

  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
      (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    std::vector<std::pair<std::wstring, DWORD>> children;
    DWORD listError = 0;
    if (!listChildren(h.get(), children, listError)) report(sink, path, listError);
    for (const auto& [name, childAttributes] : children) {
      deleteNode(childPath(path, name), childAttributes, sink);
    }
  }

  if (DWORD code = 0; ZS_FAULT_HOOK((attributes & FILE_ATTRIBUTE_DIRECTORY) ? FaultClass::FolderRemove : FaultClass::DeleteFile, path, &code)) { report(sink, path, code); return false; }
  bool clearedReadOnly = false;
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
    FILE_BASIC_INFO basic{};
    DWORD cleared = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    basic.FileAttributes = cleared != 0 ? cleared : FILE_ATTRIBUTE_NORMAL;
    clearedReadOnly = SetFileInformationByHandle(h.get(), FileBasicInfo, &basic, sizeof(basic));
  }

  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = TRUE;
  if (!SetFileInformationByHandle(h.get(), FileDispositionInfo, &disposition,
                                  sizeof(disposition))) {
    DWORD code = GetLastError();
    if (clearedReadOnly) {
      FILE_BASIC_INFO basic{};
      basic.FileAttributes = attributes;
      SetFileInformationByHandle(h.get(), FileBasicInfo, &basic, sizeof(basic));
    }
    report(sink, path, code);
    return false;
  }
  h.reset();  // the delete happens as the handle closes
  DWORD code = 0;
  if (goneAfterDelete(path, &code)) return true;
  report(sink, path, code);
  return false;
}

}  // namespace

bool pathExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isDirectory(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

HANDLE openForAttributes(const std::wstring& path, DWORD access) {
  return CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool finalPathOf(const std::wstring& path, FinalPath& out, DWORD* error) {
  auto fail = [error](DWORD code) {
    if (error != nullptr) *error = code;
    return false;
  };
  UniqueHandle h(openForAttributes(path, FILE_READ_ATTRIBUTES));
  if (!h) return fail(GetLastError());
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h.get(), &info)) return fail(GetLastError());
  std::wstring text(MAX_PATH, L'\0');
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD n = GetFinalPathNameByHandleW(h.get(), text.data(), static_cast<DWORD>(text.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0) return fail(GetLastError());
    if (n < text.size()) {
      text.resize(n);
      constexpr std::wstring_view kLocal = L"\\\\?\\";
      constexpr std::wstring_view kUnc = L"\\\\?\\UNC\\";
      if (text.compare(0, kUnc.size(), kUnc) == 0) {
        text = L"\\\\" + text.substr(kUnc.size());
      } else if (text.compare(0, kLocal.size(), kLocal) == 0) {
        text.erase(0, kLocal.size());
      }
      out.path = std::move(text);
      out.isDirectory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
      return true;
    }
    text.assign(n, L'\0');
  }
  return fail(ERROR_INSUFFICIENT_BUFFER);
}

bool isLink(const std::wstring& path) {
  DWORD a = GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES) return false;
  if ((a & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  UniqueHandle h(openForAttributes(path, FILE_READ_ATTRIBUTES));
  if (!h) return true;
  FILE_ATTRIBUTE_TAG_INFO tag{};
  // Only a handle that itself shows the reparse point can vouch for its tag; a handle that does
  // not (Wine opens a link's target) leaves the path counted as a link.
  if (GetFileInformationByHandleEx(h.get(), FileAttributeTagInfo, &tag, sizeof(tag)) &&
      (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      (tag.ReparseTag & kNameSurrogateBit) == 0) {
    return false;
  }
  return true;
}

bool noLinkBelow(const std::wstring& folder, const std::wstring& path) {
  if (!isInside(path, folder)) return equalsNoCase(path, folder) || !isLink(path);
  size_t pos = folder.back() == L'\\' ? folder.size() : folder.size() + 1;
  for (;;) {
    size_t slash = path.find(L'\\', pos);
    std::wstring prefix = path.substr(0, slash);
    DWORD a = GetFileAttributesW(prefix.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
      // Nothing below a missing level can be a link yet; a level that exists but cannot be
      // read cannot be vouched for.
      return isMissingError(GetLastError());
    }
    if (isLink(prefix)) return false;
    if (slash == std::wstring::npos) return true;
    pos = slash + 1;
  }
}

LinkPlace findLink(const std::wstring& root, const std::wstring& path) {
  if (!equalsNoCase(path, root)) {
    if (isLink(root) || !noLinkBelow(root, parentPath(path))) return LinkPlace::InPath;
  }
  return isLink(path) ? LinkPlace::AtTarget : LinkPlace::None;
}

bool listFolder(const std::wstring& folder, std::vector<FolderEntry>& entries) {
  entries.clear();
  WIN32_FIND_DATAW data{};
  std::wstring pattern = childPath(folder, L"*");
  HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                 nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) {
    // A drive root holds no "." entry, so an empty one answers "no file found".
    return GetLastError() == ERROR_FILE_NOT_FOUND && isDirectory(folder);
  }
  bool ok = true;
  try {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      entries.push_back(FolderEntry{
          std::move(name), data.dwFileAttributes,
          (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
    } while (FindNextFileW(find, &data));
    if (GetLastError() != ERROR_NO_MORE_FILES) ok = false;
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  FindClose(find);
  if (!ok) entries.clear();
  return ok;
}

bool isFolderEmpty(const std::wstring& folder) {
  std::vector<FolderEntry> entries;
  return listFolder(folder, entries) && entries.empty();
}

bool readWholeFile(const std::wstring& path, uint64_t sizeLimit, std::string& bytes,
                   DWORD* error) {
  bytes.clear();
  UniqueHandle h(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h) {
    setError(error, GetLastError());
    return false;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h.get(), &size)) {
    setError(error, GetLastError());
    return false;
  }
  uint64_t total = static_cast<uint64_t>(size.QuadPart);
  if (total > sizeLimit) {
    setError(error, ERROR_FILE_TOO_LARGE);
    return false;
  }
  if (total > bytes.max_size()) {
    setError(error, ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  try {
    bytes.resize(static_cast<size_t>(total));
  } catch (const std::bad_alloc&) {
    setError(error, ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, kMaxPieceBytes));
    DWORD got = 0;
    if (!ReadFile(h.get(), bytes.data() + done, want, &got, nullptr)) {
      setError(error, GetLastError());
      bytes.clear();
      return false;
    }
    if (got == 0) {  // the file shrank under us
      setError(error, ERROR_HANDLE_EOF);
      bytes.clear();
      return false;
    }
    done += got;
  }
  return true;
}

bool hashFile(const std::wstring& path, std::array<uint8_t, 32>& digest) {
  UniqueHandle h(CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!h) return false;
  Sha256 sha;
  std::vector<uint8_t> block;
  try {
    block.resize(kHashBlock);
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(h.get(), block.data(), kHashBlock, &got, nullptr)) return false;
    if (got == 0) break;
    if (!sha.add(block.data(), got)) return false;
  }
  return sha.finish(digest.data());
}

bool readFileVersion(const std::wstring& path, std::wstring& version) {
  using SizeFn = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
  using InfoFn = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
  using QueryFn = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);
  HMODULE dll = loadSystemLibrary(L"version.dll");
  auto getSize = systemProc<SizeFn>(dll, "GetFileVersionInfoSizeW");
  auto getInfo = systemProc<InfoFn>(dll, "GetFileVersionInfoW");
  auto query = systemProc<QueryFn>(dll, "VerQueryValueW");
  if (getSize == nullptr || getInfo == nullptr || query == nullptr) return false;
  DWORD ignored = 0;
  DWORD size = getSize(path.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<BYTE> block;
  try {
    block.resize(size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!getInfo(path.c_str(), 0, size, block.data())) return false;
  void* fixed = nullptr;
  UINT fixedSize = 0;
  if (!query(block.data(), L"\\", &fixed, &fixedSize) || fixed == nullptr ||
      fixedSize < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
  wchar_t text[64];
  swprintf(text, 64, L"%u.%u.%u.%u", HIWORD(info->dwFileVersionMS),
           LOWORD(info->dwFileVersionMS), HIWORD(info->dwFileVersionLS),
           LOWORD(info->dwFileVersionLS));
  version = text;
  return true;
}

bool createFolder(const std::wstring& path, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::FolderCreate, path, error)) return false;
  if (CreateDirectoryW(path.c_str(), nullptr)) return true;
  setError(error, GetLastError());
  return false;
}

bool createHiddenFolder(const std::wstring& path, DWORD* error) {
  if (!createFolder(path, error)) return false;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN);
  return true;
}

bool removeFolder(const std::wstring& path, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::FolderRemove, path, error)) return false;
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  if (RemoveDirectoryW(path.c_str())) return goneAfterDelete(path, error);
  setError(error, GetLastError());
  return false;
}

bool deleteFile(const std::wstring& path, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::DeleteFile, path, error)) return false;
  DWORD a = GetFileAttributesW(path.c_str());
  bool cleared = false;
  if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) != 0) {
    DWORD without = a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    cleared = SetFileAttributesW(path.c_str(), without != 0 ? without : FILE_ATTRIBUTE_NORMAL);
  }
  DWORD code = 0;
  if (DeleteFileW(path.c_str())) {
    if (goneAfterDelete(path, error)) return true;
    code = ERROR_ACCESS_DENIED;
  } else {
    code = GetLastError();
  }
  if (cleared) SetFileAttributesW(path.c_str(), a);
  setError(error, code);
  return false;
}

bool moveFile(const std::wstring& from, const std::wstring& to, bool allowCopy, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::Move, from + L" > " + to, error)) return false;
  DWORD flags = MOVEFILE_WRITE_THROUGH | (allowCopy ? MOVEFILE_COPY_ALLOWED : 0);
  if (MoveFileExW(from.c_str(), to.c_str(), flags)) return true;
  setError(error, GetLastError());
  return false;
}

bool writeNewFile(const std::wstring& path, const void* data, size_t size, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::FileWrite, path, error)) return false;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    setError(error, GetLastError());
    return false;
  }
  DWORD code = 0;
  const auto* p = static_cast<const BYTE*>(data);
  size_t done = 0;
  while (done < size) {
    DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, kMaxPieceBytes));
    DWORD wrote = 0;
    if (!WriteFile(h, p + done, want, &wrote, nullptr)) {
      code = GetLastError();
      break;
    }
    if (wrote == 0) {
      code = ERROR_WRITE_FAULT;
      break;
    }
    done += wrote;
  }
  if (code == 0 && !FlushFileBuffers(h)) code = GetLastError();
  if (!CloseHandle(h) && code == 0) code = GetLastError();
  if (code == 0) return true;
  DeleteFileW(path.c_str());
  setError(error, code);
  return false;
}

bool deleteTree(const std::wstring& path, const DeleteErrorSink& sink) {
  DWORD known = GetFileAttributesW(path.c_str());
  if (known == INVALID_FILE_ATTRIBUTES) known = 0;
  return deleteNode(path, known, sink);
}

namespace {

bool flushToDisk(const std::wstring& path, DWORD flags, DWORD* error) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    setError(error, GetLastError());
    return false;
  }
  bool ok = FlushFileBuffers(h) != FALSE;
  if (!ok) setError(error, GetLastError());
  CloseHandle(h);
  return ok;
}

}  // namespace

bool flushFileToDisk(const std::wstring& path, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::FileFlush, path, error)) return false;
  return flushToDisk(path, FILE_ATTRIBUTE_NORMAL, error);
}

bool flushFolderToDisk(const std::wstring& path, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::FolderFlush, path, error)) return false;
  return flushToDisk(path, FILE_FLAG_BACKUP_SEMANTICS, error);
}

bool deleteAtRestart(const std::wstring& path) {
  if (ZS_FAULT_HOOK(FaultClass::RestartSchedule, path)) return false;
  return MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

HANDLE openForAppend(const std::wstring& path, bool createNewOnly, DWORD* error) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         createNewOnly ? CREATE_NEW : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    setError(error, GetLastError());
    return INVALID_HANDLE_VALUE;
  }
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(h, zero, nullptr, FILE_END)) {
    setError(error, GetLastError());
    CloseHandle(h);
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

bool appendBytes(HANDLE file, const void* data, size_t size, bool flush, DWORD* error) {
  if (size > MAXDWORD) {
    setError(error, ERROR_INVALID_PARAMETER);
    return false;
  }
  if (ZS_FAULT_HOOK(FaultClass::FileWrite, file, error)) return false;
  DWORD wrote = 0;
  if (!WriteFile(file, data, static_cast<DWORD>(size), &wrote, nullptr)) {
    setError(error, GetLastError());
    return false;
  }
  if (wrote != size) {
    setError(error, ERROR_WRITE_FAULT);
    return false;
  }
  return !flush || flushHandle(file, error);
}

bool flushHandle(HANDLE file, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::FileFlush, file, error)) return false;
  if (FlushFileBuffers(file)) return true;
  setError(error, GetLastError());
  return false;
}

bool setFileEnd(HANDLE file, uint64_t length, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::FileWrite, file, error)) return false;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(length);
  if (SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file)) return true;
  setError(error, GetLastError());
  return false;
}

bool isUnderProgramFiles(const std::wstring& path, const KnownFolders& folders) {
  return isInside(path, folders.pf) || isInside(path, folders.pf32);
}

bool isUnderProgramFiles(const std::wstring& path) {
  return isUnderProgramFiles(path, knownFolders());
}

bool isMissingError(DWORD code) {
  return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

}  // namespace zs
