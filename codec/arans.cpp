#include "codec/arans.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace vantrel {
namespace {

[[maybe_unused]] constexpr uint32_t kMaxFreq = kProbScale;  // read only by assert()

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

// Before each bit the decoder's state x is at least 2^16. Writing x = 4096 h + slot (h >= 16),
// the bit leaves x' = freq h + u with u = slot - start in [0, freq), and x = 4096 h + start + u.
// With freq <= 4081 and start >= 0,
//   x / x' >= (4096 h + u) / (4081 h + u) >= (4096 h + 4080) / (4081 h + 4080)
//          >= (4096 * 16 + 4080) / (4081 * 16 + 4080) = 69616 / 69376 =: R,
// the middle bound falling in u and rising in h. x' >= 15 * 16 = 240, so a renormalisation word w
// multiplies the state by at most (x' 2^16 + w) / x' < 2^16 * 241 / 240 =: G. The initial state
// is below 2^32 and the state before the last of B bits is at least 2^16, so after K words
//   2^16 <= 2^32 G^K / R^(B - 1),   i.e.   R^(B - 1) <= 2^16 G^K < G^(K + 1).
// S = 3213 is the least integer with R^S >= G (exact rational check), hence B - 1 < S (K + 1) and
// B <= S (K + 1).
uint64_t max_decodable_bits(size_t stream_bytes) {
  const uint64_t words = (stream_bytes - 4) / 2;
  if (words + 1 > std::numeric_limits<uint64_t>::max() / kMaxBitsPerWord) {
    return std::numeric_limits<uint64_t>::max();
  }
  return kMaxBitsPerWord * (words + 1);
}

namespace detail {
uint32_t divide_state(uint32_t x, uint32_t freq) {
  assert(freq >= 1 && freq <= kMaxFreq);
  return detail::divide_by_freq(x, freq);
}
}  // namespace detail

BinEnc::BinEnc(size_t num_contexts) : probs_(num_contexts, kProbInit) {}

void BinEnc::grow(size_t min_extra) {
  const size_t capacity = std::max(num_records_ + min_extra, 2 * capacity_ + 64);
  // Recorders write `min_extra` records without looking: a short buffer would be overrun
  // silently, so it stops here in every build (growth is rare, the check costs nothing).
  if (capacity - num_records_ < min_extra) internal_buffer_error("the rANS record buffer");
  std::unique_ptr<uint16_t[]> records(new uint16_t[capacity]);
  if (num_records_ != 0) std::memcpy(records.get(), records_.get(), 2 * num_records_);
  records_ = std::move(records);
  capacity_ = capacity;
}

void BinEnc::finish_into(std::vector<uint8_t>& out) {
  uint16_t* const rec = records_.get();
  const size_t n = num_records_;
  RansEmitter emitter = RansEmitter::over(rec, n, kRansLow);
  while (!emitter.done()) emitter.step();
  const size_t first_word = emitter.first_word;
  const uint32_t x = emitter.x;
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
  // Eight bits a byte: a count the stream cannot back would end in Truncated anyway.
  if (count > max_decodable_bits(data.size()) / 8) return AransError::Truncated;
  std::vector<uint8_t> out;
  if (!try_reserve(out, std::max<size_t>(count, 8))) return AransError::BadLength;
  VANTREL_ASSIGN_OR_RETURN(BinDec dec, BinDec::create(data, plane_contexts(ctx_bits)));
  uint16_t* const probs = dec.probs();
  RansReader r = dec.reader();
  const uint32_t drop = 8 - ctx_bits;
  uint32_t prev = 0;
  for (size_t i = 0; i < count; ++i) {
    uint16_t* const group = probs + (static_cast<size_t>(prev >> drop) << 8);
    const uint32_t node = r.decode_tree(group, 8);
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
  if (pairs > kMaxStreamPairs) return AransError::BadLength;
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
