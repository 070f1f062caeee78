#include "platform/security.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <memory>

#include "platform/files.h"
#include "platform/handle.h"
#include "platform/system_library.h"
#include "platform/known_folders.h"
#include "temp_folder.h"

namespace zs {
namespace {

using test::staged;
using TempFolder = test::DriveRootFolder;
using Descriptor = std::unique_ptr<void, LocalFreeDeleter>;

Descriptor fromSddl(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd,
                                                                   nullptr))
      << "SDDL refused: " << GetLastError();
  return Descriptor(sd);
}

std::vector<BYTE> sidFrom(const wchar_t* text) {
  PSID sid = nullptr;
  EXPECT_TRUE(ConvertStringSidToSidW(text, &sid));
  std::vector<BYTE> copy(static_cast<BYTE*>(sid), static_cast<BYTE*>(sid) + GetLengthSid(sid));
  LocalFree(sid);
  return copy;
}

bool untrusted(const wchar_t* sddl, const TrustRules& rules = {}) {
  Descriptor sd = fromSddl(sddl);
  return descriptorHasUntrustedWriter(sd.get(), rules);
}

const wchar_t* kGoodDacl = L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;GRGX;;;BU)";

std::wstring withOwner(const wchar_t* owner, const wchar_t* dacl = kGoodDacl) {
  return std::wstring(L"O:") + owner + dacl;
}

TEST(SecurityDescriptor, TrustedOwners) {
  EXPECT_FALSE(untrusted(kProtectedFolderSddl));
  EXPECT_FALSE(untrusted(withOwner(L"SY").c_str()));
  EXPECT_FALSE(untrusted(
      withOwner(L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464").c_str()));
  // A standard user's folder fails even when its DACL gives that user nothing.
  EXPECT_TRUE(untrusted(withOwner(L"S-1-5-21-1-2-3-1001").c_str()));
  EXPECT_TRUE(untrusted(withOwner(L"BU").c_str()));
  EXPECT_TRUE(untrusted(withOwner(L"AN").c_str()));
  EXPECT_TRUE(untrusted(L"D:(A;;FA;;;BA)"));  // no owner at all
}

TEST(SecurityDescriptor, WriteBitsOfOrdinaryAccounts) {
  EXPECT_TRUE(untrusted(L"O:BAD:(A;;FA;;;BA)(A;OICI;0x1301bf;;;AU)"));  // Authenticated Users modify
  EXPECT_FALSE(untrusted(L"O:BAD:(A;;FA;;;BA)(A;OICI;0x1200a9;;;BU)"));
  // Attribute and extended-attribute writes, reading and SYNCHRONIZE do not count.
  EXPECT_FALSE(untrusted(L"O:BAD:(A;;0x100;;;BU)(A;;0x10;;;WD)(A;;0x100000;;;WD)"));
  for (const wchar_t* mask : {L"0x2", L"0x4", L"0x40", L"0x10000", L"0x40000", L"0x80000", L"GW",
                              L"GA", L"FW", L"SD", L"WD", L"WO"}) {
    std::wstring sddl = std::wstring(L"O:BAD:(A;;FA;;;BA)(A;;") + mask + L";;;BU)";
    EXPECT_TRUE(untrusted(sddl.c_str())) << sddl;
  }
}

TEST(SecurityDescriptor, CreatorAndOwnerEntries) {
  EXPECT_FALSE(untrusted(L"O:BAD:AI(A;OICIIOID;FA;;;CO)(A;OICIID;FA;;;BA)"));
  EXPECT_FALSE(untrusted(L"O:BAD:(A;OICIIO;FA;;;CG)"));
  EXPECT_FALSE(untrusted(L"O:BAD:(A;;FA;;;S-1-3-4)"));  // OWNER RIGHTS
}

TEST(SecurityDescriptor, EntriesThatAreIgnored) {
  EXPECT_FALSE(untrusted(L"O:BAD:(D;;FA;;;WD)(A;;FA;;;BA)"));  // deny Everyone
  EXPECT_FALSE(untrusted(L"O:BAD:(A;;FA;;;BA)S:(AU;SAFA;FA;;;WD)"));  // audit entry
  EXPECT_FALSE(untrusted(L"O:BAD:"));  // an empty DACL lets nobody in
}

TEST(SecurityDescriptor, NullOrMissingDaclFails) {
  // Built by hand: Wine's SDDL parser turns NO_ACCESS_CONTROL into an empty DACL.
  SECURITY_DESCRIPTOR sd;
  ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
  std::vector<BYTE> admins = sidFrom(L"BA");
  ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, admins.data(), FALSE));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE));
  EXPECT_TRUE(descriptorHasUntrustedWriter(&sd, {}));
  EXPECT_TRUE(untrusted(L"O:BA"));
  EXPECT_TRUE(descriptorHasUntrustedWriter(nullptr, {}));
}

// An allow entry of the callback form counts like a plain one.
TEST(SecurityDescriptor, CallbackAllowEntry) {
  for (DWORD mask : {DWORD{FILE_GENERIC_READ}, DWORD{FILE_WRITE_DATA}}) {
    std::vector<BYTE> everyone = sidFrom(L"S-1-1-0");
    std::vector<BYTE> aclBuffer(256);
    auto* acl = reinterpret_cast<PACL>(aclBuffer.data());
    ASSERT_TRUE(InitializeAcl(acl, static_cast<DWORD>(aclBuffer.size()), ACL_REVISION));
    std::vector<BYTE> ace(sizeof(ACE_HEADER) + sizeof(DWORD) + everyone.size());
    auto* header = reinterpret_cast<ACE_HEADER*>(ace.data());
    header->AceType = ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
    header->AceFlags = 0;
    header->AceSize = static_cast<WORD>(ace.size());
    memcpy(ace.data() + sizeof(ACE_HEADER), &mask, sizeof(mask));
    memcpy(ace.data() + sizeof(ACE_HEADER) + sizeof(DWORD), everyone.data(), everyone.size());
    ASSERT_TRUE(AddAce(acl, ACL_REVISION, MAXDWORD, ace.data(), static_cast<DWORD>(ace.size())));
    SECURITY_DESCRIPTOR sd;
    ASSERT_TRUE(InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION));
    std::vector<BYTE> admins = sidFrom(L"BA");
    ASSERT_TRUE(SetSecurityDescriptorOwner(&sd, admins.data(), FALSE));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE));
    EXPECT_EQ(descriptorHasUntrustedWriter(&sd, {}), mask == FILE_WRITE_DATA) << mask;
  }
}

// Under Wine the process's own account counts as trusted; nothing else changes.
TEST(SecurityDescriptor, ExtraTrustedAccount) {
  TrustRules wine{sidFrom(L"S-1-5-21-0-0-0-1000")};
  const wchar_t* wineFolder = L"O:S-1-5-21-0-0-0-1000D:(A;;FA;;;SY)(A;;FA;;;S-1-5-21-0-0-0-1000)(A;;0x1200a9;;;WD)";
  EXPECT_FALSE(untrusted(wineFolder, wine));
  EXPECT_TRUE(untrusted(wineFolder));
  EXPECT_TRUE(untrusted(
      L"O:S-1-5-21-0-0-0-1000D:(A;;FA;;;S-1-5-21-0-0-0-1000)(A;;0x1301ff;;;WD)", wine));
  EXPECT_TRUE(untrusted(L"O:AND:(A;;FA;;;SY)(A;;0x1200a9;;;WD)", wine));
  EXPECT_TRUE(untrusted(L"O:S-1-5-21-0-0-0-1001D:(A;;FA;;;SY)", wine));
}

TEST(SecurityRules, ProcessRulesFollowWine) {
  const TrustRules& rules = processTrustRules();
  EXPECT_EQ(!rules.extraAccount.empty(), runningUnderWine());
  if (!rules.extraAccount.empty()) {
    EXPECT_TRUE(isTrustedAccount(const_cast<BYTE*>(rules.extraAccount.data())));
  }
  std::wstring version;
  EXPECT_EQ(trustsOwnAccountUnderWine(&version), runningUnderWine());
  if (runningUnderWine()) {
    EXPECT_FALSE(version.empty());
  }
  std::vector<BYTE> users = sidFrom(L"BU");
  EXPECT_FALSE(isTrustedAccount(users.data()));
  std::vector<BYTE> admins = sidFrom(L"BA");
  EXPECT_TRUE(isTrustedAccount(admins.data()));
}

// A descriptor read from a folder of this account: trusted under the process rules (Wine),
// untrusted without the extra account.
TEST(SecurityFolders, WineAccountRuleBothWays) {
  ASSERT_TRUE(isDirectory(staged(L"owned\\mine"))) << "staging script did not run";
  if (!runningUnderWine()) GTEST_SKIP() << "Wine only";
  UniqueHandle h(openForAttributes(staged(L"owned\\mine"), READ_CONTROL));
  ASSERT_TRUE(h.valid());
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_EQ(GetSecurityInfo(h.get(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &sd),
            static_cast<DWORD>(ERROR_SUCCESS));
  Descriptor owned(sd);
  EXPECT_TRUE(descriptorHasUntrustedWriter(sd, TrustRules{}));
  EXPECT_FALSE(descriptorHasUntrustedWriter(sd, processTrustRules()));
  EXPECT_FALSE(hasUntrustedWriter(h.get()));
}

TEST(SecurityFolders, TrustedFolder) {
  EXPECT_TRUE(isTrustedFolder(staged(L"owned\\mine")));
  EXPECT_FALSE(isTrustedFolder(staged(L"owned\\other")));  // another owner (Anonymous)
  EXPECT_FALSE(isTrustedFolder(staged(L"owned\\open")));   // Everyone may write
  EXPECT_FALSE(isTrustedFolder(staged(L"linked\\link")));
  EXPECT_FALSE(isTrustedFolder(staged(L"outside\\target\\keep.txt")));
  EXPECT_FALSE(isTrustedFolder(staged(L"missing")));
}

TEST(SecurityFolders, PathTamperable) {
  EXPECT_FALSE(isPathTamperable(staged(L"owned\\mine\\child\\not-yet\\deeper")));
  EXPECT_TRUE(isPathTamperable(staged(L"owned\\open\\child\\not-yet")));
  EXPECT_TRUE(isPathTamperable(staged(L"owned\\open\\not-yet")));
  EXPECT_TRUE(isPathTamperable(staged(L"owned\\other\\child")));
  EXPECT_TRUE(isPathTamperable(staged(L"linked\\link\\not-yet")));
  EXPECT_TRUE(isPathTamperable(staged(L"outside\\target\\keep.txt")));  // a file is not a folder
  // Program Files and the Windows folder belong to trusted accounts (under Wine: this one's).
  EXPECT_FALSE(isPathTamperable(knownFolders().pf + L"\\Zelvan"));
  EXPECT_FALSE(isPathTamperable(knownFolders().pf32 + L"\\Brightmoor\\Zelvan"));
  // Nothing exists below the root, and the root itself is never examined.
  EXPECT_FALSE(isPathTamperable(L"C:\\zs-no-such-folder\\Zelvan"));
  EXPECT_FALSE(isPathTamperable(L"Q:\\Zelvan"));
}

TEST(SecurityFolders, ProtectFolder) {
  TempFolder t;
  EXPECT_TRUE(protectFolder(t.path()));
  ASSERT_TRUE(test::writeText(t / L"file", "x"));
  EXPECT_FALSE(protectFolder(t / L"file"));
  EXPECT_FALSE(protectFolder(staged(L"linked\\link")));
  EXPECT_TRUE(isTrustedFolder(staged(L"outside\\target")));
  EXPECT_FALSE(protectFolder(t / L"missing"));
  DWORD error = 0;
  EXPECT_TRUE(createProtectedFolder(t / L"made", &error));
  EXPECT_TRUE(isDirectory(t / L"made"));
  EXPECT_FALSE(createProtectedFolder(t / L"made", &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

}  // namespace
}  // namespace zs
