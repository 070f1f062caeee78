// The uninstall record's file format: the header "ZSU1\n", then one line per item, kind and fields
// separated by tabs and escaped as journal fields are. Reading checks every line against its kind's
// rule, since the uninstaller deletes what the record names with administrator rights. Portable: the
// reader is fuzzed natively.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry_names.h"

namespace zs {

struct KnownFolders;

// One registry value of the script as an install writes it: the data has its path variables
// expanded, the type is lower case ("string" or "dword"), the Uninstall mode is "value", "key" or
// "none".
struct RegistryLine {
  RegRoot root = RegRoot::Hkcr;
  RegView view = RegView::View64;
  std::wstring key;
  std::wstring name;  // empty: the key's default value
  std::wstring type;
  std::wstring data;
  std::wstring uninstall;
};

// A registry key an install created.
struct RegistryKeyRef {
  RegRoot root = RegRoot::Hkcr;
  RegView view = RegView::View64;
  std::wstring key;
};

struct UninstallRecord {
  std::wstring app;                 // the install folder
  std::vector<std::wstring> ngen;   // assemblies with native images, dependants first
  std::vector<std::wstring> lnk;    // shortcut files
  std::vector<std::wstring> file;   // program files, relative to app
  std::vector<std::wstring> dir;    // folders below app that hold program files, deepest first
  std::vector<RegistryLine> reg;
  std::vector<RegistryKeyRef> key;  // deepest first
};

inline constexpr std::string_view kUninstallRecordHeader = "ZSU1\n";
inline constexpr const wchar_t* kUninstallRecordName = L"ZelvanUninstall.zsu";
inline constexpr uint64_t kUninstallRecordMaxBytes = 16777216;

// The record's bytes: the header, then one line per item in the order app, ngen, lnk, reg, key,
// file, dir, fields escaped as journal fields are.
std::string serializeUninstallRecord(const UninstallRecord& record);

// The lines of a record whose hash has already been checked. installLocation is the entry's
// InstallLocation; folders gives {programs} and {desktop} for the "lnk" lines.
bool parseUninstallRecord(std::string_view bytes, std::wstring_view installLocation, const KnownFolders& folders,
                          UninstallRecord& record, std::wstring& reason);


}  // namespace zs
