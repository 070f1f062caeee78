// Builds the "ZSPAYLOAD" resource from a source script: collects the files, lays out the block,
// writes the embedded script with Off, Size and Sha, compresses the block, and checks its own
// output by decompressing it before anything is written. The same inputs give the same bytes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "lzms_compress.h"

namespace zs::build {

struct BuildOptions {
  std::filesystem::path script;      // the source script
  std::filesystem::path stub;        // the setup without a payload, embedded as {app}\ZelvanUninstall.exe
  std::filesystem::path payloadOut;  // where the resource bytes go
  std::filesystem::path scriptOut;   // optional: the embedded script as a file of its own
  uint64_t chunkSize = 0;  // 0: defaultChunkSize() of the block
  unsigned jobs = 0;  // chunks compressed at once; 0 for one per hardware thread
  std::vector<std::pair<std::string, std::string>> defines;  // from the command line; they win over [Define]
};

struct BuildReport {
  uint64_t files = 0;
  uint64_t uncompressedSize = 0;
  uint64_t blockLength = 0;
  uint64_t payloadSize = 0;
  std::string output;  // the script's [Setup] Output, if any
};

// On failure returns false with one message that names the file and line where there is one.
bool buildPayload(const BuildOptions& options, BuildReport& report, std::string& message);

// Runs the script's Sign command on `file` ({file} replaced by its quoted path); nothing when the
// script has none.
bool signFile(const std::filesystem::path& script, const std::filesystem::path& file,
              const std::vector<std::pair<std::string, std::string>>& defines, std::string& message);

}  // namespace zs::build
