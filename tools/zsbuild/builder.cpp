#include "builder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <system_error>
#include <tuple>

#include "payload/lzms/buffer_format.h"
#include "payload/payload_format.h"
#include "base/text.h"
#include "base/paths.h"
#include "script/script.h"
#include "sha256_portable.h"
#include "source_script.h"

namespace zs::build {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUninstallerDest = "{app}\\ZelvanUninstall.exe";

std::string pathText(const fs::path& p) {
  const auto u8 = p.u8string();
  return std::string(u8.begin(), u8.end());
}

fs::path fromUtf8(const std::string& s) {
  return fs::path(std::u8string(reinterpret_cast<const char8_t*>(s.data()), s.size()));
}

bool readWhole(const fs::path& path, std::string& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

// Writes through a temporary file and a rename, so that a failed build leaves no half file.
bool writeWhole(const fs::path& path, const std::string& bytes, std::string& message) {
  fs::path temp = path;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush()) {
      message = pathText(path) + ": cannot be written";
      return false;
    }
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) {
    message = pathText(path) + ": cannot be written (" + ec.message() + ")";
    fs::remove(temp, ec);
    return false;
  }
  return true;
}

std::string hexDigest(const uint8_t* data, size_t size) {
  uint8_t digest[32];
  sha256Portable(data, size, digest);
  return wideToUtf8(digestToHex(digest));
}

struct Collected {
  int line = 0;
  int entry = -1;
  std::string dest;
  std::vector<std::string> flags;
  fs::path path;
  uint64_t off = 0;
  uint64_t size = 0;
  std::string sha;
};

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
bool collectFolder(const fs::path& folder, const FileSource& entry, int index, std::vector<Collected>& out,
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
    Collected c;
    c.line = entry.line;
    c.entry = index;
    c.dest = entry.dest + "\\" + relative;
    c.flags = entry.flags;
    c.path = path;
    out.push_back(std::move(c));
  }
  return true;
}

std::string renderFileLine(const Collected& c) {
  std::string line = "Dest: " + quoteValue(c.dest);
  if (!c.flags.empty()) {
    line += "; Flags: ";
    for (size_t i = 0; i < c.flags.size(); ++i) line += (i ? ", " : "") + c.flags[i];
  }
  line += "; Off: " + std::to_string(c.off) + "; Size: " + std::to_string(c.size) + "; Sha: " + c.sha;
  return line;
}

// The licence as the setup shows it: UTF-8 without a byte-order mark, CR LF line ends.
bool normaliseLicence(const std::string& in, std::string& out) {
  std::string_view text(in);
  if (text.size() >= 3 && text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::wstring check;
  if (!utf8ToWideStrict(text, check)) return false;
  out.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out.push_back('\r');
    out.push_back(text[i]);
  }
  return true;
}

void append(std::string& out, const uint8_t* data, size_t size) {
  out.append(reinterpret_cast<const char*>(data), size);
}

}  // namespace

bool buildPayload(const BuildOptions& options, BuildReport& report, std::string& message) {
  const std::string scriptName = pathText(options.script);
  auto at = [&](int line, const std::string& text) {
    message = line > 0 ? scriptName + ":" + std::to_string(line) + ": " + text : scriptName + ": " + text;
    return false;
  };

  std::string sourceText;
  if (!readWhole(options.script, sourceText)) return at(0, "cannot be read");
  SourceScript source;
  Fault fault;
  if (!readSourceScript(sourceText, source, fault, options.defines)) return at(fault.line, fault.text);
  report.output = source.output;
  const fs::path base = options.script.parent_path();
  auto resolve = [&](const std::string& written) {
    std::string s = written;
    std::replace(s.begin(), s.end(), '\\', '/');
    const fs::path p = fromUtf8(s);
    return p.is_absolute() ? p : base / p;
  };

  // The files, in script order, then the uninstaller.
  std::vector<Collected> files;
  for (size_t i = 0; i < source.files.size(); ++i) {
    const FileSource& entry = source.files[i];
    const fs::path path = resolve(entry.source);
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
  if (!options.stub.empty()) {
    std::error_code ec;
    if (!fs::is_regular_file(options.stub, ec)) {
      message = pathText(options.stub) + ": the setup stub does not exist";
      return false;
    }
    files.push_back({0, -1, kUninstallerDest, {}, options.stub, 0, 0, {}});
  }

  // Destinations must differ, as the target file system sees them (without regard to case).
  for (size_t i = 0; i < files.size(); ++i) {
    for (size_t k = 0; k < i; ++k) {
      if (equalsNoCase(utf8ToWide(files[i].dest), utf8ToWide(files[k].dest))) {
        const std::string what = files[i].entry < 0 ? std::string(" (the builder adds the uninstaller there)") : "";
        return at(files[i].line != 0 ? files[i].line : files[k].line,
                  "duplicate destination " + files[i].dest + what + ", also on line " + std::to_string(files[k].line));
      }
    }
  }

  // The block: every file back to back, in script order.
  std::string block;
  uint64_t total = 0;
  for (Collected& c : files) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(c.path, ec);
    if (ec) return at(c.line, "cannot read " + pathText(c.path));
    if (size > kMaxUncompressedSize - total) {
      return at(c.line, "the files add up to more than 512 MiB (at " + pathText(c.path) + ")");
    }
    std::string bytes;
    if (!readWhole(c.path, bytes) || bytes.size() != size) return at(c.line, "cannot read " + pathText(c.path));
    c.off = total;
    c.size = size;
    c.sha = hexDigest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    total += size;
    block += bytes;
  }

  // The embedded script: headers and lines as written, [Files] lines with their places in the block.
  std::string script;
  std::vector<int> origin(1, 0);  // embedded line -> source line
  auto emit = [&](const std::string& line, int from) {
    script += line;
    script += '\n';
    origin.push_back(from);
  };
  const bool needFilesSection = source.lastFilesItem < 0 && !options.stub.empty();
  for (size_t i = 0; i < source.items.size(); ++i) {
    const ScriptItem& item = source.items[i];
    if (item.header && !script.empty()) emit("", item.line);
    if (item.fileSource >= 0) {
      for (const Collected& c : files) {
        if (c.entry == item.fileSource) emit(renderFileLine(c), c.line);
      }
    } else {
      emit(item.text, item.line);
    }
    if (static_cast<int>(i) == source.lastFilesItem && !options.stub.empty()) emit(renderFileLine(files.back()), 0);
  }
  if (needFilesSection) {
    if (!script.empty()) emit("", 0);
    emit("[Files]", 0);
    emit(renderFileLine(files.back()), 0);
  }

  // The setup's own parser decides; its faults are reported on the source line they came from.
  SetupScript parsed;
  ScriptError error;
  if (!parseSetupScript(script, parsed, error)) {
    const int line = error.line > 0 && static_cast<size_t>(error.line) < origin.size() ? origin[error.line] : 0;
    char code[8];
    std::snprintf(code, sizeof(code), "ZS%02d", static_cast<int>(error.code));
    return at(line, std::string(code) + " " + wideToUtf8(error.text));
  }

  std::string licence;
  if (!source.licenseFile.empty()) {
    std::string raw;
    const fs::path licencePath = resolve(source.licenseFile);
    if (!readWhole(licencePath, raw)) return at(0, "the licence file " + pathText(licencePath) + " cannot be read");
    if (!normaliseLicence(raw, licence)) return at(0, "the licence file " + pathText(licencePath) + " is not valid UTF-8");
  }

  std::vector<uint8_t> packed;
  std::string compressError;
  const uint64_t chunkSize = options.chunkSize != 0 ? options.chunkSize : defaultChunkSize(block.size());
  if (!compressLzmsBuffer(reinterpret_cast<const uint8_t*>(block.data()), block.size(), chunkSize, options.jobs,
                          packed, compressError)) {
    message = "compressing the block failed: " + compressError;
    return false;
  }

  PayloadHeader header;
  header.scriptLength = script.size();
  header.licenseLength = licence.size();
  header.blockLength = packed.size();
  header.uncompressedSize = total;
  Sha256Portable digest;
  digest.add(script.data(), script.size());
  digest.add(licence.data(), licence.size());
  digest.add(packed.data(), packed.size());
  digest.finish(header.sha256);
  uint8_t headerBytes[kPayloadHeaderSize];
  writePayloadHeader(header, headerBytes);
  std::string payload;
  payload.reserve(kPayloadHeaderSize + script.size() + licence.size() + packed.size());
  append(payload, headerBytes, sizeof(headerBytes));
  payload += script;
  payload += licence;
  append(payload, packed.data(), packed.size());

  // The self-check: read the output back as the setup will, and decompress the whole block.
  {
    const auto* bytes = reinterpret_cast<const uint8_t*>(payload.data());
    PayloadHeader back;
    uint8_t again[32];
    sha256Portable(bytes + kPayloadHeaderSize, payload.size() - kPayloadHeaderSize, again);
    if (!readPayloadHeader(bytes, payload.size(), back) || std::memcmp(again, back.sha256, 32) != 0 ||
        checkFileTiling(parsed.files, back.uncompressedSize) != nullptr) {
      message = "self-check failed: the payload does not read back";
      return false;
    }
    lzms::BufferDecoder decoder;
    std::vector<uint8_t> plain(static_cast<size_t>(total));
    uint64_t needed = 0;
    if (decoder.decompress(packed.data(), packed.size(), plain.data(), plain.size(), needed) != lzms::BufferResult::Ok ||
        needed != total || std::memcmp(plain.data(), block.data(), block.size()) != 0) {
      message = "self-check failed: the compressed block does not decompress to the files";
      return false;
    }
    for (const FileEntry& f : parsed.files) {
      uint8_t d[32];
      sha256Portable(plain.data() + f.off, static_cast<size_t>(f.size), d);
      if (!digestEqualsHex(d, f.sha)) {
        message = "self-check failed: a file's SHA-256 does not match its bytes";
        return false;
      }
    }
  }

  if (!options.scriptOut.empty() && !writeWhole(options.scriptOut, script, message)) return false;
  if (!writeWhole(options.payloadOut, payload, message)) return false;
  report.files = files.size();
  report.uncompressedSize = total;
  report.blockLength = packed.size();
  report.payloadSize = payload.size();
  return true;
}

bool signFile(const fs::path& scriptPath, const fs::path& file,
              const std::vector<std::pair<std::string, std::string>>& defines, std::string& message) {
  std::string text;
  if (!readWhole(scriptPath, text)) {
    message = pathText(scriptPath) + ": cannot be read";
    return false;
  }
  SourceScript source;
  Fault fault;
  if (!readSourceScript(text, source, fault, defines)) {
    message = pathText(scriptPath) + ":" + std::to_string(fault.line) + ": " + fault.text;
    return false;
  }
  if (source.sign.empty()) return true;
  std::string command;
  const std::string quoted = "\"" + pathText(file) + "\"";
  for (size_t i = 0; i < source.sign.size();) {
    if (source.sign.compare(i, 6, "{file}") == 0) {
      command += quoted;
      i += 6;
    } else {
      command.push_back(source.sign[i++]);
    }
  }
  const int status = std::system(command.c_str());
  if (status != 0) {
    message = "the Sign command failed (status " + std::to_string(status) + "): " + command;
    return false;
  }
  return true;
}

}  // namespace zs::build
