// Finding an earlier install of Zelvan: this setup's own Apps & Features entry, or the entry of
// the earlier installer that the script's [Legacy] UninstallKey values name. What is found decides
// the run's old install folder, its default tasks and whether it repairs or upgrades.
//
// Detection never fails: missing values read as empty, an entry whose folder cannot be used is an
// orphan (reported, and the run then counts as fresh), a file without a version leaves the version
// unknown.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace zs {

struct KnownFolders;
struct SetupScript;

enum class InstallKind : int32_t { None = 0, Own = 1, Inno = 2 };

struct ExistingInstall {
  InstallKind kind = InstallKind::None;
  bool orphan = false;
  RegView view = RegView::View64;
  std::wstring entryName;  // the key name below the Apps & Features root
  std::wstring folder;     // full long path; empty for none and for an orphan
  std::wstring tasks;      // as stored, comma-separated
  bool versionKnown = false;
  std::wstring version;    // "%u.%u.%u.%u"
  uint16_t versionParts[4] = {};

  bool found() const { return kind != InstallKind::None; }
  // An install whose folder this run takes over (not none, not an orphan).
  bool usable() const { return found() && !orphan; }
};

// "none", "own" or "Inno".
const wchar_t* installKindName(InstallKind kind);

// The key of an Apps & Features entry below HKLM.
std::wstring uninstallKeyOf(std::wstring_view entryName);

// Probes the own entry ("{" + AppId + "}") in the 64-bit view, then (64-bit Windows) the 32-bit
// one, then each legacy entry name, 32-bit view first on 64-bit Windows.
ExistingInstall detectExistingInstall(const SetupScript& script, const KnownFolders& folders);

// One entry; false when its key does not exist in that view.
bool probeInstallEntry(const std::wstring& entryName, RegView view, InstallKind kind, const KnownFolders& folders,
                       ExistingInstall& result);

// A version text of one to four parts of decimal digits, each at most 65535; missing parts are 0.
bool parseVersion(std::wstring_view text, uint16_t parts[4]);
// Negative, zero or positive as a is older than, equal to or newer than b.
int compareVersions(const uint16_t a[4], const uint16_t b[4]);

}  // namespace zs
