#include "payload/payload_reader.h"

#include <windows.h>

#include <cstring>
#include <string_view>

#include "base/log.h"
#include "payload/decompressor.h"
#include "payload/payload_resource.h"
#include "platform/sha256.h"
#include "platform/resource.h"

namespace zs {

namespace {

int refuse(const wchar_t* reason) {
  logf(L"Payload refused: %ls", reason);
  return kPayloadRefused;
}

}  // namespace

int loadPayload(Payload& payload) {
  if (!hasPayloadResource()) return kPayloadMissing;
  const std::span<const uint8_t> bytes = rcdataResource(L"ZSPAYLOAD");
  if (bytes.empty()) return kPayloadRefused;
  return verifyPayload(bytes.data(), static_cast<uint32_t>(bytes.size()), payload);
}

int verifyPayload(const uint8_t* data, uint32_t size, Payload& payload) {
  PayloadHeader header;
  if (!readPayloadHeader(data, size, header)) return refuse(L"header or sizes");

  uint8_t digest[kSha256Size];
  if (!sha256(data + kPayloadHeaderSize, size - kPayloadHeaderSize, digest)) {
    return refuse(L"SHA-256 could not run");
  }
  if (std::memcmp(digest, header.sha256, kSha256Size) != 0) return refuse(L"SHA-256 differs");

  // The sizes were checked against the resource size, a 32-bit value: they all fit in size_t.
  const uint8_t* script = data + kPayloadHeaderSize;
  const uint8_t* licence = script + header.scriptLength;
  const uint8_t* block = licence + header.licenseLength;
  payload.licence = licence;
  payload.licenceLength = header.licenseLength;
  payload.block = block;
  payload.blockLength = header.blockLength;

  ScriptError error;
  const std::string_view text(reinterpret_cast<const char*>(script), static_cast<size_t>(header.scriptLength));
  if (!parseSetupScript(text, payload.script, error)) {
    logf(L"Payload refused: manifest line %d: ZS%02d %ls", error.line, error.code, error.text.c_str());
    return kPayloadRefused;
  }

  if (const wchar_t* reason = checkFileTiling(payload.script.files, header.uncompressedSize)) {
    return refuse(reason);
  }

  uint64_t length = 0;
  unsigned long code = 0;
  if (!blockDecompressedLength(block, header.blockLength, length, code)) {
    logWinError(L"Reading the compressed block's header", code);
    return refuse(L"the compressed block's header is unreadable");
  }
  if (length != header.uncompressedSize) return refuse(L"the compressed block is a different length");

  payload.data = data;
  payload.size = size;
  std::memcpy(payload.header, data, kPayloadHeaderSize);
  payload.uncompressedSize = header.uncompressedSize;
  return kPayloadAccepted;
}

}  // namespace zs
