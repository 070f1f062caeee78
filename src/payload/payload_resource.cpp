#include "payload/payload_resource.h"

#include <windows.h>

namespace zs {

bool hasPayloadResource() { return FindResourceW(nullptr, L"ZSPAYLOAD", MAKEINTRESOURCEW(10) /* RT_RCDATA */) != nullptr; }

}  // namespace zs
