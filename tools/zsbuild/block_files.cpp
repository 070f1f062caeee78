#include "block_files.h"

#include <algorithm>
#include <map>
#include <system_error>
#include <tuple>

#include "file_io.h"
#include "payload/payload_format.h"
#include "base/text.h"
#include "base/paths.h"
#include "sha256_portable.h"

namespace zs::build {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUninstallerDest = "{app}\\ZelvanUninstall.exe";

std::string hexDigest(const uint8_t* data, size_t size) {
  uint8_t digest[32];
  sha256Portable(data, size, digest);
  return wideToUtf8(digestToHex(digest));
}

// A file's type for the block order: the extension of its name in ASCII lower case, empty when
// it has none.
std::string typeOf(const std::string& relative) {
  const size_t slash = relative.rfind('\\');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = relative.rfind('.');
  if (dot == std::string::npos || dot <= name) return {};
  std::string type = relative.substr(dot + 1);
  for (char& c : type) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return type;
}

// A folder's files, in an order that does not depend on the file system: by type, so that similar
// files meet in the same chunk, then by relative path.
bool collectFolder(const fs::path& folder, const FileSource& entry, int index, std::vector<BlockFile>& out,
                   std::string& error) {
  std::vector<std::tuple<std::string, std::string, fs::path>> found;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::none, ec);
  if (ec) {
    error = "cannot read the folder " + pathText(folder) + " (" + ec.message() + ")";
    return false;
  }
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) {
      error = "cannot read the folder " + pathText(folder) + " (" + ec.message() + ")";
      return false;
    }
    if (!it->is_regular_file(ec)) continue;
    std::string relative = pathText(fs::relative(it->path(), folder, ec));
    std::replace(relative.begin(), relative.end(), '/', '\\');
    const std::wstring wideRelative = utf8ToWide(relative);
    const size_t slash = wideRelative.rfind(L'\\');
    const std::wstring name = slash == std::wstring::npos ? wideRelative : wideRelative.substr(slash + 1);
    bool excluded = false;
    for (const std::string& pattern : entry.excludes) {
      const std::wstring p = utf8ToWide(pattern);
      const bool matches = p.find(L'\\') != std::wstring::npos || p.find(L'/') != std::wstring::npos
          ? matchWildcard(p, wideRelative) : matchWildcard(p, name);
      if (matches) excluded = true;
    }
    if (!excluded) found.emplace_back(typeOf(relative), relative, it->path());
  }
  std::sort(found.begin(), found.end());
  for (auto& [type, relative, path] : found) {
    BlockFile f;
    f.line = entry.line;
    f.entry = index;
    f.dest = entry.dest + "\\" + relative;
    f.flags = entry.flags;
    f.path = path;
    out.push_back(std::move(f));
  }
  return true;
}

}  // namespace

bool gatherFiles(const SourceScript& source, const fs::path& scriptFolder, std::vector<BlockFile>& files,
                 Fault& fault) {
  auto at = [&](int line, const std::string& text) {
    fault = {line, text};
    return false;
  };
  for (size_t i = 0; i < source.files.size(); ++i) {
    const FileSource& entry = source.files[i];
    const fs::path path = resolveScriptPath(scriptFolder, entry.source);
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (fs::is_directory(status)) {
      if (!entry.recurse) return at(entry.line, "Source " + entry.source + " is a folder; a folder needs Flags: recurse");
      std::string error;
      if (!collectFolder(path, entry, static_cast<int>(i), files, error)) return at(entry.line, error);
    } else if (fs::is_regular_file(status)) {
      if (entry.recurse) return at(entry.line, "Flags: recurse needs a folder, and Source " + entry.source + " is a file");
      files.push_back({entry.line, static_cast<int>(i), entry.dest, entry.flags, path, 0, 0, {}});
    } else {
      return at(entry.line, "Source " + entry.source + " does not exist (" + pathText(path) + ")");
    }
  }
  return true;
}

bool addUninstaller(const fs::path& stub, std::vector<BlockFile>& files, std::string& message) {
  std::error_code ec;
  if (!fs::is_regular_file(stub, ec)) {
    message = pathText(stub) + ": the setup stub does not exist";
    return false;
  }
  files.push_back({0, -1, kUninstallerDest, {}, stub, 0, 0, {}});
  return true;
}

bool checkDestinations(const std::vector<BlockFile>& files, Fault& fault) {
  // Each destination against those before it, by one ordered lookup: comparing every pair cost a
  // quarter second of a 2,000-file build and grew with the square of the count.
  std::map<std::wstring, size_t, NoCaseLess> first;  // a destination and the first file it is
  for (size_t i = 0; i < files.size(); ++i) {
    const auto [at, added] = first.emplace(utf8ToWide(files[i].dest), i);
    if (added) continue;
    const size_t k = at->second;
    const std::string what = files[i].entry < 0 ? std::string(" (the builder adds the uninstaller there)") : "";
    fault = {files[i].line != 0 ? files[i].line : files[k].line,
             "duplicate destination " + files[i].dest + what + ", also on line " + std::to_string(files[k].line)};
    return false;
  }
  return true;
}

bool readBlock(std::vector<BlockFile>& files, std::string& block, Fault& fault) {
  for (BlockFile& f : files) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(f.path, ec);
    if (!ec && size > kMaxUncompressedSize - block.size()) {
      fault = {f.line, "the files add up to more than 512 MiB (at " + pathText(f.path) + ")"};
      return false;
    }
    std::string bytes;
    if (ec || !readWhole(f.path, bytes) || bytes.size() != size) {
      fault = {f.line, "cannot read " + pathText(f.path)};
      return false;
    }
    f.off = block.size();
    f.size = size;
    f.sha = hexDigest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    block += bytes;
  }
  return true;
}

}  // namespace zs::build
