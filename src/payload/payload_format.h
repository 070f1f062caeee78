// The layout of the payload resource "ZSPAYLOAD": a 96-byte header, the setup script, the licence
// text and the compressed block, back to back. Shared by the setup's reader and the builder.
//
// Portable: no Windows headers. Never throws (beyond allocation failure) and never logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/sha256.h"
#include "script/script.h"

namespace zs {

inline constexpr uint32_t kPayloadHeaderSize = 96;
inline constexpr uint32_t kPayloadFormatVersion = 1;
inline constexpr uint32_t kPayloadLayoutVersion = 1;
// The largest uncompressed block a payload may carry (512 MiB).
inline constexpr uint64_t kMaxUncompressedSize = 0x20000000;

// The header's fields, all little-endian in the resource.
struct PayloadHeader {
  uint32_t headerSize = kPayloadHeaderSize;
  uint32_t formatVersion = kPayloadFormatVersion;
  uint32_t layoutVersion = kPayloadLayoutVersion;
  uint64_t scriptLength = 0;
  uint64_t licenseLength = 0;
  uint64_t blockLength = 0;
  uint64_t uncompressedSize = 0;
  uint8_t sha256[kSha256Size] = {};  // of every byte from offset 96 to the end
  uint8_t reserved[16] = {};         // written as zero, never checked
};

// Reads the header of a resource of `size` bytes and checks it and the sizes: at least 96 bytes,
// "ZSP1", header size 96, format and layout version 1, the three lengths adding up to exactly the
// rest of the resource, and an uncompressed size of at most 512 MiB. No arithmetic can wrap.
bool readPayloadHeader(const uint8_t* data, uint64_t size, PayloadHeader& header);

// The 96 header bytes, "ZSP1" first.
void writePayloadHeader(const PayloadHeader& header, uint8_t out[kPayloadHeaderSize]);

// Checks that the [Files] lines, in script order, tile the uncompressed block exactly: each starts
// where the one before ended, none reaches past the block, and together they end at its end.
// Returns nullptr when they do, else the reason as the reader logs it.
const wchar_t* checkFileTiling(const std::vector<FileEntry>& files, uint64_t uncompressedSize);

// A digest as 64 lower-case hexadecimal digits, and the comparison of a digest with such text
// without regard to case.
std::wstring digestToHex(const uint8_t digest[kSha256Size]);
bool digestEqualsHex(const uint8_t digest[kSha256Size], std::wstring_view hex);

}  // namespace zs
