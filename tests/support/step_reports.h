// The install engine's step reports as the numbers that travel to a front end, so that a test's
// recording sink can store and compare them as plain values.
#pragma once

#include <cstdint>

#include "journal/engine_sink.h"

namespace zs::test {

inline constexpr int32_t kStepRunning = static_cast<int32_t>(StepStatus::Running);
inline constexpr int32_t kStepDone = static_cast<int32_t>(StepStatus::Done);

inline int32_t number(InstallStep step) { return static_cast<int32_t>(step); }
inline int32_t number(StepStatus status) { return static_cast<int32_t>(status); }

}  // namespace zs::test
