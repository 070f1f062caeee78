#include "platform/security.h"

#include <aclapi.h>
#include <sddl.h>

#include <memory>

#include "platform/fault_injection.h"
#include "platform/files.h"
#include "platform/handle.h"
#include "platform/system_library.h"

namespace zs {
namespace {

constexpr const wchar_t* kTrustedInstallerSid =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

std::vector<BYTE> copySid(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid)) return {};
  const auto* p = static_cast<const BYTE*>(sid);
  return std::vector<BYTE>(p, p + GetLengthSid(sid));
}

const std::vector<BYTE>& trustedInstaller() {
  static const std::vector<BYTE> sid = [] {
    PSID converted = nullptr;
    if (!ConvertStringSidToSidW(kTrustedInstallerSid, &converted)) return std::vector<BYTE>();
    std::vector<BYTE> copy = copySid(converted);
    LocalFree(converted);
    return copy;
  }();
  return sid;
}

bool sameSid(PSID sid, const std::vector<BYTE>& other) {
  return !other.empty() && EqualSid(sid, const_cast<BYTE*>(other.data()));
}

std::vector<BYTE> processUserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  UniqueHandle owned(token);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return {};
  std::vector<BYTE> buffer(size);
  if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  return copySid(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

bool isAllowedWriter(PSID sid, const TrustRules& rules) {
  return IsWellKnownSid(sid, WinCreatorOwnerSid) || IsWellKnownSid(sid, WinCreatorGroupSid) ||
         IsWellKnownSid(sid, WinCreatorOwnerRightsSid) || isTrustedAccount(sid, rules);
}

// The path must agree with the handle: Wine opens a link's target even when told not to, so a
// link is recognised from the path's own attributes as well.
bool isRealDirectoryAt(const std::wstring& path, HANDLE h) {
  DWORD a = GetFileAttributesW(path.c_str());
  if (a == INVALID_FILE_ATTRIBUTES || (a & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  return isRealDirectory(h);
}

}  // namespace

const TrustRules& processTrustRules() {
  static const TrustRules rules = [] {
    TrustRules r;
    if (runningUnderWine()) r.extraAccount = processUserSid();
    return r;
  }();
  return rules;
}

bool trustsOwnAccountUnderWine(std::wstring* wineVersion) {
  if (processTrustRules().extraAccount.empty()) return false;
  return runningUnderWine(wineVersion);
}

bool isTrustedAccount(PSID sid, const TrustRules& rules) {
  if (sid == nullptr || !IsValidSid(sid)) return false;
  return IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid) ||
         sameSid(sid, trustedInstaller()) || sameSid(sid, rules.extraAccount);
}

bool descriptorHasUntrustedWriter(PSECURITY_DESCRIPTOR descriptor, const TrustRules& rules) {
  if (descriptor == nullptr) return true;
  PSID owner = nullptr;
  BOOL ownerDefaulted = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted)) return true;
  if (!isTrustedAccount(owner, rules)) return true;
  BOOL present = FALSE;
  BOOL daclDefaulted = FALSE;
  PACL dacl = nullptr;
  if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &daclDefaulted)) return true;
  if (!present || dacl == nullptr) return true;  // a null DACL grants everyone everything
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace) || ace == nullptr) return true;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
        header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE) {
      continue;
    }
    // Both allow forms share this layout: header, mask, then the SID.
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    if ((allowed->Mask & kWriteAccessMask) == 0) continue;
    if (!isAllowedWriter(reinterpret_cast<PSID>(&allowed->SidStart), rules)) return true;
  }
  return false;
}

bool hasUntrustedWriter(HANDLE object) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(object, SE_FILE_OBJECT,
                      OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                      nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
    return true;
  }
  std::unique_ptr<void, LocalFreeDeleter> owned(descriptor);
  return descriptorHasUntrustedWriter(descriptor, processTrustRules());
}

bool isRealDirectory(HANDLE object) {
  FILE_BASIC_INFO basic{};
  if (!GetFileInformationByHandleEx(object, FileBasicInfo, &basic, sizeof(basic))) return false;
  return (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool isTrustedFolder(const std::wstring& path) {
  UniqueHandle h(openForAttributes(path, READ_CONTROL | FILE_READ_ATTRIBUTES));
  if (!h) return false;
  return isRealDirectoryAt(path, h.get()) && !hasUntrustedWriter(h.get());
}

bool isPathTamperable(const std::wstring& path) {
  std::wstring current = path;
  for (;;) {
    DWORD a = GetFileAttributesW(current.c_str());
    if (a != INVALID_FILE_ATTRIBUTES) {
      if (!isTrustedFolder(current)) return true;
    } else {
      DWORD code = GetLastError();
      // Only levels that do not exist yet are passed over.
      if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return true;
    }
    size_t slash = current.rfind(L'\\');
    if (slash == std::wstring::npos || slash < 3) return false;
    current.resize(slash);
  }
}

bool protectFolder(const std::wstring& path) {
  UniqueHandle h(openForAttributes(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER | SYNCHRONIZE |
                                             FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY |
                                             FILE_TRAVERSE));
  if (!h || !isRealDirectoryAt(path, h.get())) return false;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedFolderSddl, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return false;
  }
  std::unique_ptr<void, LocalFreeDeleter> owned(descriptor);
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present) {
    return false;
  }
  return SetSecurityInfo(h.get(), SE_FILE_OBJECT,
                         OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                             PROTECTED_DACL_SECURITY_INFORMATION,
                         owner, nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

bool createProtectedFolder(const std::wstring& path, DWORD* error) {
  if (ZS_FAULT_HOOK(FaultClass::FolderCreate, path, error)) return false;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedFolderSddl, SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    if (error != nullptr) *error = GetLastError();
    return false;
  }
  std::unique_ptr<void, LocalFreeDeleter> owned(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
  if (CreateDirectoryW(path.c_str(), &attributes)) return true;
  if (error != nullptr) *error = GetLastError();
  return false;
}

}  // namespace zs
