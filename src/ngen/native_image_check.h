// Whether the installed native images belong to the exact builds of the assemblies on disk: an
// ngen exit code of 0 does not prove it. The module version id (MVID) in the assembly's metadata
// must appear as the source MVID of one of the images ngen lists for it. A mismatch gets one more
// install and one more look; the outcome is the "Start-up" verdict. Nothing here fails the install.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ngen/ngen.h"

namespace zs {

struct NativeImageEntry;
class VariableTable;

enum DisplayResult : int { kDisplayVerified = 0, kDisplayNotVerified = 1, kDisplayNotUnderstood = 2 };

// The MVID of a .NET assembly as "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" in lower case. False for
// anything that is not a readable .NET assembly; every offset is checked before it is used.
bool readMvid(const std::wstring& path, std::wstring& mvid);
bool mvidFromImage(std::string_view image, std::wstring& mvid);

// Looks for an image of the assembly (by its stem) whose source MVID matches in ngen's
// "display /verbose" output.
DisplayResult parseDisplay(std::string_view output, std::wstring_view stem, std::wstring_view mvid);
// Runs "display" and parses its output; a non-zero exit code counts as not verified.
DisplayResult checkDisplay(const std::wstring& ngenPath, const std::wstring& assembly, std::wstring_view stem,
                           std::wstring_view mvid, const NgenStepContext& context);

// Checks every install line with Verify yes, retries each mismatch once, and folds what it found
// into the result; logs the "Start-up" verdict. Without ngen it does nothing.
void verifyNativeImages(const std::vector<NativeImageEntry>& entries, const VariableTable& variables,
                        const NgenStepContext& context, NativeImageResult& result);

}  // namespace zs
