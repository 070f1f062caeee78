// zsbuild: makes the payload resource of a Zelvan setup from a source script.
//
//   zsbuild SCRIPT --stub SETUP_STUB.exe --payload OUT.bin [--script-out OUT.zss] [--chunk-size BYTES]
//           [--jobs N] [--define NAME=VALUE]...
//   zsbuild --sign SCRIPT FILE [--define NAME=VALUE]...   runs the script's Sign command on FILE
//
// Exit code 0 on success; 1 with one message on standard error otherwise; 2 for a wrong command line.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "builder.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: zsbuild SCRIPT --stub SETUP_STUB.exe --payload OUT.bin [--script-out OUT.zss] "
               "[--chunk-size BYTES] [--jobs N] [--define NAME=VALUE]...\n       zsbuild --sign SCRIPT FILE [--define NAME=VALUE]...\n");
  return 2;
}

}  // namespace

bool splitDefine(const std::string& text, std::pair<std::string, std::string>& define) {
  const size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0) return false;
  define = {text.substr(0, eq), text.substr(eq + 1)};
  return true;
}

int main(int argc, char** argv) {
  zs::build::BuildOptions options;
  bool sign = false;
  std::string signTarget;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    std::pair<std::string, std::string> define;
    if (arg == "--define" && hasValue) {
      if (!splitDefine(argv[++i], define)) return usage();
      options.defines.push_back(define);
    } else if (arg == "--sign" && i + 2 < argc) {
      sign = true;
      options.script = argv[++i];
      signTarget = argv[++i];
    } else if (arg == "--stub" && hasValue) {
      options.stub = argv[++i];
    } else if (arg == "--payload" && hasValue) {
      options.payloadOut = argv[++i];
    } else if (arg == "--script-out" && hasValue) {
      options.scriptOut = argv[++i];
    } else if (arg == "--chunk-size" && hasValue) {
      options.chunkSize = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--jobs" && hasValue) {
      char* end = nullptr;
      const unsigned long jobs = std::strtoul(argv[++i], &end, 10);
      if (*end != '\0' || jobs == 0 || jobs > 256) return usage();
      options.jobs = static_cast<unsigned>(jobs);
    } else if (!arg.empty() && arg[0] != '-' && options.script.empty()) {
      options.script = arg;
    } else {
      return usage();
    }
  }
  if (sign) {
    std::string message;
    if (!zs::build::signFile(options.script, signTarget, options.defines, message)) {
      std::fprintf(stderr, "zsbuild: %s\n", message.c_str());
      return 1;
    }
    return 0;
  }
  if (options.script.empty() || options.payloadOut.empty() || options.stub.empty()) return usage();
  zs::build::BuildReport report;
  std::string message;
  if (!zs::build::buildPayload(options, report, message)) {
    std::fprintf(stderr, "zsbuild: %s\n", message.c_str());
    return 1;
  }
  std::printf("zsbuild: %llu files, %llu bytes, block %llu bytes, payload %llu bytes\n",
              static_cast<unsigned long long>(report.files), static_cast<unsigned long long>(report.uncompressedSize),
              static_cast<unsigned long long>(report.blockLength), static_cast<unsigned long long>(report.payloadSize));
  return 0;
}
