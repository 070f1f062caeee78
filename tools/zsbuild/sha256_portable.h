// SHA-256 in plain C++ for the builder, which runs where bcrypt does not.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zs::build {

class Sha256Portable {
 public:
  Sha256Portable();
  void add(const void* data, size_t size);
  void finish(uint8_t digest[32]);

 private:
  void block(const uint8_t* p);
  uint32_t h_[8];
  uint8_t buffer_[64];
  size_t buffered_ = 0;
  uint64_t total_ = 0;
};

void sha256Portable(const void* data, size_t size, uint8_t digest[32]);

}  // namespace zs::build
