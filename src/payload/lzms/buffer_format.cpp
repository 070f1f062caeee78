#include "payload/lzms/buffer_format.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace zs::lzms {

namespace {

constexpr uint8_t kFixedBytes[6] = {0x0A, 0x51, 0xE5, 0xC0, 0x18, 0x00};
constexpr size_t kCheckByte = 6;

constexpr std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

uint64_t load64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
uint32_t load32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}
void store64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

uint8_t headerCheck(const uint8_t* header) {
  uint32_t crc = crc32(0, header, kCheckByte);
  crc = crc32(crc, header + kCheckByte + 1, kBufferHeaderSize - kCheckByte - 1);
  return static_cast<uint8_t>(crc);
}

}  // namespace

uint32_t crc32(uint32_t previous, const uint8_t* data, size_t size) {
  uint32_t c = ~previous;
  for (size_t i = 0; i < size; ++i) c = kCrcTable[(c ^ data[i]) & 0xFF] ^ (c >> 8);
  return ~c;
}

bool readBufferHeader(const uint8_t* in, size_t inSize, BufferHeader& header) {
  if (in == nullptr || inSize < kBufferHeaderSize) return false;
  if (std::memcmp(in, kFixedBytes, sizeof(kFixedBytes)) != 0) return false;
  if (in[kCheckByte] != headerCheck(in)) return false;
  if (in[7] != kAlgorithmLzms) return false;
  const uint64_t total = load64(in + 8);
  const uint64_t chunk = load64(in + 16);
  if (chunk > kMaxChunkSize) return false;
  if (total != 0 && chunk == 0) return false;
  header.totalSize = total;
  header.chunkSize = chunk;
  return true;
}

void writeBufferHeader(uint64_t totalSize, uint64_t chunkSize, uint8_t out[kBufferHeaderSize]) {
  std::memcpy(out, kFixedBytes, sizeof(kFixedBytes));
  out[7] = kAlgorithmLzms;
  store64(out + 8, totalSize);
  store64(out + 16, totalSize < chunkSize ? totalSize : chunkSize);
  out[kCheckByte] = headerCheck(out);
}

namespace {

// What the workers share. The chunk table is walked in order under the mutex, one frame per take;
// the decoding happens outside it.
struct SharedWork {
  const uint8_t* in = nullptr;
  size_t inSize = 0;
  uint8_t* out = nullptr;
  BufferHeader header;
  const ReadyBytes* ready = nullptr;

  std::mutex mutex;
  size_t pos = kBufferHeaderSize;  // the next frame
  uint64_t handedOut = 0;          // output bytes of the frames taken so far
  int64_t next = 0;                // index of the next frame
  bool stop = false;               // damage was found: take no more frames
  int64_t firstDamaged = -1;
  // Chunks finish out of order; `ready` follows the unbroken run of good ones from the start.
  int64_t goodPrefix = 0;
  std::vector<int64_t> finishedAhead;  // at most one per worker

  void damaged(int64_t index) {
    if (firstDamaged < 0 || index < firstDamaged) firstDamaged = index;
    stop = true;
  }

  void finished(int64_t index) {
    finishedAhead.push_back(index);
    const int64_t before = goodPrefix;
    for (auto at = std::find(finishedAhead.begin(), finishedAhead.end(), goodPrefix); at != finishedAhead.end();
         at = std::find(finishedAhead.begin(), finishedAhead.end(), goodPrefix)) {
      finishedAhead.erase(at);
      ++goodPrefix;
    }
    if (goodPrefix != before && ready != nullptr && *ready) {
      const uint64_t end = static_cast<uint64_t>(goodPrefix) * header.chunkSize;
      (*ready)(std::min(end, header.totalSize));
    }
  }
};

struct Frame {
  int64_t index = 0;
  const uint8_t* data = nullptr;
  uint32_t stored = 0;
  uint8_t* target = nullptr;
  size_t plain = 0;
};

// Takes the next frame, or false when there is none to take (all taken, or damage found).
bool takeFrame(SharedWork& work, Frame& frame) {
  std::lock_guard<std::mutex> lock(work.mutex);
  if (work.stop || work.handedOut == work.header.totalSize) return false;
  const int64_t index = work.next++;
  if (work.inSize - work.pos < 4) {
    work.damaged(index);
    return false;
  }
  const uint32_t stored = load32(work.in + work.pos);
  work.pos += 4;
  if (stored == 0 || stored > work.inSize - work.pos) {
    work.damaged(index);
    return false;
  }
  const uint64_t remaining = work.header.totalSize - work.handedOut;
  // Fits in size_t: it is at most the chunk size (64 MiB).
  frame.plain = static_cast<size_t>(std::min(remaining, work.header.chunkSize));
  frame.index = index;
  frame.data = work.in + work.pos;
  frame.stored = stored;
  frame.target = work.out + work.handedOut;
  work.pos += stored;
  work.handedOut += frame.plain;
  // Bytes after the last chunk: the last frame does not end the buffer.
  if (work.handedOut == work.header.totalSize && work.pos != work.inSize) {
    work.damaged(index);
    return false;
  }
  return true;
}

void decodeFrames(SharedWork& work, ChunkDecoder& decoder) {
  Frame frame;
  while (takeFrame(work, frame)) {
    bool good = true;
    if (frame.stored == frame.plain) {
      std::memcpy(frame.target, frame.data, frame.plain);
    } else {
      good = decoder.decode(frame.data, frame.stored, frame.target, frame.plain);
    }
    std::lock_guard<std::mutex> lock(work.mutex);
    if (good) {
      work.finished(frame.index);
    } else {
      work.damaged(frame.index);
    }
  }
}

}  // namespace

BufferDecoder::BufferDecoder(unsigned workers) : workers_(workers) {
  if (workers_ == 0) workers_ = std::thread::hardware_concurrency();
  // A decoder's state is about 300 KB; more workers than this gain nothing on a setup's machine.
  workers_ = std::clamp(workers_, 1u, 64u);
  chunks_.push_back(std::make_unique<ChunkDecoder>());
}

BufferDecoder::~BufferDecoder() = default;

BufferResult BufferDecoder::decompress(const uint8_t* in, size_t inSize, uint8_t* out, size_t outCapacity,
                                       uint64_t& needed, const ReadyBytes& ready) {
  firstDamaged_ = -1;
  BufferHeader header;
  if (!readBufferHeader(in, inSize, header)) return BufferResult::InvalidData;
  needed = header.totalSize;
  if (out == nullptr || outCapacity < header.totalSize) return BufferResult::OutputTooSmall;
  if (header.totalSize == 0) {
    if (inSize != kBufferHeaderSize) {
      firstDamaged_ = 0;
      return BufferResult::InvalidData;
    }
    return BufferResult::Ok;
  }

  SharedWork work;
  work.in = in;
  work.inSize = inSize;
  work.out = out;
  work.header = header;
  work.ready = &ready;
  const uint64_t chunks = (header.totalSize - 1) / header.chunkSize + 1;
  const size_t workers = static_cast<size_t>(std::min<uint64_t>(workers_, chunks));
  while (chunks_.size() < workers) chunks_.push_back(std::make_unique<ChunkDecoder>());

  std::vector<std::thread> threads;
  for (size_t i = 1; i < workers; ++i) {
    // Fewer threads than asked for give the same bytes, only later: this thread works as well.
    try {
      threads.emplace_back(decodeFrames, std::ref(work), std::ref(*chunks_[i]));
    } catch (const std::system_error&) {
      break;
    }
  }
  decodeFrames(work, *chunks_[0]);
  for (std::thread& t : threads) t.join();
  firstDamaged_ = work.firstDamaged;
  return work.firstDamaged < 0 ? BufferResult::Ok : BufferResult::InvalidData;
}

}  // namespace zs::lzms
