#include "ngen/assembly_image.h"

#include <cstring>

namespace zs::test {

namespace {

void put16(std::string& b, size_t at, uint32_t v) {
  b[at] = static_cast<char>(v & 0xff);
  b[at + 1] = static_cast<char>((v >> 8) & 0xff);
}
void put32(std::string& b, size_t at, uint32_t v) {
  put16(b, at, v & 0xffff);
  put16(b, at + 2, v >> 16);
}

}  // namespace

std::array<uint8_t, 16> sampleMvid(uint8_t last) {
  // Stored as Data1 (LE 32), Data2 (LE 16), Data3 (LE 16), then 8 bytes in order.
  return {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, last};
}

std::string assemblyImage(const AssemblyImageOptions& o) {
  std::string b(0x600, '\0');
  b[0] = 'M';
  b[1] = 'Z';
  const size_t pe = 0x80;
  put32(b, 60, pe);
  memcpy(&b[pe], "PE\0\0", 4);
  put16(b, pe + 4, o.pe32plus ? 0x8664 : 0x14c);
  put16(b, pe + 6, 1);
  const uint32_t optionalSize = o.pe32plus ? 240 : 224;
  put16(b, pe + 20, optionalSize);
  const size_t opt = pe + 24;
  put16(b, opt, o.pe32plus ? 0x20b : 0x10b);
  const uint32_t sectionRva = 0x2000, sectionRaw = 0x200;
  if (o.cliHeader) {
    put32(b, opt + (o.pe32plus ? 224 : 208), sectionRva);
    put32(b, opt + (o.pe32plus ? 228 : 212), 72);
  }
  const size_t section = opt + optionalSize;
  memcpy(&b[section], ".text", 5);
  put32(b, section + 8, 0x300);    // VirtualSize
  put32(b, section + 12, sectionRva);
  put32(b, section + 16, 0x400);   // SizeOfRawData
  put32(b, section + 20, sectionRaw);

  // CLI header, then the metadata root right after it.
  const size_t cli = sectionRaw;
  put32(b, cli, 72);
  const size_t root = cli + 0x48;
  put32(b, cli + 8, sectionRva + 0x48);
  put32(b, cli + 12, 0x200);
  put32(b, root, 0x424A5342);
  const char version[12] = "v4.0.30319";
  put32(b, root + 12, sizeof(version));
  memcpy(&b[root + 16], version, sizeof(version));
  const size_t afterVersion = root + 16 + sizeof(version);
  put16(b, afterVersion + 2, 2);  // streams
  size_t header = afterVersion + 4;
  const uint32_t tablesOffset = 0x40, guidOffset = 0x100;
  put32(b, header, tablesOffset);
  put32(b, header + 4, 0x80);
  memcpy(&b[header + 8], "#~\0\0", 4);
  header += 12;
  put32(b, header, guidOffset);
  put32(b, header + 4, 32);
  memcpy(&b[header + 8], "#GUID\0\0\0", 8);

  const size_t tables = root + tablesOffset;
  b[tables + 4] = 2;
  b[tables + 6] = static_cast<char>(o.heapSizes);
  put32(b, tables + 8, o.moreTables ? 0x7 : 0x1);
  size_t rows = tables + 24;
  put32(b, rows, 1);
  rows += 4;
  if (o.moreTables) {
    put32(b, rows, 5);
    put32(b, rows + 4, 3);
    rows += 8;
  }
  size_t field = rows + 2;  // after Generation
  field += (o.heapSizes & 0x01) ? 4 : 2;
  if (o.heapSizes & 0x02) {
    put32(b, field, o.mvidIndex);
  } else {
    put16(b, field, o.mvidIndex);
  }

  const size_t guids = root + guidOffset;
  memset(&b[guids], 0x5a, 16);  // a decoy at index 1
  memcpy(&b[guids + 16], o.mvid.data(), 16);
  return b;
}

}  // namespace zs::test
