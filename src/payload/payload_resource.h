// Whether the running executable carries the payload resource "ZSPAYLOAD" (RT_RCDATA).
// The executable without it is the uninstaller.
#pragma once

namespace zs {

bool hasPayloadResource();

}  // namespace zs
