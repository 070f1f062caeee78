// Loads this executable's own payload with the setup's reader and prints the result and the log
// lines it wrote; the exit code is the reader's result (0 none, 1 refused, 2 accepted).
#include <cstdio>

#include "base/log.h"
#include "payload/payload_reader.h"

int wmain() {
  zs::Payload payload;
  const int result = zs::loadPayload(payload);
  std::fputs(zs::theLog().pendingBytes().c_str(), stdout);
  std::printf("result %d\n", result);
  if (result == zs::kPayloadAccepted) {
    std::printf("files %u, block %llu bytes, uncompressed %llu bytes\n", static_cast<unsigned>(payload.script.files.size()),
                static_cast<unsigned long long>(payload.blockLength),
                static_cast<unsigned long long>(payload.uncompressedSize));
  }
  return result;
}
