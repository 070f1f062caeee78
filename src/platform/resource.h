// Resources of the running executable.
#pragma once

#include <cstdint>
#include <span>

namespace zs {

// The bytes of an RCDATA resource of the executable's own module, valid for the life of the
// process. Empty when the resource is missing, cannot be loaded or locked, or has no bytes.
std::span<const uint8_t> rcdataResource(const wchar_t* name);

}  // namespace zs
