#include "codec/residual.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "codec/arans.h"
#include "codec/lpc.h"

namespace vantrel {
namespace {

// Activity buckets (log2 of the base's activity in bins, see ActivityScan) and neighbour buckets
// (bit length of the recent prediction errors): their product selects the zero flag's and the
// exponent's contexts.
constexpr uint32_t kActivityBuckets = 12;
constexpr uint32_t kNeighbourBuckets = 8;
constexpr uint32_t kJoint = kActivityBuckets * kNeighbourBuckets;

// An error's magnitude has at most kMaxExponent bits: |r| <= 2^30 - 1 and a prediction clamped to
// the same range leave |r - prediction| <= 2^31 - 2.
constexpr uint32_t kMaxExponent = 31;

// The context table, in decisions' order.
constexpr size_t kZero = 0;                                        // [joint]
constexpr size_t kSign = kZero + kJoint;                           // [rounding][previous sign]
constexpr size_t kUp = kSign + 6;                                   // [joint]
constexpr size_t kUnary = kUp + kJoint;                             // [joint][e - 1]
constexpr size_t kDown = kUnary + kJoint * (kMaxExponent - 1);      // [joint][e]
constexpr size_t kMantTop = kDown + kJoint * (kMaxExponent + 1);    // [neighbour][e]
constexpr size_t kMantSecond = kMantTop + kNeighbourBuckets * (kMaxExponent + 1);  // [e]
constexpr size_t kQuietBlock = kMantSecond + (kMaxExponent + 1);  // [activity][previous quiet]
constexpr size_t kNumContexts = kQuietBlock + 2 * kActivityBuckets;

// Residuals go in blocks of kBlock samples, each led by a flag that tells whether all of them are
// 0 (in a context of the block's highest activity and whether the flagged block before was all
// 0): a sparse residual costs one decision per quiet block instead of one per sample, both in bits
// and in decoding time.
constexpr size_t kBlock = 16;

// Suggested bit lengths up to kShortLength - 1 start the unary code from 1.
constexpr uint32_t kShortLength = 4;

// The mantissa's bits below its top two are nearly uniform: they go in raw chunks of up to
// kMaxRawBits, each one rANS step at equal probabilities instead of a step per bit.
constexpr uint32_t kMaxRawBits = 11;

// The predictor: r[i] is predicted from r[i-1 .. i-4] with weights in units of 2^-12, adapted by
// sign-sign LMS (after every sample each weight moves kLmsStep in the direction that lowers the
// error's magnitude). A base that smooths the signal leaves correlated residuals, and how much
// changes along the signal; the predictor follows that without side information. Weights stay
// within +-kMaxWeight (16.0), so a prediction sums four products below 2^16 * 2^30 in int64.
constexpr int kOrder = 4;  // the quiet test below names all four
constexpr int kWeightShift = 12;
constexpr int32_t kLmsStep = 16;
constexpr int32_t kMaxWeight = 1 << 16;

class Predictor {
 public:
  // The prediction of the next residual, rounded to the nearest integer and clamped to the
  // residual range, or 0 while predicting has not paid lately (white residuals, or weights still
  // settling); `rounded_up` tells whether rounding went up (the error then leans negative).
  int32_t predict(uint32_t& rounded_up) {
    // Four zeros in a row predict 0 whatever the weights: the common case of a sparse residual
    // skips the sums.
    if (quiet_) {
      raw_ = 0;
      rounded_up = 0;
      return 0;
    }
    int64_t sum = 0;
    for (int k = 0; k < kOrder; ++k) sum += int64_t{w_[k]} * hist_[k];
    const int64_t p = (sum + (int64_t{1} << (kWeightShift - 1))) >> kWeightShift;
    raw_ = static_cast<int32_t>(std::clamp<int64_t>(p, -kMaxResidual, kMaxResidual));
    if (cost_predicted_ >= cost_plain_) {
      rounded_up = 0;
      return 0;
    }
    rounded_up = static_cast<uint32_t>((sum & ((int64_t{1} << kWeightShift) - 1)) >=
                                       (int64_t{1} << (kWeightShift - 1)));
    return raw_;
  }

  // Learns from the residual `value` that followed the last prediction.
  void update(int32_t value) {
    if (quiet_ && value == 0) {
      // No error, so the weights stay; the history stays all zeros.
      cost_predicted_ -= cost_predicted_ >> 4;
      cost_plain_ -= cost_plain_ >> 4;
      return;
    }
    const int64_t error = int64_t{value} - raw_;
    if (error != 0) {
      const int32_t step = error > 0 ? kLmsStep : -kLmsStep;
      for (int k = 0; k < kOrder; ++k) {
        const int32_t h = hist_[k];
        const int32_t delta = h > 0 ? step : (h < 0 ? -step : 0);
        w_[k] = std::clamp(w_[k] + delta, -kMaxWeight, kMaxWeight);
      }
    }
    // Decaying sums of |error| with and without the prediction over about 16 samples: each
    // settles at 256 times the recent mean |error|, below 2^40.
    cost_predicted_ += ((error < 0 ? -error : error) << 4) - (cost_predicted_ >> 4);
    cost_plain_ += (int64_t{value < 0 ? -int64_t{value} : value} << 4) - (cost_plain_ >> 4);
    for (int k = kOrder - 1; k > 0; --k) hist_[k] = hist_[k - 1];
    hist_[0] = value;
    quiet_ = (hist_[0] | hist_[1] | hist_[2] | hist_[3]) == 0;
  }

 private:
  std::array<int32_t, kOrder> w_{};
  std::array<int32_t, kOrder> hist_{};
  int32_t raw_ = 0;
  int64_t cost_predicted_ = 0;
  int64_t cost_plain_ = 0;
  bool quiet_ = true;  // the history is all zeros
};

// The base's local activity in bins: the largest |b[j-1] - 2 b[j] + b[j+1]| / bin for j within
// one sample of i (the ends repeat their sample), bucketed on a log2 scale: bucket 0 below 1/8 bin,
// bucket k in [2^(k-4), 2^(k-3)), the last one everything above. A wavelet base misses most where
// the signal bends sharply, and its error spreads over the neighbouring samples. NaN and
// infinities land in the first or last bucket: the decoder meets the same values, so any base is
// coded consistently.
//
// All buckets are computed in one pass before coding, a loop without branches that the compiler
// may vectorise, which keeps this work off the coder's serial loop.
uint8_t activity_bucket(float v) {
  // v in [2^k, 2^(k+1)) has the biased exponent 127 + k.
  const uint32_t inside = ((std::bit_cast<uint32_t>(v) >> 23) & 0xFF) - 126;
  constexpr float kTop = static_cast<float>(1u << (kActivityBuckets - 2));
  const uint32_t capped = v < kTop ? inside : kActivityBuckets - 1;
  return static_cast<uint8_t>(v >= 1.0f ? capped : 0);
}

// The bucket of every sample of `base` into `out` (as many), with `scratch` for the second
// differences.
void activity_buckets(std::span<const float> base, float bin, std::vector<float>& scratch,
                      std::vector<uint8_t>& out) {
  const size_t n = base.size();
  out.resize(n);
  if (n == 0) return;
  // d[i + 1] is the second difference at sample i; d[0] and d[n + 1] stand for the samples beyond
  // the ends, which have no activity.
  scratch.assign(n + 2, 0.0f);
  float* const d = scratch.data();
  const float* const b = base.data();
  const size_t last = n - 1;
  d[1] = std::fabs((b[0] + b[std::min<size_t>(1, last)]) - 2.0f * b[0]);
  for (size_t i = 1; i < last; ++i) d[i + 1] = std::fabs((b[i - 1] + b[i + 1]) - 2.0f * b[i]);
  if (last > 0) d[n] = std::fabs((b[last - 1] + b[last]) - 2.0f * b[last]);
  const float scale = 8.0f / bin;
  uint8_t* const o = out.data();
  for (size_t i = 0; i < n; ++i) {
    const float prev = d[i], cur = d[i + 1], next = d[i + 2];
    const float m = prev < cur ? cur : prev;
    o[i] = activity_bucket((m < next ? next : m) * scale);
  }
}

uint32_t magnitude(int64_t v) { return static_cast<uint32_t>(v < 0 ? -v : v); }

// Bucket of 2 |e[i-1]| + |e[i-2]| (the last two prediction errors): 0 for 0, else its bit length,
// capped.
uint32_t neighbour_bucket(uint32_t m1, uint32_t m2) {
  const uint64_t s = 2 * uint64_t{m1} + m2;
  return std::min<uint32_t>(static_cast<uint32_t>(std::bit_width(s)), kNeighbourBuckets - 1);
}

struct Contexts {
  uint32_t joint;       // activity bucket * kNeighbourBuckets + neighbour bucket
  uint32_t neighbour;   // neighbour bucket
  uint32_t sign_group;  // rounding direction * 3 + sign of the previous error (0, +, -)
  uint32_t start;       // the bit length the recent errors suggest, 1..kMaxExponent
};

// Every error walks the same decisions on both sides; `Io` codes one decision in a context (its
// probability by reference) and returns the decided bit, and codes k equally likely bits at once
// with `raw`: the encoder's records them, the decoder's reads them, the estimator's adds their
// cost. An error is a zero flag, then a sign, its bit length e (1..31): unless the suggested
// length s is 1, whether e >= s, then in unary from s up (no closing zero at 31) or from s - 1
// down (none at 1); then the e - 1 bits below its leading one: the first two in contexts of their
// own, the rest raw, most significant chunk first.
template <class Io>
int64_t code_error(Io& io, uint16_t* probs, const Contexts& c, int64_t want) {
  const uint32_t mag = magnitude(want);
  if (!io.bit(probs[kZero + c.joint], mag != 0)) return 0;
  const uint32_t negative = io.bit(probs[kSign + c.sign_group], want < 0);
  const uint32_t want_e = static_cast<uint32_t>(std::bit_width(mag));
  uint32_t e = c.start;
  if (e == 1 || io.bit(probs[kUp + c.joint], want_e >= e)) {
    uint16_t* const up = probs + kUnary + c.joint * (kMaxExponent - 1);
    while (e < kMaxExponent && io.bit(up[e - 1], want_e > e)) ++e;
  } else {
    uint16_t* const down = probs + kDown + c.joint * (kMaxExponent + 1);
    --e;
    while (e > 1 && io.bit(down[e], want_e < e)) --e;
  }
  uint32_t m = 1;
  if (e > 1) {
    m = 2 + io.bit(probs[kMantTop + c.neighbour * (kMaxExponent + 1) + e], (mag >> (e - 2)) & 1);
    if (e > 2) {
      m = 2 * m + io.bit(probs[kMantSecond + e], (mag >> (e - 3)) & 1);
      for (uint32_t left = e - 3; left > 0;) {
        const uint32_t k = std::min(left, kMaxRawBits);
        left -= k;
        m = (m << k) | io.raw(k, (mag >> left) & ((1u << k) - 1));
      }
    }
  }
  return negative ? -int64_t{m} : int64_t{m};
}

// Records are 16 bits: a decision is (p << 1) | bit (below 2^13), a raw chunk
// kRawFlag | k << 11 | value.
constexpr uint32_t kRawFlag = 0x8000;

// The encoder's Io: records every decision, then codes them backwards (rANS decodes in the
// reverse order of encoding) into the plane stream: the u32 final state, then the 16-bit words in
// the order the decoder reads them.
class Recorder {
 public:
  static constexpr bool kDecodes = false;

  explicit Recorder(size_t samples) { reserve(4 * samples + 64); }

  uint32_t bit(uint16_t& p, uint32_t b) {
    if (size_ == capacity_) reserve(2 * capacity_);
    const uint32_t q = p;  // read once, before the record is written (see Pricer::bit)
    p = static_cast<uint16_t>(adapt_probability(q, b));
    rec_[size_++] = static_cast<uint16_t>((q << 1) | b);
    return b;
  }
  uint32_t raw(uint32_t k, uint32_t v) {
    if (size_ == capacity_) reserve(2 * capacity_);
    rec_[size_++] = static_cast<uint16_t>(kRawFlag | k << 11 | v);
    return v;
  }

  // Room for `count` more records, written through the pointer returned (the records so far
  // stay); keep(end) then takes those written up to `end` and drops the rest.
  uint16_t* append_at(size_t count) {
    if (capacity_ - size_ < count) reserve(std::max(size_ + count, 2 * capacity_));
    return rec_.get() + size_;
  }
  void keep(const uint16_t* end) { size_ = static_cast<size_t>(end - rec_.get()); }

  // Each record yields at most one word, and the k-th word emitted goes back into record slot
  // size - 1 - k, never ahead of the record being read (as in RansEmitter).
  void finish_into(std::vector<uint8_t>& out) {
    uint16_t* const rec = rec_.get();
    const size_t n = size_;
    size_t first_word = n;
    uint32_t x = kRansLow;
    for (size_t i = n; i-- > 0;) {
      const uint32_t r = rec[i];
      uint32_t freq, start;
      if (r & kRawFlag) {
        const uint32_t k = (r >> 11) & 0xF;
        freq = kProbScale >> k;
        start = (r & 0x7FF) * freq;
      } else {
        const uint32_t p = r >> 1;
        const uint32_t one = 0u - (r & 1);
        freq = p + ((kProbScale - 2 * p) & one);
        start = p & one;
      }
      // freq >= 2, so x < 2^32 needs one shift at most to fall below freq << 20.
      if (x >= (freq << 20)) {
        rec[--first_word] = static_cast<uint16_t>(x);
        x >>= 16;
      }
      const uint32_t q = detail::divide_by_freq(x, freq);
      x = x + start + q * (kProbScale - freq);
    }
    const size_t words = n - first_word;
    const size_t at = out.size();
    out.resize(at + 4 + 2 * words);
    uint8_t* dst = out.data() + at;
    for (int b = 0; b < 4; ++b) dst[b] = static_cast<uint8_t>(x >> (8 * b));
    for (size_t j = 0; j < words; ++j) {
      dst[4 + 2 * j] = static_cast<uint8_t>(rec[first_word + j]);
      dst[5 + 2 * j] = static_cast<uint8_t>(rec[first_word + j] >> 8);
    }
  }

 private:
  // Storage that is not cleared when it grows: every slot is written before it is read.
  void reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    auto grown = std::make_unique_for_overwrite<uint16_t[]>(capacity);
    if (size_ > 0) std::memcpy(grown.get(), rec_.get(), size_ * sizeof(uint16_t));
    rec_ = std::move(grown);
    capacity_ = capacity;
  }

  std::unique_ptr<uint16_t[]> rec_;
  size_t size_ = 0, capacity_ = 0;
};

struct Reader {
  static constexpr bool kDecodes = true;
  RansReader r;
  uint32_t bit(uint16_t& p, uint32_t) {
    uint32_t adapted;
    const uint32_t b = r.decode(p, adapted);
    p = static_cast<uint16_t>(adapted);
    return b;
  }
  // k equally likely bits: the top k bits of the state's 12-bit slot.
  uint32_t raw(uint32_t k, uint32_t) {
    const uint32_t shift = kProbBits - k;
    const uint32_t slot = r.x & (kProbScale - 1);
    const uint32_t v = slot >> shift;
    r.x = ((r.x >> kProbBits) << shift) | (slot & ((1u << shift) - 1));
    // From a state of at least 2^16 the state stays at least 2^5, so one word suffices; a state
    // below that only comes from a hostile first state, and the loop ends at the input's end.
    while (r.x < kRansLow) {
      if (r.pos + 2 > r.size) {
        r.pos = r.size + 1;
        r.x = kRansLow;
        break;
      }
      r.x = (r.x << 16) | uint32_t{r.data[r.pos]} | (uint32_t{r.data[r.pos + 1]} << 8);
      r.pos += 2;
    }
    return v;
  }
};

// -log2(p / 4096) for p in 1..4096, in bits.
struct CostTable {
  std::array<float, kProbScale + 1> bits{};
  CostTable() {
    for (uint32_t p = 1; p <= kProbScale; ++p) {
      bits[p] = static_cast<float>(-std::log2(static_cast<double>(p) / kProbScale));
    }
  }
};

// The encoder's pricing Io: adds up every decision's cost under the context's probability, in
// the walk's order, and when `kRecords` records the decisions as the Recorder does, into room the
// Recorder gave (see kMaxRecordsPerError), so that a block is walked once whichever code it
// takes. A walk stops once `total` reaches `limit`: the costs are not negative, so the block's
// price can then only be at least that.
template <bool kRecords>
struct Pricer {
  static constexpr bool kDecodes = false;
  const float* cost;
  double limit;
  uint16_t* at = nullptr;
  double total = 0;
  uint32_t bit(uint16_t& p, uint32_t b) {
    // The probability is read once and written back before the record, which the compiler must
    // otherwise assume may overwrite it.
    const uint32_t q = p;
    p = static_cast<uint16_t>(adapt_probability(q, b));
    // The bit's probability, q or 4096 - q, picked without a branch (bits are unpredictable).
    total += cost[q + ((kProbScale - 2 * q) & (0u - b))];
    if constexpr (kRecords) *at++ = static_cast<uint16_t>((q << 1) | b);
    return b;
  }
  uint32_t raw(uint32_t k, uint32_t v) {
    total += k;
    if constexpr (kRecords) *at++ = static_cast<uint16_t>(kRawFlag | k << 11 | v);
    return v;
  }
};

// The most records one error makes: its zero flag, sign and up-or-down decision, at most
// kMaxExponent - 1 of its length's unary decisions, the mantissa's two modelled bits and its
// other kMaxExponent - 3 bits in chunks of kMaxRawBits. Each group of kBlock errors adds a flag.
constexpr size_t kMaxRecordsPerError =
    3 + (kMaxExponent - 1) + 2 + (kMaxExponent - 3 + kMaxRawBits - 1) / kMaxRawBits;

enum class Walk { Done, Truncated, OutOfRange };

// What the walk carries from one sample to the next: the contexts, the predictor and the last
// errors.
struct LmsWalkState {
  std::vector<uint16_t> probs = std::vector<uint16_t>(kNumContexts, kProbInit);
  Predictor predictor;
  uint32_t m1 = 0, m2 = 0, prev_sign = 0, quiet_before = 0;
  std::vector<float> scratch;
  std::vector<uint8_t> activity;
};

// Runs `io` over the residuals in order with the contexts both sides derive: codes the errors of
// `in` against the predictions or, for a decoding Io, fills `out`.
template <class Io>
Walk walk(Io& io, LmsWalkState& st, std::span<const float> base, float bin,
          std::span<const int32_t> in, std::span<int32_t> out) {
  const size_t n = Io::kDecodes ? out.size() : in.size();
  activity_buckets(base.first(n), bin, st.scratch, st.activity);
  const uint8_t* const activity = st.activity.data();
  uint16_t* const probs = st.probs.data();
  // A local copy the compiler can keep apart from the output it writes.
  Predictor predictor = st.predictor;
  uint32_t m1 = st.m1, m2 = st.m2, prev_sign = st.prev_sign, quiet_before = st.quiet_before;
  for (size_t start = 0; start < n; start += kBlock) {
    const size_t end = std::min(n, start + kBlock);
    // A shorter last block has no flag: its samples are coded one by one, so that a stream never
    // also decodes, to the same values, for a count a few samples shorter.
    const bool flagged = end - start == kBlock;
    bool all_zero = false;
    if (flagged) {
      uint32_t highest = 0;
      for (size_t i = start; i < end; ++i) highest = std::max<uint32_t>(highest, activity[i]);
      if constexpr (!Io::kDecodes) {
        all_zero =
            std::all_of(in.begin() + start, in.begin() + end, [](int32_t v) { return v == 0; });
      }
      all_zero = io.bit(probs[kQuietBlock + 2 * highest + quiet_before], all_zero);
      quiet_before = all_zero;
    }
    if (all_zero) {
      if constexpr (Io::kDecodes) {
        if (io.r.truncated()) return Walk::Truncated;
        std::fill(out.begin() + start, out.begin() + end, 0);
      }
      // The predictor learns the zeros as if they had been coded one by one.
      for (size_t i = start; i < end; ++i) {
        uint32_t unused;
        predictor.predict(unused);
        predictor.update(0);
      }
      m1 = m2 = prev_sign = 0;
      continue;
    }
    for (size_t i = start; i < end; ++i) {
      uint32_t rounded_up;
      const int32_t prediction = predictor.predict(rounded_up);
      const uint32_t nb = neighbour_bucket(m1, m2);
      // The errors before suggest a bit length one below that of 2 |e[i-1]| + |e[i-2]|. Short
      // lengths go in unary from 1: as few decisions, and fewer branches to mispredict.
      const auto hint = static_cast<uint32_t>(std::bit_width(2 * uint64_t{m1} + m2));
      const uint32_t start = hint > kShortLength ? std::min(hint, kMaxExponent + 1) - 1 : 1;
      const Contexts c{activity[i] * kNeighbourBuckets + nb, nb, rounded_up * 3 + prev_sign, start};
      int64_t error;
      int32_t value;
      if constexpr (Io::kDecodes) {
        error = code_error(io, probs, c, 0);
        if (io.r.truncated()) return Walk::Truncated;
        const int64_t v = prediction + error;
        if (v < -kMaxResidual || v > kMaxResidual) return Walk::OutOfRange;
        value = static_cast<int32_t>(v);
        out[i] = value;
      } else {
        value = in[i];
        error = code_error(io, probs, c, int64_t{value} - prediction);
      }
      predictor.update(value);
      m2 = m1;
      m1 = magnitude(error);
      prev_sign = error == 0 ? 0 : (error > 0 ? 1 : 2);
    }
  }
  st.quiet_before = quiet_before;
  st.predictor = predictor;
  st.m1 = m1;
  st.m2 = m2;
  st.prev_sign = prev_sign;
  return Walk::Done;
}

bool in_range(std::span<const int32_t> residual) {
  for (const int32_t v : residual) {
    if (v < -kMaxResidual || v > kMaxResidual) return false;
  }
  return true;
}


// ---- The blocks format: per block a linear predictor and the adaptive or the fast (Rice) code.

constexpr size_t kLpcBlock = 4096;
constexpr size_t kHistory = kMaxLpcOrder;  // values kept before a block for its predictor
// A Rice code starts with a 3-bit field v: below kRiceRunningField partitions of 2^s errors, s =
// kRiceLeastShift + v, each with its parameter; kRiceRunningField a parameter per error from the
// running mean of the values before it (no parameters stored), which follows the errors' spread
// sample by sample as the adaptive code's contexts do.
constexpr uint32_t kRiceLeastShift = 5;
constexpr uint32_t kRiceShiftBits = 3;
constexpr uint32_t kRiceRunningField = 7;
constexpr uint32_t kRiceRunning = 0;  // the encoder's shift for the running parameter
// The running mean is a / 2^kRunningRate, a decaying sum over about 2^kRunningRate values, from
// a mean of 16.
constexpr uint32_t kRunningRate = 4;
constexpr uint64_t kRunningStart = uint64_t{16} << kRunningRate;

inline uint32_t running_parameter(uint64_t a) {
  // A mean of 0 takes the parameter of a mean of 1, 0.
  const uint64_t mean = (a >> kRunningRate) | 1;
  return std::min<uint32_t>(static_cast<uint32_t>(std::bit_width(mean)) - 1, 31);
}
constexpr uint32_t kRiceParamBits = 5;
// A quotient this long or longer goes as an escape: this many 0s, then the value in 32 bits.
constexpr uint32_t kRiceEscape = 24;
constexpr uint8_t kHeadAdaptive = 0x80;
constexpr uint8_t kHeadReserved = 0x40;
constexpr uint8_t kHeadOrder = 0x3F;
constexpr size_t kMaxLengthBytes = 5;     // the adaptive stream's length, first, as LEB128
constexpr size_t kRiceLengthBytes = 2;    // a Rice code's length (at most 28682 bytes)

size_t leb128_size(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

uint32_t zigzag(int32_t e) {
  return (static_cast<uint32_t>(e) << 1) ^ static_cast<uint32_t>(e >> 31);
}
int32_t unzigzag(uint32_t u) {
  return static_cast<int32_t>(u >> 1) ^ -static_cast<int32_t>(u & 1);
}

size_t head_bytes(const LpcFilter& f) {
  return 1 + (f.order > 0 ? 1 + 2 * static_cast<size_t>(f.order) : 0);
}

// 2^-k for every parameter k.
constexpr auto kInversePowers = [] {
  std::array<double, 32> p{};
  double v = 1.0;
  for (double& x : p) {
    x = v;
    v *= 0.5;
  }
  return p;
}();

// A partition's parameter from the sum of its n values: of the three around log2 of the mean,
// the one whose code is shortest by the sum alone (each value's k low bits cost k, its quotient
// about (u - its expected low part) / 2^k), which keeps a search over partition sizes to one pass
// over the values.
uint32_t rice_parameter(uint64_t sum, size_t n) {
  const uint64_t mean = sum / n;
  const uint32_t guess = mean > 0 ? static_cast<uint32_t>(std::bit_width(mean)) - 1 : 0;
  const auto dn = static_cast<double>(n);
  const auto estimate = [&](uint32_t k) {
    const double unit = kInversePowers[k];
    return dn * (k + 1) + std::max(0.0, static_cast<double>(sum) * unit - 0.5 * dn * (1.0 - unit));
  };
  uint32_t best = guess;
  double bits = estimate(guess);
  for (const uint32_t k : {guess - 1, guess + 1}) {
    if (k > 31) continue;  // guess - 1 below 0 wraps
    const double b = estimate(k);
    if (b < bits) {
      bits = b;
      best = k;
    }
  }
  return best;
}

uint64_t sum_of(const uint32_t* u, size_t n) {
  uint64_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += u[i];
  return sum;
}

// The smallest Rice partitions' sums of a block's zigzagged errors, and the bits of its code with
// the running parameter: what pricing its Rice code needs from one pass over the errors.
struct RiceScan {
  static constexpr size_t kMaxParts = kLpcBlock >> kRiceLeastShift;
  std::array<uint64_t, kMaxParts> sums;
  uint64_t running = kRiceShiftBits;
};

// Scans W blocks of n errors at once (`e[w]`, each at most kLpcBlock; a block's residuals and
// its filter's errors), zigzagging each error as it is read.
template <size_t W>
void rice_scan(const std::array<const int32_t*, W>& e, size_t n, std::array<RiceScan*, W> out) {
  constexpr size_t kLeast = size_t{1} << kRiceLeastShift;
  std::array<uint64_t, W> a, total;
  for (size_t w = 0; w < W; ++w) {
    a[w] = kRunningStart;
    total[w] = kRiceShiftBits;
  }
  for (size_t start = 0, p = 0; start < n; start += kLeast, ++p) {
    const size_t end = std::min(n, start + kLeast);
    std::array<uint64_t, W> sum{};
    for (size_t i = start; i < end; ++i) {
      for (size_t w = 0; w < W; ++w) {
        const uint32_t u = zigzag(e[w][i]);
        sum[w] += u;
        const uint32_t k = running_parameter(a[w]);
        const uint32_t q = u >> k;
        total[w] += q < kRiceEscape ? q + 1 + k : kRiceEscape + 32;
        a[w] = (a[w] + u) - (a[w] >> kRunningRate);  // the sum and the shift side by side
      }
    }
    for (size_t w = 0; w < W; ++w) out[w]->sums[p] = sum[w];
  }
  for (size_t w = 0; w < W; ++w) out[w]->running = total[w];
}

// The partition size (its log2) whose code is shortest by the partitions' sums (see
// rice_parameter), and that code's exact bits, for the n errors `e` and their scan.
uint64_t rice_partitioned_bits(const int32_t* e, size_t n, const RiceScan& scan,
                               uint32_t& best_shift) {
  const auto& sums = scan.sums;
  const size_t least = size_t{1} << kRiceLeastShift;
  const size_t parts = (n + least - 1) / least;
  assert(parts <= RiceScan::kMaxParts);
  double best = INFINITY;
  best_shift = kRiceLeastShift;
  for (uint32_t shift = kRiceLeastShift; shift < kRiceLeastShift + kRiceRunningField; ++shift) {
    const size_t per = size_t{1} << (shift - kRiceLeastShift);  // smallest partitions in one
    double bits = kRiceShiftBits;
    for (size_t p = 0; p < parts; p += per) {
      uint64_t sum = 0;
      for (size_t q = p; q < std::min(parts, p + per); ++q) sum += sums[q];
      const size_t count = std::min(per * least, n - p * least);
      const uint32_t k = rice_parameter(sum, count);
      const double unit = kInversePowers[k];
      bits += kRiceParamBits + static_cast<double>(count) * (k + 1) +
              std::max(0.0, static_cast<double>(sum) * unit -
                                0.5 * static_cast<double>(count) * (1.0 - unit));
    }
    if (bits < best) {
      best = bits;
      best_shift = shift;
    }
    if (parts <= per) break;  // one partition already
  }
  const size_t per = size_t{1} << (best_shift - kRiceLeastShift);
  uint64_t total = kRiceShiftBits;
  for (size_t p = 0; p < parts; p += per) {
    uint64_t sum = 0;
    for (size_t q = p; q < std::min(parts, p + per); ++q) sum += sums[q];
    const size_t start = p * least;
    const size_t count = std::min(per * least, n - start);
    const uint32_t k = rice_parameter(sum, count);
    uint64_t bits = kRiceParamBits;
    for (size_t i = start; i < start + count; ++i) {
      const uint32_t q = zigzag(e[i]) >> k;
      bits += q < kRiceEscape ? q + 1 + k : kRiceEscape + 32;
    }
    total += bits;
  }
  return total;
}

// The smallest Rice code's bits, of the running parameter's and the best partitioned one's, and
// its shift (kRiceRunning for the running parameter).
uint64_t rice_total_bits(const int32_t* e, size_t n, const RiceScan& scan, uint32_t& best_shift) {
  uint32_t shift;
  const uint64_t partitioned = rice_partitioned_bits(e, n, scan, shift);
  best_shift = scan.running <= partitioned ? kRiceRunning : shift;
  return std::min(scan.running, partitioned);
}

// Bits most significant first into bytes, appended to `out`, which holds room for at most
// `max_bits` of them until flush() (which pads the last byte with 0s) trims it to the bytes
// written.
class BitWriter {
 public:
  BitWriter(std::vector<uint8_t>& out, size_t max_bits) : out_(out) {
    const size_t start = out.size();
    out.resize(start + max_bits / 8 + 8);
    at_ = out.data() + start;
  }
  // Up to 32 bits, v below 2^bits. Fewer than 32 bits are pending between calls, so the
  // accumulator holds the new ones; whole 32-bit words go out at once.
  void put(uint32_t v, uint32_t bits) {
    acc_ = (acc_ << bits) | v;
    pending_ += bits;
    if (pending_ >= 32) {
      pending_ -= 32;
      const auto word = static_cast<uint32_t>(acc_ >> pending_);
      for (int b = 0; b < 4; ++b) at_[b] = static_cast<uint8_t>(word >> (24 - 8 * b));
      at_ += 4;
    }
  }
  void flush() {
    while (pending_ >= 8) {
      pending_ -= 8;
      *at_++ = static_cast<uint8_t>(acc_ >> pending_);
    }
    if (pending_ > 0) *at_++ = static_cast<uint8_t>(acc_ << (8 - pending_));
    pending_ = 0;
    out_.resize(static_cast<size_t>(at_ - out_.data()));
  }

 private:
  std::vector<uint8_t>& out_;
  uint8_t* at_;
  uint64_t acc_ = 0;
  uint32_t pending_ = 0;
};

void put_rice(BitWriter& w, uint32_t u, uint32_t k) {
  const uint32_t q = u >> k;
  if (q < kRiceEscape) {
    w.put(1, q + 1);
    w.put(k > 0 ? u & ((1u << k) - 1) : 0, k);
  } else {
    w.put(0, kRiceEscape);
    w.put(u, 32);
  }
}

void write_rice(const uint32_t* u, size_t n, uint32_t shift, std::vector<uint8_t>& out) {
  // At most the field, a parameter and an escape a value.
  BitWriter w(out, kRiceShiftBits + (kRiceParamBits + kRiceEscape + 32) * n);
  if (shift == kRiceRunning) {
    w.put(kRiceRunningField, kRiceShiftBits);
    uint64_t a = kRunningStart;
    for (size_t i = 0; i < n; ++i) {
      put_rice(w, u[i], running_parameter(a));
      a += u[i] - (a >> kRunningRate);
    }
    w.flush();
    return;
  }
  w.put(shift - kRiceLeastShift, kRiceShiftBits);
  const size_t partition = size_t{1} << shift;
  for (size_t start = 0; start < n; start += partition) {
    const size_t end = std::min(n, start + partition);
    const uint32_t k = rice_parameter(sum_of(u + start, end - start), end - start);
    w.put(k, kRiceParamBits);
    for (size_t i = start; i < end; ++i) put_rice(w, u[i], k);
  }
  w.flush();
}

// Reads bits most significant first: `buf` holds the next `bits` of them at its top (and below
// them the bits that follow, or 0s past the end). A refill leaves at least 56.
struct BitReader {
  const uint8_t* data;
  size_t size;
  size_t pos = 0;  // bytes loaded
  uint64_t buf = 0;
  uint32_t bits = 0;

  void refill() {
    uint64_t w = 0;
    if (pos + 8 <= size) [[likely]] {
      std::memcpy(&w, data + pos, 8);
      if constexpr (std::endian::native == std::endian::little) w = __builtin_bswap64(w);
    } else {
      for (size_t b = 0; b < 8; ++b) w = w << 8 | (pos + b < size ? data[pos + b] : 0);
    }
    buf |= w >> bits;
    const uint32_t take = (63 - bits) >> 3;
    pos += take;
    bits += 8 * take;
  }
  uint32_t take(uint32_t k) {  // 1..32 bits
    const auto v = static_cast<uint32_t>(buf >> (64 - k));
    buf <<= k;
    bits -= k;
    return v;
  }
  // Whether the bits read end in the last byte and the rest of it is 0.
  bool ends_at_last_byte() const {
    const uint64_t read = 8 * uint64_t{pos} - bits;
    if (read > 8 * uint64_t{size} || read + 8 <= 8 * uint64_t{size}) return false;
    const auto pad = static_cast<uint32_t>(8 * uint64_t{size} - read);
    return pad == 0 || (buf >> (64 - pad)) == 0;
  }
};

// One value of parameter k (at most 32 bits wide, or more when damaged), after a refill.
inline uint64_t read_rice(BitReader& r, uint32_t k) {
  const auto zeros = static_cast<uint32_t>(std::countl_zero(r.buf));
  if (zeros < kRiceEscape) [[likely]] {
    r.buf <<= zeros + 1;
    const uint64_t low = (r.buf >> (63 - k)) >> 1;  // k bits, none for k = 0
    r.buf <<= k;
    r.bits -= zeros + 1 + k;
    return (uint64_t{zeros} << k) | low;
  }
  r.buf <<= kRiceEscape;
  const uint64_t u = r.buf >> 32;
  r.buf <<= 32;
  r.bits -= kRiceEscape + 32;
  return u;
}

// Decodes n errors from a whole Rice code; false when the code is damaged.
bool decode_rice(std::span<const uint8_t> code, int32_t* e, size_t n) {
  BitReader r{code.data(), code.size()};
  uint64_t beyond = 0;  // nonzero once a value needs more than 32 bits
  r.refill();
  const uint32_t field = r.take(kRiceShiftBits);
  if (field == kRiceRunningField) {
    uint64_t a = kRunningStart;
    for (size_t i = 0; i < n; ++i) {
      r.refill();
      const uint64_t u = read_rice(r, running_parameter(a));
      beyond |= u >> 32;
      e[i] = unzigzag(static_cast<uint32_t>(u));
      a += static_cast<uint32_t>(u) - (a >> kRunningRate);
    }
    return beyond == 0 && r.ends_at_last_byte();
  }
  const size_t partition = size_t{1} << (kRiceLeastShift + field);
  for (size_t start = 0; start < n; start += partition) {
    const size_t end = std::min(n, start + partition);
    r.refill();
    const uint32_t k = r.take(kRiceParamBits);
    for (size_t i = start; i < end; ++i) {
      r.refill();
      const uint64_t u = read_rice(r, k);
      beyond |= u >> 32;
      e[i] = unzigzag(static_cast<uint32_t>(u));
    }
  }
  return beyond == 0 && r.ends_at_last_byte();
}

// The adaptive code's model, carried from one adaptive block to the next.
struct ErrorModel {
  std::vector<uint16_t> probs = std::vector<uint16_t>(kNumContexts, kProbInit);
  uint32_t m1 = 0, m2 = 0, prev_sign = 0, quiet_before = 0;
};

// `to` takes the model `from` (its buffers kept).
void copy_model(const ErrorModel& from, ErrorModel& to) {
  to.probs = from.probs;
  to.m1 = from.m1;
  to.m2 = from.m2;
  to.prev_sign = from.prev_sign;
  to.quiet_before = from.quiet_before;
}

// The adaptive code over a block's prediction errors `e` (n of them), in contexts of the base's
// activity and the errors before; a decoding Io fills `e`. A pricing Io's walk is cut short
// (Truncated, `st` then partly walked) as soon as its total reaches its limit.
template <class Io>
Walk walk_errors(Io& io, ErrorModel& st, const uint8_t* activity, int32_t* e, size_t n) {
  uint16_t* const probs = st.probs.data();
  uint32_t m1 = st.m1, m2 = st.m2, prev_sign = st.prev_sign, quiet_before = st.quiet_before;
  for (size_t start = 0; start < n; start += kBlock) {
    if constexpr (!Io::kDecodes) {
      if (io.total >= io.limit) return Walk::Truncated;
    }
    const size_t end = std::min(n, start + kBlock);
    bool all_zero = false;
    if (end - start == kBlock) {
      uint32_t highest = 0;
      for (size_t i = start; i < end; ++i) highest = std::max<uint32_t>(highest, activity[i]);
      if constexpr (!Io::kDecodes) {
        all_zero = std::all_of(e + start, e + end, [](int32_t v) { return v == 0; });
      }
      all_zero = io.bit(probs[kQuietBlock + 2 * highest + quiet_before], all_zero);
      quiet_before = all_zero;
    }
    if (all_zero) {
      if constexpr (Io::kDecodes) {
        if (io.r.truncated()) return Walk::Truncated;
        std::fill(e + start, e + end, 0);
      }
      m1 = m2 = prev_sign = 0;
      continue;
    }
    for (size_t i = start; i < end; ++i) {
      const uint32_t nb = neighbour_bucket(m1, m2);
      const auto hint = static_cast<uint32_t>(std::bit_width(2 * uint64_t{m1} + m2));
      const uint32_t first = hint > kShortLength ? std::min(hint, kMaxExponent + 1) - 1 : 1;
      const Contexts c{activity[i] * kNeighbourBuckets + nb, nb, prev_sign, first};
      int64_t error;
      if constexpr (Io::kDecodes) {
        error = code_error(io, probs, c, 0);
        if (io.r.truncated()) return Walk::Truncated;
        e[i] = static_cast<int32_t>(error);  // |error| < 2^31
      } else {
        error = code_error(io, probs, c, e[i]);
      }
      m2 = m1;
      m1 = magnitude(error);
      prev_sign = error == 0 ? 0 : (error > 0 ? 1 : 2);
    }
  }
  st.m1 = m1;
  st.m2 = m2;
  st.prev_sign = prev_sign;
  st.quiet_before = quiet_before;
  return Walk::Done;
}

// The decoder's walk: walk_errors with every step inlined (flatten), on a copy of the reader
// that lives in registers, since the decisions are its serial chain.
[[gnu::flatten]] Walk decode_errors(Reader& io, ErrorModel& st, const uint8_t* activity,
                                    int32_t* e, size_t n) {
  Reader local = io;
  const Walk walked = walk_errors(local, st, activity, e, n);
  io = local;
  return walked;
}

}  // namespace

// What the blocks format's encoder (and the meter) carries from block to block, and its scratch.
struct ResidualWalkState {
  // `expected`: the samples the encoder will code (none for the meter).
  explicit ResidualWalkState(size_t expected = 0) : recorder(expected) {}

  ErrorModel model;
  ErrorModel trial{.probs = {}};  // a copy of the model when a block is priced
  // kHistory values before the block (0s before the first), then the block. The buffers grow
  // to the longest block seen: a short residual never pays for a whole block's.
  std::vector<int32_t> window = std::vector<int32_t>(kHistory, 0);
  std::vector<int32_t> predicted;
  std::vector<uint32_t> zigzagged;
  std::array<RiceScan, 2> rice_scans;
  std::vector<float> scratch;
  std::vector<uint8_t> activity;
  // The encoder's: the adaptive stream's decisions so far, and the blocks' bytes.
  Recorder recorder;

  // Where the next block of m values goes, after its history.
  int32_t* slot(size_t m) {
    if (window.size() < kHistory + m) window.resize(kHistory + m);
    return window.data() + kHistory;
  }
  std::vector<uint8_t> blocks;
  // The meter's pieces not yet making a whole block, and whether a block took the adaptive code.
  std::vector<int32_t> pending_residual;
  std::vector<float> pending_base;
  bool any_adaptive = false;

  // What code_block does with the block: codes it (its head and Rice code to `blocks`, its
  // adaptive decisions to `recorder`), prices it, or prices it as the stream's last and leaves
  // the state as it was (the meter's incomplete block).
  enum class Mode { Code, Price, PriceLast };

  // Codes or prices the block window[kHistory, kHistory + m) against `base`. Returns its bits
  // without the adaptive stream's own (its length, final state and last word); for PriceLast
  // with the framing added. Code and Price then keep the block's last values as the next one's
  // history.
  double code_block(size_t m, std::span<const float> base, float bin, double margin, Mode mode);

  // What the stream's framing adds to the blocks' bits: the adaptive stream's length and, when
  // that stream is written, its bytes (the final state, which holds the first 16 bits of
  // decisions, and whole words) in place of the decisions' estimated bits `decisions`.
  static double framing_bits(bool any, double decisions) {
    if (!any) return 8.0;
    const double words = std::ceil(std::max(0.0, decisions - 16.0) / 16.0);
    return 8.0 * (4.0 + 2.0 * words) + 8.0 * leb128_size(static_cast<uint64_t>(4 + 2 * words)) -
           decisions;
  }
  double framing_bits() const { return framing_bits(any_adaptive, adaptive_bits); }
  double adaptive_bits = 0;  // the meter's estimate of the adaptive decisions so far
};

double ResidualWalkState::code_block(size_t m, std::span<const float> base, float bin,
                                     double margin, Mode mode) {
  const bool coding = mode == Mode::Code;
  int32_t* const x = window.data() + kHistory;
  if (predicted.size() < m) {
    predicted.resize(m);
    zigzagged.resize(m);
  }
  // A mostly zero block (a base that misses here and there) is left unpredicted: a filter would
  // smear each miss over the values after it, which the adaptive code's zero flags then pay for.
  const auto zeros = static_cast<size_t>(std::count(x, x + m, 0));
  LpcFilter filter = 2 * zeros < m ? design_lpc({x, m}) : LpcFilter{};
  // The designed predictor when its Rice code (with its coefficients) is smaller than that of
  // the residuals themselves.
  if (filter.order > 0 &&
      !lpc_errors(filter, window.data(), kHistory, kHistory + m, predicted.data())) {
    filter = LpcFilter{};
  }
  int32_t* errors = x;  // what the block codes: the residuals or the filter's errors
  uint32_t shift = kRiceLeastShift;
  uint64_t rice;
  if (filter.order > 0) {
    rice_scan<2>({x, predicted.data()}, m, {&rice_scans[0], &rice_scans[1]});
    rice = rice_total_bits(x, m, rice_scans[0], shift);
    uint32_t predicted_shift = kRiceLeastShift;
    const uint64_t with = rice_total_bits(predicted.data(), m, rice_scans[1], predicted_shift) +
                          16 * (filter.order + 1);
    if (with < rice) {
      rice = with - 16 * (filter.order + 1);
      shift = predicted_shift;
      errors = predicted.data();
    } else {
      filter = LpcFilter{};
    }
  } else {
    rice_scan<1>({x}, m, {&rice_scans[0]});
    rice = rice_total_bits(x, m, rice_scans[0], shift);
  }
  const double rice_bits = 8.0 * (kRiceLengthBytes + std::ceil(static_cast<double>(rice) / 8.0));
  // The adaptive code, on a copy of the model that replaces it when the block takes that code.
  bool adaptive = false;
  double adaptive_bits = INFINITY;
  if (margin < 1.0) {
    copy_model(model, trial);
    activity_buckets(base.first(m), bin, scratch, activity);
    static const CostTable table;
    // The adaptive code is taken below this price; a walk that reaches it stops there.
    const double limit = rice_bits * (1.0 - margin);
    // Priced and, when coding, recorded in the same walk; only a block that takes the adaptive
    // code keeps its records.
    Pricer<true> recording{table.bits.data(), limit};
    Pricer<false> pricing{table.bits.data(), limit};
    Walk walked;
    if (coding) {
      recording.at = recorder.append_at(kMaxRecordsPerError * m + m / kBlock);
      walked = walk_errors(recording, trial, activity.data(), errors, m);
      adaptive_bits = recording.total;
    } else {
      walked = walk_errors(pricing, trial, activity.data(), errors, m);
      adaptive_bits = pricing.total;
    }
    adaptive = walked == Walk::Done && adaptive_bits < limit;
    if (adaptive && coding) recorder.keep(recording.at);
    if (mode == Mode::PriceLast) {
      const double own = 8.0 * static_cast<double>(head_bytes(filter));
      return adaptive ? own + adaptive_bits +
                            framing_bits(true, this->adaptive_bits + adaptive_bits)
                      : own + rice_bits + framing_bits();
    }
    if (adaptive) {
      std::swap(model, trial);
      any_adaptive = true;
      this->adaptive_bits += adaptive_bits;
    }
  }
  if (coding) {
    blocks.push_back(static_cast<uint8_t>(filter.order | (adaptive ? kHeadAdaptive : 0)));
    if (filter.order > 0) {
      blocks.push_back(static_cast<uint8_t>(filter.shift));
      for (int k = 0; k < filter.order; ++k) {
        const auto c = static_cast<uint16_t>(filter.coefs[static_cast<size_t>(k)]);
        blocks.insert(blocks.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
      }
    }
    if (!adaptive) {
      const size_t length_at = blocks.size();
      blocks.resize(length_at + kRiceLengthBytes);
      for (size_t i = 0; i < m; ++i) zigzagged[i] = zigzag(errors[i]);
      write_rice(zigzagged.data(), m, shift, blocks);
      const size_t length = blocks.size() - length_at - kRiceLengthBytes;
      blocks[length_at] = static_cast<uint8_t>(length);
      blocks[length_at + 1] = static_cast<uint8_t>(length >> 8);
    }
  }
  if (mode == Mode::PriceLast) {
    return 8.0 * static_cast<double>(head_bytes(filter)) + rice_bits + framing_bits();
  }
  // The next block's history.
  std::copy(window.begin() + static_cast<ptrdiff_t>(m),
            window.begin() + static_cast<ptrdiff_t>(m + kHistory), window.begin());
  return 8.0 * static_cast<double>(head_bytes(filter)) + (adaptive ? adaptive_bits : rice_bits);
}

namespace {

// The stream: the adaptive stream's length (u32) and the stream (absent for length 0), then the
// blocks.
Status<ResidualError> encode_blocks(std::span<const int32_t> residual, std::span<const float> base,
                                    float bin, double margin, std::vector<uint8_t>& out) {
  ResidualWalkState st(std::min(residual.size(), kLpcBlock));
  for (size_t s = 0; s < residual.size(); s += kLpcBlock) {
    const size_t m = std::min(kLpcBlock, residual.size() - s);
    std::copy(residual.begin() + static_cast<ptrdiff_t>(s),
              residual.begin() + static_cast<ptrdiff_t>(s + m), st.slot(m));
    st.code_block(m, base.subspan(s, m), bin, margin, ResidualWalkState::Mode::Code);
  }
  std::vector<uint8_t> adaptive;
  if (st.any_adaptive) st.recorder.finish_into(adaptive);
  for (uint64_t v = adaptive.size();; v >>= 7) {
    out.push_back(static_cast<uint8_t>((v & 0x7F) | (v >= 0x80 ? 0x80 : 0)));
    if (v < 0x80) break;
  }
  out.insert(out.end(), adaptive.begin(), adaptive.end());
  out.insert(out.end(), st.blocks.begin(), st.blocks.end());
  return {};
}

Status<ResidualError> decode_blocks(std::span<const uint8_t> data, std::span<const float> base,
                                    float bin, std::span<int32_t> out) {
  const size_t n = out.size();
  // The adaptive stream's length: LEB128 of at most 5 bytes, its last one nonzero unless it is the
  // only one.
  size_t at = 0;
  uint64_t stream_length = 0;
  for (int shift = 0;; shift += 7) {
    if (at >= data.size() || at >= kMaxLengthBytes) return ResidualError::Truncated;
    const uint8_t b = data[at++];
    stream_length |= uint64_t{b & 0x7Fu} << shift;
    if (b < 0x80) {
      if (b == 0 && at > 1) return ResidualError::Corrupt;
      break;
    }
  }
  if (stream_length > data.size() - at) return ResidualError::Truncated;
  const std::span<const uint8_t> stream = data.subspan(at, stream_length);
  at += stream_length;
  // Every block costs at least its head: a count the bytes cannot back is refused before any
  // work.
  if ((n + kLpcBlock - 1) / kLpcBlock > data.size() - at) return ResidualError::Truncated;
  Reader io{RansReader{stream.data(), stream.size(), 0, kRansLow}};
  if (stream_length > 0) {
    auto dec = BinDec::create(stream, 1);
    if (!dec.ok()) return ResidualError::Truncated;
    io.r = dec->reader();
  }
  ErrorModel model;
  std::vector<float> scratch;
  std::vector<uint8_t> activity;
  bool any_adaptive = false;
  for (size_t s = 0; s < n; s += kLpcBlock) {
    const size_t m = std::min(kLpcBlock, n - s);
    if (at >= data.size()) return ResidualError::Truncated;
    const uint8_t head = data[at++];
    LpcFilter filter;
    filter.order = head & kHeadOrder;
    if ((head & kHeadReserved) != 0 || filter.order > kMaxLpcOrder) return ResidualError::Corrupt;
    if (filter.order > 0) {
      const size_t coefs = 2 * static_cast<size_t>(filter.order);
      if (data.size() - at < 1 + coefs) return ResidualError::Truncated;
      filter.shift = data[at++];
      if (filter.shift > kMaxLpcShift) return ResidualError::Corrupt;
      for (size_t k = 0; k < static_cast<size_t>(filter.order); ++k) {
        filter.coefs[k] = static_cast<int16_t>(data[at + 2 * k] | data[at + 2 * k + 1] << 8);
      }
      at += coefs;
    }
    int32_t* const e = out.data() + s;
    if (head & kHeadAdaptive) {
      if (stream_length == 0) return ResidualError::Truncated;
      any_adaptive = true;
      activity_buckets(base.subspan(s, m), bin, scratch, activity);
      if (decode_errors(io, model, activity.data(), e, m) != Walk::Done)
        return ResidualError::Truncated;
    } else {
      if (data.size() - at < kRiceLengthBytes) return ResidualError::Truncated;
      const size_t length = data[at] | size_t{data[at + 1]} << 8;
      at += kRiceLengthBytes;
      if (length > data.size() - at) return ResidualError::Truncated;
      // At least a bit an error and the field that tells how parameters are given.
      if (8 * length < m + kRiceShiftBits) return ResidualError::Truncated;
      if (!decode_rice(data.subspan(at, length), e, m)) return ResidualError::Corrupt;
      at += length;
    }
    if (filter.order > 0) {
      if (!lpc_restore(filter, out.data(), s, s + m)) return ResidualError::Corrupt;
    } else {
      uint32_t outside = 0;
      for (size_t i = 0; i < m; ++i)
        outside |= static_cast<uint32_t>(e[i] < -kMaxResidual) | (e[i] > kMaxResidual);
      if (outside) return ResidualError::Corrupt;
    }
  }
  // The adaptive stream, when there is one, is used by some block and read to its end; the
  // blocks end where the bytes do.
  if (stream_length > 0 &&
      (!any_adaptive || io.r.x != kRansLow || io.r.pos != stream.size()))
    return ResidualError::Corrupt;
  if (at != data.size()) return ResidualError::Corrupt;
  return {};
}

}  // namespace

Status<ResidualError> encode_residual_into(std::span<const int32_t> residual,
                                           std::span<const float> base, float bin,
                                           std::vector<uint8_t>& out,
                                           const ResidualOptions& options) {
  assert(base.size() == residual.size());
  if (!in_range(residual)) return ResidualError::OutOfRange;
  if (options.format == ResidualFormat::Blocks) {
    return encode_blocks(residual, base, bin, options.fast_margin, out);
  }
  Recorder io(residual.size());
  LmsWalkState state;
  walk(io, state, base, bin, residual, {});
  io.finish_into(out);
  return {};
}

Status<ResidualError> decode_residual_into(std::span<const uint8_t> data,
                                           std::span<const float> base, float bin,
                                           std::span<int32_t> out, ResidualFormat format) {
  assert(base.size() == out.size());
  if (format == ResidualFormat::Blocks) return decode_blocks(data, base, bin, out);
  if (data.size() < 4) return ResidualError::Truncated;
  // Every group of residuals costs at least its flag: a count the stream cannot back is refused
  // before any work.
  if (out.size() > kBlock * max_decodable_bits(data.size())) return ResidualError::Truncated;
  auto dec = BinDec::create(data, 1);
  if (!dec.ok()) return ResidualError::Truncated;
  Reader io{dec->reader()};
  LmsWalkState state;
  switch (walk(io, state, base, bin, {}, out)) {
    case Walk::Truncated:
      return ResidualError::Truncated;
    case Walk::OutOfRange:
      return ResidualError::Corrupt;
    case Walk::Done:
      break;
  }
  // The encoder starts from the state 2^16 and the decoder retraces it back there, having read
  // every word: anything else means the bytes were not written for this count and this base.
  if (io.r.x != kRansLow || io.r.pos != data.size()) return ResidualError::Corrupt;
  return {};
}

double estimate_residual_bits(std::span<const int32_t> residual, std::span<const float> base,
                              float bin) {
  ResidualCostMeter meter(bin);
  meter.add(residual, base);
  return meter.bits();
}

ResidualCostMeter::ResidualCostMeter(float bin)
    : bin_(bin), state_(std::make_unique<ResidualWalkState>()) {}

ResidualCostMeter::~ResidualCostMeter() = default;

void ResidualCostMeter::add(std::span<const int32_t> residual, std::span<const float> base) {
  assert(base.size() == residual.size());
  if (!in_range(residual)) {
    bits_ = std::numeric_limits<double>::infinity();
    return;
  }
  ResidualWalkState& st = *state_;
  const double margin = ResidualOptions{}.fast_margin;
  last_priced_ = false;
  size_t used = 0;
  // Whole blocks straight from the piece once the pending values are used up.
  while (used < residual.size()) {
    const size_t have = st.pending_residual.size();
    const size_t take = std::min(kLpcBlock - have, residual.size() - used);
    if (have == 0 && take == kLpcBlock) {
      std::copy_n(residual.begin() + static_cast<ptrdiff_t>(used), kLpcBlock,
                  st.slot(kLpcBlock));
      bits_ += st.code_block(kLpcBlock, base.subspan(used, kLpcBlock), bin_, margin,
                             ResidualWalkState::Mode::Price);
    } else {
      const auto from = static_cast<ptrdiff_t>(used);
      const auto to = static_cast<ptrdiff_t>(used + take);
      st.pending_residual.insert(st.pending_residual.end(), residual.begin() + from,
                                 residual.begin() + to);
      st.pending_base.insert(st.pending_base.end(), base.begin() + from, base.begin() + to);
      if (st.pending_residual.size() == kLpcBlock) {
        std::copy(st.pending_residual.begin(), st.pending_residual.end(),
                  st.slot(kLpcBlock));
        bits_ += st.code_block(kLpcBlock, st.pending_base, bin_, margin,
                               ResidualWalkState::Mode::Price);
        st.pending_residual.clear();
        st.pending_base.clear();
      }
    }
    used += take;
  }
}

double ResidualCostMeter::settled_bits() const {
  return std::isfinite(bits_) ? bits_ + state_->framing_bits() : bits_;
}

double ResidualCostMeter::bits() const {
  if (!std::isfinite(bits_)) return bits_;
  ResidualWalkState& st = *state_;
  if (st.pending_residual.empty()) return bits_ + st.framing_bits();
  // The incomplete block is priced once for all the calls until the next piece.
  if (!last_priced_) {
    const size_t m = st.pending_residual.size();
    std::copy(st.pending_residual.begin(), st.pending_residual.end(), st.slot(m));
    last_bits_ = st.code_block(m, st.pending_base, bin_, ResidualOptions{}.fast_margin,
                               ResidualWalkState::Mode::PriceLast);
    last_priced_ = true;
  }
  return bits_ + last_bits_;
}

}  // namespace vantrel
