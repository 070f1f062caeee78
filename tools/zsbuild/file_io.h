// The builder's dealings with the file system: paths as the UTF-8 text that scripts and messages
// use, and files read or written whole.
#pragma once

#include <filesystem>
#include <string>

namespace zs::build {

std::string pathText(const std::filesystem::path& p);

// A path as a script writes it: `/` or `\`, relative to the script's folder unless absolute.
std::filesystem::path resolveScriptPath(const std::filesystem::path& scriptFolder, const std::string& written);

bool readWhole(const std::filesystem::path& path, std::string& out);

// Writes through a temporary file and a rename, so that a failed build leaves no half file. On
// failure returns false with a message that names the file.
bool writeWhole(const std::filesystem::path& path, const std::string& bytes, std::string& message);

}  // namespace zs::build
