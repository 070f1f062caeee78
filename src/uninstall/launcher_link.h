// The temporary copy's side of its launcher's wait. The uninstaller started from the install folder
// waits for its copy and ends with the copy's result, so that whoever started it (Apps & Features,
// a management tool running the quiet uninstall) learns how the removal went. The copy tells the
// result as soon as it is known, and before it shows anything that waits for a person; only then,
// once the launcher has ended, does it delete the launcher's file.
#pragma once

#include <cstdint>

#include "platform/handle.h"

namespace zs {

struct SwitchSet;

class LauncherLink {
 public:
  // No launcher waits.
  LauncherLink() = default;
  // The pipe /result= names, when this run is a copy whose launcher waits for it (/run= names the
  // launcher). A pipe that cannot be taken is logged, and no launcher is told.
  explicit LauncherLink(const SwitchSet& switches);

  // Whether a launcher waits for this run's result (also after it was told).
  bool waits() const { return waits_; }
  // Tells the launcher the number this run ends with; only the first call does.
  void tell(int32_t exitNumber);
  bool told() const { return told_; }

 private:
  UniqueHandle pipe_;
  bool waits_ = false;
  bool told_ = false;
};

}  // namespace zs
