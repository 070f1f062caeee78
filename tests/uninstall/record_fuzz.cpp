// libFuzzer target: any bytes as an uninstall record. A record is refused with a reason and gives
// nothing, or everything it gives stays inside what an install could have made: the install folder,
// the two shortcut folders, relative program paths, keys the setup may write. What is accepted
// comes back the same through a second write and read.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/text.h"
#include "platform/known_folders.h"
#include "base/paths.h"
#include "script/script.h"
#include "uninstall/record_format.h"

namespace {

bool clean(std::wstring_view text) {
  for (wchar_t c : text)
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

void check(bool condition) {
  if (!condition) std::abort();
}

bool same(const zs::UninstallRecord& a, const zs::UninstallRecord& b) {
  if (a.app != b.app || a.ngen != b.ngen || a.lnk != b.lnk || a.file != b.file || a.dir != b.dir ||
      a.reg.size() != b.reg.size() || a.key.size() != b.key.size())
    return false;
  for (size_t i = 0; i < a.reg.size(); ++i) {
    const zs::RegistryLine &x = a.reg[i], &y = b.reg[i];
    if (x.root != y.root || x.view != y.view || x.key != y.key || x.name != y.name || x.type != y.type ||
        x.data != y.data || x.uninstall != y.uninstall)
      return false;
  }
  for (size_t i = 0; i < a.key.size(); ++i)
    if (a.key[i].root != b.key[i].root || a.key[i].view != b.key[i].view || a.key[i].key != b.key[i].key) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::wstring location = L"C:\\Program Files\\Zelvan";
  static zs::KnownFolders folders = [] {
    zs::KnownFolders f;
    f.programs = L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";
    f.desktop = L"C:\\Users\\Public\\Desktop";
    return f;
  }();
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  zs::UninstallRecord record;
  std::wstring reason;
  if (!zs::parseUninstallRecord(bytes, location, folders, record, reason)) {
    check(!reason.empty() && record.app.empty() && record.file.empty() && record.reg.empty());
    return 0;
  }
  check(zs::normalizePath(record.app) == record.app && clean(record.app));
  for (const std::wstring& path : record.ngen) check(clean(path) && zs::isInside(path, record.app));
  for (const std::wstring& path : record.lnk)
    check(clean(path) && (zs::isInside(path, folders.programs) || zs::isInside(path, folders.desktop)) &&
          zs::endsWithNoCase(path, L".lnk"));
  for (const std::wstring& path : record.file) check(clean(path) && zs::isRelativePathOk(path, false));
  for (const std::wstring& path : record.dir) check(clean(path) && zs::isRelativePathOk(path, false));
  for (const zs::RegistryKeyRef& key : record.key)
    // The Run key holds the one start-up value the setup may write; any other key must be writable.
    check(clean(key.key) && zs::isRegistryWriteAllowed(zs::regRootName(key.root), key.key, L"Zelvan"));
  for (const zs::RegistryLine& line : record.reg) check(clean(line.key) && clean(line.name));

  zs::UninstallRecord again;
  check(zs::parseUninstallRecord(zs::serializeUninstallRecord(record), location, folders, again, reason));
  check(same(record, again));
  return 0;
}
