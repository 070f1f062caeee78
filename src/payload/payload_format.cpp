#include "payload/payload_format.h"

#include <cstring>

namespace zs {

namespace {

constexpr uint8_t kMagic[4] = {'Z', 'S', 'P', '1'};

uint32_t load32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
uint64_t load64(const uint8_t* p) { return uint64_t{load32(p)} | (uint64_t{load32(p + 4)} << 32); }
void store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void store64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int hexValue(wchar_t c) {
  if (c >= L'0' && c <= L'9') return c - L'0';
  if (c >= L'a' && c <= L'f') return c - L'a' + 10;
  if (c >= L'A' && c <= L'F') return c - L'A' + 10;
  return -1;
}

}  // namespace

bool readPayloadHeader(const uint8_t* data, uint64_t size, PayloadHeader& h) {
  if (data == nullptr || size < kPayloadHeaderSize) return false;
  if (std::memcmp(data, kMagic, sizeof(kMagic)) != 0) return false;
  h.headerSize = load32(data + 4);
  h.formatVersion = load32(data + 8);
  h.layoutVersion = load32(data + 12);
  h.scriptLength = load64(data + 16);
  h.licenseLength = load64(data + 24);
  h.blockLength = load64(data + 32);
  h.uncompressedSize = load64(data + 40);
  std::memcpy(h.sha256, data + 48, sizeof(h.sha256));
  std::memcpy(h.reserved, data + 80, sizeof(h.reserved));
  if (h.headerSize != kPayloadHeaderSize || h.formatVersion != kPayloadFormatVersion ||
      h.layoutVersion != kPayloadLayoutVersion) {
    return false;
  }
  // Each length must fit in what the ones before it left over; the last must use it all up.
  uint64_t rest = size - kPayloadHeaderSize;
  if (h.scriptLength > rest) return false;
  rest -= h.scriptLength;
  if (h.licenseLength > rest) return false;
  rest -= h.licenseLength;
  if (h.blockLength != rest) return false;
  if ((h.uncompressedSize >> 32) != 0 || h.uncompressedSize > kMaxUncompressedSize) return false;
  return true;
}

void writePayloadHeader(const PayloadHeader& h, uint8_t out[kPayloadHeaderSize]) {
  std::memcpy(out, kMagic, sizeof(kMagic));
  store32(out + 4, h.headerSize);
  store32(out + 8, h.formatVersion);
  store32(out + 12, h.layoutVersion);
  store64(out + 16, h.scriptLength);
  store64(out + 24, h.licenseLength);
  store64(out + 32, h.blockLength);
  store64(out + 40, h.uncompressedSize);
  std::memcpy(out + 48, h.sha256, sizeof(h.sha256));
  std::memcpy(out + 80, h.reserved, sizeof(h.reserved));
}

const wchar_t* checkFileTiling(const std::vector<FileEntry>& files, uint64_t uncompressedSize) {
  uint64_t next = 0;  // never above uncompressedSize
  for (const FileEntry& f : files) {
    if (f.off != next) return L"a file line is out of order or overlaps";
    if (f.size > uncompressedSize - f.off) return L"Off + Size is past the block";
    next = f.off + f.size;
  }
  if (next != uncompressedSize) return L"the sizes do not add up to the original size";
  return nullptr;
}

std::wstring digestToHex(const uint8_t digest[kSha256Size]) {
  static const wchar_t digits[] = L"0123456789abcdef";
  std::wstring out;
  out.reserve(2 * kSha256Size);
  for (size_t i = 0; i < kSha256Size; ++i) {
    out.push_back(digits[digest[i] >> 4]);
    out.push_back(digits[digest[i] & 15]);
  }
  return out;
}

bool digestEqualsHex(const uint8_t digest[kSha256Size], std::wstring_view hex) {
  if (hex.size() != 2 * kSha256Size) return false;
  for (size_t i = 0; i < kSha256Size; ++i) {
    const int hi = hexValue(hex[2 * i]);
    const int lo = hexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0 || ((hi << 4) | lo) != digest[i]) return false;
  }
  return true;
}

}  // namespace zs
