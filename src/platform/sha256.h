// SHA-256 through the system's bcrypt provider, over byte ranges of any length. Used for the
// payload, every staged and placed file, first-run files and the uninstall record.
//
// A platform primitive: never throws (beyond allocation failure) and never logs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zs {

inline constexpr size_t kSha256Size = 32;

// One running hash. Data is fed to bcrypt in pieces of at most 1 GiB. Any failed call (opening the
// provider, creating the hash, hashing, finishing) makes finish() return false; after a failure
// add() refuses further data.
class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  bool add(const void* data, uint64_t length);
  bool finish(uint8_t digest[kSha256Size]);
  bool failed() const { return failed_; }

 private:
  void release();

  void* algorithm_ = nullptr;  // BCRYPT_ALG_HANDLE
  void* hash_ = nullptr;       // BCRYPT_HASH_HANDLE
  std::vector<uint8_t> object_;
  bool failed_ = false;
  bool finished_ = false;  // a finished hash takes no more data
};

// The digest of one byte range; false when bcrypt could not compute it.
bool sha256(const void* data, uint64_t length, uint8_t digest[kSha256Size]);

// The digest of the bytes as 64 lower-case hexadecimal digits; ok false (and empty) when hashing
// failed.
std::wstring sha256Hex(std::string_view bytes, bool& ok);

}  // namespace zs
