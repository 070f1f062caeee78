// Which accounts may change a folder. The setup runs elevated and writes into folders programs
// run from, so it refuses to write through a folder that anyone but Administrators, Local System
// or TrustedInstaller could change (or swap for a link) between the check and the write.
// Checks fail closed: whatever exists but cannot be opened or read counts against the folder.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace zs {

// Any of these bits in an allow entry lets its account change the object.
inline constexpr DWORD kWriteAccessMask = GENERIC_WRITE | GENERIC_ALL | WRITE_OWNER | WRITE_DAC |
                                          DELETE | FILE_DELETE_CHILD | FILE_APPEND_DATA |
                                          FILE_WRITE_DATA;
static_assert(kWriteAccessMask == 0x500D0046);

// Owner Administrators; Administrators and Local System full, Users read and execute; protected.
inline constexpr const wchar_t* kProtectedFolderSddl =
    L"O:BAD:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;GRGX;;;BU)";

// Accounts trusted besides the three built-in ones. Under Wine the account the process runs as
// is one: Wine cannot store owners and shows every folder of its single account as owned by it.
struct TrustRules {
  std::vector<BYTE> extraAccount;  // a SID, or empty
};

// The rules of this process, settled on first use: on Windows none, under Wine the token's user.
const TrustRules& processTrustRules();

// Whether this process trusts its own account because it runs under Wine, with Wine's version;
// the caller logs "Running under Wine %s: its own account counts as an administrator." once.
bool trustsOwnAccountUnderWine(std::wstring* wineVersion = nullptr);

bool isTrustedAccount(PSID sid, const TrustRules& rules);
inline bool isTrustedAccount(PSID sid) { return isTrustedAccount(sid, processTrustRules()); }

// The pure test: whether the descriptor's owner or DACL lets an untrusted account change the
// object. A descriptor without an owner or with a null DACL fails.
bool descriptorHasUntrustedWriter(PSECURITY_DESCRIPTOR descriptor, const TrustRules& rules);

// Reads owner and DACL from a handle opened with READ_CONTROL; true also when they cannot be read.
bool hasUntrustedWriter(HANDLE object);
// A directory that is not a reparse point, according to the handle.
bool isRealDirectory(HANDLE object);
// A real directory, not a link, whose owner and DACL pass.
bool isTrustedFolder(const std::wstring& path);
// True when the path or any existing folder above it (the drive root excepted) fails.
bool isPathTamperable(const std::wstring& path);
// Puts the protected descriptor on a real directory (owner and a protected DACL).
bool protectFolder(const std::wstring& path);
// Creates a folder with the protected descriptor from the start.
bool createProtectedFolder(const std::wstring& path, DWORD* error = nullptr);

}  // namespace zs
