// The files of the block: which files the source script names, in what order they go into the
// block, and the block itself with each file's place and digest.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "source_script.h"

namespace zs::build {

struct BlockFile {
  int line = 0;    // the source line that names it; 0 for the uninstaller
  int entry = -1;  // its entry in SourceScript::files; -1 for the uninstaller
  std::string dest;
  std::vector<std::string> flags;
  std::filesystem::path path;
  uint64_t off = 0;  // off, size and sha are known once the block is read
  uint64_t size = 0;
  std::string sha;  // SHA-256 in hex
};

// The files of the [Files] entries in script order, each folder's files by type, then by path.
bool gatherFiles(const SourceScript& source, const std::filesystem::path& scriptFolder, std::vector<BlockFile>& files,
                 Fault& fault);

// The setup stub goes in last, as the uninstaller. On failure `message` names the stub.
bool addUninstaller(const std::filesystem::path& stub, std::vector<BlockFile>& files, std::string& message);

// Destinations must differ as the target file system sees them: without regard to case.
bool checkDestinations(const std::vector<BlockFile>& files, Fault& fault);

// Reads every file into the block, back to back in their order, and fills in off, size and sha.
// The block stays within what a setup may hold.
bool readBlock(std::vector<BlockFile>& files, std::string& block, Fault& fault);

}  // namespace zs::build
