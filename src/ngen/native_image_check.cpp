#include "ngen/native_image_check.h"

#include <windows.h>

#include <cstdint>

#include "base/log.h"
#include "platform/files.h"
#include "base/text.h"
#include "base/paths.h"
#include "script/script.h"

namespace zs {

namespace {

constexpr uint64_t kMaxAssemblyBytes = 1073741824;

// Little-endian reads that fail instead of reading past the end.
class Image {
 public:
  explicit Image(std::string_view bytes) : bytes_(bytes) {}
  uint64_t size() const { return bytes_.size(); }
  bool fits(uint64_t offset, uint64_t count) const { return offset <= size() && count <= size() - offset; }
  bool u8(uint64_t offset, uint32_t& out) const {
    if (!fits(offset, 1)) return false;
    out = static_cast<uint8_t>(bytes_[offset]);
    return true;
  }
  bool u16(uint64_t offset, uint32_t& out) const {
    if (!fits(offset, 2)) return false;
    out = byte(offset) | byte(offset + 1) << 8;
    return true;
  }
  bool u32(uint64_t offset, uint32_t& out) const {
    if (!fits(offset, 4)) return false;
    out = byte(offset) | byte(offset + 1) << 8 | byte(offset + 2) << 16 | static_cast<uint32_t>(byte(offset + 3)) << 24;
    return true;
  }
  bool u64(uint64_t offset, uint64_t& out) const {
    uint32_t lo = 0, hi = 0;
    if (!u32(offset, lo) || !u32(offset + 4, hi)) return false;
    out = static_cast<uint64_t>(hi) << 32 | lo;
    return true;
  }
  uint32_t byte(uint64_t offset) const { return static_cast<uint8_t>(bytes_[offset]); }

 private:
  std::string_view bytes_;
};

struct Sections {
  uint64_t table = 0;
  uint32_t count = 0;
};

// The file offset of an RVA through the section table, inside the file.
bool rvaToOffset(const Image& image, const Sections& sections, uint32_t rva, uint64_t& offset) {
  for (uint32_t i = 0; i < sections.count; ++i) {
    uint64_t header = sections.table + static_cast<uint64_t>(i) * 40;
    if (!image.fits(header, 40)) return false;
    uint32_t virtualSize = 0, virtualAddress = 0, rawSize = 0, rawPointer = 0;
    image.u32(header + 8, virtualSize);
    image.u32(header + 12, virtualAddress);
    image.u32(header + 16, rawSize);
    image.u32(header + 20, rawPointer);
    uint32_t extent = virtualSize > rawSize ? virtualSize : rawSize;
    if (virtualAddress <= rva && rva - virtualAddress < extent) {
      offset = static_cast<uint64_t>(rawPointer) + (rva - virtualAddress);
      return offset < image.size();
    }
  }
  return false;
}

std::wstring lowerInvariant(std::wstring_view text) {
  std::wstring out(text);
  if (!out.empty()) {
    LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, text.data(), static_cast<int>(text.size()), out.data(),
                  static_cast<int>(out.size()), nullptr, nullptr, 0);
  }
  return out;
}

bool inList(const std::vector<std::wstring>& list, const std::wstring& path) {
  for (const std::wstring& item : list)
    if (equalsNoCase(item, path)) return true;
  return false;
}

}  // namespace

bool mvidFromImage(std::string_view bytes, std::wstring& mvid) {
  Image image(bytes);
  uint32_t pe = 0, peSignature = 0;
  if (image.size() < 64 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
  if (!image.u32(60, pe) || !image.fits(pe, 24) || !image.u32(pe, peSignature) || peSignature != 0x00004550) return false;

  uint32_t sectionCount = 0, optionalSize = 0, magic = 0;
  image.u16(pe + 6ull, sectionCount);
  image.u16(pe + 20ull, optionalSize);
  uint64_t optional = pe + 24ull;
  if (optionalSize <= 1 || !image.fits(optional, optionalSize) || !image.u16(optional, magic)) return false;
  uint64_t cliDirectory = magic == 0x20B ? 224 : 208;
  if (cliDirectory + 8 > optionalSize) return false;
  uint32_t cliRva = 0;
  if (!image.u32(optional + cliDirectory, cliRva) || cliRva == 0) return false;

  Sections sections{optional + optionalSize, sectionCount};
  uint64_t cli = 0, root = 0;
  uint32_t metadataRva = 0, signature = 0, versionLength = 0, streamCount = 0;
  if (!rvaToOffset(image, sections, cliRva, cli) || !image.fits(cli, 16) || !image.u32(cli + 8, metadataRva)) return false;
  if (!rvaToOffset(image, sections, metadataRva, root) || !image.u32(root, signature) || signature != 0x424A5342)
    return false;
  if (!image.u32(root + 12, versionLength) || !image.u16(root + 18 + versionLength, streamCount)) return false;

  uint64_t header = root + 20 + versionLength;
  uint64_t tables = 0, guidHeap = 0;
  uint32_t guidSize = 0;
  bool haveTables = false, haveGuids = false;
  for (uint32_t i = 0; i < streamCount; ++i) {
    uint32_t offset = 0, size = 0;
    if (!image.u32(header, offset) || !image.u32(header + 4, size)) return false;
    std::string name;
    uint64_t at = header + 8;
    uint32_t c = 0;
    while (true) {
      if (!image.u8(at++, c)) return false;
      if (c == 0) break;
      name += static_cast<char>(c);
      if (name.size() > 32) return false;
    }
    uint64_t nameBytes = name.size() + 1;
    header += 8 + (nameBytes + 3) / 4 * 4;
    if (name == "#~" || name == "#-") {
      tables = root + offset;
      haveTables = true;
    } else if (name == "#GUID") {
      guidHeap = root + offset;
      guidSize = size;
      haveGuids = true;
    }
  }
  if (!haveTables || !haveGuids) return false;

  uint32_t heapSizes = 0;
  uint64_t valid = 0;
  if (!image.u8(tables + 6, heapSizes) || !image.u64(tables + 8, valid) || (valid & 1) == 0) return false;
  uint64_t presentTables = 0;
  for (uint64_t bits = valid; bits != 0; bits &= bits - 1) ++presentTables;
  uint64_t moduleRow = tables + 24 + presentTables * 4;
  uint64_t mvidField = moduleRow + 2 + ((heapSizes & 0x01) ? 4 : 2);
  uint32_t index = 0;
  if ((heapSizes & 0x02) ? !image.u32(mvidField, index) : !image.u16(mvidField, index)) return false;
  if (index == 0 || index >= 0x10000000 || static_cast<uint64_t>(index) * 16 > guidSize) return false;
  uint64_t guid = guidHeap + (static_cast<uint64_t>(index) - 1) * 16;
  if (!image.fits(guid, 16)) return false;

  uint32_t d1 = 0, d2 = 0, d3 = 0;
  image.u32(guid, d1);
  image.u16(guid + 4, d2);
  image.u16(guid + 6, d3);
  auto b = [&](int i) { return image.byte(guid + 8 + i); };
  mvid = format(48, L"{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", d1, d2, d3, b(0), b(1), b(2), b(3), b(4),
                b(5), b(6), b(7));
  return true;
}

bool readMvid(const std::wstring& path, std::wstring& mvid) {
  std::string bytes;
  if (!readWholeFile(path, kMaxAssemblyBytes, bytes)) return false;
  return mvidFromImage(bytes, mvid);
}

DisplayResult parseDisplay(std::string_view output, std::wstring_view stem, std::wstring_view mvid) {
  std::wstring text = lowerInvariant(utf8ToWide(output));
  std::wstring heading = lowerInvariant(stem) + L",";
  std::wstring wanted = lowerInvariant(mvid);
  constexpr std::wstring_view kPhrase = L"source mvid";
  if (text.find(kPhrase) == std::wstring::npos) return kDisplayNotUnderstood;

  bool ours = false;
  size_t begin = 0;
  while (begin < text.size()) {
    size_t end = text.find(L'\n', begin);
    if (end == std::wstring::npos) end = text.size();
    std::wstring_view line(text.data() + begin, end - begin);
    begin = end + 1;
    while (!line.empty() && (line.back() == L'\r' || line.back() == L' ' || line.back() == L'\t'))
      line.remove_suffix(1);
    if (line.empty()) continue;
    if (line[0] != L'\t' && line[0] != L' ') {
      ours = line.substr(0, heading.size()) == heading;
      continue;
    }
    if (!ours) continue;
    size_t phrase = line.find(kPhrase);
    if (phrase == std::wstring_view::npos) continue;
    size_t open = line.find(L'{', phrase + kPhrase.size());
    if (open == std::wstring_view::npos) continue;
    size_t close = line.find(L'}', open);
    if (close == std::wstring_view::npos) continue;
    if (line.substr(open, close - open + 1) == wanted) return kDisplayVerified;
  }
  return kDisplayNotVerified;
}

DisplayResult checkDisplay(const std::wstring& ngenPath, const std::wstring& assembly, std::wstring_view stem,
                           std::wstring_view mvid, const NgenStepContext& context) {
  NgenRun run = runNgen(ngenPath, L"display", assembly, L"/nologo /verbose", kNgenDisplayLimitMs, {}, {},
                        context.cancelled);
  if (run.exitCode != 0) return kDisplayNotVerified;
  return parseDisplay(run.output, stem, mvid);
}

void verifyNativeImages(const std::vector<NativeImageEntry>& entries, const VariableTable& variables,
                        const NgenStepContext& context, NativeImageResult& result) {
  if (context.ngenPath.empty()) return;
  int toCheck = 0;
  for (const NativeImageEntry& entry : entries)
    if (!entry.queueRun && entry.verify) ++toCheck;

  bool against = false;
  std::wstring reason;
  auto countAgainst = [&](std::wstring why) {
    against = true;
    reason = std::move(why);
  };
  int done = 0;
  for (const NativeImageEntry& entry : entries) {
    if (entry.queueRun || !entry.verify) continue;
    std::wstring assembly = normalizePath(expandPaths(entry.install, variables));
    std::wstring stem = assemblyStem(assembly);
    if (!pathExists(assembly) || isDirectory(assembly)) {
      logf(L"Check: %ls is missing.", stem.c_str());
      if (endsWithNoCase(assembly, L"\\Zelvan.exe")) countAgainst(L"Zelvan.exe is not there");
      continue;
    }
    std::wstring mvid;
    if (!readMvid(assembly, mvid)) {
      logf(L"Check: could not read the MVID of %ls, so it counts as not verified.", stem.c_str());
      countAgainst(L"unreadable MVID in " + stem);
      continue;
    }
    bool installFailed = inList(result.retryList, assembly);
    DisplayResult shown = checkDisplay(context.ngenPath, assembly, stem, mvid, context);
    if (context.cancelAsked()) return;

    if (shown == kDisplayNotUnderstood) {
      logf(L"Check: %ls: the ngen display format was not understood. Not retried. Counted as verified if install "
           L"exited 0.",
           stem.c_str());
      if (installFailed) countAgainst(stem + L" did not install");
    } else if (shown == kDisplayNotVerified || installFailed) {
      logf(L"Check: %ls has no native image with MVID %ls. Retrying once.", stem.c_str(), mvid.c_str());
      // The retry is a change like the first install: its record comes first.
      if (context.beforeChange) context.beforeChange(NativeImageChange::InstallNew, context.ngenPath, assembly);
      NgenRun retry = runNgen(context.ngenPath, L"install", assembly, L"/nologo", kNgenInstallLimitMs, {}, {},
                              context.cancelled);
      if (context.cancelAsked()) return;
      DisplayResult again = checkDisplay(context.ngenPath, assembly, stem, mvid, context);
      if (context.cancelAsked()) return;
      if (again == kDisplayVerified) {
        logf(L"Check: %ls verified after the retry.", stem.c_str());
      } else if (again == kDisplayNotUnderstood && retry.exitCode == 0) {
        logf(L"Check: %ls: format not understood after the retry. Counted as verified.", stem.c_str());
      } else {
        logf(L"Check: %ls is not optimized after the retry.", stem.c_str());
        countAgainst(stem + L" has no matching native image");
      }
    } else {
      logf(L"Check: %ls verified, MVID %ls.", stem.c_str(), mvid.c_str());
    }
    ++done;
    if (context.progress) context.progress(static_cast<double>(done) * 100.0 / toCheck);
  }

  if (against) {
    result.optimized = false;
    result.note = reason;
  }
  logf(L"Start-up: %ls%ls%ls", result.optimized ? L"Optimized" : L"Not optimized", result.note.empty() ? L"" : L", ",
       result.note.c_str());
}

}  // namespace zs
