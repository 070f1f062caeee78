// Test inputs for the LZMS tests: made-up data of several kinds and real files of this machine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zs::test {

using Bytes = std::vector<uint8_t>;

Bytes randomBytes(size_t size, uint32_t seed);
Bytes repeatedPattern(size_t size, const std::string& pattern);
// Little-endian 16- and 32-bit counters and a slowly changing "sample" stream: data for delta matches.
Bytes countingWords(size_t size);
// Text-like: words drawn from a small vocabulary with line ends.
Bytes pseudoText(size_t size, uint32_t seed);
// Reads a whole file; empty when it cannot be read.
Bytes readFile(const std::string& path);
// Concatenates files matching the patterns (glob) until `limit` bytes; real executables and text.
Bytes machineCorpus(const std::vector<std::string>& patterns, size_t limit);

// 32-bit Windows DLLs (x86 code), ELF programs, and text files found on this machine.
inline const std::vector<std::string> kPeFiles = {
    "/usr/lib/i386-linux-gnu/wine/i386-windows/*.dll",
    "/usr/lib/wine/i386-windows/*.dll",
    "/usr/i686-w64-mingw32/lib/*.dll",
};
inline const std::vector<std::string> kElfFiles = {"/usr/bin/*"};
inline const std::vector<std::string> kTextFiles = {"/usr/include/*.h", "/usr/include/*/*.h",
                                                    "/usr/include/*/*/*.h", "/usr/share/common-licenses/*",
                                                    "/usr/share/perl/*/*.pm", "/usr/share/perl/*/*/*.pm"};

}  // namespace zs::test
