// The script embedded in the payload: the source script in canonical form, its [Files] lines
// written with each file's place in the block, checked by the setup's own parser.
#pragma once

#include <string>
#include <vector>

#include "block_files.h"
#include "script/script.h"
#include "source_script.h"

namespace zs::build {

struct EmbeddedScript {
  std::string text;
  std::vector<int> origin;  // the source line of each embedded line (index 0 unused; 0: none)
};

// `files` as readBlock left them; the uninstaller, when there is one, is the last of them.
EmbeddedScript embedScript(const SourceScript& source, const std::vector<BlockFile>& files, bool hasUninstaller);

// The setup's parser decides; its faults are reported on the source line they came from, with
// the setup's code and text.
bool checkEmbeddedScript(const EmbeddedScript& script, SetupScript& parsed, Fault& fault);

}  // namespace zs::build
