#include "install/native_images.h"

#include <memory>

#include "journal/journal_format.h"
#include "journal/record_kinds.h"
#include "ngen/native_image_check.h"
#include "ngen/ngen.h"
#include "journal/engine_sink.h"

namespace zs {

namespace {

NgenStepContext contextFor(InstallRun& run, InstallStep step) {
  NgenStepContext context;
  context.ngenPath = findNgen(run.folders);
  context.beforeChange = [&run](NativeImageChange change, const std::wstring& ngenPath, const std::wstring& assembly) {
    if (change == NativeImageChange::RemoveOld) {
      journalNgenOld(run.journal, ngenPath, assembly);
    } else {
      journalNgenNew(run.journal, ngenPath, assembly);
    }
  };
  context.cancelled = [&run] { return run.cancel.cancelRequested(); };
  // Ticks come every 100 ms; the front end only hears of whole-percent changes.
  auto last = std::make_shared<int32_t>(-1);
  context.progress = [&run, step, last](double percent) {
    int32_t whole = static_cast<int32_t>(percent);
    if (whole < 0) whole = 0;
    if (whole > 100) whole = 100;
    if (whole == *last) return;
    *last = whole;
    run.report(step, StepStatus::Running, whole);
  };
  return context;
}

}  // namespace

void removeNativeImages(InstallRun& run, const std::vector<std::wstring>& assemblies) {
  NgenStepContext context = contextFor(run, InstallStep::CopyingFiles);
  context.progress = nullptr;  // copying has its own bar; removal does not move it
  removeOldNativeImages(assemblies, context);
}

void installNativeImages(InstallRun& run) {
  run.nativeImages = installNativeImages(run.script.nativeImages, run.variables, contextFor(run, InstallStep::NativeImages));
}

void checkNativeImages(InstallRun& run) {
  verifyNativeImages(run.script.nativeImages, run.variables, contextFor(run, InstallStep::CheckingImages), run.nativeImages);
}

}  // namespace zs
