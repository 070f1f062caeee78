// The payload reader: finds the executable's "ZSPAYLOAD" resource, checks its header and sizes,
// its SHA-256, its script and [Files] lines, and asks the decompressor for the block's length. The
// resource is used in place (it stays mapped for the life of the process); only the header is
// copied. Nothing is written to disk and the block is not decompressed here.
//
// Every refusal is one log line "Payload refused: ..." (after the Windows error line where there
// is one); the reader shows nothing.
#pragma once

#include <cstdint>

#include "payload/payload_format.h"
#include "script/script.h"

namespace zs {

// The accepted payload, kept for the whole run.
struct Payload {
  const uint8_t* data = nullptr;  // the resource bytes
  uint32_t size = 0;
  uint8_t header[kPayloadHeaderSize] = {};  // a copy
  const uint8_t* licence = nullptr;  // UTF-8 with CR LF line ends
  uint64_t licenceLength = 0;
  const uint8_t* block = nullptr;  // the compressed block
  uint64_t blockLength = 0;
  SetupScript script;  // including the [Files] list
  uint64_t uncompressedSize = 0;  // from the header, equal to the block's decompressed length
};

// Results of loading.
inline constexpr int kPayloadMissing = 0;   // no payload resource
inline constexpr int kPayloadRefused = 1;   // there is one, but it cannot be loaded or is refused
inline constexpr int kPayloadAccepted = 2;  // loaded and accepted; the Payload is filled

// Loads and verifies the running executable's payload resource.
int loadPayload(Payload& payload);

// The checks from the header on, over resource bytes already in memory (which must outlive the
// Payload): kPayloadRefused or kPayloadAccepted.
int verifyPayload(const uint8_t* data, uint32_t size, Payload& payload);

}  // namespace zs
