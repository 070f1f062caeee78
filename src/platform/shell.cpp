#include "platform/shell.h"

#include "platform/files.h"

#include <exdisp.h>
#include <objbase.h>
#include <propkey.h>
#include <propsys.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <vector>

#include "platform/com.h"
#include "platform/fault_injection.h"
#include "platform/files.h"

namespace zs {
namespace {

// {9F4C2855-9F79-4B39-A8D0-E1D42DE1D5F3}, 5
constexpr PROPERTYKEY kAppUserModelId = {
    {0x9F4C2855, 0x9F79, 0x4B39, {0xA8, 0xD0, 0xE1, 0xD4, 0x2D, 0xE1, 0xD5, 0xF3}}, 5};

class Bstr {
 public:
  explicit Bstr(const std::wstring& s) : b_(SysAllocStringLen(s.data(), static_cast<UINT>(s.size()))) {}
  ~Bstr() { SysFreeString(b_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return b_; }

 private:
  BSTR b_;
};

VARIANT stringVariant(BSTR b) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = b;  // owned by the caller's Bstr
  return v;
}

}  // namespace

bool createShortcut(const ShortcutSpec& shortcut, HRESULT* hrOut) {
  HRESULT hr = S_OK;
  auto fail = [&](HRESULT code) {
    if (hrOut != nullptr) *hrOut = code;
    return false;
  };
  Com<IShellLinkW> link;
  hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                        link.putVoid());
  if (FAILED(hr)) return fail(hr);
  link->SetPath(shortcut.target.c_str());
  if (!shortcut.arguments.empty()) link->SetArguments(shortcut.arguments.c_str());
  if (!shortcut.workingDirectory.empty()) link->SetWorkingDirectory(shortcut.workingDirectory.c_str());
  if (!shortcut.icon.empty()) link->SetIconLocation(shortcut.icon.c_str(), 0);
  if (!shortcut.description.empty()) link->SetDescription(shortcut.description.c_str());
  if (!shortcut.appUserModelId.empty()) {
    Com<IPropertyStore> store;
    hr = link->QueryInterface(IID_IPropertyStore, store.putVoid());
    if (FAILED(hr)) return fail(hr);
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = VT_LPWSTR;
    value.pwszVal = const_cast<wchar_t*>(shortcut.appUserModelId.c_str());  // copied by SetValue
    hr = store->SetValue(kAppUserModelId, value);
    if (FAILED(hr)) return fail(hr);
    hr = store->Commit();
    if (FAILED(hr)) return fail(hr);
  }
  Com<IPersistFile> file;
  hr = link->QueryInterface(IID_IPersistFile, file.putVoid());
  if (FAILED(hr)) return fail(hr);
  if (DWORD code = 0; ZS_FAULT_HOOK(FaultClass::FileWrite, shortcut.linkPath, &code)) return fail(HRESULT_FROM_WIN32(code));
  hr = file->Save(shortcut.linkPath.c_str(), TRUE);
  if (FAILED(hr)) return fail(hr);
  // Save leaves the bytes to the lazy writer; the journal goes on as if the shortcut were there.
  DWORD error = 0;
  if (!flushFileToDisk(shortcut.linkPath, &error)) return fail(HRESULT_FROM_WIN32(error));
  return true;
}

void notifyAssociationsChanged() {
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

bool shellExecuteAsUser(const std::wstring& program, const std::wstring& arguments,
                        const std::wstring& folder) {
  Com<IShellWindows> windows;
  if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                              windows.putVoid()))) {
    return false;
  }
  VARIANT empty;
  VariantInit(&empty);
  VARIANT emptyRoot;
  VariantInit(&emptyRoot);
  long hwnd = 0;
  Com<IDispatch> desktop;
  if (windows->FindWindowSW(&empty, &emptyRoot, SWC_DESKTOP, &hwnd, SWFO_NEEDDISPATCH,
                            desktop.put()) != S_OK ||
      !desktop) {
    return false;
  }
  Com<IServiceProvider> provider;
  if (FAILED(desktop->QueryInterface(IID_IServiceProvider, provider.putVoid()))) return false;
  Com<IShellBrowser> browser;
  if (FAILED(provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.putVoid()))) {
    return false;
  }
  Com<IShellView> view;
  if (FAILED(browser->QueryActiveShellView(view.put())) || !view) return false;
  Com<IDispatch> background;
  if (FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.putVoid()))) {
    return false;
  }
  Com<IShellFolderViewDual> folderView;
  if (FAILED(background->QueryInterface(IID_IShellFolderViewDual, folderView.putVoid()))) {
    return false;
  }
  Com<IDispatch> application;
  if (FAILED(folderView->get_Application(application.put())) || !application) return false;
  Com<IShellDispatch2> shell;
  if (FAILED(application->QueryInterface(IID_IShellDispatch2, shell.putVoid()))) return false;
  Bstr file(program);
  Bstr args(arguments);
  Bstr dir(folder);
  Bstr verb(L"open");
  VARIANT vArgs = stringVariant(args.get());
  VARIANT vDir = stringVariant(dir.get());
  VARIANT vVerb = stringVariant(verb.get());
  VARIANT vShow;
  VariantInit(&vShow);
  vShow.vt = VT_I4;
  vShow.lVal = SW_SHOWNORMAL;
  return SUCCEEDED(shell->ShellExecute(file.get(), vArgs, vDir, vVerb, vShow));
}

std::wstring pickerStartFolder(const std::wstring& startPath) {
  std::wstring current = startPath;
  while (!current.empty() && !isDirectory(current)) {
    size_t slash = current.find_last_of(L'\\');
    if (slash == std::wstring::npos) return {};
    // "C:\x" leaves the root "C:\", which stays whole.
    current.resize(slash == 2 && current.size() > 3 ? 3 : slash);
  }
  return current;
}

bool pickFolder(HWND owner, const std::wstring& startPath, std::wstring& chosen) {
  HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  bool picked = false;
  {
    Com<IFileOpenDialog> dialog;
    if (SUCCEEDED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IFileOpenDialog, dialog.putVoid()))) {
      FILEOPENDIALOGOPTIONS options = 0;
      dialog->GetOptions(&options);
      if (SUCCEEDED(dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM))) {
        std::wstring start = pickerStartFolder(startPath);
        if (!start.empty()) {
          Com<IShellItem> item;
          if (SUCCEEDED(SHCreateItemFromParsingName(start.c_str(), nullptr, IID_IShellItem,
                                                    item.putVoid()))) {
            dialog->SetFolder(item.get());
          }
        }
        Com<IShellItem> result;
        if (dialog->Show(owner) == S_OK && SUCCEEDED(dialog->GetResult(result.put()))) {
          PWSTR path = nullptr;
          if (SUCCEEDED(result->GetDisplayName(SIGDN_FILESYSPATH, &path)) && path != nullptr) {
            chosen = path;
            picked = true;
          }
          CoTaskMemFree(path);
        }
      }
    }
  }
  if (SUCCEEDED(init)) CoUninitialize();
  return picked;
}

std::wstring ownExecutablePath() {
  std::vector<wchar_t> buffer(32768);
  DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  return std::wstring(buffer.data(), n);
}

}  // namespace zs
