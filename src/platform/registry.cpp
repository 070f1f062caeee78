#include "platform/registry.h"

#include "base/text.h"
#include "platform/fault_injection.h"
#include "platform/known_folders.h"

namespace zs {
namespace {

constexpr const wchar_t* kPendingValues[] = {L"PendingFileRenameOperations",
                                             L"PendingFileRenameOperations2"};
constexpr std::wstring_view kNtPrefix = L"\\??\\";

class Key {
 public:
  explicit Key(HKEY k = nullptr) : k_(k) {}
  ~Key() {
    if (k_ != nullptr) RegCloseKey(k_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  HKEY get() const { return k_; }
  explicit operator bool() const { return k_ != nullptr; }

 private:
  HKEY k_;
};

HKEY hiveOf(RegRoot root) {
  return root == RegRoot::Hkcu ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
}

std::wstring subKeyOf(RegRoot root, const std::wstring& key) {
  return root == RegRoot::Hkcr ? L"SOFTWARE\\Classes\\" + key : key;
}

void setError(DWORD* error, LONG code) {
  if (error != nullptr) *error = static_cast<DWORD>(code);
}

std::wstring withoutNtPrefix(const std::wstring& source) {
  if (source.compare(0, kNtPrefix.size(), kNtPrefix) == 0) return source.substr(kNtPrefix.size());
  return source;
}

bool readPendingValue(const PendingRenameLocation& where, const wchar_t* name,
                      std::vector<PendingRename>& pairs) {
  DWORD type = 0;
  std::string data;
  if (!readValue(where.root, where.view, where.key, name, type, data)) return false;
  if (type != REG_MULTI_SZ) return false;
  pairs = parsePendingRenames(data);
  return true;
}

}  // namespace

REGSAM regViewFlag(RegRoot root, RegView view) {
  if (!isWindows64()) return 0;
  switch (root) {
    case RegRoot::Hkcr: return KEY_WOW64_64KEY;
    case RegRoot::Hklm: return view == RegView::View32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    case RegRoot::Hkcu: return 0;
  }
  return 0;
}

namespace {
LONG openRaw(RegRoot root, RegView view, const std::wstring& key, REGSAM access, HKEY& k) {
  k = nullptr;
  LONG rc = RegOpenKeyExW(hiveOf(root), subKeyOf(root, key).c_str(), 0, access | regViewFlag(root, view), &k);
  if (rc != ERROR_SUCCESS) k = nullptr;
  return rc;
}
}  // namespace

HKEY openKey(RegRoot root, RegView view, const std::wstring& key, REGSAM access) {
  HKEY k = nullptr;
  openRaw(root, view, key, access, k);
  return k;
}

bool readValue(RegRoot root, RegView view, const std::wstring& key, const std::wstring& name,
               DWORD& type, std::string& data) {
  data.clear();
  Key k(openKey(root, view, key, KEY_READ));
  if (!k) return false;
  DWORD size = 0;
  if (RegQueryValueExW(k.get(), name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) {
    return false;
  }
  data.resize(size);
  DWORD second = size;
  if (RegQueryValueExW(k.get(), name.c_str(), nullptr, &type,
                       reinterpret_cast<BYTE*>(data.data()), &second) != ERROR_SUCCESS) {
    data.clear();
    return false;
  }
  data.resize(std::min(second, size));
  return true;
}

bool readString(RegView view, const std::wstring& key, const std::wstring& name,
                std::wstring& text) {
  DWORD type = 0;
  std::string data;
  if (!readValue(RegRoot::Hklm, view, key, name, type, data)) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  text.assign(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return true;
}

bool readDword(const std::wstring& key, const std::wstring& name, DWORD& value) {
  DWORD type = 0;
  std::string data;
  if (!readValue(RegRoot::Hklm, RegView::View64, key, name, type, data)) return false;
  if (type != REG_DWORD || data.size() != sizeof(DWORD)) return false;
  memcpy(&value, data.data(), sizeof(DWORD));
  return true;
}

bool keyExists(RegRoot root, RegView view, const std::wstring& key) {
  Key k(openKey(root, view, key, KEY_READ));
  return static_cast<bool>(k);
}

bool createKey(RegRoot root, RegView view, const std::wstring& key, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::RegSet, root, view, key, nullptr, error)) return false;
  HKEY k = nullptr;
  LONG rc = RegCreateKeyExW(hiveOf(root), subKeyOf(root, key).c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE | KEY_CREATE_SUB_KEY | READ_CONTROL |
                                regViewFlag(root, view),
                            nullptr, &k, nullptr);
  if (rc != ERROR_SUCCESS) {
    setError(error, rc);
    return false;
  }
  RegCloseKey(k);
  return true;
}

bool writeValue(RegRoot root, RegView view, const std::wstring& key, const std::wstring& name,
                DWORD type, const void* data, size_t size, DWORD* error) {
  if (size > MAXDWORD) {
    setError(error, ERROR_INVALID_PARAMETER);
    return false;
  }
  if (ZS_FAULT_HOOK(FaultClass::RegSet, root, view, key, &name, error)) return false;
  HKEY raw = nullptr;
  LONG rc = RegCreateKeyExW(hiveOf(root), subKeyOf(root, key).c_str(), 0, nullptr, 0,
                            KEY_SET_VALUE | KEY_CREATE_SUB_KEY | READ_CONTROL |
                                regViewFlag(root, view),
                            nullptr, &raw, nullptr);
  if (rc != ERROR_SUCCESS) {
    setError(error, rc);
    return false;
  }
  Key k(raw);
  rc = RegSetValueExW(k.get(), name.c_str(), 0, type, static_cast<const BYTE*>(data),
                      static_cast<DWORD>(size));
  if (rc != ERROR_SUCCESS) {
    setError(error, rc);
    return false;
  }
  return true;
}

bool deleteValue(RegRoot root, RegView view, const std::wstring& key, const std::wstring& name, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::RegDelete, root, view, key, &name, error)) return false;
  Key k(openKey(root, view, key, KEY_SET_VALUE));
  if (!k) return true;
  LONG rc = RegDeleteValueW(k.get(), name.c_str());
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return true;
  setError(error, rc);
  return false;
}

bool isKeyEmpty(RegRoot root, RegView view, const std::wstring& key) {
  Key k(openKey(root, view, key, KEY_READ));
  if (!k) return false;
  DWORD subkeys = 0;
  DWORD values = 0;
  if (RegQueryInfoKeyW(k.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                       nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  return subkeys == 0 && values == 0;
}

bool deleteKeyIfEmpty(RegRoot root, RegView view, const std::wstring& key, DWORD* error) {
  HKEY raw = nullptr;
  LONG rc = RegOpenKeyExW(hiveOf(root), subKeyOf(root, key).c_str(), 0,
                          KEY_READ | regViewFlag(root, view), &raw);
  if (rc == ERROR_FILE_NOT_FOUND) return true;
  if (rc != ERROR_SUCCESS) {
    setError(error, rc);
    return false;
  }
  RegCloseKey(raw);
  if (!isKeyEmpty(root, view, key)) {
    setError(error, ERROR_DIR_NOT_EMPTY);
    return false;
  }
  if (ZS_FAULT_HOOK(FaultClass::RegDelete, root, view, key, nullptr, error)) return false;
  rc = RegDeleteKeyExW(hiveOf(root), subKeyOf(root, key).c_str(), regViewFlag(root, view), 0);
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return true;
  setError(error, rc);
  return false;
}

namespace {

// Deepest subkeys first, then the key itself in one call, its values with it: RegDeleteTree would
// empty the key's values one by one first, and a hive written to disk between two of them keeps a
// key that is there but half empty (an Apps & Features entry without its InstallLocation).
LONG deleteSubkeysThenKey(HKEY parent, const std::wstring& name, REGSAM view, int depth) {
  if (depth > 64) return ERROR_CANTOPEN;
  HKEY raw = nullptr;
  LONG rc = RegOpenKeyExW(parent, name.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | DELETE | view, &raw);
  if (rc != ERROR_SUCCESS) return rc;
  Key key(raw);
  std::vector<std::wstring> subkeys;
  DWORD listError = 0;
  if (!listSubkeys(key.get(), subkeys, &listError)) return static_cast<LONG>(listError);
  for (const std::wstring& sub : subkeys) {
    rc = deleteSubkeysThenKey(key.get(), sub, view, depth + 1);
    if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return rc;
  }
  return RegDeleteKeyExW(parent, name.c_str(), view, 0);
}

}  // namespace

bool deleteKeyTree(RegRoot root, RegView view, const std::wstring& key, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::RegDelete, root, view, key, nullptr, error)) return false;
  LONG rc = deleteSubkeysThenKey(hiveOf(root), subKeyOf(root, key), regViewFlag(root, view), 0);
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return true;
  setError(error, rc);
  return false;
}

bool flushKey(RegRoot root, RegView view, const std::wstring& key, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::RegFlush, root, view, key, nullptr, error)) return false;
  std::wstring path = key;
  for (;;) {
    HKEY raw = nullptr;
    LONG rc = openRaw(root, view, path, KEY_QUERY_VALUE, raw);
    if (rc == ERROR_SUCCESS) {
      rc = RegFlushKey(raw);
      RegCloseKey(raw);
      setError(error, rc);
      return rc == ERROR_SUCCESS;
    }
    if (rc != ERROR_FILE_NOT_FOUND) {
      setError(error, rc);
      return false;
    }
    size_t cut = path.find_last_of(L'\\');
    if (path.empty()) break;
    path = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
  }
  // Not even the root's own key opens (HKCR without its classes key): the root itself.
  LONG rc = RegFlushKey(hiveOf(root));
  setError(error, rc);
  return rc == ERROR_SUCCESS;
}

namespace {
// Opens the key for reading and lists it with the handle-taking form.
template <typename Entry>
bool listOpened(RegRoot root, RegView view, const std::wstring& key, std::vector<Entry>& entries, DWORD* error,
                bool (*list)(HKEY, std::vector<Entry>&, DWORD*)) {
  entries.clear();
  HKEY raw = nullptr;
  LONG rc = openRaw(root, view, key, KEY_READ, raw);
  if (rc != ERROR_SUCCESS) {
    setError(error, rc);
    return false;
  }
  Key k(raw);
  return list(k.get(), entries, error);
}
}  // namespace

bool listValues(RegRoot root, RegView view, const std::wstring& key, std::vector<RegValue>& values,
                DWORD* error) {
  return listOpened<RegValue>(root, view, key, values, error, listValues);
}

bool listSubkeys(RegRoot root, RegView view, const std::wstring& key, std::vector<std::wstring>& names,
                 DWORD* error) {
  return listOpened<std::wstring>(root, view, key, names, error, listSubkeys);
}

// Only ERROR_NO_MORE_ITEMS ends a listing well: any other stop leaves entries unread.
bool listValues(HKEY key, std::vector<RegValue>& values, DWORD* error) {
  constexpr int kGrowthRetries = 3;  // a value that grows between the size and the data read
  values.clear();
  std::vector<wchar_t> name(16384);
  int retries = 0;
  for (DWORD index = 0;;) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, nullptr, &size);
    if (rc == ERROR_NO_MORE_ITEMS) return true;
    if (rc == ERROR_SUCCESS) {
      RegValue value;
      value.data.resize(size);
      nameLength = static_cast<DWORD>(name.size());
      DWORD second = size;
      rc = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &value.type,
                         reinterpret_cast<BYTE*>(value.data.data()), &second);
      if (rc == ERROR_SUCCESS) {
        value.data.resize(std::min(second, size));
        value.name.assign(name.data(), nameLength);
        values.push_back(std::move(value));
        ++index;
        retries = 0;
        continue;
      }
      if (rc == ERROR_MORE_DATA && ++retries <= kGrowthRetries) continue;
    }
    setError(error, rc);
    return false;
  }
}

bool listSubkeys(HKEY key, std::vector<std::wstring>& names, DWORD* error) {
  names.clear();
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    LONG rc = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) return true;
    if (rc != ERROR_SUCCESS) {
      setError(error, rc);
      return false;
    }
    names.emplace_back(name, length);
  }
}

std::vector<PendingRename> parsePendingRenames(std::string_view data) {
  std::vector<std::wstring> strings;
  size_t count = data.size() / sizeof(wchar_t);
  std::wstring current;
  for (size_t i = 0; i < count; ++i) {
    wchar_t c;
    memcpy(&c, data.data() + i * sizeof(wchar_t), sizeof(wchar_t));
    if (c == L'\0') {
      strings.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  // A last string without its terminator is taken as it is.
  if (!current.empty()) strings.push_back(std::move(current));
  std::vector<PendingRename> pairs;
  for (size_t i = 0; i < strings.size(); i += 2) {
    if (strings[i].empty()) break;
    PendingRename pair;
    pair.source = strings[i];
    if (i + 1 < strings.size()) pair.target = strings[i + 1];
    pairs.push_back(std::move(pair));
  }
  return pairs;
}

std::string formatPendingRenames(const std::vector<PendingRename>& pairs) {
  std::wstring text;
  for (const auto& pair : pairs) {
    text += pair.source;
    text += L'\0';
    text += pair.target;
    text += L'\0';
  }
  text += L'\0';
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::vector<std::wstring> pendingDeletes(const PendingRenameLocation& where) {
  std::vector<std::wstring> paths;
  for (const wchar_t* name : kPendingValues) {
    std::vector<PendingRename> pairs;
    if (!readPendingValue(where, name, pairs)) continue;
    for (const auto& pair : pairs) {
      if (pair.target.empty()) paths.push_back(withoutNtPrefix(pair.source));
    }
  }
  return paths;
}

bool removePendingDeletes(const std::vector<std::wstring>& paths, DWORD* error,
                          const PendingRenameLocation& where) {
  if (!paths.empty() && ZS_FAULT_HOOK(FaultClass::RestartSchedule, L"remove " + paths.front(), error)) return false;
  for (const wchar_t* name : kPendingValues) {
    std::vector<PendingRename> pairs;
    if (!readPendingValue(where, name, pairs)) continue;
    std::vector<PendingRename> kept;
    for (auto& pair : pairs) {
      bool drop = false;
      if (pair.target.empty()) {
        std::wstring source = withoutNtPrefix(pair.source);
        for (const auto& path : paths) {
          if (equalsNoCase(source, path)) {
            drop = true;
            break;
          }
        }
      }
      if (!drop) kept.push_back(std::move(pair));
    }
    if (kept.size() == pairs.size()) continue;
    if (kept.empty()) {
      // deleteValue also answers true for a key it cannot open; here the value must be gone.
      Key k(openKey(where.root, where.view, where.key, KEY_SET_VALUE));
      LONG rc = k ? RegDeleteValueW(k.get(), name) : ERROR_ACCESS_DENIED;
      if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
        setError(error, ERROR_ACCESS_DENIED);
        return false;
      }
      continue;
    }
    std::string data = formatPendingRenames(kept);
    if (!writeValue(where.root, where.view, where.key, name, REG_MULTI_SZ, data.data(),
                    data.size(), error)) {
      return false;
    }
  }
  return true;
}

bool addPendingDeletes(const std::vector<std::wstring>& paths, DWORD* error, const PendingRenameLocation& where) {
  if (!paths.empty() && ZS_FAULT_HOOK(FaultClass::RestartSchedule, L"add " + paths.front(), error)) return false;
  Key k(openKey(where.root, where.view, where.key, KEY_QUERY_VALUE | KEY_SET_VALUE));
  if (!k) {
    setError(error, ERROR_ACCESS_DENIED);
    return false;
  }
  std::string data;
  DWORD type = REG_MULTI_SZ;
  for (int attempt = 0;; ++attempt) {
    DWORD size = static_cast<DWORD>(data.size());
    LONG rc = RegQueryValueExW(k.get(), kPendingValues[0], nullptr, &type,
                               data.empty() ? nullptr : reinterpret_cast<BYTE*>(data.data()), &size);
    if (rc == ERROR_FILE_NOT_FOUND) {
      data.clear();
      type = REG_MULTI_SZ;
      break;
    }
    if (rc == ERROR_SUCCESS && !data.empty()) {
      data.resize(std::min<size_t>(size, data.size()));
      break;
    }
    // A size asked for, or a list that grew since: read again with room for it.
    if ((rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) || attempt == 4) {
      setError(error, rc == ERROR_SUCCESS ? ERROR_MORE_DATA : rc);
      return false;
    }
    data.assign(size + 2 * sizeof(wchar_t), '\0');
  }
  // Another program's list in a shape we cannot read is never overwritten.
  if (type != REG_MULTI_SZ) {
    setError(error, ERROR_INVALID_DATA);
    return false;
  }
  std::vector<PendingRename> pairs = parsePendingRenames(data);
  for (const std::wstring& path : paths) pairs.push_back(PendingRename{std::wstring(kNtPrefix) + path, {}});
  data = formatPendingRenames(pairs);
  LONG rc = RegSetValueExW(k.get(), kPendingValues[0], 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                           static_cast<DWORD>(data.size()));
  setError(error, rc);
  return rc == ERROR_SUCCESS;
}

}  // namespace zs
