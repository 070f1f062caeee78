// Failure messages show the window's codes by their numbers, as the gallery's state lists and the
// window's messages carry them.
#pragma once

#include <ostream>
#include <type_traits>

namespace zs::ui {

template <typename Code>
  requires std::is_enum_v<Code>
std::ostream& operator<<(std::ostream& out, Code code) {
  return out << static_cast<long long>(code);
}

}  // namespace zs::ui
