// The block's decompressor: the Windows Compression API in buffer mode with LZMS, from cabinet.dll
// in the system folder. Where cabinet.dll has no Compression API (Wine), the built-in decoder of
// the same buffer format stands in with the same contract and the same Windows error codes; the
// choice is made once per process and logged once when the built-in decoder is used.
#pragma once

#include <cstdint>
#include <functional>

namespace zs {

// How many bytes the block decompresses to. Reads only the block's header: a decompressor is
// created, asked to decompress with no output buffer, and closed; the answer counts only when that
// call fails with ERROR_INSUFFICIENT_BUFFER (a call that succeeds with 0 bytes counts as 0). On
// false, `error` holds the Windows error (ERROR_BAD_COMPRESSION_BUFFER, 605, for a damaged header).
bool blockDecompressedLength(const uint8_t* block, uint64_t blockLength, uint64_t& size,
                             unsigned long& error);

// Decompresses the whole block, in one call, into `out`, which holds exactly `size` bytes (the
// length above). False with the Windows error when the block is damaged (the API's own, such as
// ERROR_BAD_COMPRESSION_BUFFER) or does not fill `out` exactly (ERROR_INVALID_DATA).
bool decompressBlock(const uint8_t* block, uint64_t blockLength, uint8_t* out, uint64_t size,
                     unsigned long& error);

// The same, telling `ready` how many leading bytes of `out` are final as they become so, in rising
// order, possibly from other threads. The built-in decoder tells it chunk by chunk; the Compression
// API decompresses in one call, so there the whole block becomes final at once. The last value is
// `size` exactly when the call succeeds.
bool decompressBlock(const uint8_t* block, uint64_t blockLength, uint8_t* out, uint64_t size,
                     unsigned long& error, const std::function<void(uint64_t ready)>& ready);

// Whether this process decompresses with the built-in decoder (after the first use decided it).
bool usesBuiltInDecoder();

}  // namespace zs
