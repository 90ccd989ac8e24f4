#include "codec/cmodel.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <system_error>
#include <thread>

#include "codec/arans.h"
#include "support/big_buffer.h"

namespace vantrel {
namespace {

constexpr uint32_t kMaxWidth = 16;
constexpr size_t kSignSlot = 2;
constexpr size_t kTreeSlot = 3;

// Each coefficient costs at least its zero flag, so a coded part holds at most as many
// coefficients as it can yield bits. A run of zeros at the saturated probability 4081 costs 3023
// flags per word, below the bound as it must be.
uint64_t max_coefficients(size_t coded_bytes) { return max_decodable_bits(coded_bytes); }

struct BandStats {
  uint32_t width;      // B: bits of the largest magnitude, 1 for an empty or all-zero band
  size_t num_records;  // decisions: one zero flag each, a sign and B magnitude bits per non-zero
};

BandStats band_stats(std::span<const int16_t> band) {
  uint32_t max_mag = 0;
  size_t nonzero = 0;
  for (const int16_t v : band) {
    const int32_t w = v;
    max_mag = std::max(max_mag, static_cast<uint32_t>(w < 0 ? -w : w));
    nonzero += v != 0;
  }
  const uint32_t width = max_mag == 0 ? 1 : static_cast<uint32_t>(std::bit_width(max_mag));
  return {width, band.size() + nonzero * (1 + width)};
}

// The encoder's forward pass over one band: turns each coefficient into bit records and adapts
// the band's contexts. It advances one coefficient at a time so that it can run interleaved with
// the backward pass of another band; bands never share contexts, so the two are independent.
class BandForward {
 public:
  // `prev_nonzero`: whether the coefficient before the band's first was nonzero (a pass that
  // resumes a band part way).
  BandForward(uint16_t* group, std::span<const int16_t> band, uint32_t width, uint16_t* records,
              uint32_t prev_nonzero = 0)
      : group_(group),
        tree_(group + kTreeSlot),
        next_(band.data()),
        end_(band.data() + band.size()),
        width_(width),
        rec_{records},
        // The zero-flag and sign contexts are touched by every coefficient: keep them in
        // registers.
        p_after_zero_(group[0]),
        p_after_nonzero_(group[1]),
        p_sign_(group[kSignSlot]),
        prev_nonzero_(prev_nonzero) {}

  bool done() const { return next_ == end_; }
  uint32_t prev_nonzero() const { return prev_nonzero_; }
  // The next records go to `records` instead, as if the earlier ones had been taken away.
  void record_into(uint16_t* records) { rec_.next = records; }

  // Codes the next coefficient; returns the number of records it took (1, or 2 + B).
  size_t step() {
    const int32_t v = *next_++;
    const uint32_t nonzero = v != 0;
    const uint32_t pz = prev_nonzero_ ? p_after_nonzero_ : p_after_zero_;
    const uint32_t adapted = rec_.record(pz, nonzero);
    p_after_zero_ = prev_nonzero_ ? p_after_zero_ : adapted;
    p_after_nonzero_ = prev_nonzero_ ? adapted : p_after_nonzero_;
    prev_nonzero_ = nonzero;
    if (!nonzero) return 1;
    p_sign_ = rec_.record(p_sign_, v < 0);
    const uint32_t m = static_cast<uint32_t>(v < 0 ? -v : v) - 1;
    uint32_t node = 1;
    for (uint32_t k = width_; k-- > 0;) {
      const uint32_t bit = (m >> k) & 1;
      tree_[node] = static_cast<uint16_t>(rec_.record(tree_[node], bit));
      node = 2 * node + bit;
    }
    return 2 + width_;
  }

  // Puts the contexts held in registers back into the table.
  void finish() {
    group_[0] = static_cast<uint16_t>(p_after_zero_);
    group_[1] = static_cast<uint16_t>(p_after_nonzero_);
    group_[kSignSlot] = static_cast<uint16_t>(p_sign_);
  }

 private:
  uint16_t* group_;
  uint16_t* tree_;
  const int16_t* next_;
  const int16_t* end_;
  uint32_t width_;
  BitRecorder rec_;
  uint32_t p_after_zero_;
  uint32_t p_after_nonzero_;
  uint32_t p_sign_;
  uint32_t prev_nonzero_;
};

// Runs the backward pass `back` to its end and, if given, the forward pass `fwd` to its end,
// interleaved: two independent dependency chains (the rANS state, the context probabilities)
// that the processor overlaps. The backward pass walks as many records per step as the forward
// pass just recorded, so both advance at the pace of the records.
void run_interleaved(RansEmitter& back, BandForward* fwd) {
  if (fwd != nullptr) {
    while (!fwd->done() && !back.done()) {
      const size_t steps = std::min(fwd->step(), back.next);
      for (size_t i = 0; i < steps; ++i) back.step();
    }
    while (!fwd->done()) fwd->step();
    fwd->finish();
  }
  while (!back.done()) back.step();
}

// Where decoded coefficients go: as they are, or de-quantised on the way (off the decoder's
// dependency chain, and without a pass over a buffer of integers afterwards).
struct KeepCoefficient {
  int16_t operator()(int16_t v) const { return v; }
};
struct Dequantize {
  float reciprocal;
  float operator()(int16_t v) const { return static_cast<float>(v) * reciprocal; }
};

// Decodes one band into `out`. Returns false once the coded bytes ran out.
template <class T, class Convert>
bool decode_band(BinDec& dec, size_t o, uint32_t width, std::span<T> out, Convert convert) {
  uint16_t* const group = dec.probs() + o;
  uint16_t* const tree = group + kTreeSlot;
  uint32_t p_after_zero = group[0];
  uint32_t p_after_nonzero = group[1];
  uint32_t p_sign = group[kSignSlot];
  RansReader r = dec.reader();
  uint32_t prev_nonzero = 0;
  for (T& coeff : out) {
    const uint32_t pz = prev_nonzero ? p_after_nonzero : p_after_zero;
    uint32_t pz_next;
    const uint32_t nonzero = r.decode(pz, pz_next);
    if (prev_nonzero) {
      p_after_nonzero = pz_next;
    } else {
      p_after_zero = pz_next;
    }
    prev_nonzero = nonzero;
    int32_t value = 0;
    if (nonzero) {
      const uint32_t negative = r.decode(p_sign, p_sign);
      if (width != 0) {
        value = static_cast<int32_t>(r.decode_tree(tree, width) - (1u << width));
      }
      // Magnitude m + 1, negated when the sign bit is 1: (v ^ -s) + s.
      value = ((value + 1) ^ -static_cast<int32_t>(negative)) + static_cast<int32_t>(negative);
    }
    // Width 16 allows the magnitude 65536; the stored value is its low 16 bits.
    coeff = convert(static_cast<int16_t>(static_cast<uint16_t>(value)));
    if (r.truncated()) return false;
  }
  dec.set_reader(r);
  group[0] = static_cast<uint16_t>(p_after_zero);
  group[1] = static_cast<uint16_t>(p_after_nonzero);
  group[kSignSlot] = static_cast<uint16_t>(p_sign);
  return true;
}

struct Parsed {
  Layout model;
  std::span<const uint8_t> coded;
};

Result<Parsed, CModelError> parse(std::span<const uint8_t> data,
                                  std::span<const size_t> band_lengths) {
  const size_t n = data.size();
  const size_t num_bands = band_lengths.size();
  if (n == 0) return CModelError::Truncated;
  if (data[0] != num_bands) return CModelError::BadLength;
  if (n <= num_bands) return CModelError::Truncated;
  std::vector<uint32_t> widths(num_bands);
  for (size_t i = 0; i < num_bands; ++i) {
    widths[i] = data[1 + i];
    if (widths[i] > kMaxWidth) return CModelError::BadLength;
  }
  Parsed parsed{layout(widths), data.subspan(num_bands + 1)};
  if (parsed.coded.size() < 4) return CModelError::Truncated;
  uint64_t total = 0;
  for (const size_t len : band_lengths) {
    total = len > std::numeric_limits<uint64_t>::max() - total
                ? std::numeric_limits<uint64_t>::max()
                : total + len;
  }
  if (total > max_coefficients(parsed.coded.size())) return CModelError::Truncated;
  return parsed;
}

}  // namespace

Layout layout(std::span<const uint32_t> widths) {
  Layout out;
  out.offsets.reserve(widths.size());
  out.bits.assign(widths.begin(), widths.end());
  size_t next = 0;
  for (const uint32_t b : widths) {
    out.offsets.push_back(next);
    next += (size_t{1} << b) + 3;
  }
  out.total = next;
  return out;
}

namespace {

// What every encoder needs before its passes: the widths, the records of each band and the
// context table.
struct EncodePlan {
  std::vector<uint32_t> widths;
  std::vector<size_t> num_records;
  Layout model;
  std::vector<uint16_t> probs;

  explicit EncodePlan(std::span<const std::span<const int16_t>> bands)
      : widths(bands.size()), num_records(bands.size()) {
    for (size_t i = 0; i < bands.size(); ++i) {
      const BandStats stats = band_stats(bands[i]);
      widths[i] = stats.width;
      num_records[i] = stats.num_records;
    }
    model = layout(widths);
    probs.assign(std::max<size_t>(model.total, 1), kProbInit);
  }

  BandForward forward(std::span<const std::span<const int16_t>> bands, size_t i,
                      uint16_t* records) {
    return BandForward(probs.data() + model.offsets[i], bands[i], model.bits[i], records);
  }
};

// Appends the stream: band count, widths, the final state `x`, then each band's words in band
// order.
void write_stream(const EncodePlan& plan, uint32_t x,
                  std::span<const std::span<const uint16_t>> words, std::vector<uint8_t>& out) {
  size_t num_words = 0;
  for (const auto& w : words) num_words += w.size();
  out.reserve(out.size() + 1 + plan.widths.size() + 4 + 2 * num_words);
  out.push_back(static_cast<uint8_t>(plan.widths.size()));
  for (const uint32_t w : plan.widths) out.push_back(static_cast<uint8_t>(w));
  const size_t at = out.size();
  out.resize(at + 4 + 2 * num_words);
  uint8_t* dst = out.data() + at;
  for (int shift = 0; shift < 32; shift += 8) *dst++ = static_cast<uint8_t>(x >> shift);
  for (const auto& w : words) {
    if constexpr (std::endian::native == std::endian::little) {
      if (!w.empty()) std::memcpy(dst, w.data(), 2 * w.size());
      dst += 2 * w.size();
    } else {
      for (const uint16_t word : w) {
        *dst++ = static_cast<uint8_t>(word);
        *dst++ = static_cast<uint8_t>(word >> 8);
      }
    }
  }
}

// Coefficients of one piece of a band in the one-thread encoder: its records (at most 2 + 16 per
// coefficient) are all that is held at once, instead of a whole band's.
constexpr size_t kPieceCoefficients = size_t{1} << 14;

// The words of band `band` (in the order the decoder reads them), coded backwards from state `x`,
// which is left where the band's first record puts it. The band is walked forwards once to note
// its contexts where each piece starts, then piece by piece from the last: each piece's records
// are made again from its starting contexts and walked backwards at once. Same words as one walk
// over all the records of the band.
void encode_band_in_pieces(std::span<const std::span<const int16_t>> bands, EncodePlan& plan,
                           size_t band, uint16_t* records, uint32_t& x,
                           std::vector<uint16_t>& words) {
  const std::span<const int16_t> values = bands[band];
  const size_t pieces = (values.size() + kPieceCoefficients - 1) / kPieceCoefficients;
  uint16_t* const group = plan.probs.data() + plan.model.offsets[band];
  const size_t group_size = (size_t{1} << plan.model.bits[band]) + kTreeSlot;
  // The contexts and the last coefficient's zero flag where each piece starts.
  std::vector<uint16_t> starts(pieces * group_size);
  std::vector<uint8_t> prev_nonzero(pieces);
  {
    BandForward fwd = plan.forward(bands, band, records);
    for (size_t i = 0; i < pieces; ++i) {
      fwd.finish();
      std::copy(group, group + group_size, starts.begin() + i * group_size);
      prev_nonzero[i] = static_cast<uint8_t>(fwd.prev_nonzero());
      fwd.record_into(records);
      for (size_t k = 0; k < kPieceCoefficients && !fwd.done(); ++k) fwd.step();
    }
  }
  words.clear();  // in the order they come out: the reverse of the decoder's
  for (size_t i = pieces; i-- > 0;) {
    std::copy(starts.begin() + i * group_size, starts.begin() + (i + 1) * group_size, group);
    const size_t first = i * kPieceCoefficients;
    BandForward fwd(group, values.subspan(first, std::min(kPieceCoefficients, values.size() - first)),
                    plan.model.bits[band], records, prev_nonzero[i]);
    size_t count = 0;
    while (!fwd.done()) count += fwd.step();
    RansEmitter back = RansEmitter::over(records, count, x);
    while (!back.done()) back.step();
    x = back.x;
    words.insert(words.end(), std::make_reverse_iterator(records + count),
                 std::make_reverse_iterator(records + back.first_word));
  }
  std::reverse(words.begin(), words.end());
}

void encode_one_thread(std::span<const std::span<const int16_t>> bands, EncodePlan& plan,
                       std::vector<uint8_t>& out) {
  const size_t num_bands = bands.size();
  // Bands of few records are coded whole: band k's records share a buffer with those of bands
  // k +- 2, so that at most two bands' records exist at once, the one being walked backwards and
  // the one being recorded beside it. Larger bands are coded in pieces in the buffer of one piece.
  const size_t piece_records = kPieceCoefficients * (2 + kMaxWidth);
  const auto whole = [&](size_t k) { return plan.num_records[k] <= piece_records; };
  size_t capacity[2] = {0, 0};
  for (size_t i = 0; i < num_bands; ++i) {
    capacity[i & 1] = std::max(capacity[i & 1], std::min(plan.num_records[i], piece_records));
  }
  BigBuffer<uint16_t> buffers[2];
  for (int b = 0; b < 2; ++b) {
    if (capacity[b] != 0) buffers[b] = BigBuffer<uint16_t>(capacity[b]);
  }

  // rANS decodes in the reverse order of encoding, so the bands are walked backwards from the
  // last, each one's forward pass done before its backward pass and, for bands coded whole,
  // overlapping the backward pass of the band after it. The words of each band are kept apart
  // until the final state, which leads the stream, is known.
  std::vector<std::vector<uint16_t>> words(num_bands);
  uint32_t x = kRansLow;
  if (num_bands != 0 && whole(num_bands - 1)) {
    BandForward last = plan.forward(bands, num_bands - 1, buffers[(num_bands - 1) & 1].get());
    while (!last.done()) last.step();
    last.finish();
  }
  for (size_t k = num_bands; k-- > 0;) {
    uint16_t* const rec = buffers[k & 1].get();
    if (!whole(k)) {
      encode_band_in_pieces(bands, plan, k, rec, x, words[k]);
      if (k > 0 && whole(k - 1)) {
        BandForward fwd = plan.forward(bands, k - 1, buffers[(k - 1) & 1].get());
        while (!fwd.done()) fwd.step();
        fwd.finish();
      }
      continue;
    }
    RansEmitter back = RansEmitter::over(rec, plan.num_records[k], x);
    if (k > 0 && whole(k - 1)) {
      BandForward fwd = plan.forward(bands, k - 1, buffers[(k - 1) & 1].get());
      run_interleaved(back, &fwd);
    } else {
      run_interleaved(back, nullptr);
    }
    x = back.x;
    words[k].assign(rec + back.first_word, rec + plan.num_records[k]);
  }
  buffers[0] = {};
  buffers[1] = {};
  const std::vector<std::span<const uint16_t>> spans(words.begin(), words.end());
  write_stream(plan, x, spans, out);
}

// Forward passes handed out in the order the backward chain needs them, from the last band down,
// to whichever thread is free: the helpers, or the calling thread when the band it needs next has
// not been taken yet. Each band's pass is published once its records and contexts are complete.
class ForwardQueue {
 public:
  explicit ForwardQueue(size_t num_bands)
      : untaken_(num_bands), done_(new std::atomic<uint32_t>[num_bands]) {
    for (size_t i = 0; i < num_bands; ++i) done_[i].store(0, std::memory_order_relaxed);
  }

  // The next band to run forwards, or false when every band is taken.
  bool take_next(size_t& band) {
    size_t n = untaken_.load(std::memory_order_relaxed);
    while (n != 0 && !untaken_.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) {
    }
    band = n - 1;
    return n != 0;
  }

  // Takes `band` if it is the next one; otherwise another thread has it.
  bool take(size_t band) {
    size_t expected = band + 1;
    return untaken_.compare_exchange_strong(expected, band, std::memory_order_relaxed);
  }

  void publish(size_t band) {
    done_[band].store(1, std::memory_order_release);
    done_[band].notify_all();
  }

  bool is_done(size_t band) const { return done_[band].load(std::memory_order_acquire) != 0; }

  void await(size_t band) {
    while (done_[band].load(std::memory_order_acquire) == 0) done_[band].wait(0);
  }

 private:
  std::atomic<size_t> untaken_;  // bands [0, untaken_) have not been taken
  std::unique_ptr<std::atomic<uint32_t>[]> done_;
};

// The same stream with forward passes on `helpers` more threads. Every band keeps its own records
// so that forward passes may run ahead of the backward chain, which stays on the calling thread.
void encode_threaded(std::span<const std::span<const int16_t>> bands, EncodePlan& plan,
                     unsigned helpers, std::vector<uint8_t>& out) {
  const size_t num_bands = bands.size();
  std::vector<size_t> first_record(num_bands + 1, 0);
  for (size_t i = 0; i < num_bands; ++i) {
    first_record[i + 1] = first_record[i] + plan.num_records[i];
  }
  const BigBuffer<uint16_t> records(first_record[num_bands]);
  ForwardQueue queue(num_bands);
  auto run_forward = [&](size_t band) {
    BandForward fwd = plan.forward(bands, band, records.get() + first_record[band]);
    while (!fwd.done()) fwd.step();
    fwd.finish();
    queue.publish(band);
  };
  {
    std::vector<std::jthread> threads;
    threads.reserve(helpers);
    for (unsigned t = 0; t < helpers; ++t) {
      try {
        threads.emplace_back([&] {
          size_t band;
          while (queue.take_next(band)) run_forward(band);
        });
      } catch (const std::system_error&) {
        break;  // fewer helpers: the calling thread runs whatever they leave
      }
    }
    std::vector<std::span<const uint16_t>> words(num_bands);
    uint32_t x = kRansLow;
    for (size_t k = num_bands; k-- > 0;) {
      // The calling thread takes the next forward pass itself when no helper has: while a
      // helper finishes band k, or to run beside band k's backward pass when the helpers lag.
      std::optional<BandForward> next;
      auto take_next = [&] {
        if (k > 0 && queue.take(k - 1)) {
          next.emplace(plan.forward(bands, k - 1, records.get() + first_record[k - 1]));
        }
      };
      if (queue.take(k)) {
        run_forward(k);
      } else if (!queue.is_done(k)) {
        take_next();
        while (next && !next->done() && !queue.is_done(k)) {
          for (int i = 0; i < 64 && !next->done(); ++i) next->step();
        }
        queue.await(k);
      }
      if (!next) take_next();
      uint16_t* const rec = records.get() + first_record[k];
      RansEmitter back = RansEmitter::over(rec, plan.num_records[k], x);
      run_interleaved(back, next ? &*next : nullptr);
      if (next) queue.publish(k - 1);
      x = back.x;
      words[k] = {rec + back.first_word, rec + plan.num_records[k]};
    }
    // Every forward pass was awaited, so the helpers have nothing left; they end on leaving.
    write_stream(plan, x, words, out);
  }
}

}  // namespace

void encode_coeffs_into(std::span<const std::span<const int16_t>> bands, std::vector<uint8_t>& out,
                        unsigned threads) {
  EncodePlan plan(bands);
  const size_t count = std::min<size_t>({threads, kMaxEncodeThreads, bands.size()});
  if (count < 2) {
    encode_one_thread(bands, plan, out);
  } else {
    encode_threaded(bands, plan, static_cast<unsigned>(count - 1), out);
  }
}

std::vector<uint8_t> encode_coeffs(std::span<const std::span<const int16_t>> bands) {
  std::vector<uint8_t> out;
  encode_coeffs_into(bands, out);
  return out;
}

Status<CModelError> check_coeffs(std::span<const uint8_t> data,
                                 std::span<const size_t> band_lengths) {
  VANTREL_RETURN_IF_ERROR(parse(data, band_lengths));
  return {};
}

namespace {

template <class T, class Convert>
Status<CModelError> decode_back_to_back(std::span<const uint8_t> data,
                                        std::span<const size_t> band_lengths, std::span<T> out,
                                        Convert convert) {
  size_t total = 0;
  for (const size_t len : band_lengths) total += len;
  assert(out.size() == total);
  (void)total;
  VANTREL_ASSIGN_OR_RETURN(const Parsed parsed, parse(data, band_lengths));
  auto dec = BinDec::create(parsed.coded, std::max<size_t>(parsed.model.total, 1));
  if (!dec.ok()) return CModelError::Truncated;
  size_t at = 0;
  for (size_t i = 0; i < band_lengths.size(); ++i) {
    const std::span<T> band = out.subspan(at, band_lengths[i]);
    if (!decode_band(*dec, parsed.model.offsets[i], parsed.model.bits[i], band, convert)) {
      return CModelError::Truncated;
    }
    at += band_lengths[i];
  }
  return {};
}

}  // namespace

Status<CModelError> decode_coeffs_into(std::span<const uint8_t> data,
                                       std::span<const size_t> band_lengths,
                                       std::span<int16_t> out) {
  return decode_back_to_back(data, band_lengths, out, KeepCoefficient{});
}

Status<CModelError> decode_dequantized_into(std::span<const uint8_t> data,
                                            std::span<const size_t> band_lengths, float reciprocal,
                                            std::span<float> out) {
  return decode_back_to_back(data, band_lengths, out, Dequantize{reciprocal});
}

Result<std::vector<std::vector<int16_t>>, CModelError> decode_coeffs(
    std::span<const uint8_t> data, std::span<const size_t> band_lengths) {
  VANTREL_ASSIGN_OR_RETURN(const Parsed parsed, parse(data, band_lengths));
  auto dec = BinDec::create(parsed.coded, std::max<size_t>(parsed.model.total, 1));
  if (!dec.ok()) return CModelError::Truncated;
  std::vector<std::vector<int16_t>> bands(band_lengths.size());
  for (size_t i = 0; i < band_lengths.size(); ++i) {
    bands[i].resize(band_lengths[i]);
    if (!decode_band(*dec, parsed.model.offsets[i], parsed.model.bits[i],
                     std::span<int16_t>(bands[i]), KeepCoefficient{})) {
      return CModelError::Truncated;
    }
  }
  return bands;
}

}  // namespace vantrel
