// The reference script: the full embedded script of Zelvan 2.5, as the payload carries it.
#pragma once

#include <string_view>

#include "reference_script_data.h"

namespace zs::test {

inline std::string_view referenceScript() {
  return {reinterpret_cast<const char*>(kReferenceScriptBytes), sizeof(kReferenceScriptBytes)};
}

}  // namespace zs::test
