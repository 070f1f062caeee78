#include "lzms_encoder.h"

#include <algorithm>
#include <cstring>

namespace zs::standin {

namespace {

// Each adaptive bit keeps its last 64 values; the chance of a 0 is the number of zeros among them,
// in 64ths, kept within 1..63.
constexpr unsigned kProbabilityBits = 6;
constexpr uint32_t kInitialZeros = 48;
constexpr uint64_t kInitialRecentBits = 0x0000000055555555ULL;
constexpr uint32_t kMainStates = 16;

constexpr unsigned kLiteralSymbols = 256;
constexpr unsigned kLiteralRebuild = 1024;
constexpr unsigned kMaxCodewordLength = 15;

constexpr int32_t kX86MaxTranslationOffset = 1023;
constexpr int32_t kX86IdWindow = 65535;

uint32_t load16(const uint8_t* p) { return uint32_t{p[0]} | (uint32_t{p[1]} << 8); }
uint32_t load32(const uint8_t* p) { return load16(p) | (load16(p + 2) << 16); }
void store32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void append16(std::vector<uint8_t>& out, uint32_t unit) {
  out.push_back(static_cast<uint8_t>(unit));
  out.push_back(static_cast<uint8_t>(unit >> 8));
}

struct AdaptiveBit {
  uint32_t zeros = kInitialZeros;
  uint64_t recent = kInitialRecentBits;
};

// The forward stream: 16-bit little-endian units of a binary range coder whose carries ripple
// into the units already held back. The very first unit it would emit is always zero and is not
// written: decoders start with the code already 32 bits wide.
class RangeEncoder {
 public:
  explicit RangeEncoder(std::vector<uint8_t>& out) : out_(out) {}

  void encode(AdaptiveBit* bits, uint32_t& state, uint32_t states, unsigned bit) {
    AdaptiveBit& b = bits[state];
    const uint32_t chance = std::clamp<uint32_t>(b.zeros, 1, 63);
    if (range_ <= 0xffff) {
      range_ <<= 16;
      shiftLow();
    }
    const uint32_t bound = (range_ >> kProbabilityBits) * chance;
    if (bit == 0) {
      range_ = bound;
    } else {
      low_ += bound;
      range_ -= bound;
    }
    state = ((state << 1) | bit) & (states - 1);
    b.zeros = b.zeros + static_cast<uint32_t>(b.recent >> 63) - bit;
    b.recent = (b.recent << 1) | bit;
  }

  void finish() {
    for (int i = 0; i < 4; ++i) shiftLow();
  }

 private:
  void shiftLow() {
    if (static_cast<uint32_t>(low_) < 0xffff0000u || (low_ >> 32) != 0) {
      const uint32_t carry = static_cast<uint32_t>(low_ >> 32);
      uint32_t unit = cache_;
      do {
        if (dropFirst_) {
          dropFirst_ = false;
        } else {
          append16(out_, (unit + carry) & 0xffff);
        }
        unit = 0xffff;
      } while (--pending_ != 0);
      cache_ = static_cast<uint32_t>(low_ >> 16) & 0xffff;
    }
    ++pending_;
    low_ = (low_ & 0xffff) << 16;
  }

  std::vector<uint8_t>& out_;
  uint64_t low_ = 0;
  uint32_t range_ = 0xffffffffu;
  uint32_t cache_ = 0;
  uint64_t pending_ = 1;
  bool dropFirst_ = true;
};

// The backward stream: bits high first, packed into 16-bit units that are read from the chunk's
// end. Units are kept in the order written and reversed when the chunk is put together.
class BackwardBits {
 public:
  void put(uint32_t bits, unsigned count) {
    held_ = (held_ << count) | bits;
    count_ += count;
    while (count_ >= 16) {
      count_ -= 16;
      units_.push_back(static_cast<uint16_t>(held_ >> count_));
    }
  }
  void finish() {
    if (count_ > 0) units_.push_back(static_cast<uint16_t>(held_ << (16 - count_)));
    count_ = 0;
  }
  void appendReversed(std::vector<uint8_t>& out) const {
    for (auto it = units_.rbegin(); it != units_.rend(); ++it) append16(out, *it);
  }

 private:
  uint64_t held_ = 0;
  unsigned count_ = 0;
  std::vector<uint16_t> units_;
};

// The literal code: canonical Huffman, rebuilt from the counts every 1024 literals (then the counts
// are halved, plus one), starting from all counts 1. The lengths are those of the two-queue
// construction over the symbols sorted by (count, symbol), a tie between a leaf and a merged node
// going to the leaf, handed out longest first in that order; codewords are canonical by
// (length, symbol).
class LiteralCode {
 public:
  LiteralCode() {
    std::fill(std::begin(count_), std::end(count_), 1u);
    rebuild();
  }

  void encode(BackwardBits& out, unsigned symbol) {
    out.put(codeword_[symbol], length_[symbol]);
    ++count_[symbol];
    if (--untilRebuild_ == 0) {
      rebuild();
      for (uint32_t& c : count_) c = (c >> 1) + 1;
    }
  }

 private:
  void rebuild() {
    constexpr unsigned n = kLiteralSymbols;
    uint32_t order[n];
    for (unsigned i = 0; i < n; ++i) order[i] = i;
    std::sort(order, order + n, [&](uint32_t a, uint32_t b) {
      return count_[a] != count_[b] ? count_[a] < count_[b] : a < b;
    });
    uint64_t weight[2 * n];
    unsigned parent[2 * n];
    for (unsigned i = 0; i < n; ++i) weight[i] = count_[order[i]];
    unsigned leaf = 0, merged = n, made = n;
    while (made < 2 * n - 1) {
      uint64_t sum = 0;
      for (int pick = 0; pick < 2; ++pick) {
        const bool takeLeaf = leaf < n && (merged == made || weight[leaf] <= weight[merged]);
        const unsigned node = takeLeaf ? leaf++ : merged++;
        sum += weight[node];
        parent[node] = made;
      }
      weight[made++] = sum;
    }
    unsigned depth[2 * n];
    depth[2 * n - 2] = 0;
    unsigned perLength[64] = {};
    for (unsigned k = 2 * n - 2; k-- > 0;) {
      depth[k] = depth[parent[k]] + 1;
      if (k < n) ++perLength[std::min(depth[k], 63u)];
    }
    // Counts halved at every rebuild keep the tree within 15 levels; should it ever be deeper, the
    // lengths are folded back into 15 bits the way decoders do, keeping the code complete.
    unsigned overflow = 0;
    for (unsigned len = kMaxCodewordLength + 1; len < 64; ++len) {
      overflow += perLength[len];
      perLength[kMaxCodewordLength] += perLength[len];
      perLength[len] = 0;
    }
    if (overflow != 0) {
      auto kraft = [&] {
        uint64_t sum = 0;
        for (unsigned len = 1; len <= kMaxCodewordLength; ++len) sum += uint64_t{perLength[len]} << (kMaxCodewordLength - len);
        return sum;
      };
      while (kraft() > (uint64_t{1} << kMaxCodewordLength)) {
        unsigned len = kMaxCodewordLength - 1;
        while (len > 0 && perLength[len] == 0) --len;
        if (len == 0) break;
        --perLength[len];
        perLength[len + 1] += 2;
        --perLength[kMaxCodewordLength];
      }
    }
    unsigned next = 0;
    for (unsigned len = kMaxCodewordLength; len >= 1; --len) {
      for (unsigned c = perLength[len]; c > 0; --c) length_[order[next++]] = static_cast<uint8_t>(len);
    }
    // Canonical codewords: by length, then by symbol.
    uint32_t code = 0;
    for (unsigned len = 1; len <= kMaxCodewordLength; ++len) {
      for (unsigned sym = 0; sym < n; ++sym) {
        if (length_[sym] == len) codeword_[sym] = code++;
      }
      code <<= 1;
    }
    untilRebuild_ = kLiteralRebuild;
  }

  uint32_t count_[kLiteralSymbols];
  uint8_t length_[kLiteralSymbols] = {};
  uint32_t codeword_[kLiteralSymbols] = {};
  unsigned untilRebuild_ = 0;
};

}  // namespace

// The decoder's undoing runs over the same positions in the same order and makes the same choices:
// which instruction a byte starts, and whether a nearby target was seen recently, depend only on
// bytes that the translation does not change (an operand is never looked at as an opcode, and the
// only byte read ahead that a later translation could change is read when it cannot matter).
void translateX86(uint8_t* data, size_t size) {
  if (size <= 17) return;
  std::vector<int32_t> lastTargetUsage(65536, -kX86IdWindow - 1);
  int32_t lastX86 = -kX86MaxTranslationOffset - 1;
  const int32_t tail = static_cast<int32_t>(size - 16);
  int32_t i = 1;
  while (i < tail) {
    const uint8_t op = data[i];
    int32_t opcodeBytes;
    int32_t maxOffset = kX86MaxTranslationOffset;
    if (op == 0xE8) {  // call relative
      opcodeBytes = 1;
      maxOffset >>= 1;
    } else if (op == 0xE9) {  // jump relative: left alone, operand skipped
      i += 5;
      continue;
    } else if (op == 0x48 || op == 0x4C) {  // REX.W lea/mov, instruction-relative operand
      const uint8_t opcode = data[i + 1];
      const uint8_t modrm = data[i + 2];
      if ((modrm & 0x07) == 0x05 &&
          (opcode == 0x8D || (opcode == 0x8B && (op & 0x04) == 0 && (modrm & 0xF0) == 0))) {
        opcodeBytes = 3;
      } else {
        ++i;
        continue;
      }
    } else if (op == 0xFF && data[i + 1] == 0x15) {  // call indirect
      opcodeBytes = 2;
    } else if (op == 0xF0 && data[i + 1] == 0x83 && data[i + 2] == 0x05) {  // lock add
      opcodeBytes = 3;
    } else {
      ++i;
      continue;
    }
    uint8_t* operand = data + i + opcodeBytes;
    // The target is judged by the relative form, which is what the decoder sees once it has undone
    // the translation.
    const uint16_t target = static_cast<uint16_t>(static_cast<uint32_t>(i) + load16(operand));
    if (i - lastX86 <= maxOffset) store32(operand, load32(operand) + static_cast<uint32_t>(i));
    const int32_t end = i + opcodeBytes + 3;
    if (end - lastTargetUsage[target] <= kX86IdWindow) lastX86 = end;
    lastTargetUsage[target] = end;
    i = end + 1;
  }
}

std::vector<uint8_t> encodeLzmsChunk(const uint8_t* data, size_t size) {
  std::vector<uint8_t> input(data, data + size);
  translateX86(input.data(), input.size());

  std::vector<uint8_t> out;
  out.reserve(size + size / 8 + 16);
  RangeEncoder items(out);
  BackwardBits bits;
  AdaptiveBit mainBits[kMainStates];
  uint32_t mainState = 0;
  LiteralCode literals;
  for (uint8_t byte : input) {
    items.encode(mainBits, mainState, kMainStates, 0);  // 0: a literal follows
    literals.encode(bits, byte);
  }
  items.finish();
  bits.finish();
  bits.appendReversed(out);
  return out;
}

}  // namespace zs::standin
