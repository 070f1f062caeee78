#include "builder.h"

#include <cstdlib>
#include <cstring>

#include "block_files.h"
#include "embedded_script.h"
#include "file_io.h"
#include "payload/lzms/buffer_format.h"
#include "payload/payload_format.h"
#include "base/text.h"
#include "script/script.h"
#include "sha256_portable.h"
#include "source_script.h"

namespace zs::build {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUninstallerName = "ZelvanUninstall.exe";

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

// The script's licence file, if it names one, as the setup shows it; empty otherwise.
bool readLicence(const SourceScript& source, const fs::path& scriptFolder, std::string& licence, Fault& fault) {
  if (source.licenseFile.empty()) return true;
  std::string raw;
  const fs::path licencePath = resolveScriptPath(scriptFolder, source.licenseFile);
  if (!readWhole(licencePath, raw)) {
    fault = {0, "the licence file " + pathText(licencePath) + " cannot be read"};
    return false;
  }
  if (!normaliseLicence(raw, licence)) {
    fault = {0, "the licence file " + pathText(licencePath) + " is not valid UTF-8"};
    return false;
  }
  return true;
}

bool compressBlock(const std::string& block, const BuildOptions& options, std::vector<uint8_t>& packed,
                   std::string& message) {
  std::string error;
  const uint64_t chunkSize = options.chunkSize != 0 ? options.chunkSize : defaultChunkSize(block.size());
  if (!compressLzmsBuffer(reinterpret_cast<const uint8_t*>(block.data()), block.size(), chunkSize, options.jobs,
                          packed, error)) {
    message = "compressing the block failed: " + error;
    return false;
  }
  return true;
}

void append(std::string& out, const uint8_t* data, size_t size) {
  out.append(reinterpret_cast<const char*>(data), size);
}

// The resource: header, embedded script, licence, compressed block.
std::string assemblePayload(const std::string& script, const std::string& licence,
                            const std::vector<uint8_t>& packed, uint64_t uncompressedSize) {
  PayloadHeader header;
  header.scriptLength = script.size();
  header.licenseLength = licence.size();
  header.blockLength = packed.size();
  header.uncompressedSize = uncompressedSize;
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
  return payload;
}

// Reads the payload back as the setup will, and decompresses the whole block: nothing is written
// that the setup could not install.
bool selfCheck(const std::string& payload, const std::vector<uint8_t>& packed, const std::string& block,
               const SetupScript& parsed, std::string& message) {
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
  std::vector<uint8_t> plain(block.size());
  uint64_t needed = 0;
  if (decoder.decompress(packed.data(), packed.size(), plain.data(), plain.size(), needed) != lzms::BufferResult::Ok ||
      needed != block.size() || std::memcmp(plain.data(), block.data(), block.size()) != 0) {
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
  return true;
}

// The Sign command with {file} replaced by the file's quoted path, run through the shell.
bool runSignCommand(const std::string& sign, const fs::path& file, std::string& message) {
  std::string command;
  // Built up in steps: GCC 12 warns falsely (-Wrestrict) on "\"" + text + "\"" here.
  std::string quoted = "\"";
  quoted += pathText(file);
  quoted += '"';
  for (size_t i = 0; i < sign.size();) {
    if (sign.compare(i, 6, "{file}") == 0) {
      command += quoted;
      i += 6;
    } else {
      command.push_back(sign[i++]);
    }
  }
  const int status = std::system(command.c_str());
  if (status != 0) {
    message = "the Sign command failed (status " + std::to_string(status) + "): " + command;
    return false;
  }
  return true;
}

// The uninstaller that goes into the block when the script signs: a copy of the stub, signed by the
// script's Sign command, so that the installed uninstaller carries the same signature as the setup.
// The build's own stub is never touched (other setups are made from it). The copy keeps the name
// ZelvanUninstall.exe, since signing tools tell a program by its name, and is removed when the
// build is done with it.
class SignedUninstaller {
 public:
  SignedUninstaller() = default;
  SignedUninstaller(const SignedUninstaller&) = delete;
  SignedUninstaller& operator=(const SignedUninstaller&) = delete;
  ~SignedUninstaller() {
    std::error_code ec;
    if (!folder_.empty()) fs::remove_all(folder_, ec);
  }

  bool make(const std::string& sign, const fs::path& stub, const fs::path& payloadOut, std::string& message) {
    std::string original;
    if (!readWhole(stub, original)) {
      message = pathText(stub) + ": the setup stub cannot be read";
      return false;
    }
    folder_ = payloadOut;
    folder_ += ".signing";
    std::error_code ec;
    fs::remove_all(folder_, ec);
    fs::create_directories(folder_, ec);
    path_ = folder_ / kUninstallerName;
    if (ec || !writeWhole(path_, original, message)) {
      message = pathText(path_) + ": the copy of the stub to sign cannot be written";
      return false;
    }
    if (!runSignCommand(sign, path_, message)) return false;
    std::string signedBytes;
    if (!readWhole(path_, signedBytes)) {
      message = pathText(path_) + ": the signed uninstaller cannot be read";
      return false;
    }
    if (signedBytes == original) {
      message = "the Sign command left the uninstaller as it was: " + sign;
      return false;
    }
    return true;
  }

  const fs::path& path() const { return path_; }

 private:
  fs::path folder_;
  fs::path path_;
};

}  // namespace

// The order of the stages is the order in which faults are reported: a script with several
// faults always names the same one.
bool buildPayload(const BuildOptions& options, BuildReport& report, std::string& message) {
  const std::string scriptName = pathText(options.script);
  auto at = [&](const Fault& fault) {
    message = fault.line > 0 ? scriptName + ":" + std::to_string(fault.line) + ": " + fault.text
                             : scriptName + ": " + fault.text;
    return false;
  };
  Fault fault;

  std::string sourceText;
  if (!readWhole(options.script, sourceText)) return at({0, "cannot be read"});
  SourceScript source;
  if (!readSourceScript(sourceText, source, fault, options.defines)) return at(fault);
  report.output = source.output;
  const fs::path scriptFolder = options.script.parent_path();

  std::vector<BlockFile> files;
  if (!gatherFiles(source, scriptFolder, files, fault)) return at(fault);
  const bool hasUninstaller = !options.stub.empty();
  if (hasUninstaller && !addUninstaller(options.stub, files, message)) return false;
  if (!checkDestinations(files, fault)) return at(fault);
  std::string block;
  if (!readBlock(files, block, fault)) return at(fault);

  EmbeddedScript script = embedScript(source, files, hasUninstaller);
  SetupScript parsed;
  if (!checkEmbeddedScript(script, parsed, fault)) return at(fault);
  std::string licence;
  if (!readLicence(source, scriptFolder, licence, fault)) return at(fault);

  // Signed only once the script and its files are known to be sound (a signing service may count
  // or time-stamp each call); the uninstaller is the block's last file, so only it is read again.
  SignedUninstaller signedUninstaller;
  if (hasUninstaller && !source.sign.empty()) {
    if (!signedUninstaller.make(source.sign, options.stub, options.payloadOut, message)) return false;
    std::vector<BlockFile> uninstaller{files.back()};
    uninstaller.front().path = signedUninstaller.path();
    block.resize(files.back().off);
    if (!readBlock(uninstaller, block, fault)) return at(fault);
    files.back() = uninstaller.front();
    script = embedScript(source, files, hasUninstaller);
    parsed = SetupScript{};
    if (!checkEmbeddedScript(script, parsed, fault)) return at(fault);
  }

  std::vector<uint8_t> packed;
  if (!compressBlock(block, options, packed, message)) return false;
  const std::string payload = assemblePayload(script.text, licence, packed, block.size());
  if (!selfCheck(payload, packed, block, parsed, message)) return false;

  if (!options.scriptOut.empty() && !writeWhole(options.scriptOut, script.text, message)) return false;
  if (!writeWhole(options.payloadOut, payload, message)) return false;
  report.files = files.size();
  report.uncompressedSize = block.size();
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
  return source.sign.empty() || runSignCommand(source.sign, file, message);
}

}  // namespace zs::build
