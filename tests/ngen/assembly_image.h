// Smallest files that read as .NET assemblies: a PE image with one section holding a CLI header,
// a metadata root, a tables stream with a Module row and a GUID heap. Tests build them with the
// MVID they want, and damage them byte by byte.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace zs::test {

struct AssemblyImageOptions {
  std::array<uint8_t, 16> mvid{};
  bool pe32plus = false;
  uint8_t heapSizes = 0;        // 0x01 wide string indexes, 0x02 wide GUID indexes
  uint32_t mvidIndex = 2;       // 1-based; the heap holds a decoy GUID first
  bool moreTables = true;       // TypeRef and TypeDef counts before the Module row
  bool cliHeader = true;        // false gives a plain native image
};

std::string assemblyImage(const AssemblyImageOptions& options);

// The MVID 00112233-4455-6677-8899-aabbccddeeff in its 16 stored bytes, with the last byte
// replaced by `last`.
std::array<uint8_t, 16> sampleMvid(uint8_t last = 0xff);

}  // namespace zs::test
