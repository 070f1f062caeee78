// File-system primitives: existence and type tests, link detection, listings, whole-file reads
// and writes, folder and tree removal, moves and appends. All take full UTF-16 paths; none of
// them logs or throws. A failure comes back as false and, where an `error` pointer is given, the
// Windows error code; the caller decides what to say.
//
// Links (reparse points with the name-surrogate bit: symbolic links, junctions, mount points)
// are never followed by anything here.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zs {

struct KnownFolders;

struct FolderEntry {
  std::wstring name;  // without the folder
  DWORD attributes = 0;
  uint64_t size = 0;
};

// Receives each path that deleteTree could not remove, with the Windows error; the walk goes on.
using DeleteErrorSink = std::function<void(const std::wstring& path, DWORD error)>;

inline constexpr DWORD kNameSurrogateBit = 0x20000000;
inline constexpr uint32_t kMaxPieceBytes = 16u * 1024u * 1024u;  // one ReadFile or WriteFile

// Whether a Windows error says the path (or a folder on its way) does not exist.
bool isMissingError(DWORD code);

bool pathExists(const std::wstring& path);
bool isDirectory(const std::wstring& path);

// Opens files and folders alike without following a link at the end of the path.
// INVALID_HANDLE_VALUE on failure (GetLastError tells why).
HANDLE openForAttributes(const std::wstring& path, DWORD access);

bool isLink(const std::wstring& path);

// What Windows resolves an existing file or folder to, opened without following a link at its
// end: the final path in drive-letter form (GetFinalPathNameByHandleW, without its "\\?\"), and
// whether it is a folder. False with the Windows error when it cannot be opened or asked.
struct FinalPath {
  std::wstring path;
  bool isDirectory = false;
};
bool finalPathOf(const std::wstring& path, FinalPath& out, DWORD* error = nullptr);
// True when no link lies between `folder` (not itself tested) and `path`.
bool noLinkBelow(const std::wstring& folder, const std::wstring& path);

// Where a link stands on the way from a scope root down to a path: at the root itself or at a
// folder between it and the path's parent (InPath), or only at the path itself (AtTarget). The
// root is tested too: a folder judged once may have been swapped for a link since.
enum class LinkPlace { None, InPath, AtTarget };
LinkPlace findLink(const std::wstring& root, const std::wstring& path);

bool listFolder(const std::wstring& folder, std::vector<FolderEntry>& entries);
bool isFolderEmpty(const std::wstring& folder);

bool readWholeFile(const std::wstring& path, uint64_t sizeLimit, std::string& bytes,
                   DWORD* error = nullptr);
bool hashFile(const std::wstring& path, std::array<uint8_t, 32>& digest);
// "%u.%u.%u.%u" from the fixed file information of the version resource.
bool readFileVersion(const std::wstring& path, std::wstring& version);

bool createFolder(const std::wstring& path, DWORD* error = nullptr);
// True once the folder is made, even when the hidden attribute could not be set.
bool createHiddenFolder(const std::wstring& path, DWORD* error = nullptr);
bool removeFolder(const std::wstring& path, DWORD* error = nullptr);
bool deleteFile(const std::wstring& path, DWORD* error = nullptr);
// Never replaces an existing target; write-through.
bool moveFile(const std::wstring& from, const std::wstring& to, bool allowCopy,
              DWORD* error = nullptr);
// Creates the file (an existing one makes it fail), writes and flushes it; a partial file is
// deleted again, so only a complete file is ever left behind.
bool writeNewFile(const std::wstring& path, const void* data, size_t size, DWORD* error = nullptr);
inline bool writeNewFile(const std::wstring& path, std::string_view bytes, DWORD* error = nullptr) {
  return writeNewFile(path, bytes.data(), bytes.size(), error);
}
// Removes a file or a whole tree, depth first; a link inside is removed as itself.
bool deleteTree(const std::wstring& path, const DeleteErrorSink& sink = {});
bool deleteAtRestart(const std::wstring& path);
// Writes a file that another component saved (and closed) to disk now (FlushFileBuffers), so that
// a power cut cannot leave it empty once the journal says it is done.
bool flushFileToDisk(const std::wstring& path, DWORD* error = nullptr);
// The same for a folder: its entries' creates and deletes are on disk once it returns (NTFS writes
// its log in order, so everything on the volume before them is too).
bool flushFolderToDisk(const std::wstring& path, DWORD* error = nullptr);

// INVALID_HANDLE_VALUE on failure. The file pointer stands at the end.
HANDLE openForAppend(const std::wstring& path, bool createNewOnly, DWORD* error = nullptr);
// Writes what was written through this handle to disk (FlushFileBuffers).
bool flushHandle(HANDLE file, DWORD* error = nullptr);
// Moves the handle's position to length and cuts the file there (or grows it to there).
bool setFileEnd(HANDLE file, uint64_t length, DWORD* error = nullptr);
// One write of all bytes; true only when every byte was written (and flushed when asked).
bool appendBytes(HANDLE file, const void* data, size_t size, bool flush, DWORD* error = nullptr);
inline bool appendBytes(HANDLE file, std::string_view bytes, bool flush, DWORD* error = nullptr) {
  return appendBytes(file, bytes.data(), bytes.size(), flush, error);
}

// Strictly inside {pf} or {pf32}; the path is expected to be normalised.
bool isUnderProgramFiles(const std::wstring& path);
bool isUnderProgramFiles(const std::wstring& path, const KnownFolders& folders);

}  // namespace zs
