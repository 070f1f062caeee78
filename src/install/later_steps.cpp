#include "install/later_steps.h"

#include "app/log.h"

namespace zs {

}  // namespace zs
