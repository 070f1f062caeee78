#include "install/registry_lines.h"

#include <windows.h>


#include "base/log.h"
#include "journal/record_kinds.h"
#include "base/text.h"
#include "base/paths.h"

namespace zs {

namespace {

std::wstring lowerAscii(std::wstring text) {
  for (wchar_t& c : text)
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  return text;
}

bool sameValuePlace(const RegistryLine& a, const RegistryLine& b) {
  return a.root == b.root && a.view == b.view && equalsNoCase(a.key, b.key) && equalsNoCase(a.name, b.name);
}

// The value's present state. False when it cannot be told whether the value is there: a value
// that exists but is journalled as new would be deleted by rollback instead of restored.
bool readPresentValue(RegRoot root, RegView view, const std::wstring& key, const std::wstring& name, bool& present,
                      DWORD& type, std::string& bytes) {
  present = readValue(root, view, key, name, type, bytes);
  if (present) return true;
  std::vector<RegValue> values;
  if (!listValues(root, view, key, values)) return false;
  for (RegValue& v : values) {
    if (!equalsNoCase(v.name, name)) continue;
    present = true;
    type = v.type;
    bytes = std::move(v.data);
  }
  return true;
}

}  // namespace

RegistryLine registryLineOf(const RegistryEntry& entry, const VariableTable& variables) {
  RegistryLine line;
  parseRegRoot(entry.root, line.root);
  line.view = RegView::View64;
  line.key = entry.key;
  line.name = entry.name;
  line.type = lowerAscii(entry.type);
  line.data = expandPaths(entry.data, variables);
  line.uninstall = entry.uninstall;
  return line;
}

void createMissingKeysWithJournal(InstallRun& run, RegRoot root, RegView view, const std::wstring& key) {
  if (keyExists(root, view, key)) return;
  size_t at = 0;
  for (;;) {
    size_t slash = key.find(L'\\', at);
    std::wstring prefix = slash == std::wstring::npos ? key : key.substr(0, slash);
    if (!keyExists(root, view, prefix)) {
      journalKeyNew(run.journal, root, view, prefix);
      DWORD error = 0;
      if (!createKey(root, view, prefix, &error)) raiseRegistryFailure(prefix, error);
      run.keysCreated.push_back({root, view, prefix});
    }
    if (slash == std::wstring::npos) return;
    at = slash + 1;
  }
}

void writeOneValue(InstallRun& run, RegRoot root, RegView view, const std::wstring& key, const std::wstring& name,
                   DWORD type, std::string_view bytes) {
  createMissingKeysWithJournal(run, root, view, key);
  bool present = false;
  DWORD oldType = 0;
  std::string oldBytes;
  if (!readPresentValue(root, view, key, name, present, oldType, oldBytes)) {
    logf(L"Couldn't read what the registry key %ls holds, so its value %ls is not changed.", key.c_str(), name.c_str());
    throw Stop::failed(StopCategory::RegistryFailed, key);
  }
  if (present)
    journalRegOld(run.journal, root, view, key, name, oldType, oldBytes);
  else
    journalRegNew(run.journal, root, view, key, name);
  DWORD error = 0;
  if (!writeValue(root, view, key, name, type, bytes.data(), bytes.size(), &error)) raiseRegistryFailure(key, error);
}

void writeRegistryLines(InstallRun& run) {
  std::vector<RegistryLine> wanted;
  for (const RegistryEntry& e : run.script.registry)
    if (entryApplies(e.tasks, e.enabled, run.request.tasks)) wanted.push_back(registryLineOf(e, run.variables));

  if (run.hasOldFolder()) {
    for (const RegistryEntry& e : run.script.registry)
      if (!entryApplies(e.tasks, e.enabled, run.request.tasks)) removeRegistryLine(registryLineOf(e, run.variables), &run.journal);
    if (run.oldRecordUsable) {
      for (const RegistryLine& old : run.oldRecord.reg) {
        bool stillWanted = false;
        for (const RegistryLine& line : wanted) stillWanted = stillWanted || sameValuePlace(old, line);
        if (!stillWanted) removeRegistryLine(old, &run.journal);
      }
    }
  }

  int32_t count = 0;
  for (const RegistryLine& line : wanted) {
    ++count;
    run.cancelPoint();
    DWORD type = 0;
    std::string bytes;
    if (!encodeRegistryLine(line, type, bytes)) {
      logf(L"The registry line for %ls has data that is not a number: %ls", line.key.c_str(), line.data.c_str());
      throw Stop::failed(StopCategory::RegistryFailed, line.key);
    }
    writeOneValue(run, line.root, line.view, line.key, line.name, type, bytes);
    run.linesWritten.push_back(line);
  }
  logf(L"Registry lines written: %d.", count);
}

}  // namespace zs
