// The embedded typeface handed to DirectWrite straight from the executable's resources: the
// classic custom-collection loaders over memory, and the procedure that turns "FONT_R", "FONT_M"
// and "FONT_S" into one font collection per weight slot. The font bytes stay where the resource
// mapping put them for the life of the process, so nothing is copied or written to disk.
#pragma once

#include <windows.h>
#include <dwrite.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/com.h"

namespace zs::ui {

// The key DirectWrite passes back to the loaders: where a font's bytes lie and how many there
// are, 32 bits each (the setup is a 32-bit program).
struct MemFontKey {
  uint32_t address = 0;
  uint32_t size = 0;
};
static_assert(sizeof(MemFontKey) == 8);

MemFontKey memFontKey(const void* data, uint32_t size);

class MemStream final : public IDWriteFontFileStream {
 public:
  MemStream(const uint8_t* data, uint32_t size);
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE ReadFileFragment(const void** fragment, UINT64 offset, UINT64 size,
                                             void** context) override;
  void STDMETHODCALLTYPE ReleaseFileFragment(void* context) override;
  HRESULT STDMETHODCALLTYPE GetFileSize(UINT64* size) override;
  HRESULT STDMETHODCALLTYPE GetLastWriteTime(UINT64* time) override;
  virtual ~MemStream() = default;

 private:
  std::atomic<ULONG> refs_{1};
  const uint8_t* data_;
  uint32_t size_;
};

// Lives inside its owner, which registers it with the factory; Release never deletes it.
class MemFileLoader final : public IDWriteFontFileLoader {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateStreamFromKey(const void* key, UINT32 keySize,
                                                IDWriteFontFileStream** stream) override;
};

class MemCollectionLoader final : public IDWriteFontCollectionLoader {
 public:
  explicit MemCollectionLoader(MemFileLoader* files) : files_(files) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateEnumeratorFromKey(IDWriteFactory* factory, const void* key, UINT32 keySize,
                                                    IDWriteFontFileEnumerator** enumerator) override;

 private:
  MemFileLoader* files_;
};

// One font file per collection: the key names a single font.
class MemEnumerator final : public IDWriteFontFileEnumerator {
 public:
  MemEnumerator(IDWriteFactory* factory, MemFileLoader* files, MemFontKey key);
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE MoveNext(BOOL* hasCurrent) override;
  HRESULT STDMETHODCALLTYPE GetCurrentFontFile(IDWriteFontFile** file) override;
  virtual ~MemEnumerator();

 private:
  std::atomic<ULONG> refs_{1};
  IDWriteFactory* factory_;
  MemFileLoader* files_;
  MemFontKey key_;
  bool moved_ = false;
  IDWriteFontFile* file_ = nullptr;
};

// What a weight slot draws with: the family as the font names itself, the collection holding it
// (null for the system's fonts), and the weight, stretch and style to ask for.
struct FontSlot {
  std::wstring family;
  Com<IDWriteFontCollection> collection;
  DWRITE_FONT_WEIGHT weight = DWRITE_FONT_WEIGHT_NORMAL;
  DWRITE_FONT_STRETCH stretch = DWRITE_FONT_STRETCH_NORMAL;
  DWRITE_FONT_STYLE style = DWRITE_FONT_STYLE_NORMAL;
};

inline constexpr int kWeightSlots = 3;

// The loaders, registered with one factory while the fonts are in use, and the three slots.
// Unregisters the loaders (after releasing the collections) when destroyed.
struct EmbeddedFonts {
  EmbeddedFonts() = default;
  ~EmbeddedFonts();
  EmbeddedFonts(const EmbeddedFonts&) = delete;
  EmbeddedFonts& operator=(const EmbeddedFonts&) = delete;

  MemFileLoader files;
  MemCollectionLoader collections{&files};
  IDWriteFactory* factory = nullptr;  // while the loaders are registered with it
  bool collectionsRegistered = false;
  FontSlot slots[kWeightSlots];
};

// Registers the loaders with the factory and fills the slots from "FONT_R", "FONT_M" and
// "FONT_S". False with the reason text when any step fails; the slots are then not to be used.
bool loadEmbeddedFonts(IDWriteFactory* factory, EmbeddedFonts& fonts, const wchar_t*& reason);

}  // namespace zs::ui
