#include "ui/mem_fonts.h"

#include <new>
#include <span>

#include "platform/resource.h"

namespace zs::ui {

namespace {

template <typename Interface>
HRESULT answerFor(IUnknown* self, Interface* as, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == __uuidof(IUnknown)) {
    *out = self;
  } else if (iid == __uuidof(Interface)) {
    *out = as;
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  self->AddRef();
  return S_OK;
}

// What both loaders do with a key: refuse any but an 8-byte one, else make the object for it.
template <typename Out, typename Make>
HRESULT makeFromKey(const void* key, UINT32 keySize, Out** out, Make make) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (key == nullptr || keySize != sizeof(MemFontKey)) return E_INVALIDARG;
  *out = make(*static_cast<const MemFontKey*>(key));
  return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

const uint8_t* keyBytes(const MemFontKey& key) {
  return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(key.address));
}

}  // namespace

MemFontKey memFontKey(const void* data, uint32_t size) {
  static_assert(sizeof(void*) == sizeof(uint32_t), "the font key holds a 32-bit address");
  return {static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data)), size};
}

// ---- stream ----

MemStream::MemStream(const uint8_t* data, uint32_t size) : data_(data), size_(size) {}

HRESULT MemStream::QueryInterface(REFIID iid, void** out) {
  return answerFor<IDWriteFontFileStream>(this, this, iid, out);
}
ULONG MemStream::AddRef() { return ++refs_; }
ULONG MemStream::Release() {
  ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

HRESULT MemStream::ReadFileFragment(const void** fragment, UINT64 offset, UINT64 size, void** context) {
  if (context != nullptr) *context = nullptr;
  if (fragment == nullptr) return E_POINTER;
  // Both values come from DirectWrite as 64-bit; their sum cannot wrap once each is within 32 bits.
  if (offset > size_ || size > size_ || offset + size > size_) {
    *fragment = nullptr;
    return E_FAIL;
  }
  *fragment = data_ + offset;
  return S_OK;
}

void MemStream::ReleaseFileFragment(void*) {}

HRESULT MemStream::GetFileSize(UINT64* size) {
  if (size == nullptr) return E_POINTER;
  *size = size_;
  return S_OK;
}

HRESULT MemStream::GetLastWriteTime(UINT64* time) {
  if (time == nullptr) return E_POINTER;
  *time = 0;
  return S_OK;
}

// ---- file loader ----

HRESULT MemFileLoader::QueryInterface(REFIID iid, void** out) {
  return answerFor<IDWriteFontFileLoader>(this, this, iid, out);
}
ULONG MemFileLoader::AddRef() { return 1; }
ULONG MemFileLoader::Release() { return 1; }

HRESULT MemFileLoader::CreateStreamFromKey(const void* key, UINT32 keySize, IDWriteFontFileStream** stream) {
  return makeFromKey(key, keySize, stream, [](const MemFontKey& k) -> IDWriteFontFileStream* {
    return new (std::nothrow) MemStream(keyBytes(k), k.size);
  });
}

// ---- collection loader ----

HRESULT MemCollectionLoader::QueryInterface(REFIID iid, void** out) {
  return answerFor<IDWriteFontCollectionLoader>(this, this, iid, out);
}
ULONG MemCollectionLoader::AddRef() { return 1; }
ULONG MemCollectionLoader::Release() { return 1; }

HRESULT MemCollectionLoader::CreateEnumeratorFromKey(IDWriteFactory* factory, const void* key, UINT32 keySize,
                                                     IDWriteFontFileEnumerator** enumerator) {
  if (factory == nullptr) {
    if (enumerator != nullptr) *enumerator = nullptr;
    return E_INVALIDARG;
  }
  return makeFromKey(key, keySize, enumerator, [&](const MemFontKey& k) -> IDWriteFontFileEnumerator* {
    return new (std::nothrow) MemEnumerator(factory, files_, k);
  });
}

// ---- enumerator ----

MemEnumerator::MemEnumerator(IDWriteFactory* factory, MemFileLoader* files, MemFontKey key)
    : factory_(factory), files_(files), key_(key) {
  factory_->AddRef();
}

MemEnumerator::~MemEnumerator() {
  if (file_ != nullptr) file_->Release();
  factory_->Release();
}

HRESULT MemEnumerator::QueryInterface(REFIID iid, void** out) {
  return answerFor<IDWriteFontFileEnumerator>(this, this, iid, out);
}
ULONG MemEnumerator::AddRef() { return ++refs_; }
ULONG MemEnumerator::Release() {
  ULONG left = --refs_;
  if (left == 0) delete this;
  return left;
}

HRESULT MemEnumerator::MoveNext(BOOL* hasCurrent) {
  if (hasCurrent == nullptr) return E_POINTER;
  *hasCurrent = FALSE;
  if (moved_) return S_OK;
  moved_ = true;
  HRESULT hr = factory_->CreateCustomFontFileReference(&key_, sizeof key_, files_, &file_);
  if (FAILED(hr)) return hr;
  *hasCurrent = TRUE;
  return S_OK;
}

HRESULT MemEnumerator::GetCurrentFontFile(IDWriteFontFile** file) {
  if (file == nullptr) return E_POINTER;
  *file = file_;
  if (file_ == nullptr) return E_FAIL;
  file_->AddRef();
  return S_OK;
}

// ---- loading ----

EmbeddedFonts::~EmbeddedFonts() {
  for (FontSlot& slot : slots) slot.collection.reset();
  if (factory == nullptr) return;
  if (collectionsRegistered) factory->UnregisterFontCollectionLoader(&collections);
  factory->UnregisterFontFileLoader(&files);
}

namespace {

// Fills one slot from the font resource; the reason names the step that failed.
bool loadSlot(IDWriteFactory* factory, EmbeddedFonts& fonts, const wchar_t* resource, FontSlot& slot,
              const wchar_t*& reason) {
  const std::span<const uint8_t> bytes = rcdataResource(resource);
  if (bytes.empty()) {
    reason = L"font resource missing";
    return false;
  }
  const MemFontKey key = memFontKey(bytes.data(), static_cast<uint32_t>(bytes.size()));
  if (FAILED(factory->CreateCustomFontCollection(&fonts.collections, &key, sizeof key, slot.collection.put()))) {
    reason = L"CreateCustomFontCollection";
    return false;
  }
  if (slot.collection->GetFontFamilyCount() == 0) {
    reason = L"no family in the font";
    return false;
  }
  Com<IDWriteFontFamily> family;
  if (FAILED(slot.collection->GetFontFamily(0, family.put()))) {
    reason = L"GetFontFamily";
    return false;
  }
  Com<IDWriteLocalizedStrings> names;
  if (FAILED(family->GetFamilyNames(names.put()))) {
    reason = L"GetFamilyNames";
    return false;
  }
  UINT32 length = 0;
  if (FAILED(names->GetStringLength(0, &length))) {
    reason = L"GetStringLength";
    return false;
  }
  std::wstring name(length + 1, L'\0');
  if (FAILED(names->GetString(0, name.data(), length + 1))) {
    reason = L"GetString";
    return false;
  }
  name.resize(length);
  Com<IDWriteFont> font;
  if (FAILED(family->GetFont(0, font.put()))) {
    reason = L"GetFont";
    return false;
  }
  slot.family = std::move(name);
  slot.weight = font->GetWeight();
  slot.stretch = font->GetStretch();
  slot.style = font->GetStyle();
  return true;
}

}  // namespace

bool loadEmbeddedFonts(IDWriteFactory* factory, EmbeddedFonts& fonts, const wchar_t*& reason) {
  if (FAILED(factory->RegisterFontFileLoader(&fonts.files))) {
    reason = L"RegisterFontFileLoader";
    return false;
  }
  fonts.factory = factory;
  if (FAILED(factory->RegisterFontCollectionLoader(&fonts.collections))) {
    factory->UnregisterFontFileLoader(&fonts.files);
    fonts.factory = nullptr;
    reason = L"RegisterFontCollectionLoader";
    return false;
  }
  fonts.collectionsRegistered = true;
  static const wchar_t* const kResources[kWeightSlots] = {L"FONT_R", L"FONT_M", L"FONT_S"};
  for (int i = 0; i < kWeightSlots; ++i)
    if (!loadSlot(factory, fonts, kResources[i], fonts.slots[i], reason)) return false;
  return true;
}

}  // namespace zs::ui
