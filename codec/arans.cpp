#include "codec/arans.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <new>
#include <stdexcept>

namespace vantrel {
namespace {

// Division of the encoder state by a frequency, by multiplication.
//
// finish computes floor(x / d) for d = freq in 15..4081 and, after renormalisation,
// x < d * 2^20. With m = ceil(2^44 / d) = (2^44 + e) / d, 0 <= e < d:
//   x * m / 2^44 = x / d + x * e / (d * 2^44).
// Writing x = q * d + r (0 <= r < d), this is q + (r + x * e / 2^44) / d. As x < d * 2^20 and
// e <= d - 1, x * e < d * (d - 1) * 2^20 < 2^24 * 2^20 = 2^44 for every d <= 4096, so the
// fraction (r + x * e / 2^44) / d lies below (r + 1) / d <= 1, and floor(x * m / 2^44) = q.
// The product fits 64 bits: x <= d * 2^20 - 1 gives
//   x * m <= 2^64 + e * 2^20 - (2^44 + e) / d,
// which is below 2^64 because e * d < 2^24. One 64-bit multiply and a shift per bit, no division.
constexpr int kMagicShift = 44;
constexpr uint32_t kMaxFreq = kProbScale;

constexpr std::array<uint64_t, kMaxFreq + 1> make_magic() {
  std::array<uint64_t, kMaxFreq + 1> magic{};
  for (uint32_t d = 1; d <= kMaxFreq; ++d) {
    magic[d] = ((uint64_t{1} << kMagicShift) + d - 1) / d;
  }
  return magic;
}

constexpr std::array<uint64_t, kMaxFreq + 1> kMagic = make_magic();

inline uint32_t divide_by_freq(uint32_t x, uint32_t freq) {
  return static_cast<uint32_t>((uint64_t{x} * kMagic[freq]) >> kMagicShift);
}

inline void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t plane_contexts(uint32_t ctx_bits) { return 256u << ctx_bits; }

// Codes `count` bytes taken every `stride` bytes from `src`: eight bits per byte on a binary tree
// (node 1 is the root, node 2 * node + bit the child), in the contexts of the group picked by the
// top ctx_bits bits of the previous byte. Node 0 of each group is never used.
BitRecorder code_plane_bytes(BitRecorder rec, uint16_t* probs, const uint8_t* src, size_t count,
                             size_t stride, uint32_t ctx_bits) {
  const uint32_t drop = 8 - ctx_bits;
  uint32_t prev = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint32_t v = src[i * stride];
    uint16_t* const group = probs + (static_cast<size_t>(prev >> drop) << 8);
    uint32_t node = 1;
    for (int k = 7; k >= 0; --k) {
      const uint32_t bit = (v >> k) & 1;
      group[node] = static_cast<uint16_t>(rec.record(group[node], bit));
      node = 2 * node + bit;
    }
    prev = v;
  }
  return rec;
}

std::vector<uint8_t> encode_plane_strided(const uint8_t* src, size_t count, size_t stride,
                                          uint32_t ctx_bits) {
  if (count == 0) return {};
  BinEnc enc(plane_contexts(ctx_bits));
  enc.commit(code_plane_bytes(enc.recorder(8 * count), enc.probs(), src, count, stride, ctx_bits));
  return enc.finish();
}

// A reservation that reports failure instead of throwing: the sizes come from untrusted bytes.
bool try_reserve(std::vector<uint8_t>& v, size_t n) {
  try {
    v.reserve(n);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::length_error&) {
    return false;
  }
  return true;
}

}  // namespace

namespace detail {
uint32_t divide_state(uint32_t x, uint32_t freq) {
  assert(freq >= 1 && freq <= kMaxFreq);
  return divide_by_freq(x, freq);
}
}  // namespace detail

BinEnc::BinEnc(size_t num_contexts) : probs_(num_contexts, kProbInit) {}

void BinEnc::grow(size_t min_extra) {
  const size_t capacity = std::max(num_records_ + min_extra, 2 * capacity_ + 64);
  std::unique_ptr<uint16_t[]> records(new uint16_t[capacity]);
  if (num_records_ != 0) std::memcpy(records.get(), records_.get(), 2 * num_records_);
  records_ = std::move(records);
  capacity_ = capacity;
}

void BinEnc::finish_into(std::vector<uint8_t>& out) {
  // Walk the records backwards. Each record yields at most one word, and the word goes to the
  // output in reverse order of emission, so the k-th word emitted (k = 0, 1, ...) is stored in
  // record slot n - 1 - k. That slot is never ahead of the record being read: when record i is
  // processed at most n - 1 - i words exist, so the slot index is at least i.
  uint16_t* const rec = records_.get();
  const size_t n = num_records_;
  size_t first_word = n;
  uint32_t x = kRansLow;
  for (size_t i = n; i-- > 0;) {
    const uint32_t r = rec[i];
    const uint32_t p = r >> 1;
    const uint32_t one = 0u - (r & 1);
    const uint32_t freq = p + ((kProbScale - 2 * p) & one);
    const uint32_t start = p & one;
    // freq <= 4081, so freq << 20 fits 32 bits, and x < 2^32 makes one shift enough. A word
    // comes out once per 16 bits of coded information, so the branch is mostly predicted right
    // and keeps the renormalisation off the state's dependency chain.
    if (x >= (freq << 20)) {
      rec[--first_word] = static_cast<uint16_t>(x);
      x >>= 16;
    }
    // x' = 4096 q + (x - q freq) + start = x + start + q (4096 - freq), q = floor(x / freq).
    const uint32_t q = divide_by_freq(x, freq);
    x = x + start + q * (kProbScale - freq);
  }
  const size_t num_words = n - first_word;
  const size_t at = out.size();
  out.resize(at + 4 + 2 * num_words);
  uint8_t* dst = out.data() + at;
  put_le32(dst, x);
  dst += 4;
  if (num_words == 0) {
    // Nothing to copy (and no record buffer when no bit was coded).
  } else if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(dst, rec + first_word, 2 * num_words);
  } else {
    for (size_t j = 0; j < num_words; ++j) {
      dst[2 * j] = static_cast<uint8_t>(rec[first_word + j]);
      dst[2 * j + 1] = static_cast<uint8_t>(rec[first_word + j] >> 8);
    }
  }
  records_.reset();
  num_records_ = 0;
  capacity_ = 0;
}

std::vector<uint8_t> BinEnc::finish() {
  std::vector<uint8_t> out;
  finish_into(out);
  return out;
}

BinDec::BinDec(std::span<const uint8_t> data, size_t num_contexts)
    : reader_{data.data(), data.size(), 4, 0}, probs_(num_contexts, kProbInit) {
  reader_.x = static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
              (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
}

Result<BinDec, AransError> BinDec::create(std::span<const uint8_t> data, size_t num_contexts) {
  if (data.size() < 4) return AransError::Truncated;
  return BinDec(data, num_contexts);
}

std::vector<uint8_t> encode_plane(std::span<const uint8_t> plane, uint32_t ctx_bits) {
  assert(ctx_bits <= 8);
  return encode_plane_strided(plane.data(), plane.size(), 1, ctx_bits);
}

Result<std::vector<uint8_t>, AransError> decode_plane(std::span<const uint8_t> data, size_t count,
                                                      uint32_t ctx_bits) {
  assert(ctx_bits <= 8);
  if (count == 0) return std::vector<uint8_t>();
  if (data.size() < 4) return AransError::Truncated;
  std::vector<uint8_t> out;
  if (!try_reserve(out, std::max<size_t>(count, 8))) return AransError::BadLength;
  VANTREL_ASSIGN_OR_RETURN(BinDec dec, BinDec::create(data, plane_contexts(ctx_bits)));
  uint16_t* const probs = dec.probs();
  RansReader r = dec.reader();
  const uint32_t drop = 8 - ctx_bits;
  uint32_t prev = 0;
  for (size_t i = 0; i < count; ++i) {
    uint16_t* const group = probs + (static_cast<size_t>(prev >> drop) << 8);
    uint32_t node = 1;
    uint32_t p = group[1];
    // The next context is one of the two adjacent children of the current node: both are loaded
    // before the bit is known and one is picked after, keeping the table load off the state's
    // dependency chain.
    for (int k = 0; k < 7; ++k) {
      uint32_t adapted, p_next;
      const uint32_t bit =
          r.decode_and_pick(p, adapted, p_next, group[2 * node], group[2 * node + 1]);
      group[node] = static_cast<uint16_t>(adapted);
      p = p_next;
      node = 2 * node + bit;
    }
    uint32_t adapted;
    const uint32_t bit = r.decode(p, adapted);
    group[node] = static_cast<uint16_t>(adapted);
    node = 2 * node + bit;
    // A truncation ends the decoding; checking once per byte gives the same result as checking
    // every bit because nothing decoded after it is kept.
    if (r.truncated()) return AransError::Truncated;
    prev = node - 256;
    out.push_back(static_cast<uint8_t>(prev));
  }
  return out;
}

void write_leb128(uint64_t value, std::vector<uint8_t>& out) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

Result<uint64_t, AransError> rv(std::span<const uint8_t> data, size_t& pos) {
  uint64_t value = 0;
  for (int k = 0; k < 10; ++k) {
    if (pos >= data.size()) return AransError::Truncated;
    const uint8_t b = data[pos++];
    if (k == 9) {
      // Only bit 63 is left: the tenth byte must end the value and only its lowest bit counts.
      if (b & 0x80) return AransError::BadLength;
      return value | (static_cast<uint64_t>(b & 1) << 63);
    }
    value |= static_cast<uint64_t>(b & 0x7F) << (7 * k);
    if ((b & 0x80) == 0) return value;
  }
  return value;  // not reached: the tenth byte always returns
}

std::vector<uint8_t> encode_stream(std::span<const uint8_t> data) {
  const size_t n = data.size();
  if (n <= 5) return std::vector<uint8_t>(data.begin(), data.end());
  const size_t pairs = n >> 1;
  const uint32_t ctx_bits = n < 16384 ? 3 : 8;
  const std::vector<uint8_t> plane_a = encode_plane_strided(data.data(), pairs, 2, ctx_bits);
  const std::vector<uint8_t> plane_b = encode_plane_strided(data.data() + 1, pairs, 2, ctx_bits);
  std::vector<uint8_t> out;
  out.reserve(2 + 20 + plane_a.size() + plane_b.size() + 1);
  out.push_back(static_cast<uint8_t>(n & 1));
  out.push_back(static_cast<uint8_t>(ctx_bits));
  write_leb128(pairs, out);
  write_leb128(plane_a.size(), out);
  out.insert(out.end(), plane_a.begin(), plane_a.end());
  out.insert(out.end(), plane_b.begin(), plane_b.end());
  if (n & 1) out.push_back(data[n - 1]);
  return out;
}

Result<std::vector<uint8_t>, AransError> decode_stream(std::span<const uint8_t> data) {
  const size_t n = data.size();
  if (n <= 5) return std::vector<uint8_t>(data.begin(), data.end());
  const size_t odd = data[0] & 1;
  const uint32_t ctx_bits = data[1];
  if (ctx_bits > 8) return AransError::BadLength;
  size_t pos = 2;
  VANTREL_ASSIGN_OR_RETURN(const uint64_t pairs, rv(data, pos));
  if (pairs > (uint64_t{1} << 28)) return AransError::BadLength;
  VANTREL_ASSIGN_OR_RETURN(const uint64_t len_a, rv(data, pos));
  if (len_a > UINT64_MAX - pos) return AransError::BadLength;
  const uint64_t end_a = pos + len_a;
  if (n - odd < end_a) return AransError::Truncated;
  const size_t end = static_cast<size_t>(end_a);
  VANTREL_ASSIGN_OR_RETURN(const std::vector<uint8_t> a,
                           decode_plane(data.subspan(pos, end - pos), pairs, ctx_bits));
  VANTREL_ASSIGN_OR_RETURN(const std::vector<uint8_t> b,
                           decode_plane(data.subspan(end, n - odd - end), pairs, ctx_bits));
  std::vector<uint8_t> out;
  if (!try_reserve(out, 2 * pairs + odd)) return AransError::BadLength;
  out.resize(2 * pairs + odd);
  for (size_t i = 0; i < pairs; ++i) {
    out[2 * i] = a[i];
    out[2 * i + 1] = b[i];
  }
  if (odd) out[2 * pairs] = data[n - 1];
  return out;
}

}  // namespace vantrel
