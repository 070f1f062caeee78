// Registry access in both views, through the three roots the script, the journal and the
// uninstall record name, and the list of deletes Windows carries out at the next restart.
// Nothing here throws or logs; writes report the Windows error through their error pointer.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_names.h"

namespace zs {

struct RegValue {
  std::wstring name;
  DWORD type = REG_NONE;
  std::string data;  // raw bytes
};

// The view flag a root and view add to an access mask (none on 32-bit Windows, none for HKCU).
REGSAM regViewFlag(RegRoot root, RegView view);

// Null on failure; the caller closes the key.
HKEY openKey(RegRoot root, RegView view, const std::wstring& key, REGSAM access);
bool readValue(RegRoot root, RegView view, const std::wstring& key, const std::wstring& name,
               DWORD& type, std::string& data);
// HKLM; REG_SZ or REG_EXPAND_SZ (not expanded), trailing zero characters removed.
bool readString(RegView view, const std::wstring& key, const std::wstring& name,
                std::wstring& text);
// HKLM, 64-bit view; a REG_DWORD of exactly 4 bytes.
bool readDword(const std::wstring& key, const std::wstring& name, DWORD& value);
bool keyExists(RegRoot root, RegView view, const std::wstring& key);
bool createKey(RegRoot root, RegView view, const std::wstring& key, DWORD* error = nullptr);
bool writeValue(RegRoot root, RegView view, const std::wstring& key, const std::wstring& name,
                DWORD type, const void* data, size_t size, DWORD* error = nullptr);
// True when deleted, when the value was not there, or when the key could not be opened.
bool deleteValue(RegRoot root, RegView view, const std::wstring& key, const std::wstring& name,
                 DWORD* error = nullptr);
bool isKeyEmpty(RegRoot root, RegView view, const std::wstring& key);
bool deleteKeyIfEmpty(RegRoot root, RegView view, const std::wstring& key, DWORD* error = nullptr);
bool deleteKeyTree(RegRoot root, RegView view, const std::wstring& key, DWORD* error = nullptr);
// Writes the hive that holds the key to disk now (RegFlushKey). Windows otherwise writes registry
// changes some seconds later, so a power cut could keep a file change and lose its registry half.
// A key that is not there (deleted, or never made) is flushed through its nearest existing parent,
// which lives in the same hive. True when the flush succeeded.
bool flushKey(RegRoot root, RegView view, const std::wstring& key, DWORD* error = nullptr);
// True only when the listing reached the end (ERROR_NO_MORE_ITEMS). Any other stop, and a key
// that cannot be opened, give false with the Windows error: what was read is then incomplete,
// and the key must not be treated as if its content were known.
bool listValues(RegRoot root, RegView view, const std::wstring& key, std::vector<RegValue>& values,
                DWORD* error = nullptr);
bool listSubkeys(RegRoot root, RegView view, const std::wstring& key,
                 std::vector<std::wstring>& names, DWORD* error = nullptr);
// The same through a key the caller opened (with KEY_QUERY_VALUE / KEY_ENUMERATE_SUB_KEYS).
bool listValues(HKEY key, std::vector<RegValue>& values, DWORD* error = nullptr);
bool listSubkeys(HKEY key, std::vector<std::wstring>& names, DWORD* error = nullptr);

// Where Windows keeps the deletes and renames of the next restart. Tests point these operations
// at a key of their own.
struct PendingRenameLocation {
  RegRoot root = RegRoot::Hklm;
  RegView view = RegView::View64;
  std::wstring key = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
};

struct PendingRename {
  std::wstring source;  // as stored, usually with "\??\" in front
  std::wstring target;  // empty: delete the source
};

// The pairs of a REG_MULTI_SZ value's data; a pair with an empty source ends the list.
std::vector<PendingRename> parsePendingRenames(std::string_view data);
// The data of a REG_MULTI_SZ value that holds exactly these pairs.
std::string formatPendingRenames(const std::vector<PendingRename>& pairs);

// Paths scheduled for deletion at restart, without the "\??\" prefix.
std::vector<std::wstring> pendingDeletes(const PendingRenameLocation& where = {});
// Puts deletes of these paths, in this order, at the end of the list in one write: a part of them is
// never on disk without the rest.
bool addPendingDeletes(const std::vector<std::wstring>& paths, DWORD* error = nullptr,
                       const PendingRenameLocation& where = {});
// Takes the given paths' deletes off both lists; other programs' pairs stay as they are.
bool removePendingDeletes(const std::vector<std::wstring>& paths, DWORD* error = nullptr,
                          const PendingRenameLocation& where = {});

}  // namespace zs
