// Binary adaptive rANS: the bit-coding engine shared by both rANS coders, and the byte-string
// coder that splits its input into two byte planes and codes each one bit by bit.
//
// Engine: 12-bit probabilities (units of 1/4096 that the next bit is 0), a 32-bit state kept in
// [2^16, 2^32) between bits, 16-bit renormalisation. After each bit its context's probability
// moves 1/16 of the way towards the bit; from the start value 2048 it stays within 15..4081, so no
// bit ever has a zero-width interval.
//
// Plane stream: u32 little-endian final encoder state, then the 16-bit little-endian
// renormalisation words in the order the decoder consumes them.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "codec/error.h"
#include "support/result.h"

namespace vantrel {

inline constexpr uint32_t kProbBits = 12;
inline constexpr uint32_t kProbScale = 1u << kProbBits;  // 4096
inline constexpr uint32_t kRansLow = 1u << 16;           // 65536
inline constexpr uint32_t kAdaptShift = 4;
inline constexpr uint16_t kProbInit = 2048;
inline constexpr uint16_t kProbMin = 15;
inline constexpr uint16_t kProbMax = kProbScale - 15;  // 4081

// The probability of a 0 after coding `bit` in a context whose probability was `p`:
// p + (4096 - p) / 16 after a 0 and p - p / 16 after a 1, in integer division. As
// p - floor(p / 16) = p + floor((15 - p) / 16) for every integer p, both are p plus an
// arithmetic right shift of (target - p) with target 4096 or 15: three dependent operations and
// no branch, since bits are unpredictable by nature.
inline uint32_t adapt_probability(uint32_t p, uint32_t bit) {
  const auto target = static_cast<int32_t>(kProbScale - ((kProbScale - 15) & (0u - bit)));
  return static_cast<uint32_t>(static_cast<int32_t>(p) +
                               ((target - static_cast<int32_t>(p)) >> kAdaptShift));
}

// Where a hot loop writes its bit records: a plain pointer that lives in a register. It codes
// `bit` with the probability `p` the loop holds for a context and returns `p` adapted, so a
// context that repeats can stay in a register too instead of going through memory.
struct BitRecorder {
  uint16_t* next;

  uint32_t record(uint32_t p, uint32_t bit) {
    // The probability (12 bits) and the bit fit one 16-bit record; finish derives the interval.
    *next++ = static_cast<uint16_t>((p << 1) | bit);
    return adapt_probability(p, bit);
  }
};

namespace detail {

// Division of the encoder state by a frequency, by multiplication.
//
// The encoder computes floor(x / d) for d = freq in 15..4081 and, after renormalisation,
// x < d * 2^20. With m = ceil(2^44 / d) = (2^44 + e) / d, 0 <= e < d:
//   x * m / 2^44 = x / d + x * e / (d * 2^44).
// Writing x = q * d + r (0 <= r < d), this is q + (r + x * e / 2^44) / d. As x < d * 2^20 and
// e <= d - 1, x * e < d * (d - 1) * 2^20 < 2^24 * 2^20 = 2^44 for every d <= 4096, so the
// fraction (r + x * e / 2^44) / d lies below (r + 1) / d <= 1, and floor(x * m / 2^44) = q.
// The product fits 64 bits: x <= d * 2^20 - 1 gives
//   x * m <= 2^64 + e * 2^20 - (2^44 + e) / d,
// which is below 2^64 because e * d < 2^24. One 64-bit multiply and a shift per bit, no division.
inline constexpr int kMagicShift = 44;

struct FreqMagic {
  uint64_t m[kProbScale + 1];
};

constexpr FreqMagic make_freq_magic() {
  FreqMagic magic{};
  for (uint32_t d = 1; d <= kProbScale; ++d) {
    magic.m[d] = ((uint64_t{1} << kMagicShift) + d - 1) / d;
  }
  return magic;
}

inline constexpr FreqMagic kFreqMagic = make_freq_magic();

inline uint32_t divide_by_freq(uint32_t x, uint32_t freq) {
  return static_cast<uint32_t>((uint64_t{x} * kFreqMagic.m[freq]) >> kMagicShift);
}

}  // namespace detail

// The encoder's backward pass over a run of bit records (see BitRecorder), from the last record
// to the first, since rANS decodes in the reverse order of encoding. Runs may follow each other:
// the state left by one run is where the run coded before it starts.
//
// Each record yields at most one 16-bit word, and the k-th word emitted (k = 0, 1, ...) is stored
// back into record slot size - 1 - k. That slot is never ahead of the record being read: when
// record i is walked at most size - 1 - i words exist, so the slot index is at least i. The
// words of the run thus end up in slots [first_word, size), in the order the decoder reads them.
struct RansEmitter {
  uint16_t* rec;
  size_t next;        // records [0, next) are still to be walked
  size_t first_word;  // the words emitted so far are rec[first_word .. size)
  uint32_t x;

  // A walk over the `size` records at `rec`, starting from state `x`.
  static RansEmitter over(uint16_t* rec, size_t size, uint32_t x) {
    return RansEmitter{rec, size, size, x};
  }

  bool done() const { return next == 0; }

  void step() {
    const uint32_t r = rec[--next];
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
    const uint32_t q = detail::divide_by_freq(x, freq);
    x = x + start + q * (kProbScale - freq);
  }
};

// Records bits with their probabilities; `finish` turns them into the plane stream. rANS is
// last-in first-out, so nothing can be written before the last bit is known. Two bytes per bit
// are held until then.
class BinEnc {
 public:
  explicit BinEnc(size_t num_contexts);

  // `ctx` must be below the table size.
  void encode_bit(size_t ctx, uint32_t bit) {
    if (num_records_ == capacity_) grow(1);
    BitRecorder rec{records_.get() + num_records_};
    probs_[ctx] = static_cast<uint16_t>(rec.record(probs_[ctx], bit));
    ++num_records_;
  }

  // Room for exactly `num_bits` more records, to be written through the recorder and then
  // handed back with `commit`.
  BitRecorder recorder(size_t num_bits) {
    if (capacity_ - num_records_ < num_bits) grow(num_bits);
    recorder_limit_ = num_records_ + num_bits;
    return BitRecorder{records_.get() + num_records_};
  }
  void commit(const BitRecorder& rec) {
    const auto n = static_cast<size_t>(rec.next - records_.get());
    assert(n >= num_records_ && n <= recorder_limit_);
    num_records_ = n;
  }

  uint16_t* probs() { return probs_.data(); }
  size_t num_bits() const { return num_records_; }

  // Appends the plane stream to `out`; the encoder is spent afterwards.
  void finish_into(std::vector<uint8_t>& out);
  std::vector<uint8_t> finish();

 private:
  void grow(size_t min_extra);

  std::vector<uint16_t> probs_;
  std::unique_ptr<uint16_t[]> records_;  // (p << 1) | bit per coded bit, in coding order
  size_t num_records_ = 0;
  size_t capacity_ = 0;
  size_t recorder_limit_ = 0;
};

#if defined(__x86_64__) && defined(__GNUC__)
#define VANTREL_CMOV_SELECT 1
#else
#define VANTREL_CMOV_SELECT 0
#endif
inline constexpr bool kHasCmovSelect = VANTREL_CMOV_SELECT;

// The moving part of a decoding: the input, the read position and the 32-bit state. Small enough
// to live in registers: hot loops copy it out of a BinDec, decode, and put it back. A word missing
// at the end of the input is read as zero and recorded by moving `pos` past `size`; checking that
// once per symbol instead of once per bit gives the same result, as nothing decoded after it is
// kept.
struct RansReader {
  const uint8_t* data;
  size_t size;
  size_t pos;
  uint32_t x;

  bool truncated() const { return pos > size; }

  // Decodes one bit whose probability of being 0 is `p`, and sets `adapted` to the probability
  // after adaptation.
  uint32_t decode(uint32_t p, uint32_t& adapted) {
    uint32_t unused;
    return step<false>(p, adapted, unused, 0, 0);
  }

  // Decodes like `decode` and also sets `next` to `next_if_one` or `next_if_zero` by the bit:
  // tree walks load both children's probabilities before the bit is known.
  uint32_t decode_and_pick(uint32_t p, uint32_t& adapted, uint32_t& next, uint32_t next_if_zero,
                           uint32_t next_if_one) {
    return step<true>(p, adapted, next, next_if_zero, next_if_one);
  }

  // Decodes `depth` (at least 1) bits on a binary tree of contexts tree[1 .. 2^depth - 1], most
  // significant bit first, each node's probability adapted as it is used; returns the leaf
  // node, 2^depth + the decoded value. The next context is one of the two adjacent children of the
  // current node: both are loaded before the bit is known and one is picked after, keeping the
  // table load off the state's dependency chain.
  uint32_t decode_tree(uint16_t* tree, uint32_t depth) {
    const uint32_t last_level = (1u << depth) >> 1;
    uint32_t node = 1;
    uint32_t p = tree[1];
    while (node < last_level) {
      uint32_t adapted, p_next;
      const uint32_t bit = decode_and_pick(p, adapted, p_next, tree[2 * node], tree[2 * node + 1]);
      tree[node] = static_cast<uint16_t>(adapted);
      p = p_next;
      node = 2 * node + bit;
    }
    uint32_t adapted;
    const uint32_t bit = decode(p, adapted);
    tree[node] = static_cast<uint16_t>(adapted);
    return 2 * node + bit;
  }

  // One decoding step. x = 4096 h + slot; a 0 owns slots [0, p) and leaves p h + slot, a 1 owns
  // [p, 4096) and leaves (4096 - p) h + slot - p. Both products are formed before the bit is
  // known, so the state's dependency chain per bit is one multiply, one add and one conditional
  // move. Every choice the bit makes is a conditional move on one comparison: bits are
  // unpredictable by nature and a mispredicted branch costs more than the whole bit. Compilers
  // turn the plain form (kPortable) into branches, so x86-64 states the moves itself; tests check
  // that both forms agree.
  template <bool kPick, bool kPortable = !kHasCmovSelect>
  uint32_t step(uint32_t p, uint32_t& adapted, uint32_t& next, uint32_t next_if_zero,
                uint32_t next_if_one) {
    static_assert(kPortable || kHasCmovSelect);
    const uint32_t slot = x & (kProbScale - 1);
    const uint32_t h = x >> kProbBits;
    const uint32_t if_one = (kProbScale - p) * h + slot - p;
    uint32_t x_next = p * h + slot;
    uint32_t target = kProbScale;  // adaptation target: 4096 after a 0, 15 after a 1
    uint32_t bit = 0;
    if constexpr (kPortable) {
      bit = slot >= p;
      next = next_if_zero;
      if (bit) {
        x_next = if_one;
        next = next_if_one;
        target = 15;
      }
    } else {
#if VANTREL_CMOV_SELECT
      const uint32_t low_target = 15;
      uint8_t bit8;
      if constexpr (kPick) {
        next = next_if_zero;
        asm("cmpl %[p], %[slot]\n\t"
            "cmovael %[if_one], %[x]\n\t"
            "cmovael %[n1], %[next]\n\t"
            "cmovael %[low], %[target]\n\t"
            "setae %[bit]"
            : [x] "+r"(x_next), [next] "+r"(next), [target] "+r"(target), [bit] "=q"(bit8)
            : [p] "r"(p), [slot] "r"(slot), [if_one] "r"(if_one), [n1] "r"(next_if_one),
              [low] "r"(low_target)
            : "cc");
      } else {
        asm("cmpl %[p], %[slot]\n\t"
            "cmovael %[if_one], %[x]\n\t"
            "cmovael %[low], %[target]\n\t"
            "setae %[bit]"
            : [x] "+r"(x_next), [target] "+r"(target), [bit] "=q"(bit8)
            : [p] "r"(p), [slot] "r"(slot), [if_one] "r"(if_one), [low] "r"(low_target)
            : "cc");
      }
      bit = bit8;
#endif
    }
    // p + floor((target - p) / 16): the adaptation (see adapt_probability).
    adapted = static_cast<uint32_t>(
        static_cast<int32_t>(p) +
        ((static_cast<int32_t>(target) - static_cast<int32_t>(p)) >> kAdaptShift));
    x = x_next;
    if (x < kRansLow) refill();
    return bit;
  }

 private:
  // Reads words while the state is below 2^16. From a state of at least 2^16 a decoded state is
  // at least 15 * 16 = 240, so one word suffices and the loop runs once; only a stream whose
  // initial state lies below 2^16 (never one the encoder wrote) needs more. A missing word marks
  // the reader truncated and ends the refill.
  void refill() {
    do {
      if (pos + 2 > size) {
        pos = size + 1;
        x <<= 16;
        return;
      }
      const uint32_t word =
          static_cast<uint32_t>(data[pos]) | (static_cast<uint32_t>(data[pos + 1]) << 8);
      pos += 2;
      x = (x << 16) | word;
    } while (x < kRansLow);
  }
};

// Every decoded bit lowers the decoder's state by a factor of at least 69616/69376, and the
// initial state and each 16-bit renormalisation word can pay for at most this many bits (the proof
// is beside max_decodable_bits in arans.cpp).
inline constexpr uint64_t kMaxBitsPerWord = 3213;

// The most bits a stream of `stream_bytes` bytes (at least 4: the state, then words) can yield
// before the decoder runs out of words. A claim beyond it ends in Truncated however it is decoded,
// so refusing it before decoding changes no result and keeps a small stream from reserving what
// it cannot fill.
uint64_t max_decodable_bits(size_t stream_bytes);

// Reads a plane stream bit by bit. `decode_bit` reports a missing renormalisation word as
// `Truncated`; `decode_bit_deferred` is the same decoding for hot loops: it records the
// truncation (see `truncated`) and carries on as if zero words followed, so the caller checks once
// per symbol instead of once per bit. Bits decoded after a truncation are meaningless.
class BinDec {
 public:
  // Needs at least 4 bytes (the initial state).
  static Result<BinDec, AransError> create(std::span<const uint8_t> data, size_t num_contexts);

  Result<uint32_t, AransError> decode_bit(size_t ctx) {
    const uint32_t bit = decode_bit_deferred(ctx);
    if (reader_.truncated()) return AransError::Truncated;
    return bit;
  }

  uint32_t decode_bit_deferred(size_t ctx) {
    uint16_t& p_ref = probs_[ctx];
    uint32_t adapted;
    const uint32_t bit = reader_.decode(p_ref, adapted);
    p_ref = static_cast<uint16_t>(adapted);
    return bit;
  }

  bool truncated() const { return reader_.truncated(); }
  uint16_t* probs() { return probs_.data(); }
  RansReader reader() const { return reader_; }
  void set_reader(const RansReader& r) { reader_ = r; }

 private:
  BinDec(std::span<const uint8_t> data, size_t num_contexts);

  RansReader reader_;
  std::vector<uint16_t> probs_;
};

// The plane stream of one byte plane, each byte coded as eight bits on a binary tree whose
// contexts also depend on the top `ctx_bits` (0..8) bits of the previous byte. Empty plane: empty.
std::vector<uint8_t> encode_plane(std::span<const uint8_t> plane, uint32_t ctx_bits);

// Decodes exactly `count` bytes of a plane coded with `ctx_bits` (0..8).
Result<std::vector<uint8_t>, AransError> decode_plane(std::span<const uint8_t> data, size_t count,
                                                      uint32_t ctx_bits);

// The split stream: inputs of 0..5 bytes come back as they are; longer ones are coded as odd
// flag, ctx_bits, LEB128 pair count, LEB128 plane A length, plane A, plane B, odd last byte.
std::vector<uint8_t> encode_stream(std::span<const uint8_t> data);

// The most byte pairs decode_stream accepts; it refuses a stream that claims more, so this is
// also the most 16-bit coefficients a byte-plane payload can carry.
inline constexpr uint64_t kMaxStreamPairs = uint64_t{1} << 28;

// Inverse of encode_stream. `data` is exactly the stream.
Result<std::vector<uint8_t>, AransError> decode_stream(std::span<const uint8_t> data);

// Reads one unsigned LEB128 value at `pos` and advances `pos` past it (at most ten bytes; the
// value is kept modulo 2^64).
Result<uint64_t, AransError> rv(std::span<const uint8_t> data, size_t& pos);

// Appends `value` as unsigned LEB128 without superfluous groups.
void write_leb128(uint64_t value, std::vector<uint8_t>& out);

namespace detail {
// Exact floor(x / freq) for freq in 1..4096 and x < freq * 2^20 (the states `finish` divides).
uint32_t divide_state(uint32_t x, uint32_t freq);
}  // namespace detail

}  // namespace vantrel
