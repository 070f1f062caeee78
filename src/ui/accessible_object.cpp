#include "ui/accessible_object.h"

#include <oleacc.h>

#include <cmath>
#include <vector>

#include "ui/accessible_action.h"
#include "ui/accessible_tree.h"

namespace zs::ui {

namespace {

BSTR textOrNull(const std::wstring& text) {
  return text.empty() ? nullptr : SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

LONG stateBits(const AccessibleStates& s) {
  LONG bits = 0;
  if (s.focusable) bits |= STATE_SYSTEM_FOCUSABLE;
  if (s.focused) bits |= STATE_SYSTEM_FOCUSED;
  if (s.unavailable) bits |= STATE_SYSTEM_UNAVAILABLE;
  if (s.checked) bits |= STATE_SYSTEM_CHECKED;
  if (s.isDefault) bits |= STATE_SYSTEM_DEFAULT;
  if (s.readOnly) bits |= STATE_SYSTEM_READONLY;
  if (s.selected) bits |= STATE_SYSTEM_SELECTED;
  if (s.linked) bits |= STATE_SYSTEM_LINKED;
  return bits;
}

}  // namespace

// One per window; COM holds it while clients do. Every property is read from the state of the
// moment, so a client never sees a page that is no longer shown.
class AccessibleClient final : public IAccessible {
 public:
  AccessibleClient(HWND window, const UiState* state) : window_(window), state_(state) {}

  void disconnect() { state_ = nullptr; }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID id, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (id == IID_IUnknown || id == IID_IDispatch || id == IID_IAccessible) {
      *out = static_cast<IAccessible*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG left = InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  // IDispatch: MSAA clients call the interface's methods directly.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  // IAccessible
  HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
    if (parent == nullptr) return E_POINTER;
    *parent = nullptr;
    if (state_ == nullptr) return CO_E_OBJNOTCONNECTED;
    return CreateStdAccessibleObject(window_, OBJID_WINDOW, IID_IDispatch, reinterpret_cast<void**>(parent));
  }
  HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override {
    if (count == nullptr) return E_POINTER;
    if (state_ == nullptr) return CO_E_OBJNOTCONNECTED;
    *count = static_cast<LONG>(accessibleNodes(*state_).size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    std::vector<AccessibleNode> nodes;
    HRESULT hr = lookUp(child, nodes);
    return FAILED(hr) ? hr : S_FALSE;  // the children are simple elements
  }
  HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* out) override {
    return text(child, out, [this](const AccessibleNode* n) { return n ? n->name : accessibleWindowName(*state_); });
  }
  HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* out) override {
    return text(child, out, [](const AccessibleNode* n) { return n ? n->value : std::wstring(); });
  }
  HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* out) override {
    return text(child, out,
                [this](const AccessibleNode* n) { return n ? n->description : accessibleWindowDescription(*state_); });
  }
  HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* out) override {
    return number(child, out, [](const AccessibleNode* n) { return static_cast<LONG>(n ? n->role : AccessibleRole::Client); });
  }
  HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* out) override {
    return number(child, out, [this](const AccessibleNode* n) {
      return n ? stateBits(n->states) : STATE_SYSTEM_FOCUSABLE | (GetFocus() == window_ ? STATE_SYSTEM_FOCUSED : 0);
    });
  }
  HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT, BSTR* out) override { return none(out); }
  HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT, LONG* topic) override {
    if (topic != nullptr) *topic = 0;
    return none(file);
  }
  HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT, BSTR* out) override { return none(out); }
  HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* out) override {
    if (out == nullptr) return E_POINTER;
    VariantInit(out);
    if (state_ == nullptr) return CO_E_OBJNOTCONNECTED;
    out->vt = VT_I4;
    out->lVal = childIdOf(accessibleNodes(*state_), state_->focus);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* out) override {
    if (out == nullptr) return E_POINTER;
    VariantInit(out);
    return state_ == nullptr ? CO_E_OBJNOTCONNECTED : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* out) override {
    return text(child, out, [](const AccessibleNode* n) { return n ? n->defaultAction : std::wstring(); });
  }
  HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) override {
    std::vector<AccessibleNode> nodes;
    const AccessibleNode* n = nullptr;
    HRESULT hr = node(child, nodes, n);
    if (FAILED(hr)) return hr;
    if (n == nullptr || n->element == Element::None || (flags & SELFLAG_TAKEFOCUS) == 0) return DISP_E_MEMBERNOTFOUND;
    PostMessageW(window_, kMsgAccessibleAction, static_cast<WPARAM>(n->element), 1);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height, VARIANT child) override {
    if (left == nullptr || top == nullptr || width == nullptr || height == nullptr) return E_POINTER;
    std::vector<AccessibleNode> nodes;
    const AccessibleNode* n = nullptr;
    HRESULT hr = node(child, nodes, n);
    if (FAILED(hr)) return hr;
    RECT r{};
    if (n == nullptr) {
      GetClientRect(window_, &r);
    } else {
      double k = state_->scale;
      r = {static_cast<LONG>(std::floor(n->rect.left * k)), static_cast<LONG>(std::floor(n->rect.top * k)),
           static_cast<LONG>(std::ceil(n->rect.right * k)), static_cast<LONG>(std::ceil(n->rect.bottom * k))};
    }
    POINT origin{0, 0};
    ClientToScreen(window_, &origin);
    *left = r.left + origin.x;
    *top = r.top + origin.y;
    *width = r.right - r.left;
    *height = r.bottom - r.top;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* out) override {
    if (out == nullptr) return E_POINTER;
    VariantInit(out);
    std::vector<AccessibleNode> nodes;
    const AccessibleNode* n = nullptr;
    HRESULT hr = node(start, nodes, n);
    if (FAILED(hr)) return hr;
    LONG count = static_cast<LONG>(nodes.size());
    LONG from = start.vt == VT_I4 ? start.lVal : CHILDID_SELF;
    LONG to = 0;
    switch (direction) {
      case NAVDIR_FIRSTCHILD: to = from == CHILDID_SELF && count > 0 ? 1 : 0; break;
      case NAVDIR_LASTCHILD: to = from == CHILDID_SELF ? count : 0; break;
      case NAVDIR_NEXT: to = from != CHILDID_SELF && from < count ? from + 1 : 0; break;
      case NAVDIR_PREVIOUS: to = from != CHILDID_SELF && from > 1 ? from - 1 : 0; break;
      default: return DISP_E_MEMBERNOTFOUND;
    }
    if (to == 0) return S_FALSE;
    out->vt = VT_I4;
    out->lVal = to;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* out) override {
    if (out == nullptr) return E_POINTER;
    VariantInit(out);
    if (state_ == nullptr) return CO_E_OBJNOTCONNECTED;
    POINT at{x, y};
    ScreenToClient(window_, &at);
    RECT client{};
    GetClientRect(window_, &client);
    if (!PtInRect(&client, at)) return S_FALSE;
    float ux = static_cast<float>(at.x / state_->scale), uy = static_cast<float>(at.y / state_->scale);
    std::vector<AccessibleNode> nodes = accessibleNodes(*state_);
    LONG found = CHILDID_SELF;
    // What can be acted on wins over a text or a list around it.
    for (size_t i = 0; i < nodes.size(); ++i)
      if (nodes[i].rect.contains(ux, uy) && (found == CHILDID_SELF || nodes[i].element != Element::None))
        found = static_cast<LONG>(i + 1);
    out->vt = VT_I4;
    out->lVal = found;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
    std::vector<AccessibleNode> nodes;
    const AccessibleNode* n = nullptr;
    HRESULT hr = node(child, nodes, n);
    if (FAILED(hr)) return hr;
    if (n == nullptr || n->element == Element::None || n->defaultAction.empty()) return DISP_E_MEMBERNOTFOUND;
    // Carried out after this call has returned, so that a client is never inside a call while the
    // window it asked goes away.
    PostMessageW(window_, kMsgAccessibleAction, static_cast<WPARAM>(n->element), 0);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

 private:
  // The nodes of the moment and the one a child id names; null for the client object itself.
  HRESULT node(const VARIANT& child, std::vector<AccessibleNode>& nodes, const AccessibleNode*& out) const {
    out = nullptr;
    HRESULT hr = lookUp(child, nodes);
    if (SUCCEEDED(hr) && child.lVal != CHILDID_SELF) out = &nodes[static_cast<size_t>(child.lVal - 1)];
    return hr;
  }
  HRESULT lookUp(const VARIANT& child, std::vector<AccessibleNode>& nodes) const {
    if (state_ == nullptr) return CO_E_OBJNOTCONNECTED;
    if (child.vt != VT_I4) return E_INVALIDARG;
    if (child.lVal == CHILDID_SELF) return S_OK;
    nodes = accessibleNodes(*state_);
    if (child.lVal < 1 || static_cast<size_t>(child.lVal) > nodes.size()) return E_INVALIDARG;
    return S_OK;
  }
  template <typename Read>
  HRESULT text(const VARIANT& child, BSTR* out, Read read) const {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    std::vector<AccessibleNode> nodes;
    const AccessibleNode* n = nullptr;
    HRESULT hr = node(child, nodes, n);
    if (FAILED(hr)) return hr;
    *out = textOrNull(read(n));
    return *out != nullptr ? S_OK : S_FALSE;
  }
  template <typename Read>
  HRESULT number(const VARIANT& child, VARIANT* out, Read read) const {
    if (out == nullptr) return E_POINTER;
    VariantInit(out);
    std::vector<AccessibleNode> nodes;
    const AccessibleNode* n = nullptr;
    HRESULT hr = node(child, nodes, n);
    if (FAILED(hr)) return hr;
    out->vt = VT_I4;
    out->lVal = static_cast<LONG>(read(n));
    return S_OK;
  }
  HRESULT none(BSTR* out) const {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    return state_ == nullptr ? CO_E_OBJNOTCONNECTED : S_FALSE;
  }

  LONG refs_ = 1;
  HWND window_;
  const UiState* state_;
};

WindowAccessibility::~WindowAccessibility() { disconnect(); }

LRESULT WindowAccessibility::answer(HWND window, WPARAM w, LPARAM l, const UiState& state) {
  if (static_cast<LONG>(l) != OBJID_CLIENT) return DefWindowProcW(window, WM_GETOBJECT, w, l);
  if (object_ == nullptr) object_ = new AccessibleClient(window, &state);
  return LresultFromObject(IID_IAccessible, w, object_);
}

void WindowAccessibility::stateShown(HWND window, const UiState& state) {
  AccessibleSnapshot now = accessibleSnapshot(state);
  if (shown_ && now == last_) return;
  // The first frame is announced by the window's own creation; events start from there.
  if (shown_) raiseAccessibleEvents(window, state, accessibleEvents(last_, now));
  last_ = now;
  shown_ = true;
}

void WindowAccessibility::disconnect() {
  if (object_ == nullptr) return;
  object_->disconnect();
  CoDisconnectObject(object_, 0);
  object_->Release();
  object_ = nullptr;
}

Action accessibleRequest(UiState& s, WPARAM element, LPARAM focusOnly) {
  auto e = static_cast<Element>(element);
  if (focusOnly == 1) {
    accessibleFocus(s, e);
    return Action::None;
  }
  return accessibleDefaultAction(s, e);
}

}  // namespace zs::ui
