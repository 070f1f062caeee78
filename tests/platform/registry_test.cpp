#include "platform/registry.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/known_folders.h"
#include "temp_folder.h"

namespace zs {
namespace {

// A literal with its embedded zeros, without the compiler's final one.
template <size_t N>
std::wstring lit(const wchar_t (&text)[N]) {
  return std::wstring(text, N - 1);
}

const std::wstring kTestKey = L"SOFTWARE\\ZelvanPlatformTest";

std::string wideBytes(std::wstring_view text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { deleteKeyTree(RegRoot::Hklm, RegView::View64, kTestKey); }
  void TearDown() override {
    deleteKeyTree(RegRoot::Hklm, RegView::View64, kTestKey);
    deleteKeyTree(RegRoot::Hklm, RegView::View32, kTestKey);
    deleteKeyTree(RegRoot::Hkcr, RegView::View64, L".zs-platform-test");
  }
  bool write(const std::wstring& key, const std::wstring& name, DWORD type, std::string_view data,
             RegView view = RegView::View64) {
    return writeValue(RegRoot::Hklm, view, key, name, type, data.data(), data.size());
  }
};

TEST(RegistryNames, RootsAndViews) {
  RegRoot root{};
  EXPECT_TRUE(parseRegRoot(L"hkcr", root));
  EXPECT_EQ(root, RegRoot::Hkcr);
  EXPECT_TRUE(parseRegRoot(L"HKLM", root));
  EXPECT_EQ(root, RegRoot::Hklm);
  EXPECT_TRUE(parseRegRoot(L"HkCu", root));
  EXPECT_EQ(root, RegRoot::Hkcu);
  EXPECT_FALSE(parseRegRoot(L"HKU", root));
  EXPECT_FALSE(parseRegRoot(L"HKLM ", root));
  RegView view{};
  EXPECT_TRUE(parseRegView(L"32", view));
  EXPECT_EQ(view, RegView::View32);
  EXPECT_TRUE(parseRegView(L"64", view));
  EXPECT_EQ(view, RegView::View64);
  EXPECT_FALSE(parseRegView(L"x64", view));
  EXPECT_STREQ(regRootName(RegRoot::Hkcu), L"HKCU");
  EXPECT_STREQ(regViewName(RegView::View32), L"32");
  EXPECT_EQ(regViewFlag(RegRoot::Hkcu, RegView::View32), 0u);
  if (isWindows64()) {
    EXPECT_EQ(regViewFlag(RegRoot::Hkcr, RegView::View32), static_cast<REGSAM>(KEY_WOW64_64KEY));
    EXPECT_EQ(regViewFlag(RegRoot::Hklm, RegView::View32), static_cast<REGSAM>(KEY_WOW64_32KEY));
  }
}

TEST_F(Registry, ClassesRootIsTheMachines64BitView) {
  ASSERT_TRUE(isWindows64());
  std::string data = wideBytes(std::wstring(L"Zelvan.Document") + L'\0');
  ASSERT_TRUE(writeValue(RegRoot::Hkcr, RegView::View32, L".zs-platform-test", L"", REG_SZ,
                         data.data(), data.size()));
  HKEY k = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\.zs-platform-test", 0,
                          KEY_READ | KEY_WOW64_64KEY, &k),
            ERROR_SUCCESS);
  RegCloseKey(k);
  EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Wow6432Node\\Classes\\.zs-platform-test",
                          0, KEY_READ | KEY_WOW64_64KEY, &k),
            ERROR_SUCCESS);
  std::wstring text;
  EXPECT_TRUE(readString(RegView::View64, L"SOFTWARE\\Classes\\.zs-platform-test", L"", text));
  EXPECT_EQ(text, L"Zelvan.Document");
}

// A flush reaches the key's hive whether the key is there, was deleted, or never was (through its
// nearest existing parent), in each root and view; the content is left as it was.
TEST_F(Registry, FlushReachesTheHiveOfAnyKeyLeftAsItWas) {
  ASSERT_TRUE(write(kTestKey + L"\\kept", L"v", REG_SZ, wideBytes(L"stays")));
  ASSERT_TRUE(write(kTestKey + L"\\gone", L"v", REG_SZ, wideBytes(L"goes")));
  ASSERT_TRUE(deleteKeyTree(RegRoot::Hklm, RegView::View64, kTestKey + L"\\gone"));
  struct Case {
    RegRoot root;
    RegView view;
    std::wstring key;
  } cases[] = {
      {RegRoot::Hklm, RegView::View64, kTestKey + L"\\kept"},
      {RegRoot::Hklm, RegView::View64, kTestKey + L"\\gone"},
      {RegRoot::Hklm, RegView::View32, kTestKey + L"\\never\\made\\at all"},
      {RegRoot::Hkcr, RegView::View64, L".zs-platform-test\\never"},
      {RegRoot::Hkcu, RegView::View64, L"Software\\ZelvanPlatformTest\\never"},
      {RegRoot::Hklm, RegView::View64, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager"},
      {RegRoot::Hklm, RegView::View64, L""},
  };
  for (const Case& c : cases) {
    DWORD error = 12345;
    EXPECT_TRUE(flushKey(c.root, c.view, c.key, &error)) << c.key.c_str();
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_SUCCESS)) << c.key.c_str();
  }
  std::wstring text;
  EXPECT_TRUE(readString(RegView::View64, kTestKey + L"\\kept", L"v", text));
  EXPECT_EQ(text, L"stays");
  EXPECT_FALSE(keyExists(RegRoot::Hklm, RegView::View64, kTestKey + L"\\gone"));
  EXPECT_FALSE(keyExists(RegRoot::Hklm, RegView::View32, kTestKey + L"\\never"));
  EXPECT_FALSE(keyExists(RegRoot::Hkcr, RegView::View64, L".zs-platform-test"));
}

TEST_F(Registry, ViewsAreSeparate) {
  ASSERT_TRUE(write(kTestKey, L"v", REG_SZ, wideBytes(L"sixty-four"), RegView::View64));
  ASSERT_TRUE(write(kTestKey, L"v", REG_SZ, wideBytes(L"thirty-two"), RegView::View32));
  std::wstring text;
  ASSERT_TRUE(readString(RegView::View64, kTestKey, L"v", text));
  EXPECT_EQ(text, L"sixty-four");
  ASSERT_TRUE(readString(RegView::View32, kTestKey, L"v", text));
  EXPECT_EQ(text, L"thirty-two");
}

TEST_F(Registry, ReadTypedValues) {
  ASSERT_TRUE(write(kTestKey, L"two-zeros", REG_SZ, wideBytes(lit(L"text\0\0"))));
  ASSERT_TRUE(write(kTestKey, L"expand", REG_EXPAND_SZ, wideBytes(lit(L"%WINDIR%\0"))));
  DWORD seven = 7;
  ASSERT_TRUE(write(kTestKey, L"dword", REG_DWORD, std::string_view(reinterpret_cast<char*>(&seven), 4)));
  ASSERT_TRUE(write(kTestKey, L"short", REG_DWORD, std::string_view("\x01\x02", 2)));
  std::wstring text;
  EXPECT_TRUE(readString(RegView::View64, kTestKey, L"two-zeros", text));
  EXPECT_EQ(text, L"text");
  EXPECT_TRUE(readString(RegView::View64, kTestKey, L"expand", text));
  EXPECT_EQ(text, L"%WINDIR%");
  EXPECT_FALSE(readString(RegView::View64, kTestKey, L"dword", text));
  EXPECT_FALSE(readString(RegView::View64, kTestKey, L"missing", text));
  DWORD value = 0;
  EXPECT_TRUE(readDword(kTestKey, L"dword", value));
  EXPECT_EQ(value, 7u);
  EXPECT_FALSE(readDword(kTestKey, L"short", value));
  EXPECT_FALSE(readDword(kTestKey, L"two-zeros", value));
  DWORD type = 0;
  std::string raw;
  EXPECT_TRUE(readValue(RegRoot::Hklm, RegView::View64, kTestKey, L"short", type, raw));
  EXPECT_EQ(raw, std::string("\x01\x02", 2));
}

TEST_F(Registry, KeysAndDeletes) {
  std::wstring sub = kTestKey + L"\\a\\b";
  EXPECT_FALSE(keyExists(RegRoot::Hklm, RegView::View64, sub));
  EXPECT_TRUE(deleteValue(RegRoot::Hklm, RegView::View64, sub, L"x"));  // no key: fine
  EXPECT_TRUE(deleteKeyIfEmpty(RegRoot::Hklm, RegView::View64, sub));    // missing: fine
  ASSERT_TRUE(createKey(RegRoot::Hklm, RegView::View64, sub));
  EXPECT_TRUE(keyExists(RegRoot::Hklm, RegView::View64, sub));
  EXPECT_TRUE(isKeyEmpty(RegRoot::Hklm, RegView::View64, sub));
  ASSERT_TRUE(write(sub, L"one", REG_SZ, wideBytes(L"1")));
  EXPECT_FALSE(isKeyEmpty(RegRoot::Hklm, RegView::View64, sub));
  EXPECT_FALSE(deleteKeyIfEmpty(RegRoot::Hklm, RegView::View64, sub));
  EXPECT_TRUE(keyExists(RegRoot::Hklm, RegView::View64, sub));
  EXPECT_FALSE(deleteKeyIfEmpty(RegRoot::Hklm, RegView::View64, kTestKey + L"\\a"));  // has a sub-key
  EXPECT_TRUE(deleteValue(RegRoot::Hklm, RegView::View64, sub, L"one"));
  EXPECT_TRUE(deleteValue(RegRoot::Hklm, RegView::View64, sub, L"one"));
  EXPECT_TRUE(deleteKeyIfEmpty(RegRoot::Hklm, RegView::View64, sub));
  EXPECT_FALSE(keyExists(RegRoot::Hklm, RegView::View64, sub));
  ASSERT_TRUE(write(sub + L"\\c", L"deep", REG_SZ, wideBytes(L"d")));
  ASSERT_TRUE(write(sub + L"\\c\\d\\e", L"deeper", REG_SZ, wideBytes(L"e")));
  ASSERT_TRUE(write(sub + L"\\f", L"", REG_SZ, wideBytes(L"f")));
  ASSERT_TRUE(write(kTestKey + L"\\a", L"top", REG_SZ, wideBytes(L"t")));
  EXPECT_TRUE(deleteKeyTree(RegRoot::Hklm, RegView::View64, kTestKey + L"\\a"));
  EXPECT_FALSE(keyExists(RegRoot::Hklm, RegView::View64, kTestKey + L"\\a"));
  EXPECT_TRUE(deleteKeyTree(RegRoot::Hklm, RegView::View64, kTestKey + L"\\a"));
}

TEST_F(Registry, Listings) {
  ASSERT_TRUE(write(kTestKey, L"s", REG_SZ, wideBytes(lit(L"x\0"))));
  ASSERT_TRUE(write(kTestKey, L"b", REG_BINARY, std::string_view("\x00\x01\x02", 3)));
  ASSERT_TRUE(createKey(RegRoot::Hklm, RegView::View64, kTestKey + L"\\k1"));
  ASSERT_TRUE(createKey(RegRoot::Hklm, RegView::View64, kTestKey + L"\\k2"));
  std::vector<RegValue> values;
  ASSERT_TRUE(listValues(RegRoot::Hklm, RegView::View64, kTestKey, values));
  ASSERT_EQ(values.size(), 2u);
  for (const auto& v : values) {
    if (v.name == L"b") {
      EXPECT_EQ(v.type, static_cast<DWORD>(REG_BINARY));
      EXPECT_EQ(v.data, std::string("\x00\x01\x02", 3));
    } else {
      EXPECT_EQ(v.name, L"s");
      EXPECT_EQ(v.data, wideBytes(lit(L"x\0")));
    }
  }
  std::vector<std::wstring> names;
  ASSERT_TRUE(listSubkeys(RegRoot::Hklm, RegView::View64, kTestKey, names));
  EXPECT_EQ(names, (std::vector<std::wstring>{L"k1", L"k2"}));
  EXPECT_FALSE(listSubkeys(RegRoot::Hklm, RegView::View64, kTestKey + L"\\none", names));
  EXPECT_FALSE(listValues(RegRoot::Hklm, RegView::View64, kTestKey + L"\\none", values));
}

// A listing that does not reach the end of the list says so: a key whose content was read only
// in part must never pass for complete (its deletion would lose what was not read).
TEST_F(Registry, AListingThatStopsBeforeTheEndFails) {
  ASSERT_TRUE(write(kTestKey, L"s", REG_SZ, wideBytes(lit(L"x\0"))));
  ASSERT_TRUE(createKey(RegRoot::Hklm, RegView::View64, kTestKey + L"\\k1"));
  HKEY open = openKey(RegRoot::Hklm, RegView::View64, kTestKey, KEY_READ);
  ASSERT_NE(open, nullptr);
  ASSERT_TRUE(deleteKeyTree(RegRoot::Hklm, RegView::View64, kTestKey));  // gone while it is listed
  std::vector<RegValue> values;
  std::vector<std::wstring> names;
  DWORD error = 0;
  EXPECT_FALSE(listValues(open, values, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_KEY_DELETED));
  error = 0;
  EXPECT_FALSE(listSubkeys(open, names, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_KEY_DELETED));
  RegCloseKey(open);
  EXPECT_FALSE(listSubkeys(RegRoot::Hklm, RegView::View64, kTestKey, names, &error));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(PendingRenameData, ParseAndFormat) {
  std::wstring text = lit(L"\\??\\C:\\a\0\0\\??\\C:\\b\0C:\\c\0\0");
  auto pairs = parsePendingRenames(wideBytes(text));
  ASSERT_EQ(pairs.size(), 2u);
  EXPECT_EQ(pairs[0].source, L"\\??\\C:\\a");
  EXPECT_EQ(pairs[0].target, L"");
  EXPECT_EQ(pairs[1].source, L"\\??\\C:\\b");
  EXPECT_EQ(pairs[1].target, L"C:\\c");
  EXPECT_EQ(formatPendingRenames(pairs), wideBytes(text));
  // A source without its terminator at the very end is taken as it is.
  pairs = parsePendingRenames(wideBytes(lit(L"\\??\\C:\\x")));
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_EQ(pairs[0].source, L"\\??\\C:\\x");
  // An empty source ends the list; an odd byte is ignored.
  pairs = parsePendingRenames(wideBytes(lit(L"a\0\0\0b\0\0")) + "x");
  ASSERT_EQ(pairs.size(), 1u);
  EXPECT_TRUE(parsePendingRenames("").empty());
}

class PendingRenames : public Registry {
 protected:
  PendingRenameLocation where{RegRoot::Hklm, RegView::View64, kTestKey + L"\\Session Manager"};
  void put(const wchar_t* name, const std::wstring& text, DWORD type = REG_MULTI_SZ) {
    ASSERT_TRUE(write(where.key, name, type, wideBytes(text)));
  }
  std::wstring get(const wchar_t* name) {
    DWORD type = 0;
    std::string data;
    if (!readValue(where.root, where.view, where.key, name, type, data)) return L"<none>";
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
  }
};

const std::wstring kOurs = lit(L"\\??\\C:\\Program Files\\Zelvan\\.zsold\\a.dll\0\0");
const std::wstring kTheirs = lit(L"\\??\\C:\\Other\\new.sys\0\\??\\C:\\Other\\old.sys\0");

TEST_F(PendingRenames, ListsDeletesOnly) {
  put(L"PendingFileRenameOperations", kOurs + kTheirs + L'\0');
  put(L"PendingFileRenameOperations2", lit(L"C:\\no-prefix\0\0\0"));
  EXPECT_EQ(pendingDeletes(where),
            (std::vector<std::wstring>{L"C:\\Program Files\\Zelvan\\.zsold\\a.dll", L"C:\\no-prefix"}));
}

TEST_F(PendingRenames, RemovingKeepsOtherProgramsPairs) {
  put(L"PendingFileRenameOperations", kOurs + kTheirs + L'\0');
  put(L"PendingFileRenameOperations2", kOurs + L'\0');
  DWORD error = 0;
  ASSERT_TRUE(removePendingDeletes({L"c:\\program files\\zelvan\\.zsold\\A.DLL"}, &error, where));
  EXPECT_EQ(get(L"PendingFileRenameOperations"), kTheirs + L'\0');
  EXPECT_EQ(get(L"PendingFileRenameOperations2"), L"<none>");
  EXPECT_TRUE(pendingDeletes(where).empty());
}

TEST_F(PendingRenames, UnmatchedOrWrongTypeLeftAlone) {
  // The rename whose source is ours is another program's rename, not our delete.
  std::wstring renameOfOurs = lit(L"\\??\\C:\\Z\\a.dll\0C:\\Z\\b.dll\0\0");
  put(L"PendingFileRenameOperations", renameOfOurs);
  put(L"PendingFileRenameOperations2", lit(L"\\??\\C:\\Z\\c.dll\0\0\0"), REG_SZ);
  ASSERT_TRUE(removePendingDeletes({L"C:\\Z\\a.dll", L"C:\\Z\\c.dll"}, nullptr, where));
  EXPECT_EQ(get(L"PendingFileRenameOperations"), renameOfOurs);
  EXPECT_EQ(get(L"PendingFileRenameOperations2"), lit(L"\\??\\C:\\Z\\c.dll\0\0\0"));
  EXPECT_TRUE(pendingDeletes(where).empty());  // a REG_SZ value is not a list
  EXPECT_TRUE(removePendingDeletes({L"C:\\x"}, nullptr, PendingRenameLocation{RegRoot::Hklm, RegView::View64, kTestKey + L"\\none"}));
}

// The uninstaller's last deletes go on the list together, after whatever is there, in the form the
// system's own call writes; a list it cannot read is another program's and stays untouched.
TEST_F(PendingRenames, AddingAppendsInOneListAfterOtherPrograms) {
  ASSERT_TRUE(createKey(where.root, where.view, where.key));
  DWORD error = 0;
  ASSERT_TRUE(addPendingDeletes({L"C:\\Z\\u.exe", L"C:\\Z"}, &error, where)) << error;
  EXPECT_EQ(get(L"PendingFileRenameOperations"), lit(L"\\??\\C:\\Z\\u.exe\0\0\\??\\C:\\Z\0\0\0"));
  put(L"PendingFileRenameOperations", kTheirs + L'\0');
  ASSERT_TRUE(addPendingDeletes({L"C:\\Z\\u.exe", L"C:\\Z"}, &error, where)) << error;
  EXPECT_EQ(pendingDeletes(where), (std::vector<std::wstring>{L"C:\\Z\\u.exe", L"C:\\Z"}));
  ASSERT_TRUE(removePendingDeletes({L"C:\\Z\\u.exe", L"C:\\Z"}, &error, where));
  EXPECT_EQ(get(L"PendingFileRenameOperations"), kTheirs + L'\0');
  // A long list is read whole, whatever its size.
  std::wstring many;
  for (int i = 0; i < 400; ++i) many += L"\\??\\C:\\Other\\f" + std::to_wstring(i) + lit(L"\0\0");
  put(L"PendingFileRenameOperations", many + L'\0');
  ASSERT_TRUE(addPendingDeletes({L"C:\\Z"}, &error, where));
  EXPECT_EQ(get(L"PendingFileRenameOperations"), many + lit(L"\\??\\C:\\Z\0\0\0"));
  put(L"PendingFileRenameOperations", lit(L"not a list\0"), REG_SZ);
  EXPECT_FALSE(addPendingDeletes({L"C:\\Z"}, &error, where));
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(get(L"PendingFileRenameOperations"), lit(L"not a list\0"));
}

// The system's own list, through the system's own scheduling call.
TEST(PendingRenamesSystem, ScheduledDeleteCanBeTakenBack) {
  test::DriveRootFolder t;
  ASSERT_TRUE(test::writeText(t / L"doomed.dll", "x"));
  std::wstring path = t / L"doomed.dll";
  ASSERT_TRUE(deleteAtRestart(path));
  auto before = pendingDeletes();
  EXPECT_NE(std::find(before.begin(), before.end(), path), before.end());
  ASSERT_TRUE(removePendingDeletes({path}));
  auto after = pendingDeletes();
  EXPECT_EQ(std::find(after.begin(), after.end(), path), after.end());
}

}  // namespace
}  // namespace zs
