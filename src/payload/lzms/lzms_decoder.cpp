#include "payload/lzms/lzms_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace zs::lzms {

namespace {

// Adaptive bit probabilities: each context keeps its last 64 bits; the chance of a 0 is the number
// of zeros among them, in 64ths, never 0 or 64.
constexpr unsigned kProbabilityBits = 6;
constexpr uint32_t kInitialZeros = 48;
constexpr uint64_t kInitialRecentBits = 0x0000000055555555ULL;

constexpr uint32_t kMainStates = 16;
constexpr uint32_t kMatchStates = 32;
constexpr uint32_t kLzStates = 64;
constexpr uint32_t kLzRepStates = 64;
constexpr uint32_t kDeltaStates = 64;
constexpr uint32_t kDeltaRepStates = 64;

constexpr unsigned kLiteralSymbols = 256;
constexpr unsigned kLengthSymbols = 54;
constexpr unsigned kDeltaPowerSymbols = 8;
constexpr unsigned kMaxOffsetSymbols = 799;
constexpr unsigned kMaxSymbols = kMaxOffsetSymbols;

constexpr unsigned kLiteralRebuild = 1024;
constexpr unsigned kLzOffsetRebuild = 1024;
constexpr unsigned kLengthRebuild = 512;
constexpr unsigned kDeltaOffsetRebuild = 1024;
constexpr unsigned kDeltaPowerRebuild = 512;

constexpr unsigned kMaxCodewordLength = 15;
constexpr unsigned kTableBits = 10;

// The x86 address translation that the compressor applies before coding, undone after decoding.
constexpr int32_t kX86MaxTranslationOffset = 1023;
constexpr int32_t kX86IdWindow = 65535;

// Offset and length slots: each slot has a base value and a number of verbatim extra bits. The
// tables are given as runs of slots with the same number of extra bits; bases follow from them.
struct SlotRun {
  uint8_t extraBits;
  uint16_t slots;
};

constexpr SlotRun kOffsetRuns[] = {
    {0, 8},   {2, 9},   {3, 7},   {4, 10},  {5, 15},  {6, 15},  {7, 20},
    {8, 20},  {9, 30},  {10, 33}, {11, 40}, {12, 42}, {13, 45}, {14, 60},
    {15, 73}, {16, 80}, {17, 85}, {18, 95}, {19, 105}, {20, 6}, {30, 1}};
constexpr SlotRun kLengthRuns[] = {{0, 26}, {1, 4}, {2, 6}, {3, 4},  {4, 5},  {5, 2}, {6, 1},
                                   {7, 1},  {8, 1}, {9, 1}, {10, 1}, {16, 1}, {30, 1}};

template <size_t N>
struct SlotTable {
  uint32_t base[N + 1];
  uint8_t extraBits[N];
};

template <size_t N, size_t R>
constexpr SlotTable<N> makeSlotTable(const SlotRun (&runs)[R]) {
  SlotTable<N> table{};
  size_t slot = 0;
  uint32_t base = 1;
  for (const SlotRun& run : runs) {
    for (unsigned i = 0; i < run.slots; ++i) {
      table.base[slot] = base;
      table.extraBits[slot] = run.extraBits;
      base += uint32_t{1} << run.extraBits;
      ++slot;
    }
  }
  table.base[slot] = base;
  return table;
}

constexpr SlotTable<kMaxOffsetSymbols> kOffsetSlots = makeSlotTable<kMaxOffsetSymbols>(kOffsetRuns);
constexpr SlotTable<kLengthSymbols> kLengthSlots = makeSlotTable<kLengthSymbols>(kLengthRuns);
// One past the largest offset and length the format can express.
static_assert(kOffsetSlots.base[kMaxOffsetSymbols] == 0x465be4a5);
static_assert(kLengthSlots.base[kLengthSymbols] == 0x400108ab);

// Offsets in a chunk of n bytes reach at most n - 1: the offset codes have as many symbols as the
// slot of n - 1 needs.
unsigned offsetSymbolsFor(size_t outSize) {
  if (outSize < 2) return 0;
  const uint32_t largest = static_cast<uint32_t>(outSize - 1);
  const uint32_t* bases = kOffsetSlots.base;
  const uint32_t* above = std::upper_bound(bases, bases + kMaxOffsetSymbols, largest);
  return static_cast<unsigned>(above - bases);
}

struct Probability {
  uint32_t zeros;
  uint64_t recent;
};

void resetProbabilities(Probability* p, size_t n) {
  for (size_t i = 0; i < n; ++i) p[i] = {kInitialZeros, kInitialRecentBits};
}

inline uint32_t load16(const uint8_t* p) { return uint32_t{p[0]} | (uint32_t{p[1]} << 8); }
inline uint32_t load32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
inline void store32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// The forward stream of 16-bit little-endian units, binary range coded.
struct RangeDecoder {
  uint32_t range = 0;
  uint32_t code = 0;
  const uint8_t* next = nullptr;
  const uint8_t* end = nullptr;

  void init(const uint8_t* in, size_t size) {  // size is even and at least 4
    range = 0xffffffffu;
    code = (load16(in) << 16) | load16(in + 2);
    next = in + 4;
    end = in + size;
  }

  unsigned decode(Probability* probs, uint32_t& state, uint32_t states) {
    Probability& p = probs[state];
    uint32_t chance = p.zeros;
    if (chance == 0) chance = 1;
    if (chance == 64) chance = 63;
    if (range <= 0xffff) {
      range <<= 16;
      code <<= 16;
      if (next != end) {
        code |= load16(next);
        next += 2;
      }
    }
    const uint32_t bound = (range >> kProbabilityBits) * chance;
    unsigned bit;
    if (code < bound) {
      range = bound;
      bit = 0;
    } else {
      range -= bound;
      code -= bound;
      bit = 1;
    }
    state = ((state << 1) | bit) & (states - 1);
    p.zeros = p.zeros + static_cast<uint32_t>(p.recent >> 63) - bit;
    p.recent = (p.recent << 1) | bit;
    return bit;
  }
};

// The backward stream of 16-bit little-endian units, read from the end, high bit first. Once it
// runs dry it yields zeros; the fixed output length bounds how long that can go on.
struct BitReader {
  uint64_t bits = 0;  // the next bit is the top bit
  unsigned count = 0;
  const uint8_t* begin = nullptr;
  const uint8_t* next = nullptr;  // one past the next unit to read

  void init(const uint8_t* in, size_t size) {
    bits = 0;
    count = 0;
    begin = in;
    next = in + size;
  }

  // Afterwards at least 49 bits are held.
  void refill() {
    while (count <= 48) {
      uint64_t unit = 0;
      if (next != begin) {
        next -= 2;
        unit = load16(next);
      }
      bits |= unit << (48 - count);
      count += 16;
    }
  }

  uint32_t peek(unsigned n) const { return static_cast<uint32_t>(bits >> (64 - n)); }  // 1 <= n <= 32
  void skip(unsigned n) {
    bits <<= n;
    count -= n;
  }
  uint32_t read(unsigned n) {  // 0 <= n <= 32
    if (n == 0) return 0;
    if (count < n) refill();
    const uint32_t v = peek(n);
    skip(n);
    return v;
  }
};

// Working space for building a code; shared by all five codes.
struct BuildScratch {
  uint32_t keys[kMaxSymbols];            // (frequency << 10) | symbol, sorted
  uint32_t weight[2 * kMaxSymbols];      // leaves first (sorted), then inner nodes
  uint16_t parent[2 * kMaxSymbols];
  uint8_t depth[2 * kMaxSymbols];
};

constexpr unsigned kSymbolBits = 10;
static_assert((1u << kSymbolBits) >= kMaxSymbols);

// An adaptive canonical Huffman code, rebuilt from the symbol frequencies every so many symbols.
struct AdaptiveCode {
  unsigned symbols = 0;
  unsigned rebuildEvery = 0;
  unsigned untilRebuild = 0;
  uint32_t freq[kMaxSymbols];
  uint8_t length[kMaxSymbols];
  // Codes up to kTableBits long: (symbol << 4) | length; 0 for a longer code.
  uint16_t table[1u << kTableBits];
  // Canonical description for codes longer than the table.
  uint16_t sorted[kMaxSymbols];       // symbols by (length, symbol)
  uint16_t countOf[kMaxCodewordLength + 1];
  uint16_t firstIndex[kMaxCodewordLength + 1];
  uint32_t firstCode[kMaxCodewordLength + 1];

  void init(unsigned n, unsigned every, BuildScratch& scratch) {
    symbols = n;
    rebuildEvery = every;
    for (unsigned i = 0; i < n; ++i) freq[i] = 1;
    build(scratch);
  }

  // The lengths are those of the code that the usual two-queue construction gives when the
  // leaves are taken in order of (frequency, symbol) and a tie between a leaf and an inner node
  // goes to the leaf; the lengths are then handed out longest first in that same order.
  void computeLengths(BuildScratch& s) {
    const unsigned n = symbols;
    std::memset(length, 0, sizeof(length));
    if (n == 0) return;
    if (n == 1) {
      length[0] = 1;  // code "0"; "1" decodes to nothing
      return;
    }
    for (unsigned i = 0; i < n; ++i) {
      // Frequencies stay far below 2^21 (halved at every rebuild); the clamp only keeps the key sound.
      const uint32_t f = std::min<uint32_t>(freq[i], (1u << 21) - 1);
      s.keys[i] = (f << kSymbolBits) | i;
    }
    std::sort(s.keys, s.keys + n);
    for (unsigned i = 0; i < n; ++i) s.weight[i] = s.keys[i] >> kSymbolBits;

    unsigned leaf = 0;
    unsigned inner = n;
    unsigned made = n;
    const unsigned nodes = 2 * n - 1;
    while (made < nodes) {
      uint32_t sum = 0;
      for (int pick = 0; pick < 2; ++pick) {
        unsigned chosen;
        if (leaf < n && (inner == made || s.weight[leaf] <= s.weight[inner])) {
          chosen = leaf++;
        } else {
          chosen = inner++;
        }
        sum += s.weight[chosen];
        s.parent[chosen] = static_cast<uint16_t>(made);
      }
      s.weight[made] = sum;
      ++made;
    }
    // Parents always come after their children, so one downward sweep gives every depth.
    s.depth[nodes - 1] = 0;
    uint16_t lengthCount[256] = {};
    for (unsigned k = nodes - 1; k-- > 0;) {
      const unsigned d = s.depth[s.parent[k]] + 1u;
      s.depth[k] = static_cast<uint8_t>(std::min(d, 255u));
      if (k < n) ++lengthCount[s.depth[k]];
    }
    limitLengths(lengthCount);
    unsigned next = 0;
    for (unsigned len = kMaxCodewordLength; len >= 1; --len) {
      for (unsigned c = lengthCount[len]; c > 0; --c) length[s.keys[next++] & ((1u << kSymbolBits) - 1)] =
          static_cast<uint8_t>(len);
    }
  }

  // The rebuild schedule keeps codes within 15 bits; should a tree ever be deeper, the lengths are
  // folded back into 15 bits while keeping the code complete, so that decoding stays defined.
  static void limitLengths(uint16_t* lengthCount) {
    unsigned overflow = 0;
    for (unsigned len = kMaxCodewordLength + 1; len < 256; ++len) {
      overflow += lengthCount[len];
      lengthCount[kMaxCodewordLength] = static_cast<uint16_t>(lengthCount[kMaxCodewordLength] + lengthCount[len]);
      lengthCount[len] = 0;
    }
    if (overflow == 0) return;
    // Kraft sum in units of 2^-15.
    auto kraft = [&] {
      uint64_t sum = 0;
      for (unsigned len = 1; len <= kMaxCodewordLength; ++len)
        sum += uint64_t{lengthCount[len]} << (kMaxCodewordLength - len);
      return sum;
    };
    while (kraft() > (uint64_t{1} << kMaxCodewordLength)) {
      unsigned len = kMaxCodewordLength - 1;
      while (len > 0 && lengthCount[len] == 0) --len;
      if (len == 0) break;
      --lengthCount[len];
      lengthCount[len + 1] = static_cast<uint16_t>(lengthCount[len + 1] + 2);
      --lengthCount[kMaxCodewordLength];
    }
  }

  void build(BuildScratch& scratch) {
    computeLengths(scratch);
    std::memset(countOf, 0, sizeof(countOf));
    for (unsigned i = 0; i < symbols; ++i) ++countOf[length[i]];
    countOf[0] = 0;
    uint16_t index = 0;
    uint32_t code = 0;
    for (unsigned len = 1; len <= kMaxCodewordLength; ++len) {
      code = (code + countOf[len - 1]) << 1;
      firstCode[len] = code;
      firstIndex[len] = index;
      index = static_cast<uint16_t>(index + countOf[len]);
    }
    uint16_t fill[kMaxCodewordLength + 1];
    std::memcpy(fill, firstIndex, sizeof(fill));
    for (unsigned sym = 0; sym < symbols; ++sym) {
      if (length[sym] != 0) sorted[fill[length[sym]]++] = static_cast<uint16_t>(sym);
    }
    std::memset(table, 0, sizeof(table));
    for (unsigned len = 1; len <= kTableBits; ++len) {
      const unsigned span = 1u << (kTableBits - len);
      for (unsigned j = 0; j < countOf[len]; ++j) {
        const unsigned sym = sorted[firstIndex[len] + j];
        const uint16_t entry = static_cast<uint16_t>((sym << 4) | len);
        const unsigned start = (firstCode[len] + j) << (kTableBits - len);
        for (unsigned k = 0; k < span; ++k) table[start + k] = entry;
      }
    }
    untilRebuild = rebuildEvery;
  }

  // Decodes one symbol; false when the bits name no symbol.
  bool decode(BitReader& in, BuildScratch& scratch, unsigned& symbol) {
    if (in.count < kMaxCodewordLength) in.refill();
    const uint16_t entry = table[in.peek(kTableBits)];
    if (entry != 0) {
      in.skip(entry & 15u);
      symbol = entry >> 4;
    } else {
      bool found = false;
      for (unsigned len = kTableBits + 1; len <= kMaxCodewordLength; ++len) {
        const uint32_t offset = in.peek(len) - firstCode[len];
        if (offset < countOf[len]) {
          in.skip(len);
          symbol = sorted[firstIndex[len] + offset];
          found = true;
          break;
        }
      }
      if (!found) return false;
    }
    ++freq[symbol];
    if (--untilRebuild == 0) {
      build(scratch);
      for (unsigned i = 0; i < symbols; ++i) freq[i] = (freq[i] >> 1) + 1;
    }
    return true;
  }
};

}  // namespace

struct DecoderState {
  RangeDecoder range;
  BitReader bits;

  Probability mainProbs[kMainStates];
  Probability matchProbs[kMatchStates];
  Probability lzProbs[kLzStates];
  Probability lzRepProbs[2][kLzRepStates];
  Probability deltaProbs[kDeltaStates];
  Probability deltaRepProbs[2][kDeltaRepStates];

  AdaptiveCode literal;
  AdaptiveCode lzOffset;
  AdaptiveCode length;
  AdaptiveCode deltaOffset;
  AdaptiveCode deltaPower;
  BuildScratch scratch;

  int32_t lastTargetUsage[65536];
};

namespace {

void undoX86Translation(uint8_t* data, size_t size, int32_t* lastTargetUsage) {
  if (size <= 17) return;
  for (int i = 0; i < 65536; ++i) lastTargetUsage[i] = -kX86IdWindow - 1;
  int32_t lastX86 = -kX86MaxTranslationOffset - 1;
  const int32_t tail = static_cast<int32_t>(size - 16);
  int32_t i = 1;
  while (i < tail) {
    const uint8_t op = data[i];
    int32_t opcodeBytes;
    int32_t maxOffset = kX86MaxTranslationOffset;
    if (op == 0xE8) {  // call relative; needs more confidence
      opcodeBytes = 1;
      maxOffset >>= 1;
    } else if (op == 0xE9) {  // jump relative: never translated, and its operand skipped
      i += 5;
      continue;
    } else if (op == 0x48 || op == 0x4C) {  // REX.W lea/mov with an instruction-relative operand
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
    if (i - lastX86 <= maxOffset) store32(operand, load32(operand) - static_cast<uint32_t>(i));
    const uint16_t target = static_cast<uint16_t>(static_cast<uint32_t>(i) + load16(operand));
    const int32_t end = i + opcodeBytes + 3;
    if (end - lastTargetUsage[target] <= kX86IdWindow) lastX86 = end;
    lastTargetUsage[target] = end;
    i = end + 1;
  }
}

inline void copyMatch(uint8_t* out, size_t pos, size_t offset, size_t length) {
  uint8_t* dst = out + pos;
  const uint8_t* src = dst - offset;
  if (offset >= length) {
    std::memcpy(dst, src, length);
  } else if (offset >= 8) {
    while (length >= 8) {  // each 8-byte step reads only bytes already written
      std::memcpy(dst, src, 8);
      dst += 8;
      src += 8;
      length -= 8;
    }
    while (length-- > 0) *dst++ = *src++;
  } else if (offset == 1) {
    std::memset(dst, src[0], length);
  } else {
    while (length-- > 0) *dst++ = *src++;
  }
}

// Recently used offsets, most recent first, of one kind of match (LZ offsets, or delta
// (power << 32) | raw offset pairs). A new offset joins the front only after the next item, so
// that an item right after a match cannot name the same offset again; a used one leaves at once.
template <typename Offset>
struct RecentOffsets {
  Offset recent[4] = {1, 2, 3, 4};
  Offset pending = 0;  // offsets are never 0
  size_t pendingEnd = SIZE_MAX;

  void pushFront(Offset offset) {
    recent[3] = recent[2];
    recent[2] = recent[1];
    recent[1] = recent[0];
    recent[0] = offset;
  }

  // Before a match of this kind at `pos`: the last one's offset joins unless other items came
  // between.
  void settle(size_t pos) {
    if (pending != 0 && pos != pendingEnd) {
      pushFront(pending);
      pending = 0;
    }
  }

  // A repeat match takes its offset out; those behind it move up, and the last place keeps its
  // value until the pending offset pushes in.
  Offset take(unsigned k) {
    const Offset offset = recent[k];
    for (unsigned i = k; i < 3; ++i) recent[i] = recent[i + 1];
    return offset;
  }

  // The match used `offset` and its bytes end at `end`.
  void used(Offset offset, size_t end) {
    if (pending != 0) pushFront(pending);
    pending = offset;
    pendingEnd = end;
  }
};

// Which recent offset a repeat match names: 0, 1 or 2.
template <uint32_t States>
inline unsigned repeatIndex(RangeDecoder& rd, Probability (&probs)[2][States], uint32_t (&state)[2]) {
  if (rd.decode(probs[0], state[0], States) == 0) return 0;
  if (rd.decode(probs[1], state[1], States) == 0) return 1;
  return 2;
}

bool decodeItems(DecoderState& s, uint8_t* out, size_t outSize) {
  size_t pos = 0;
  uint32_t mainState = 0, matchState = 0, lzState = 0, deltaState = 0;
  uint32_t lzRepState[2] = {0, 0};
  uint32_t deltaRepState[2] = {0, 0};
  RecentOffsets<uint32_t> lzRecent;
  RecentOffsets<uint64_t> deltaRecent;

  RangeDecoder& rd = s.range;
  BitReader& bits = s.bits;
  unsigned sym = 0;

  while (pos < outSize) {
    if (rd.decode(s.mainProbs, mainState, kMainStates) == 0) {
      if (!s.literal.decode(bits, s.scratch, sym)) return false;
      out[pos++] = static_cast<uint8_t>(sym);
      continue;
    }
    if (rd.decode(s.matchProbs, matchState, kMatchStates) == 0) {
      lzRecent.settle(pos);
      uint32_t offset;
      if (rd.decode(s.lzProbs, lzState, kLzStates) == 0) {
        if (!s.lzOffset.decode(bits, s.scratch, sym)) return false;
        offset = kOffsetSlots.base[sym] + bits.read(kOffsetSlots.extraBits[sym]);
      } else {
        offset = lzRecent.take(repeatIndex(rd, s.lzRepProbs, lzRepState));
      }
      if (!s.length.decode(bits, s.scratch, sym)) return false;
      const size_t length = kLengthSlots.base[sym] + bits.read(kLengthSlots.extraBits[sym]);
      if (length > outSize - pos || offset > pos) return false;
      copyMatch(out, pos, offset, length);
      pos += length;
      lzRecent.used(offset, pos);
      continue;
    }

    // Delta match: out[i] = out[i - offset] + out[i - span] - out[i - offset - span].
    deltaRecent.settle(pos);
    uint64_t pair;
    if (rd.decode(s.deltaProbs, deltaState, kDeltaStates) == 0) {
      if (!s.deltaPower.decode(bits, s.scratch, sym)) return false;
      const uint64_t power = sym;
      if (!s.deltaOffset.decode(bits, s.scratch, sym)) return false;
      const uint64_t raw = kOffsetSlots.base[sym] + bits.read(kOffsetSlots.extraBits[sym]);
      pair = (power << 32) | raw;
    } else {
      pair = deltaRecent.take(repeatIndex(rd, s.deltaRepProbs, deltaRepState));
    }
    if (!s.length.decode(bits, s.scratch, sym)) return false;
    const size_t length = kLengthSlots.base[sym] + bits.read(kLengthSlots.extraBits[sym]);
    const unsigned power = static_cast<unsigned>(pair >> 32);  // below 8
    const uint64_t span = uint64_t{1} << power;
    const uint64_t offset = (pair & 0xffffffffu) << power;  // raw offsets stay below 2^31
    if (offset + span > pos || length > outSize - pos) return false;
    const size_t off = static_cast<size_t>(offset);
    const size_t sp = static_cast<size_t>(span);
    for (size_t end = pos + length; pos < end; ++pos) {
      out[pos] = static_cast<uint8_t>(out[pos - off] + out[pos - sp] - out[pos - off - sp]);
    }
    deltaRecent.used(pair, pos);
  }
  return true;
}

}  // namespace

// The state is made on first use: a length query never needs it.
ChunkDecoder::ChunkDecoder() = default;
ChunkDecoder::~ChunkDecoder() = default;

bool ChunkDecoder::decode(const uint8_t* in, size_t inSize, uint8_t* out, size_t outSize) {
  if (outSize == 0) return true;
  if (in == nullptr || out == nullptr || inSize < 4 || (inSize & 1) != 0 || outSize > kMaxRawChunkSize) {
    return false;
  }
  if (!state_) state_ = std::make_unique<DecoderState>();
  DecoderState& s = *state_;
  s.range.init(in, inSize);
  s.bits.init(in, inSize);
  resetProbabilities(s.mainProbs, kMainStates);
  resetProbabilities(s.matchProbs, kMatchStates);
  resetProbabilities(s.lzProbs, kLzStates);
  resetProbabilities(&s.lzRepProbs[0][0], 2 * kLzRepStates);
  resetProbabilities(s.deltaProbs, kDeltaStates);
  resetProbabilities(&s.deltaRepProbs[0][0], 2 * kDeltaRepStates);
  const unsigned offsetSymbols = offsetSymbolsFor(outSize);
  s.literal.init(kLiteralSymbols, kLiteralRebuild, s.scratch);
  s.lzOffset.init(offsetSymbols, kLzOffsetRebuild, s.scratch);
  s.length.init(kLengthSymbols, kLengthRebuild, s.scratch);
  s.deltaOffset.init(offsetSymbols, kDeltaOffsetRebuild, s.scratch);
  s.deltaPower.init(kDeltaPowerSymbols, kDeltaPowerRebuild, s.scratch);

  if (!decodeItems(s, out, outSize)) return false;
  undoX86Translation(out, outSize, s.lastTargetUsage);
  return true;
}

}  // namespace zs::lzms
