#include "uninstall/uninstall_record.h"

#include <algorithm>
#include <cstring>

#include "base/log.h"
#include "journal/journal.h"
#include "journal/journal_format.h"
#include "journal/record_kinds.h"
#include "platform/sha256.h"
#include "platform/files.h"
#include "base/text.h"
#include "platform/known_folders.h"
#include "base/paths.h"
#include "script/script.h"
#include "uninstall/existing_install.h"

namespace zs {

namespace {

std::wstring wideFromBytes(std::string_view bytes) {
  std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
  if (!text.empty()) std::memcpy(text.data(), bytes.data(), text.size() * sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

}  // namespace

bool readUninstallRecord(const std::wstring& entryName, RegView view, const std::wstring& folder,
                         const KnownFolders& folders, UninstallRecord& record, std::wstring& reason) {
  record = UninstallRecord{};
  std::wstring entry = uninstallKeyOf(entryName);
  std::wstring listSha;
  if (!readString(view, entry, L"ZelvanSetup: ListSha", listSha)) {
    reason = L"no ZelvanSetup: ListSha in the entry";
    return false;
  }
  std::wstring location;
  if (!readString(view, entry, L"InstallLocation", location)) {
    reason = L"no InstallLocation in the entry";
    return false;
  }
  std::string bytes;
  if (!readWholeFile(folder + L"\\" + kUninstallRecordName, kUninstallRecordMaxBytes, bytes)) {
    reason = L"the record of this install can't be read";
    return false;
  }
  bool hashed = false;
  std::wstring sha = sha256Hex(bytes, hashed);
  if (!hashed || !equalsNoCase(sha, listSha)) {
    reason = L"the record of this install does not match the entry's SHA-256";
    return false;
  }
  return parseUninstallRecord(bytes, location, folders, record, reason);
}

bool registryLineNumber(std::wstring_view data, uint32_t& number) {
  if (data.empty()) return false;
  uint32_t value = 0;
  for (wchar_t c : data) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10u + static_cast<uint32_t>(c - L'0');  // wraps: the low 32 bits are kept
  }
  number = value;
  return true;
}

bool encodeRegistryLine(const RegistryLine& line, DWORD& type, std::string& bytes) {
  if (equalsNoCase(line.type, L"dword")) {
    uint32_t number = 0;
    if (!registryLineNumber(line.data, number)) return false;
    type = REG_DWORD;
    bytes.assign(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
    return true;
  }
  type = REG_SZ;
  bytes.assign(reinterpret_cast<const char*>(line.data.c_str()), (line.data.size() + 1) * sizeof(wchar_t));
  return true;
}

bool registryValueHoldsLine(const RegistryLine& line, DWORD type, std::string_view bytes) {
  if (equalsNoCase(line.type, L"dword")) {
    DWORD wantType = 0;
    std::string want;
    return encodeRegistryLine(line, wantType, want) && type == REG_DWORD && bytes == want;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  return equalsNoCase(wideFromBytes(bytes), line.data);
}

bool journalKeyContent(JournalWriter& journal, RegRoot root, RegView view, const std::wstring& key) {
  if (!keyExists(root, view, key)) return true;
  journalRegOldKey(journal, root, view, key);
  std::vector<RegValue> values;
  std::vector<std::wstring> subkeys;
  DWORD error = 0;
  if (!listValues(root, view, key, values, &error) || !listSubkeys(root, view, key, subkeys, &error)) {
    // Only what was read in full can be put back, so the caller leaves the key.
    logWinError(L"Listing of the key " + key, error);
    return false;
  }
  for (const RegValue& v : values) journalRegOld(journal, root, view, key, v.name, v.type, v.data);
  for (const std::wstring& sub : subkeys)
    if (!journalKeyContent(journal, root, view, key + L"\\" + sub)) return false;
  return true;
}

bool removeRegistryLine(const RegistryLine& line, JournalWriter* journal) {
  const wchar_t* rootText = regRootName(line.root);
  bool wholeKey = equalsNoCase(line.uninstall, L"key");
  if (!wholeKey && !equalsNoCase(line.uninstall, L"value")) return true;
  // Only what the setup may write is the setup's to take away: a record naming anything else is
  // not acted on, and no journal gets a record its own path check would refuse.
  if (!isRegistryWriteAllowed(rootText, line.key, wholeKey ? std::wstring_view() : std::wstring_view(line.name))) {
    logf(L"Not removed, setup may not change this registry line: %ls\\%ls", rootText, line.key.c_str());
    return false;
  }

  if (wholeKey) {
    if (!keyExists(line.root, line.view, line.key)) return true;
    // A key whose content could not be written down in full is not deleted: rollback could not
    // bring all of it back.
    if (journal != nullptr && !journalKeyContent(*journal, line.root, line.view, line.key)) {
      logf(L"Could not remove the key %ls", line.key.c_str());
      return false;
    }
    DWORD error = 0;
    if (!deleteKeyTree(line.root, line.view, line.key, &error)) {
      logWinError(L"Could not remove the key " + line.key, error);
      return false;
    }
    return true;
  }

  bool done = true;
  DWORD type = 0;
  std::string bytes;
  if (readValue(line.root, line.view, line.key, line.name, type, bytes) && registryValueHoldsLine(line, type, bytes)) {
    if (journal != nullptr) journalRegOld(*journal, line.root, line.view, line.key, line.name, type, bytes);
    DWORD error = 0;
    if (!deleteValue(line.root, line.view, line.key, line.name, &error)) {
      logWinError(L"Could not remove the value " + line.name + L" of the key " + line.key, error);
      done = false;
    }
  }
  if (line.root == RegRoot::Hkcr && keyExists(line.root, line.view, line.key) &&
      isKeyEmpty(line.root, line.view, line.key)) {
    if (journal != nullptr) journalRegOldKey(*journal, line.root, line.view, line.key);
    DWORD error = 0;
    if (!deleteKeyIfEmpty(line.root, line.view, line.key, &error)) {
      logWinError(L"Could not remove the key " + line.key, error);
      done = false;
    }
  }
  return done;
}

}  // namespace zs
