#include "platform/sha256.h"

#include "base/text.h"

#include <windows.h>
#include <bcrypt.h>

namespace zs {

namespace {

constexpr uint64_t kMaxPiece = 0x40000000;  // 1 GiB

bool ok(NTSTATUS status) { return status >= 0; }

}  // namespace

Sha256::Sha256() {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!ok(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    failed_ = true;
    return;
  }
  algorithm_ = algorithm;
  DWORD objectLength = 0;
  ULONG got = 0;
  if (!ok(BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectLength),
                            sizeof(objectLength), &got, 0)) ||
      got != sizeof(objectLength) || objectLength == 0) {
    failed_ = true;
    release();
    return;
  }
  object_.resize(objectLength);
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (!ok(BCryptCreateHash(algorithm, &hash, object_.data(), objectLength, nullptr, 0, 0))) {
    failed_ = true;
    release();
    return;
  }
  hash_ = hash;
}

Sha256::~Sha256() { release(); }

void Sha256::release() {
  if (hash_ != nullptr) BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(hash_));
  if (algorithm_ != nullptr) BCryptCloseAlgorithmProvider(static_cast<BCRYPT_ALG_HANDLE>(algorithm_), 0);
  hash_ = nullptr;
  algorithm_ = nullptr;
}

bool Sha256::add(const void* data, uint64_t length) {
  if (failed_ || finished_) return false;
  const uint8_t* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    const ULONG piece = static_cast<ULONG>(length < kMaxPiece ? length : kMaxPiece);
    if (!ok(BCryptHashData(static_cast<BCRYPT_HASH_HANDLE>(hash_), const_cast<PUCHAR>(p), piece, 0))) {
      failed_ = true;
      release();
      return false;
    }
    p += piece;
    length -= piece;
  }
  return true;
}

bool Sha256::finish(uint8_t digest[kSha256Size]) {
  if (failed_ || finished_) return false;
  const bool done = ok(BCryptFinishHash(static_cast<BCRYPT_HASH_HANDLE>(hash_), digest, kSha256Size, 0));
  finished_ = true;
  if (!done) failed_ = true;
  release();
  return done;
}

bool sha256(const void* data, uint64_t length, uint8_t digest[kSha256Size]) {
  Sha256 hash;
  return hash.add(data, length) && hash.finish(digest);
}

std::wstring sha256Hex(std::string_view bytes, bool& ok) {
  uint8_t digest[kSha256Size];
  ok = sha256(bytes.data(), bytes.size(), digest);
  if (!ok) return {};
  return toHex(std::string_view(reinterpret_cast<const char*>(digest), kSha256Size));
}

}  // namespace zs
