#include <gtest/gtest.h>
#include <objbase.h>
#include <propkey.h>
#include <propsys.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/files.h"
#include "platform/handle.h"
#include "platform/shell.h"
#include "platform/signed_in_user.h"
#include "platform/system_library.h"
#include "base/text.h"
#include "proc_helper_path.h"
#include "temp_folder.h"

namespace zs {
namespace {

using test::procHelperPath;
using TempFolder = test::DriveRootFolder;

struct ComScope {
  ComScope() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComScope() { CoUninitialize(); }
};

TEST(SignedInUser, TokensOfThisSession) {
  UserTokenSource source = UserTokenSource::None;
  UserTokens tokens = acquireUserTokens(&source);
  // Wine has no shell window, but its session user is this process's user.
  ASSERT_NE(tokens.impersonation, nullptr);
  EXPECT_TRUE(source == UserTokenSource::DesktopShell || source == UserTokenSource::OwnProcess);
  HANDLE own = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own));
  bool ownElevated = isElevated(own);
  CloseHandle(own);
  if (source == UserTokenSource::OwnProcess) {
    // The only token here is this process's own: a primary one only when it is not elevated.
    EXPECT_EQ(tokens.primary != nullptr, !ownElevated);
  }
  if (tokens.primary != nullptr) {
    EXPECT_FALSE(isElevated(tokens.primary));
  }
  closeUserTokens(tokens);
  EXPECT_EQ(tokens.impersonation, nullptr);
  EXPECT_TRUE(isElevated(nullptr));  // cannot be told
}

TEST(SignedInUser, ImpersonationIsRevertedAfterTheCall) {
  bool ran = false;
  bool impersonating = false;
  ASSERT_TRUE(runAsUser([&] {
    ran = true;
    HANDLE t = nullptr;
    impersonating = OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &t);
    if (t != nullptr) CloseHandle(t);
  }));
  EXPECT_TRUE(ran);
  EXPECT_TRUE(impersonating);
  HANDLE t = nullptr;
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &t));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
}

TEST(SignedInUser, WarmUpRunNeedsAnUnelevatedToken) {
  ProcessResult r = runAsSignedInUser(procHelperPath(), L"exit 0", L"C:\\", L"", 0, {});
  if (signedInUserTokens().primary == nullptr) {
    EXPECT_FALSE(r.started);
    EXPECT_EQ(r.error, static_cast<DWORD>(ERROR_NO_TOKEN));
  } else {
    EXPECT_TRUE(r.started) << r.error;
  }
}

// Runs with a primary token made from this process's own one, with an extra variable.
TEST(SignedInUser, RunWithTokenPassesTheExtraVariable) {
  HANDLE own = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, &own));
  HANDLE primary = nullptr;
  ASSERT_TRUE(DuplicateTokenEx(own, TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY |
                                        TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID,
                               nullptr, SecurityImpersonation, TokenPrimary, &primary));
  CloseHandle(own);
  UniqueHandle token(primary);
  ProcessResult r = runWithToken(token.get(), procHelperPath(), L"envis ZS_WARMUP yes", L"C:\\",
                                 L"ZS_WARMUP=yes", 30000, {});
  ASSERT_TRUE(r.started) << r.error;
  EXPECT_EQ(r.exitCode, 0u);
  r = runWithToken(token.get(), procHelperPath(), L"envis ZS_WARMUP yes", L"C:\\", L"", 30000, {});
  ASSERT_TRUE(r.started) << r.error;
  EXPECT_EQ(r.exitCode, 1u);
  // The user's environment has its own TEMP; the given entry wins, whatever the case of its name.
  r = runWithToken(token.get(), procHelperPath(), L"envis TEMP C:\\ZsGiven", L"C:\\", L"temp=C:\\ZsGiven", 30000,
                   {});
  ASSERT_TRUE(r.started) << r.error;
  EXPECT_EQ(r.exitCode, 0u);
}

TEST(Shell, ShortcutRoundTrip) {
  ComScope com;
  TempFolder t;
  ShortcutSpec shortcut;
  shortcut.linkPath = t / L"Zelvan.lnk";
  shortcut.target = L"C:\\Program Files\\Zelvan\\Zelvan.exe";
  shortcut.arguments = L"--start \"x y\"";
  shortcut.workingDirectory = L"C:\\Program Files\\Zelvan";
  shortcut.icon = L"C:\\Program Files\\Zelvan\\Zelvan.ico";
  shortcut.description = L"Zelvan";
  shortcut.appUserModelId = L"Brightmoor.Zelvan";
  HRESULT hr = S_OK;
  ASSERT_TRUE(createShortcut(shortcut, &hr)) << std::hex << hr;
  ASSERT_TRUE(pathExists(shortcut.linkPath));

  IShellLinkW* link = nullptr;
  ASSERT_EQ(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                             reinterpret_cast<void**>(&link)),
            S_OK);
  IPersistFile* file = nullptr;
  ASSERT_EQ(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)), S_OK);
  ASSERT_EQ(file->Load(shortcut.linkPath.c_str(), STGM_READ), S_OK);
  wchar_t text[MAX_PATH];
  int index = -1;
  link->GetPath(text, MAX_PATH, nullptr, SLGP_RAWPATH);
  EXPECT_TRUE(equalsNoCase(text, shortcut.target)) << text;
  link->GetArguments(text, MAX_PATH);
  EXPECT_EQ(std::wstring(text), shortcut.arguments);
  link->GetWorkingDirectory(text, MAX_PATH);
  EXPECT_EQ(std::wstring(text), shortcut.workingDirectory);
  link->GetDescription(text, MAX_PATH);
  EXPECT_EQ(std::wstring(text), shortcut.description);
  link->GetIconLocation(text, MAX_PATH, &index);
  EXPECT_EQ(std::wstring(text), shortcut.icon);
  EXPECT_EQ(index, 0);
  // Wine accepts the AppUserModelID but does not store it, and says so on reading (E_NOTIMPL).
  IPropertyStore* store = nullptr;
  ASSERT_EQ(link->QueryInterface(IID_IPropertyStore, reinterpret_cast<void**>(&store)), S_OK);
  PROPVARIANT value;
  PropVariantInit(&value);
  const PROPERTYKEY appId = {{0x9F4C2855, 0x9F79, 0x4B39, {0xA8, 0xD0, 0xE1, 0xD4, 0x2D, 0xE1, 0xD5, 0xF3}}, 5};
  hr = store->GetValue(appId, &value);
  if (runningUnderWine() && hr == E_NOTIMPL) {
    std::printf("Wine does not store a shortcut's AppUserModelID\n");
  } else {
    ASSERT_EQ(hr, S_OK);
    ASSERT_EQ(value.vt, VT_LPWSTR);
    EXPECT_EQ(std::wstring(value.pwszVal), shortcut.appUserModelId);
    PropVariantClear(&value);
  }
  store->Release();
  file->Release();
  link->Release();

  ShortcutSpec bare;
  bare.linkPath = t / L"bare.lnk";
  bare.target = L"C:\\windows\\notepad.exe";
  ASSERT_TRUE(createShortcut(bare, &hr));
  EXPECT_FALSE(createShortcut(ShortcutSpec{t / L"missing\\x.lnk", bare.target}, &hr));
  EXPECT_TRUE(FAILED(hr));
}

// Wine's explorer answers for the desktop only when it has a display; either way the answer
// must match what happened: true only when the program really started.
bool waitForFile(const std::wstring& path) {
  for (int i = 0; i < 50; ++i) {
    if (pathExists(path)) return true;
    Sleep(100);
  }
  return false;
}

TEST(Shell, DesktopShellStartsTheProgramOrSaysNo) {
  TempFolder t;
  std::wstring marker = t / L"marker";
  bool started = false;
  {
    ComScope com;
    started = shellExecuteAsUser(procHelperPath(), L"touch \"" + marker + L"\"", L"C:\\");
  }
  EXPECT_EQ(waitForFile(marker), started);
  std::wstring second = t / L"second";
  EXPECT_EQ(openAsSignedInUser(procHelperPath(), L"touch \"" + second + L"\"", L"C:\\"), started);
  EXPECT_EQ(waitForFile(second), started);
}

TEST(Shell, PickerStartFolder) {
  TempFolder t;
  EXPECT_EQ(pickerStartFolder(t / L"not\\there"), t.path());
  EXPECT_EQ(pickerStartFolder(t.path()), t.path());
  EXPECT_EQ(pickerStartFolder(L"C:\\zs-no-such-folder"), L"C:\\");
  EXPECT_EQ(pickerStartFolder(L"Q:\\no\\drive"), L"");
  EXPECT_EQ(pickerStartFolder(L""), L"");
}

struct DialogPress {
  WPARAM command;
  std::wstring typed;  // put into the dialog's name field first, when not empty
  std::atomic<bool> pressed{false};
};

BOOL CALLBACK typeIntoEdit(HWND w, LPARAM p) {
  wchar_t cls[32];
  GetClassNameW(w, cls, 32);
  if (lstrcmpiW(cls, L"Edit") != 0 || !IsWindowVisible(w)) return TRUE;
  SendMessageW(w, WM_SETTEXT, 0, p);
  return FALSE;
}

BOOL CALLBACK pressOnOwnDialog(HWND w, LPARAM p) {
  auto* press = reinterpret_cast<DialogPress*>(p);
  DWORD pid = 0;
  GetWindowThreadProcessId(w, &pid);
  if (pid != GetCurrentProcessId() || !IsWindowVisible(w)) return TRUE;
  if (!press->typed.empty()) {
    EnumChildWindows(w, typeIntoEdit, reinterpret_cast<LPARAM>(press->typed.c_str()));
  }
  PostMessageW(w, WM_COMMAND, press->command, 0);
  press->pressed = true;
  return FALSE;
}

// Shows the picker and presses a button in it from another thread, as a user would. Without a
// display (a headless test run) the dialog cannot be made at all.
bool pickAndPress(WPARAM command, const std::wstring& start, std::wstring& chosen, bool& pressed,
                  const std::wstring& typed = {}) {
  DialogPress press{command, typed};
  std::atomic<bool> done{false};
  std::thread presser([&] {
    for (int i = 0; i < 100 && !press.pressed && !done; ++i) {
      Sleep(100);
      EnumWindows(pressOnOwnDialog, reinterpret_cast<LPARAM>(&press));
    }
    // A dialog that ignored the button is cancelled, so that the test ends.
    for (int i = 0; i < 30 && !done; ++i) Sleep(100);
    if (!done) {
      DialogPress cancel{IDCANCEL};
      EnumWindows(pressOnOwnDialog, reinterpret_cast<LPARAM>(&cancel));
    }
  });
  bool picked = pickFolder(nullptr, start, chosen);
  done = true;
  presser.join();
  pressed = press.pressed;
  return picked;
}

bool haveDisplay() {
  wchar_t value[64];
  return GetEnvironmentVariableW(L"DISPLAY", value, 64) > 0;
}

TEST(Shell, PickFolder) {
  if (!haveDisplay()) GTEST_SKIP() << "no display: the dialog cannot be made";
  TempFolder t;
  std::wstring chosen;
  bool pressed = false;
  EXPECT_FALSE(pickAndPress(IDCANCEL, t / L"a\\b", chosen, pressed));
  ASSERT_TRUE(CreateDirectoryW((t / L"pick").c_str(), nullptr));
  EXPECT_TRUE(pickAndPress(IDOK, t / L"a\\b", chosen, pressed, t / L"pick"));
  EXPECT_TRUE(equalsNoCase(chosen, t / L"pick")) << chosen;
}

TEST(Shell, OwnExecutablePath) {
  std::wstring path = ownExecutablePath();
  EXPECT_TRUE(endsWithNoCase(path, L"\\platform_tests.exe")) << path;
  EXPECT_TRUE(pathExists(path));
}

}  // namespace
}  // namespace zs
