#include "platform/registry_names.h"

#include "base/text.h"

namespace zs {

bool parseRegRoot(std::wstring_view text, RegRoot& root) {
  if (equalsNoCase(text, L"HKCR")) root = RegRoot::Hkcr;
  else if (equalsNoCase(text, L"HKLM")) root = RegRoot::Hklm;
  else if (equalsNoCase(text, L"HKCU")) root = RegRoot::Hkcu;
  else return false;
  return true;
}

bool parseRegView(std::wstring_view text, RegView& view) {
  if (text == L"64") view = RegView::View64;
  else if (text == L"32") view = RegView::View32;
  else return false;
  return true;
}

const wchar_t* regRootName(RegRoot root) {
  switch (root) {
    case RegRoot::Hkcr: return L"HKCR";
    case RegRoot::Hklm: return L"HKLM";
    case RegRoot::Hkcu: return L"HKCU";
  }
  return L"";
}

const wchar_t* regViewName(RegView view) { return view == RegView::View32 ? L"32" : L"64"; }

}  // namespace zs
