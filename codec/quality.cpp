#include "codec/quality.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <new>
#include <numbers>

#include "codec/coders.h"
#include "codec/compressor.h"
#include "codec/executors.h"
#include "codec/header.h"
#include "codec/methods.h"
#include "codec/passes.h"
#include "codec/refine.h"
#include "codec/residual.h"
#include "codec/vantrel.h"
#include "wavelet/levels.h"

namespace vantrel {
namespace {

// The search runs on x = log2(multiplier). Halving the step halves every error, so each metric's
// error measure e (log2 of the RMS error, or of the largest error) falls by about 1 per unit of x.
constexpr double kLog2Sqrt12 = 1.792481250360578;  // uniform rounding: rms error = step / sqrt(12)
// A candidate whose error lies within this much (in log2 units, 0.02 is 0.12 dB) below the
// target's ends the search: a smaller multiplier could save almost nothing. The largest error
// jumps by a few hundredths between neighbouring multipliers, so hunting it closer is wasted.
constexpr double kCloseEnough = 0.02;
constexpr double kCloseEnoughLargest = 0.05;
// Where the search aims, a little inside the target so that the step that lands there is met.
constexpr double kAim = 0.008;
constexpr int kMaxTrials = 24;
// The cheap prediction of where a mean-square target lies: at most this many steps, ending within
// this much of the aim.
constexpr int kMaxPredictions = 8;
constexpr double kPredictionTolerance = 0.004;
// Multipliers this close (in log2 units) count as the same.
constexpr double kResolution = 1e-4;
constexpr double kResolutionLargest = 0.005;
// The dead zone is off at this scale whatever the cutoff; it is stored with the multiplier.
constexpr uint8_t kSearchScale = kMinScale;
// The scale a flat signal is stored with: every multiplier decodes it alike.
constexpr uint8_t kFlatScale = 11;
// The estimate ranks methods to within about 2% of their coded sizes: the method with the
// smallest estimate is coded, and the runner-up too when its estimate is within this factor.
constexpr double kEstimateMargin = 1.015;

struct ErrorSums {
  double squares = 0.0;      // sum of (v - x)^2 over the measured samples
  double largest = 0.0;      // max |v - x|
  double raw_squares = 0.0;  // the same for the decoded samples y themselves, where v is y on
  double raw_largest = 0.0;  // the grid (without a grid, v = y and the two pairs are equal)
};

// The nearest whole number to `u` (|u| <= 2^53), ties to even, as rint in the default rounding
// mode: below 2^52, adding and subtracting 2^52 leaves no bits below the units. Plain arithmetic
// keeps the loop below in vector registers where a library call would not.
inline double nearest_integer(double u) {
  const double a = std::fabs(u);
  return std::copysign(a < 0x1p52 ? (a + 0x1p52) - 0x1p52 : a, u);
}

// The value a reader of `g` gets back for y. Clamping before rounding gives the same code as
// clamping after (the bounds are whole numbers) and keeps u within 2^53.
inline double on_grid(double y, const SampleGrid& g) {
  const double u = std::clamp((y - g.origin) / g.step, g.min_code, g.max_code);
  return g.origin + g.step * nearest_integer(u);
}

// `v` where `keep`, else +0.0, without a branch: the conditions below depend on the data and
// would be mispredicted about as often as not.
inline double kept(bool keep, double v) {
  return std::bit_cast<double>(std::bit_cast<uint64_t>(v) & (uint64_t{0} - uint64_t{keep}));
}

// The error of the grid's value v for an original x. An original within `margin` of v is the
// value of v's code as some reader computes it, so a sample that comes back to that code comes
// back as it was: no error.
inline double grid_error(double v, double x, double margin) {
  const double d = v - x;
  return kept(!(std::fabs(d) <= margin), d);
}

// Squares and largest square of one lane's differences; a gap (x not finite, so d is not either)
// adds nothing.
inline void accumulate(double d, double& squares, double& largest) {
  const double q = kept(d - d == 0.0, d * d);
  squares += q;
  largest = largest < q ? q : largest;
}

// The errors of `y` against `x`, in double, with eight lanes of accumulators the compiler keeps
// in vector registers. The square of a double is correctly rounded, and the root of a correctly
// rounded square is the value itself, so the largest square's root is exactly the largest error.
template <bool kGrid, class T>
ErrorSums error_sums(std::span<const float> y, const T* x, const SampleGrid& g, double margin) {
  constexpr size_t kLanes = 8;
  double s[kLanes] = {}, m[kLanes] = {}, rs[kLanes] = {}, rm[kLanes] = {};
  const auto lane = [&](size_t k, size_t i) {
    const double yi = static_cast<double>(y[i]), xi = static_cast<double>(x[i]);
    accumulate(yi - xi, rs[k], rm[k]);
    if constexpr (kGrid) accumulate(grid_error(on_grid(yi, g), xi, margin), s[k], m[k]);
  };
  const size_t n = y.size();
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
#pragma GCC unroll 8  // the accumulators stay in registers only when the lanes are unrolled
    for (size_t k = 0; k < kLanes; ++k) lane(k, i + k);
  for (; i < n; ++i) lane(0, i);
  ErrorSums e;
  for (size_t k = 0; k < kLanes; ++k) {
    e.raw_squares += rs[k];
    e.raw_largest = std::max(e.raw_largest, rm[k]);
    e.squares += s[k];
    e.largest = std::max(e.largest, m[k]);
  }
  e.raw_largest = std::sqrt(e.raw_largest);
  e.largest = std::sqrt(e.largest);
  if constexpr (!kGrid) {
    e.squares = e.raw_squares;
    e.largest = e.raw_largest;
  }
  return e;
}

// E[round(z)^2] for z normal with mean 0 and deviation s: the mean square, in steps, of what a
// grid makes of an error of deviation s * step at a sample that lies on the grid,
//   sum over k >= 1 of 2 (2k - 1) Q((k - 1/2) / s),  Q the normal tail.
// From s = 1 on it equals s^2 + 1/12 (Sheppard's correction) to within 1e-8.
double on_grid_mean_square(double s) {
  if (s >= 1.0) return s * s + 1.0 / 12.0;
  double sum = 0.0;
  for (int k = 1; k <= 16; ++k)
    sum += (2 * k - 1) * std::erfc((k - 0.5) / (s * std::numbers::sqrt2));
  return sum;
}

// What the metrics need of the original besides the errors, and what the search steers by.
struct Reference {
  std::span<const float> floats;  // one of the two is set
  std::span<const double> doubles;
  std::optional<SampleGrid> grid;
  size_t n = 0;         // samples coded
  size_t measured = 0;  // samples measured: those whose original is finite
  double peak = 0.0;    // max - min of the measured samples
  double energy = 0.0;  // their sum of squares
  // The reader's own rounding of origin + step * code may differ from ours by this much.
  double margin = 0.0;
  // Where the measured originals lie against the grid: how many the grid holds (to within the
  // margin) and the sum of squares and largest of the others' distances to it, which no decoded
  // sample gets below.
  size_t held = 0;
  double floor_squares = 0.0;
  double floor_largest = 0.0;

  template <class T>
  static Reference of(std::span<const T> x, const std::optional<SampleGrid>& grid = {}) {
    Reference r;
    if constexpr (std::is_same_v<T, float>)
      r.floats = x;
    else
      r.doubles = x;
    r.grid = grid;
    r.n = x.size();
    if (grid) r.margin = grid_margin(*grid);
    double lo = INFINITY, hi = -INFINITY;
    for (const T v : x) {
      const double d = static_cast<double>(v);
      if (!std::isfinite(d)) continue;
      ++r.measured;
      lo = std::min(lo, d);
      hi = std::max(hi, d);
      r.energy += d * d;
      if (grid) {
        const double away = std::fabs(grid_error(on_grid(d, *grid), d, r.margin));
        r.held += away == 0.0;
        r.floor_squares += away * away;
        r.floor_largest = std::max(r.floor_largest, away);
      }
    }
    r.peak = r.measured == 0 ? 0.0 : hi - lo;
    return r;
  }

  ErrorSums errors(std::span<const float> y) const {
    const SampleGrid g = grid.value_or(SampleGrid{1.0, 0.0, 0.0, 0.0});
    if (grid)
      return floats.empty() ? error_sums<true>(y, doubles.data(), g, margin)
                            : error_sums<true>(y, floats.data(), g, margin);
    return floats.empty() ? error_sums<false>(y, doubles.data(), g, margin)
                          : error_sums<false>(y, floats.data(), g, margin);
  }

  // The errors of values `v` that a reader returns as they are (corrected samples, on the grid
  // when there is one): a value within the margin of an original on the grid is that original.
  ErrorSums errors_of(std::span<const double> v) const {
    ErrorSums e;
    for (size_t i = 0; i < n; ++i) {
      const double x = floats.empty() ? doubles[i] : static_cast<double>(floats[i]);
      if (!std::isfinite(x)) continue;
      double d = v[i] - x;
      if (grid && std::fabs(d) <= margin) d = 0.0;
      e.squares += d * d;
      e.largest = std::max(e.largest, std::fabs(d));
    }
    e.raw_squares = e.squares;
    e.raw_largest = e.largest;
    return e;
  }

  // The measured originals in double, gaps as they are.
  std::vector<double> originals() const {
    if (floats.empty()) return {doubles.begin(), doubles.end()};
    return {floats.begin(), floats.end()};
  }

  // What the user gets back, measured; `widen` is added to the RMS and the largest error.
  Distortion distortion(const ErrorSums& e, double widen = 0.0) const {
    const double count = static_cast<double>(std::max<size_t>(measured, 1));
    const double rmse = std::sqrt(e.squares / count) + widen;
    const double psnr = rmse == 0.0 ? INFINITY : peak > 0.0 ? 20.0 * std::log10(peak / rmse) : NAN;
    const double prd = !(energy > 0.0) ? NAN
                       : widen == 0.0  ? 100.0 * std::sqrt(e.squares / energy)
                                       : 100.0 * rmse * std::sqrt(count / energy);
    return {.psnr = psnr, .prd = prd, .rmse = rmse, .max_error = e.largest + widen};
  }

  // Whether what the user gets back meets the target, allowing for the reader's rounding.
  bool met(const ErrorSums& e, const QualityTarget& t) const {
    if (e.squares == 0.0 && e.largest == 0.0) return true;
    return meets(distortion(e, margin), t);
  }

  // Every candidate meets the target: nothing is measured, or a PSNR of a constant original.
  bool trivially_met(const QualityTarget& t) const {
    return measured == 0 || (t.metric == QualityMetric::Psnr && peak == 0.0);
  }

  // The target's error measure e: log2 of the RMS error it allows, or of the largest error.
  double limit(const QualityTarget& t) const {
    switch (t.metric) {
      case QualityMetric::Psnr:
        return std::log2(peak) - t.value / (20.0 * std::log10(2.0));
      case QualityMetric::Prd:
        return std::log2(t.value / 100.0) + 0.5 * std::log2(energy / static_cast<double>(measured));
      case QualityMetric::Rmse:
        return std::log2(t.value);
      case QualityMetric::MaxError:
        return std::log2(t.value);
    }
    return 0.0;
  }

  // The search's error measure of a candidate, in terms of the decoded samples' own error, which
  // falls smoothly as the multiplier grows where the grid's values move in steps: log2 of their
  // largest error, or of the RMS error that gives the mean square measured on the grid's values.
  double measure(const ErrorSums& e, bool largest) const {
    if (largest) return std::log2(e.raw_largest);
    const double count = static_cast<double>(measured);
    if (grid) return equivalent(e.squares / count / (grid->step * grid->step));
    return 0.5 * std::log2(e.raw_squares / count);
  }

  struct Steering {
    bool largest;  // by the largest error instead of the RMS error
    double goal;   // the measure of the decoded samples that should just meet the target
  };
  Steering steering(const QualityTarget& t) const;
  double equivalent(double mean_square) const;
};

// Where a target lies in terms of the decoded samples' own error. Without a grid that is the
// target itself. On a grid, a sample y = x + err of an original x on it comes back as x exactly
// while |err| < step / 2, and as x + step * round(err / step) beyond, so:
// - a largest error t is met while the decoded largest error stays below (floor(t / step) + 1/2)
//   steps; off the grid the reader's value is within step / 2 of y, so t - step / 2 suffices;
// - a mean-square error T, with the decoded error's deviation s (in steps) at each sample, is
//   about p * E[round(z)^2] + (1 - p) s^2 + D (steps^2), with p the share of originals on the grid
//   and D their mean square distance to it: rounding noise of step^2 / 12 where the originals'
//   offsets are uniform, none where they are on the grid and the errors small;
// - with every original on the grid and T below step^2 over the count, a single sample off by a
//   step misses it: only a reconstruction without error (decoded largest error below half a step)
//   meets it.
// A target below the grid's own floor is out of reach: the goal is -inf and the search goes
// straight to the largest multiplier.
Reference::Steering Reference::steering(const QualityTarget& t) const {
  const bool largest = t.metric == QualityMetric::MaxError;
  const double goal = limit(t);
  if (!grid) return {largest, goal};
  const double step = grid->step;
  const double allowed = std::exp2(goal) - margin;
  // With every original on the grid, a reconstruction without error is possible.
  const bool all_on_grid = held == measured;
  if (largest) {
    if (all_on_grid)
      return {true, std::log2((std::floor(std::max(allowed, 0.0) / step) + 0.5) * step)};
    if (!(allowed >= floor_largest)) return {true, -INFINITY};
    return {true, std::log2(std::max(allowed - 0.5 * step, 0.5 * (allowed - floor_largest)))};
  }
  const double count = static_cast<double>(measured);
  const double mean_square = allowed > 0.0 ? allowed * allowed / (step * step) : 0.0;  // steps^2
  if (all_on_grid && mean_square < 1.0 / count) return {true, std::log2(0.5 * step)};
  return {false, equivalent(mean_square)};
}

// log2 of the decoded RMS error that the grid model turns into `mean_square` (steps^2) on the
// grid's values; -inf at or below the originals' own floor.
double Reference::equivalent(double mean_square) const {
  const double count = static_cast<double>(measured);
  const double floor = floor_squares / count / (grid->step * grid->step);
  if (!(mean_square > floor)) return -INFINITY;
  const double p = static_cast<double>(held) / count;
  const auto predicted = [&](double s) {
    return p * on_grid_mean_square(s) + (1.0 - p) * s * s + floor;
  };
  // The prediction grows with s: bisect log2 s between 2^-20 and 2^20 steps.
  double lo = -20.0, hi = 20.0;
  for (int i = 0; i < 40; ++i) {
    const double mid = 0.5 * (lo + hi);
    (predicted(std::exp2(mid)) < mean_square ? lo : hi) = mid;
  }
  return lo + std::log2(grid->step);
}

double metric_value(const Distortion& d, QualityMetric metric) {
  const auto index = static_cast<size_t>(metric);
  return index < std::size(kQualityMetrics) ? d.*kQualityMetrics[index].measured : NAN;
}

// The value a refusal names: a PRD of an original without energy that is not reproduced exactly
// is infinite rather than undefined.
double refusal_value(const Distortion& d, QualityMetric metric) {
  const double value = metric_value(d, metric);
  return std::isnan(value) && metric == QualityMetric::Prd ? INFINITY : value;
}

// The samples coded: float32 as given, or float64 ones narrowed to their nearest float32 values
// only while a method transforms them, so that no float32 copy of the signal is kept.
struct Coded {
  std::span<const float> floats;
  std::span<const double> doubles;  // set instead of `floats`

  size_t size() const { return floats.empty() ? doubles.size() : floats.size(); }
};

// One method's decomposition of the signal, kept in floats in coding order, and what the
// container needs besides the coefficients.
struct Decomposition {
  WaveletMethod method;
  uint8_t levels;
  std::shared_ptr<const DwtExecutor> executor;
  std::vector<size_t> lengths;
  size_t total = 0;
  std::unique_ptr<float[]> bands;
  Extremes extremes;
  float norm_mean;
  float largest;  // the largest coefficient magnitude

  std::span<const float> values() const { return {bands.get(), total}; }
};

Result<Decomposition, VantrelError> decompose(const Coded& samples, WaveletMethod method) {
  Decomposition d;
  d.method = method;
  d.levels = pick_levels(samples.size(), static_cast<uint8_t>(method));
  d.executor = make_executor(method);
  const size_t fl = d.executor->filter_length();
  d.lengths = band_lengths(*d.executor, d.levels, std::max(samples.size(), fl));
  for (const size_t length : d.lengths) d.total += length;
  const EntropyCoderEntry& coder = automatic_coder();
  if (d.total > coder.max_coefficients)
    return VantrelError::coder_capacity_exceeded(coder.name, coder.max_coefficients, d.total);

  std::span<const float> values = samples.floats;
  std::unique_ptr<float[]> narrowed;
  if (!samples.doubles.empty()) {
    narrowed.reset(new (std::nothrow) float[samples.size()]);
    if (!narrowed) return VantrelError::out_of_memory(samples.size());
    for (size_t i = 0; i < samples.size(); ++i)
      narrowed[i] = static_cast<float>(samples.doubles[i]);
    values = {narrowed.get(), samples.size()};
  }
  auto normalized = normalize_signal(values, fl);
  narrowed.reset();
  if (!normalized) return std::move(normalized).error();
  d.extremes = normalized->extremes;
  d.norm_mean = normalized->norm_mean;
  d.bands.reset(new (std::nothrow) float[d.total]);
  if (!d.bands) return VantrelError::out_of_memory(d.total);
  VANTREL_RETURN_IF_ERROR(transform_in_coding_order(
      *d.executor, normalized->work, d.lengths, [&](std::span<const float> band, size_t offset) {
        std::copy(band.begin(), band.end(), d.bands.get() + offset);
      }));
  d.largest = 0.0f;
  for (const float c : d.values()) d.largest = std::max(d.largest, std::fabs(c));
  return d;
}

struct Candidate {
  double x = 0.0;  // log2 of the multiplier as searched
  float multiplier = 0.0f;
  ErrorSums errors;
  double e = 0.0;  // the error measure of the target's metric
  bool met = false;
};

// The working storage of candidates, shared by every method of one call: methods are searched
// one after another and none keeps anything in it between two uses, so one set of buffers as
// long as the longest decomposition serves them all.
class Scratch {
 public:
  // Room for `total` coefficients; what was in the buffers is lost when they grow.
  Status<VantrelError> reserve(size_t total) {
    if (total > quantised_capacity_) {
      quantised_.reset();
      quantised_capacity_ = 0;
      quantised_.reset(new (std::nothrow) int16_t[total]);
      if (!quantised_) return VantrelError::out_of_memory(total);
      quantised_capacity_ = total;
    }
    if (total > dequantised_capacity_) {
      dequantised_.reset();
      dequantised_capacity_ = 0;
      dequantised_.reset(new (std::nothrow) float[total]);
      if (!dequantised_) return VantrelError::out_of_memory(total);
      dequantised_capacity_ = total;
    }
    return {};
  }

  // Lets go of the decoded candidates' buffers while a container is coded from quantised().
  void release_dequantised() {
    dequantised_.reset();
    dequantised_capacity_ = 0;
    release_reconstruction();
  }

  // Where the inverse transform of each candidate writes: kept from one candidate to the next.
  IdwtBuffers& reconstruction() { return reconstruction_; }
  void release_reconstruction() { reconstruction_ = IdwtBuffers{}; }

  // The first `total` of each (reserved before).
  std::span<int16_t> quantised(size_t total) const { return {quantised_.get(), total}; }
  std::span<float> dequantised(size_t total) const { return {dequantised_.get(), total}; }

 private:
  std::unique_ptr<int16_t[]> quantised_;
  std::unique_ptr<float[]> dequantised_;
  size_t quantised_capacity_ = 0;
  size_t dequantised_capacity_ = 0;
  IdwtBuffers reconstruction_;
};

// Decodes candidates the way the decoder does: quantise, multiply by the reciprocal, inverse
// transform, undo the normalisation.
class Trials {
 public:
  // `scratch` holds room for d.total coefficients while the trials run; the candidates'
  // reconstructions are let go of when they end.
  Trials(const Decomposition& d, const Reference& ref, Scratch& scratch)
      : d_(d), ref_(ref), quantised_(scratch.quantised(d.total)),
        dequantised_(scratch.dequantised(d.total)), scratch_(scratch) {}
  ~Trials() { scratch_.release_reconstruction(); }
  Trials(const Trials&) = delete;
  Trials& operator=(const Trials&) = delete;

  // The decoded samples' errors at `multiplier`; nullopt when a coefficient leaves 16 bits.
  Result<std::optional<ErrorSums>, VantrelError> run(float multiplier) {
    if (!quantize(d_.values(), multiplier, quantised())) {
      ++count;
      return std::optional<ErrorSums>();
    }
    return run_quantised(multiplier);
  }

  // The coefficients as `run` or the caller last quantised them.
  std::span<int16_t> quantised() const { return quantised_; }

  // `run` on coefficients already quantised at `multiplier` into quantised().
  Result<std::optional<ErrorSums>, VantrelError> run_quantised(float multiplier) {
    ++count;
    const std::span<const int16_t> q = quantised();
    last.clear();
    const float reciprocal = 1.0f / multiplier;
    for (size_t i = 0; i < d_.total; ++i) dequantised_[i] = static_cast<float>(q[i]) * reciprocal;
    MultiDwtSpentView view;
    view.approximation = dequantised_.first(d_.lengths[0]);
    size_t offset = d_.lengths[0];
    for (size_t k = 1; k < d_.lengths.size(); ++k) {
      view.details.push_back(dequantised_.subspan(offset, d_.lengths[k]));
      offset += d_.lengths[k];
    }
    // The candidate is rebuilt over its own spent coefficients.
    auto rebuilt = d_.executor->multi_idwt_into(view, scratch_.reconstruction(), dequantised_);
    if (!rebuilt) return VantrelError::wavelet(rebuilt.error());
    std::span<float> out = rebuilt->first(std::min(rebuilt->size(), ref_.n));
    denormalize_in_place(out, d_.norm_mean, d_.extremes.max - d_.extremes.min, d_.extremes.min);
    std::span<const float> decoded = out;
    if (keep_samples || out.size() < ref_.n) {
      last.assign(out.begin(), out.end());
      last.resize(ref_.n, 0.0f);
      decoded = last;
    }
    const ErrorSums errors = measure_errors ? ref_.errors(decoded) : ErrorSums{};
    return std::optional<ErrorSums>(errors);
  }

  // The coefficients' own rounding error at `multiplier`, sum of (c - q / multiplier)^2: what the
  // decoded error's energy is close to (equal for an orthogonal transform without borders), at a
  // fraction of a decoded candidate's cost.
  double coefficient_squares(float multiplier) {
    const std::span<int16_t> q = quantised_;
    quantize(d_.values(), multiplier, q);
    const float reciprocal = 1.0f / multiplier;
    // Float lanes are plenty for a prediction, and the same code on every machine.
    constexpr size_t kLanes = 8;
    float s[kLanes] = {};
    const float* c = d_.bands.get();
    size_t i = 0;
    for (; i + kLanes <= d_.total; i += kLanes) {
      for (size_t k = 0; k < kLanes; ++k) {
        const float e = c[i + k] - static_cast<float>(q[i + k]) * reciprocal;
        s[k] += e * e;
      }
    }
    double squares = 0.0;
    for (; i < d_.total; ++i) {
      const float e = c[i] - static_cast<float>(q[i]) * reciprocal;
      squares += static_cast<double>(e) * e;
    }
    for (const float lane : s) squares += lane;
    return squares;
  }

  uint32_t count = 0;
  bool keep_samples = false;   // keep each candidate's decoded samples in `last`
  bool measure_errors = true;  // unset: `run` leaves the errors it returns at zero
  std::vector<float> last;

 private:
  const Decomposition& d_;
  const Reference& ref_;
  std::span<int16_t> quantised_;
  std::span<float> dequantised_;
  Scratch& scratch_;
};

// The largest multiplier that keeps every quantised coefficient within 16 bits.
float saturation_multiplier(const Decomposition& d, std::span<int16_t> scratch) {
  if (d.largest == 0.0f) return 1.0f;
  float m = std::min(32767.0f / d.largest, 0x1p60f);
  while (!quantize(d.values(), m, scratch)) m *= 0.99999f;
  return m;
}

VantrelError unreachable(const QualityTarget& target, double reachable) {
  return VantrelError::quality_unreachable(kQualityMetrics[static_cast<size_t>(target.metric)].name,
                                           target.value, reachable);
}

// The better of two reachable values of a metric (NaN counts as worst).
double better(QualityMetric metric, double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return metric == QualityMetric::Psnr ? std::max(a, b) : std::min(a, b);
}

// Where one method's search runs: x = log2(multiplier) between everything rounding to zero and
// the 16-bit ceiling, toward the target's error measure.
struct Span {
  float m_max;
  double x_min, x_max;
  bool largest;  // steered by the largest decoded error, else by the RMS one
  double goal, aim;
  double guess;  // from uniform rounding of every coefficient

  Span(const Decomposition& d, const Reference& ref, const QualityTarget& target,
       std::span<int16_t> scratch)
      : m_max(saturation_multiplier(d, scratch)), x_min(0.0), x_max(std::log2(m_max)) {
    const Reference::Steering steering = ref.steering(target);
    largest = steering.largest;
    goal = steering.goal;
    aim = goal - kAim;
    x_min = std::min(x_max, std::log2(0.5 / d.largest) - 1.0);
    const double range = static_cast<double>(d.extremes.max) - d.extremes.min;
    const double rounding = largest ? 0.0 : kLog2Sqrt12;
    const double g = std::log2(range) - rounding - goal;
    guess = std::isfinite(g) ? std::clamp(g, x_min, x_max) : x_max;
  }

  // Below the ceiling every coefficient stays within 16 bits (rounding is monotonic).
  float multiplier(double x) const {
    return x >= x_max ? m_max : std::min(static_cast<float>(std::exp2(x)), m_max);
  }
};

// A secant step from `last` toward `aim`, the slope taken from `before` when it is usable and
// kept near its expected -1.
double secant(const Candidate& last, const Candidate* before, double aim, double resolution) {
  double slope = -1.0;
  if (before != nullptr && std::fabs(last.x - before->x) > resolution && std::isfinite(last.e) &&
      std::isfinite(before->e))
    slope = std::clamp((last.e - before->e) / (last.x - before->x), -2.0, -0.5);
  return std::isfinite(last.e) ? last.x + (aim - last.e) / slope : last.x - 1.0;
}

Result<Candidate, VantrelError> decode_candidate(double x, const Span& span, const Reference& ref,
                                                 const QualityTarget& target, Trials& trials) {
  Candidate c;
  c.x = x;
  c.multiplier = span.multiplier(x);
  auto run = trials.run(c.multiplier);
  if (!run) return std::move(run).error();
  if (!*run) return VantrelError::quantiser_overflow(kSearchScale, c.multiplier);
  c.errors = **run;
  c.e = ref.measure(c.errors, span.largest);
  c.met = ref.met(c.errors, target);
  return c;
}

// Where a mean-square target lies by the coefficients' own rounding error, scaled to the decoded
// error (decoded sum of squares / n = scale * coefficient sum of squares): a few cheap steps from
// `from` that put the search's next candidate close to the target.
double predicted_start(const Span& span, double scale, Candidate from, Trials& trials) {
  Candidate last = from, before;
  bool have_before = false;
  for (int step = 0; step < kMaxPredictions; ++step) {
    if (std::fabs(last.e - span.aim) < kPredictionTolerance) break;
    const double next =
        std::clamp(secant(last, have_before ? &before : nullptr, span.aim, kResolution), span.x_min,
                   span.x_max);
    if (std::fabs(next - last.x) < kResolution) break;
    Candidate c;
    c.x = next;
    c.e = 0.5 * std::log2(scale * trials.coefficient_squares(span.multiplier(next)));
    before = last;
    have_before = true;
    last = c;
  }
  return last.x;
}

// The smallest multiplier found whose candidate meets the target: a secant search on the error
// measure inside a bracket that only narrows, from the decoded candidate `first` (when given) and
// then `next`.
// When none meets it, the error names the value reached at the largest multiplier (also left in
// `reachable`).
Result<Candidate, VantrelError> search(const Span& span, const Reference& ref,
                                       const QualityTarget& target, Trials& trials,
                                       std::optional<Candidate> first, double next,
                                       std::optional<double>& reachable) {
  const bool largest = span.largest;
  const double close_enough = largest ? kCloseEnoughLargest : kCloseEnough;
  const double resolution = largest ? kResolutionLargest : kResolution;
  std::optional<Candidate> best;            // the smallest multiplier met so far
  double lo = span.x_min, hi = span.x_max;  // not met at or below lo once tried, met at hi
  bool lo_tried = false;
  if (!first) {
    auto decoded = decode_candidate(next, span, ref, target, trials);
    if (!decoded) return std::move(decoded).error();
    first = *decoded;
    next = NAN;
  }
  Candidate c = *first, before;
  bool have_before = false;
  for (int tried = 1;; ++tried) {
    if (c.met) {
      if (!best || c.x < best->x) best = c;
      hi = std::min(hi, c.x);
      if (c.e >= span.goal - close_enough || c.x <= span.x_min) break;
    } else {
      lo = std::max(lo, c.x);
      lo_tried = true;
      if (c.x >= span.x_max) break;  // the best the format can do
    }
    if ((best && lo_tried && hi - lo < resolution) || tried >= kMaxTrials) break;
    if (tried > 1 || std::isnan(next)) {
      next = secant(c, have_before ? &before : nullptr, span.aim, resolution);
      before = c;
      have_before = true;
    }
    next = std::clamp(next, span.x_min, span.x_max);
    // Stay inside the bracket: bisect when the step leaves it.
    const double low_end = lo_tried ? lo : span.x_min;
    const double high_end = best ? hi : span.x_max;
    if (next <= low_end || next >= high_end) {
      if (best && lo_tried) {
        next = 0.5 * (lo + hi);
      } else if (best) {
        next = std::max(span.x_min, std::min(next, hi - 0.5));
      } else {
        next = std::min(span.x_max, std::max(next, lo + 0.5));
      }
    }
    if (std::fabs(next - c.x) < resolution * 0.5) break;
    if (tried == 1) {
      before = c;
      have_before = true;
    }
    auto decoded = decode_candidate(next, span, ref, target, trials);
    if (!decoded) return std::move(decoded).error();
    c = *decoded;
  }
  if (best) return *best;
  // Not met even at the largest multiplier: report what the format reaches there.
  if (c.multiplier != span.m_max) {
    auto decoded = decode_candidate(span.x_max, span, ref, target, trials);
    if (!decoded) return std::move(decoded).error();
    c = *decoded;
  }
  reachable = refusal_value(ref.distortion(c.errors), target.metric);
  return unreachable(target, *reachable);
}

// An estimate of the coded size in bits: each band's order-0 entropy of the magnitudes (those
// of 255 and above share one symbol and add the bits that spell them), plus a sign bit for every
// value that is not zero. It ranks methods; the coder's adaptive contexts do better than it.
// This is one band's share, counted in `counts` (256 long).
double estimated_band_bits(std::span<const int16_t> q, std::vector<uint32_t>& counts) {
  double bits = 0.0;
  std::fill(counts.begin(), counts.end(), 0u);
  for (const int16_t v : q) {
    const uint32_t magnitude = static_cast<uint32_t>(std::abs(int32_t{v}));
    ++counts[std::min<uint32_t>(magnitude, 255)];
  }
  if (counts[255] != 0) {
    for (const int16_t v : q) {
      const uint32_t magnitude = static_cast<uint32_t>(std::abs(int32_t{v}));
      if (magnitude >= 255) bits += 2.0 * std::log2(static_cast<double>(magnitude));
    }
  }
  const double n = static_cast<double>(q.size());
  bits += n - counts[0];  // a sign bit for every value that is not zero
  for (const uint32_t c : counts)
    if (c != 0) bits -= c * std::log2(c / n);
  return bits;
}

double estimated_bits(const Decomposition& d, float multiplier) {
  std::vector<uint32_t> counts(256);
  std::vector<int16_t> q;
  double bits = 0.0;
  size_t offset = 0;
  for (const size_t length : d.lengths) {
    q.resize(length);
    quantize(d.values().subspan(offset, length), multiplier, q);
    offset += length;
    bits += estimated_band_bits(q, counts);
  }
  return bits;
}

// The same estimate of coefficients already quantised (d.total of them, in coding order).
double estimated_bits(const Decomposition& d, std::span<const int16_t> quantised) {
  std::vector<uint32_t> counts(256);
  double bits = 0.0;
  size_t offset = 0;
  for (const size_t length : d.lengths) {
    bits += estimated_band_bits(quantised.subspan(offset, length), counts);
    offset += length;
  }
  return bits;
}

// The container of `d` at `multiplier`, from its coefficients quantised there into `values`
// (d.total long; d.bands may be let go of by then: the coder needs the quantised ones only).
Result<std::vector<uint8_t>, VantrelError> encode_quantised(const Decomposition& d,
                                                            float multiplier, uint8_t scale,
                                                            size_t n,
                                                            std::span<const int16_t> values) {
  const EntropyCoderEntry& coder = automatic_coder();
  auto payload = coder.encode(values, d.lengths, kHeaderSize, 1);
  if (!payload) return std::move(payload).error();
  const ContainerFields fields{.method = static_cast<uint8_t>(d.method),
                               .levels = d.levels,
                               .scale = scale,
                               .coder = coder.code,
                               .sample_count = static_cast<uint32_t>(n),
                               .signal_min = d.extremes.min,
                               .signal_max = d.extremes.max,
                               .norm_mean = d.norm_mean,
                               .quant_multiplier = multiplier};
  VANTREL_RETURN_IF_ERROR(write_header_in_place(fields, *payload));
  return std::move(payload).value();
}

Status<VantrelError> check_target(const QualityTarget& t) {
  const size_t index = static_cast<size_t>(t.metric);
  if (index >= std::size(kQualityMetrics))
    return VantrelError::unknown_option_code("quality metric", index);
  const bool negative_allowed = t.metric == QualityMetric::Psnr;
  if (!std::isfinite(t.value) || (!negative_allowed && t.value < 0.0))
    return VantrelError::invalid_quality_target(kQualityMetrics[index].name, t.value);
  return {};
}

// One method's decomposition, the search's first decoded candidate and where it goes next,
// then (once searched) the candidate it chose.
struct Found {
  Decomposition d;
  std::optional<Span> span;        // unset for a flat signal
  std::optional<Candidate> first;  // a candidate decoded before the search
  double next = NAN;               // the next candidate's x; NaN: a secant step from `first`
  Candidate chosen;
  uint8_t scale = kSearchScale;
  uint32_t trials = 0;
  bool searched = false;
};

// Decomposes the signal and decodes the first guess; for a mean-square target it also predicts
// where the target lies, cheaply, so that methods can be compared before any is searched.
Result<Found, VantrelError> start(const Coded& samples, const Reference& ref,
                                  const QualityTarget& target, WaveletMethod method,
                                  Scratch& scratch) {
  auto d = decompose(samples, method);
  if (!d) return std::move(d).error();
  VANTREL_RETURN_IF_ERROR(scratch.reserve(d->total));
  Found f{.d = std::move(d).value(), .span = {}, .first = {}, .chosen = {}};
  Trials trials(f.d, ref, scratch);
  if (f.d.largest == 0.0f) {
    // A flat signal decodes the same with every multiplier: the default container.
    f.chosen.multiplier = static_cast<float>(1u << kFlatScale);
    f.scale = kFlatScale;
    auto run = trials.run(f.chosen.multiplier);
    if (!run) return std::move(run).error();
    f.chosen.errors = **run;
    f.chosen.met = ref.met(f.chosen.errors, target);
    f.searched = true;
  } else {
    const Span& span =
        f.span.emplace(f.d, ref, target, scratch.quantised(f.d.total));
    if (ref.trivially_met(target)) {
      // Every candidate meets the target: the smallest multiplier, where every coefficient
      // rounds to 0.
      auto first = decode_candidate(span.x_min, span, ref, target, trials);
      if (!first) return std::move(first).error();
      f.chosen = *first;
      f.chosen.met = true;
      f.searched = true;
      f.trials = trials.count;
      return f;
    }
    const double prior = find_method(static_cast<uint8_t>(method))->energy_ratio;
    const double range = static_cast<double>(f.d.extremes.max) - f.d.extremes.min;
    // Gaps are filled smoothly, so their coefficients round with little error: the error is
    // spread over the measured samples.
    const double n = static_cast<double>(ref.measured);
    if (span.largest || prior == 0.0) {
      auto first = decode_candidate(span.guess, span, ref, target, trials);
      if (!first) return std::move(first).error();
      f.first = *first;
      f.chosen.multiplier = first->multiplier;  // until searched: where the size is estimated
    }
    if (!span.largest) {
      Candidate from;
      from.x = span.guess;
      if (f.first) from = *f.first;
      double scale = prior * range * range / n;
      const double squares = trials.coefficient_squares(span.multiplier(from.x));
      if (f.first && squares > 0.0 && f.first->errors.raw_squares > 0.0)  // measured on it
        scale = f.first->errors.raw_squares / squares / static_cast<double>(ref.measured);
      else
        from.e = 0.5 * std::log2(scale * squares);
      f.next = predicted_start(span, scale, from, trials);
      f.chosen.multiplier = span.multiplier(f.next);
    }
  }
  f.trials = trials.count;
  return f;
}

// A started method's coefficients let go of while others are started and transformed again when
// it is searched or coded: the transform gives the same values, and the call holds one method's
// coefficients at a time instead of three.
void set_aside(Found& f) { f.d.bands.reset(); }

Status<VantrelError> take_up(Found& f, const Coded& samples) {
  if (f.d.bands) return {};
  auto d = decompose(samples, f.d.method);
  if (!d) return std::move(d).error();
  f.d.bands = std::move(d->bands);
  return {};
}

// The search of a started method; `reachable` is set when no candidate meets the target.
Status<VantrelError> finish(Found& f, const Reference& ref, const QualityTarget& target,
                            Scratch& scratch, std::optional<double>& reachable) {
  if (f.searched) {
    if (f.chosen.met) return {};
    reachable = refusal_value(ref.distortion(f.chosen.errors), target.metric);
    return unreachable(target, *reachable);
  }
  VANTREL_RETURN_IF_ERROR(scratch.reserve(f.d.total));
  Trials trials(f.d, ref, scratch);
  auto found = search(*f.span, ref, target, trials, f.first, f.next, reachable);
  f.trials += trials.count;
  if (!found) return std::move(found).error();
  f.chosen = *found;
  f.searched = true;
  return {};
}

// The container of a searched method. The coder's own working memory is the largest of the call:
// the method's coefficients and the decoded candidates' buffer are let go of before it runs.
Result<TargetedContainer, VantrelError> encode_found(Found& f, const Reference& ref,
                                                     Scratch& scratch) {
  VANTREL_RETURN_IF_ERROR(scratch.reserve(f.d.total));
  const std::span<int16_t> q = scratch.quantised(f.d.total);
  if (!quantize(f.d.values(), f.chosen.multiplier, q))
    return VantrelError::quantiser_overflow(f.scale, f.chosen.multiplier);
  set_aside(f);
  scratch.release_dequantised();
  auto container = encode_quantised(f.d, f.chosen.multiplier, f.scale, ref.n, q);
  if (!container) return std::move(container).error();
  return TargetedContainer{.container = std::move(container).value(),
                           .achieved = ref.distortion(f.chosen.errors),
                           .quant_multiplier = f.chosen.multiplier,
                           .method = f.d.method,
                           .trials = f.trials,
                           .encodes = 1,
                           .refinement = {},
                           .base_achieved = ref.distortion(f.chosen.errors),
                           .corrected = {}};
}

// `unreached`, when given, is set to the best value reachable when no container meets the target.
Result<TargetedContainer, VantrelError> compress_to_reference(
    const Coded& samples, const Reference& ref, const QualityTarget& target,
    std::optional<WaveletMethod> method, std::optional<double>* unreached = nullptr) {
  std::optional<double> reachable;
  Scratch scratch;
  if (method) {
    auto found = start(samples, ref, target, *method, scratch);
    if (!found) return std::move(found).error();
    const auto searched = finish(*found, ref, target, scratch, reachable);
    if (!searched.ok()) {
      if (reachable && unreached) *unreached = *reachable;
      return searched.error();
    }
    return encode_found(*found, ref, scratch);
  }
  // Every method is started and its size estimated where its target is predicted (a largest
  // error cannot be predicted: those methods are searched whole first); only the method
  // estimated smallest, and the runner-up when close, are searched and coded.
  std::vector<std::pair<double, Found>> kept;  // (estimated bits, started method), best first
  std::vector<WaveletMethod> dropped;
  uint32_t trials = 0;
  double best_reached = NAN;  // the best any method reached, when none meets the target
  const auto search_whole = [&](Found& found) -> Result<bool, VantrelError> {
    const uint32_t before = found.trials;
    std::optional<double> reached;
    const auto searched = finish(found, ref, target, scratch, reached);
    trials += found.trials - before;
    if (searched) return true;
    if (!reached) return searched.error();  // a failure, not a target out of reach
    best_reached = better(target.metric, best_reached, *reached);
    return false;
  };
  for (const WaveletMethodEntry& entry : wavelet_methods()) {
    auto found = start(samples, ref, target, static_cast<WaveletMethod>(entry.code), scratch);
    if (!found) return std::move(found).error();
    trials += found->trials;
    found->trials = 0;
    if (found->searched || found->span->largest) {
      auto met = search_whole(*found);
      if (!met) return std::move(met).error();
      if (!*met) continue;
    }
    const double bits = estimated_bits(found->d, found->chosen.multiplier);
    set_aside(*found);
    kept.emplace_back(bits, std::move(found).value());
    std::sort(kept.begin(), kept.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    if (kept.size() > 2) {
      dropped.push_back(kept.back().second.d.method);
      kept.pop_back();
    }
  }
  if (kept.size() == 2 && kept[1].first > kept[0].first * kEstimateMargin) {
    dropped.push_back(kept.back().second.d.method);
    kept.pop_back();
  }
  std::optional<TargetedContainer> smallest;
  uint32_t encodes = 0;
  const auto code = [&](Found& found) -> Status<VantrelError> {
    VANTREL_RETURN_IF_ERROR(take_up(found, samples));
    auto met = search_whole(found);
    if (!met) return std::move(met).error();
    if (!*met) {
      set_aside(found);
      return {};
    }
    auto coded = encode_found(found, ref, scratch);
    set_aside(found);
    if (!coded) return std::move(coded).error();
    ++encodes;
    if (!smallest || coded->container.size() < smallest->container.size())
      smallest = std::move(coded).value();
    return {};
  };
  for (auto& [bits, found] : kept) VANTREL_RETURN_IF_ERROR(code(found));
  // Out of reach for the methods estimated best: another may still reach it.
  for (size_t i = 0; !smallest && i < dropped.size(); ++i) {
    auto found = start(samples, ref, target, dropped[i], scratch);
    if (!found) return std::move(found).error();
    trials += found->trials;
    found->trials = 0;
    VANTREL_RETURN_IF_ERROR(code(*found));
  }
  if (!smallest) {
    if (unreached) *unreached = best_reached;
    return unreachable(target, best_reached);
  }
  smallest->trials = trials;
  smallest->encodes = encodes;
  return std::move(*smallest);
}

// The layer's search runs on the same x = log2(multiplier) as the plain one. The total (base +
// residual) over x is flat and noisy in places and has more than one valley: no base at all (the
// residual coder alone) can be smallest, and so can a base that almost meets the bound by
// itself, in a valley a step or two wide just below the plain container's multiplier. The search
// looks at the coarsest base and at these distances below the plain multiplier, then at the
// midpoints between the two best valleys among them and their neighbours: nine candidates at most.
constexpr double kLayerOffsets[] = {1.0, 2.5, 4.5, 7.5};
// The valleys of those first candidates whose neighbourhood is looked at more closely.
constexpr size_t kLayerValleys = 2;
// Candidates closer than this in x (a factor of 2^0.4 in the step) are not both looked at.
constexpr double kLayerTolerance = 0.4;
// Section tag and body length in front of the refinement's body.
constexpr size_t kSectionFraming = 5;

// A candidate base's residual is priced on runs of it: kPricingRuns runs of kPricingRun samples
// evenly spaced over a long residual, or as many pieces covering a shorter one. Every candidate is
// priced on the even runs (a scout's sample, from the first sample to the last); the two best then
// on the odd runs too, and the whole sample decides between them. (Smaller scouts misrank; more
// runs of the same total length rank better than fewer longer ones; a scout that leaves out the
// end of a recording misjudges speech.)
constexpr size_t kPricingRuns = 15;
constexpr size_t kPricingRun = 1024;
// A residual up to this long (one block of the residual coder) is priced whole, once, on every
// candidate: sampling it would save little and costs a second pricing of the first run and of
// the finalists, which on a short signal is most of the search.
constexpr size_t kWholePricing = 4096;

struct PricingRun {
  size_t from, count;
};

std::vector<PricingRun> pricing_runs(size_t n) {
  std::vector<PricingRun> runs;
  if (n <= kWholePricing) return {{0, n}};
  if (n > kPricingRuns * kPricingRun) {
    for (size_t k = 0; k < kPricingRuns; ++k)
      runs.push_back({k * (n - kPricingRun) / (kPricingRuns - 1), kPricingRun});
    return runs;
  }
  // Pieces of whole blocks of the coder (16 samples).
  const size_t piece = (n + kPricingRuns * 16 - 1) / (kPricingRuns * 16) * 16;
  for (size_t from = 0; from < n; from += piece) runs.push_back({from, std::min(piece, n - from)});
  return runs;
}

// One candidate base's residual priced so far by the residual coder's own estimate, on runs
// priced as one sequence and scaled to the whole. The adaptive model's learning is paid once in
// the whole: where there are several runs the first one is priced twice, its cold price less its
// warm one is that learning, and the warm price of the runs is what scales with the length.
// (Scaling the cold total instead charges the learning n / sampled times over, which misranks a
// coarse base's wide residual on a small sample.) A residual priced whole is priced once.
struct ResidualPrice {
  std::unique_ptr<ResidualCostMeter> meter;
  double cold = 0.0;
  double learning = 0.0;
  bool out_of_range = false;  // a residual leaves the coder's range
  // The candidate's decoded samples in the odd runs, one after another: what the finals price,
  // kept so that a finalist is not decoded again.
  std::vector<float> odd_runs;

  // Prices the runs `runs[first], runs[first + 2], ...` of the residual of `base`, formed in
  // `scratch` (as long as the longest run); false once the estimate over `sampled` of the `n`
  // samples must reach `budget` bits (the warm price only grows and the learning is not
  // negative) or a residual leaves the coder's range. `base` is the decoded candidate, or with
  // `packed` those runs' samples one after another.
  bool add(std::span<const float> base, bool packed, size_t n, std::span<const PricingRun> runs,
           size_t first, size_t sampled, const ResidualFormer& former,
           std::span<int32_t> scratch, double budget) {
    const double scale = static_cast<double>(n) / static_cast<double>(sampled);
    size_t at = 0;  // in a packed base
    for (size_t k = first; k < runs.size(); k += 2) {
      const auto [from, count] = runs[k];
      const auto r = scratch.first(count);
      const auto b = base.subspan(packed ? at : from, count);
      at += count;
      if (!former.form(b, from, r)) {
        out_of_range = true;
        return false;
      }
      meter->add(r, b);
      if (k == 0 && runs.size() > 1) {
        cold = meter->bits();
        meter->add(r, b);
        learning = std::max(0.0, 2.0 * cold - meter->bits());
      }
      // The whole blocks' price is checked against the budget: no more than the total, and
      // pricing an incomplete block after every run would price it over and over.
      const double settled = meter->settled_bits();
      if (!std::isfinite(settled)) out_of_range = true;
      if (out_of_range || (settled - cold) * scale >= budget) return false;
    }
    return true;
  }

  // Keeps the odd runs of `base`, the decoded candidate.
  void keep_odd_runs(std::span<const float> base, std::span<const PricingRun> runs) {
    odd_runs.clear();
    for (size_t k = 1; k < runs.size(); k += 2) {
      const auto b = base.subspan(runs[k].from, runs[k].count);
      odd_runs.insert(odd_runs.end(), b.begin(), b.end());
    }
  }

  double bits(size_t n, size_t sampled) const {
    return learning +
           (meter->bits() - cold) * static_cast<double>(n) / static_cast<double>(sampled);
  }
};

// A base plus a correction layer when that is smaller than `plain` (the plain search's result,
// or its failure), else `plain`. The base's quality is searched for the smallest total: each
// candidate base's size is estimated from its coefficients' order-0 entropy (scaled to what the
// coder made of the plain container); a candidate whose base alone costs more than it has to
// beat is passed over, the others are decoded as the decoder does and their residual priced by
// the residual coder's own estimate (see ResidualPrice and pricing_runs). Only the winner is
// coded, its base decoded by the decoder itself and every corrected sample checked against the
// bound.
Result<TargetedContainer, VantrelError> compress_with_layer(
    const Coded& samples, const Reference& ref, const QualityTarget& target,
    std::optional<WaveletMethod> method, Result<TargetedContainer, VantrelError> plain,
    std::optional<double> plain_reached, bool keep_corrected) {
  if (!plain && !plain_reached) return plain;  // a failure, not a target out of reach
  if (ref.measured == 0) return plain;
  const std::vector<double> originals = ref.originals();
  auto plan = plan_refinement(originals, target.value, ref.grid);
  if (!plan) {
    if (plain) return plain;
    return unreachable(target, better(target.metric, *plain_reached, plan.error()));
  }
  const WaveletMethod chosen = plain ? plain->method : method.value_or(WaveletMethod::Cdf97);
  auto d = decompose(samples, chosen);
  if (!d) return std::move(d).error();
  Scratch scratch;
  VANTREL_RETURN_IF_ERROR(scratch.reserve(d->total));
  const std::span<int16_t> q = scratch.quantised(d->total);
  const Span span(*d, ref, target, q);
  Trials trials(*d, ref, scratch);
  trials.keep_samples = true;
  trials.measure_errors = false;  // the bound is checked on the corrected winner
  // The estimate's bias against the coder, measured on the plain container where there is one.
  double calibration = 1.0;
  if (plain && plain->quant_multiplier > 0.0f) {
    const double estimate = estimated_bits(*d, plain->quant_multiplier);
    if (estimate > 0.0) calibration = 8.0 * static_cast<double>(plain->container.size()) / estimate;
  }
  const double fixed_bits =
      8.0 * static_cast<double>(kHeaderSize + kSectionFraming + kRefinementHeadSize);
  const float bin = coder_bin(*plan);
  const std::vector<PricingRun> runs = pricing_runs(ref.n);
  size_t scouted = 0, sampled = 0;  // samples in the even runs, in all of them
  for (size_t k = 0; k < runs.size(); ++k) {
    sampled += runs[k].count;
    if (k % 2 == 0) scouted += runs[k].count;
  }
  std::vector<int32_t> residual(runs[0].count);  // the longest run's
  const ResidualFormer former(originals, *plan);
  const bool finals = runs.size() > 1;
  struct Look {
    double x;
    double base;   // estimated bits of the base, the section's fixed bytes included
    double total;  // estimated bits on the scout's sample; infinite when given up
  };
  std::vector<Look> tried;  // the first ones in increasing x
  // The two best so far, priced further only if they stay so.
  std::vector<std::pair<Look, ResidualPrice>> best;
  // The total a candidate has to beat to be among the two best (or the best where the scout
  // decides alone): it is given up once its estimate must reach it.
  const auto bar = [&] {
    const size_t place = finals ? 1 : 0;
    return best.size() > place ? best[place].first.total : INFINITY;
  };
  const auto look = [&](double x) -> Status<VantrelError> {
    Look l{x, INFINITY, INFINITY};
    const float multiplier = span.multiplier(x);
    const double above = bar();
    if (quantize(d->values(), multiplier, trials.quantised())) {
      l.base = fixed_bits + calibration * estimated_bits(*d, trials.quantised());
      if (l.base < above) {
        auto run = trials.run_quantised(multiplier);
        if (!run) return std::move(run).error();
        ResidualPrice price;
        price.meter = std::make_unique<ResidualCostMeter>(bin);
        if (price.add(trials.last, false, ref.n, runs, 0, scouted, former, residual,
                      above - l.base)) {
          l.total = l.base + price.bits(ref.n, scouted);
          if (finals) price.keep_odd_runs(trials.last, runs);
          best.emplace_back(l, std::move(price));
          std::sort(best.begin(), best.end(),
                    [](const auto& u, const auto& v) { return u.first.total < v.first.total; });
          if (best.size() > 2) best.pop_back();
        }
      }
    }
    tried.push_back(l);
    return {};
  };
  // Everything from all coefficients rounding to 0 up to the plain container's multiplier (past
  // it the base alone meets the bound and the layer only adds).
  const double a = span.x_min;
  const double b =
      plain ? std::min(span.x_max, std::log2(static_cast<double>(plain->quant_multiplier)))
            : span.x_max;
  double best_x = b;
  if (b > a) {
    VANTREL_RETURN_IF_ERROR(look(a));
    for (auto offset = std::rbegin(kLayerOffsets); offset != std::rend(kLayerOffsets); ++offset) {
      if (b - *offset > a + kLayerTolerance) VANTREL_RETURN_IF_ERROR(look(b - *offset));
    }
    // The midpoints around the two deepest valleys among them (a candidate no worse than its
    // neighbours): the coarsest base and one just below the plain multiplier can both be.
    std::vector<size_t> valleys;
    for (size_t k = 0; k < tried.size(); ++k) {
      const bool below_left = k == 0 || tried[k].total <= tried[k - 1].total;
      const bool below_right = k + 1 == tried.size() || tried[k].total <= tried[k + 1].total;
      if (std::isfinite(tried[k].total) && below_left && below_right) valleys.push_back(k);
    }
    std::sort(valleys.begin(), valleys.end(),
              [&](size_t u, size_t v) { return tried[u].total < tried[v].total; });
    if (valleys.size() > kLayerValleys) valleys.resize(kLayerValleys);
    std::vector<double> midpoints;
    for (const size_t k : valleys) {
      const double x = tried[k].x;
      const double left = k > 0 ? tried[k - 1].x : x;
      const double right = k + 1 < tried.size() ? tried[k + 1].x : b;
      if (x - left > kLayerTolerance) midpoints.push_back(0.5 * (x + left));
      if (right - x > kLayerTolerance) midpoints.push_back(0.5 * (x + right));
    }
    for (const double x : midpoints) VANTREL_RETURN_IF_ERROR(look(x));
    best_x = best.empty() ? span.x_max : best[0].first.x;
    if (finals && best.size() == 2) {
      // The rest of the sample, on each finalist's kept runs; the second must beat the first.
      double totals[2] = {INFINITY, INFINITY};
      for (size_t f = 0; f < 2; ++f) {
        auto& [look, price] = best[f];
        const double budget = f == 0 ? INFINITY : totals[0] - look.base;
        if (price.add(price.odd_runs, true, ref.n, runs, 1, sampled, former, residual, budget))
          totals[f] = look.base + price.bits(ref.n, sampled);
      }
      if (totals[1] < totals[0]) best_x = best[1].first.x;
    }
  }
  const float multiplier = span.multiplier(best_x);
  if (!quantize(d->values(), multiplier, q))
    return VantrelError::quantiser_overflow(kSearchScale, multiplier);
  // The coder runs on the quantised coefficients alone (see encode_found).
  d->bands.reset();
  std::vector<float>().swap(trials.last);
  scratch.release_dequantised();
  auto container = encode_quantised(*d, multiplier, kSearchScale, ref.n, q);
  if (!container) return std::move(container).error();
  auto base = decompress(*container);
  if (!base) return std::move(base).error();
  Refinement layer = std::move(plan).value();
  auto corrected = build_refinement(*base, originals, target.value, layer);
  if (!corrected) return plain ? std::move(plain) : std::move(corrected).error();
  const size_t total =
      container->size() + kSectionFraming + kRefinementHeadSize + layer.stream.size();
  const uint32_t all_trials = trials.count + (plain ? plain->trials : 0);
  if (plain && plain->container.size() <= total) {
    plain->trials = all_trials;
    plain->encodes += 1;
    return plain;
  }
  const Distortion achieved = ref.distortion(ref.errors_of(*corrected));
  const Distortion base_achieved = ref.distortion(ref.errors(*base));
  if (!keep_corrected || !layer.grid) std::vector<double>().swap(*corrected);
  return TargetedContainer{.container = std::move(container).value(),
                           .achieved = achieved,
                           .quant_multiplier = multiplier,
                           .method = chosen,
                           .trials = all_trials,
                           .encodes = (plain ? plain->encodes : 0) + 1,
                           .refinement = std::move(layer),
                           .base_achieved = base_achieved,
                           .corrected = std::move(corrected).value()};
}

Status<VantrelError> check_call(size_t n, const QualityTarget& target,
                                std::optional<WaveletMethod> method) {
  if (n == 0) return VantrelError::empty_input();
  if (n > kMaxSamples) return VantrelError::too_many_samples(n);
  VANTREL_RETURN_IF_ERROR(check_target(target));
  if (method && find_method(static_cast<uint8_t>(*method)) == nullptr)
    return VantrelError::unknown_option_code("method", static_cast<uint8_t>(*method));
  return {};
}

// The search with options, on samples checked.
Result<TargetedContainer, VantrelError> search_to(const Coded& samples, const Reference& ref,
                                                  const QualityTarget& target,
                                                  const SearchOptions& options) {
  if (!options.refine || target.metric != QualityMetric::MaxError)
    return compress_to_reference(samples, ref, target, options.method);
  std::optional<double> reached;
  auto plain = compress_to_reference(samples, ref, target, options.method, &reached);
  return compress_with_layer(samples, ref, target, options.method, std::move(plain), reached,
                             options.keep_corrected);
}

Status<VantrelError> check_grid(const SampleGrid& g) {
  if (!is_valid_grid(g))
    return VantrelError::invalid_sample_grid(g.step, g.origin, g.min_code, g.max_code);
  return {};
}

}  // namespace

bool is_valid_grid(const SampleGrid& g) {
  const auto whole = [](double code) {
    return std::fabs(code) <= 0x1p53 && std::nearbyint(code) == code;
  };
  return g.step > 0.0 && std::isfinite(g.step) && std::isfinite(g.origin) && whole(g.min_code) &&
         whole(g.max_code) && g.min_code <= g.max_code &&
         std::isfinite(g.origin + g.step * g.min_code) &&
         std::isfinite(g.origin + g.step * g.max_code);
}

double grid_margin(const SampleGrid& g) {
  return 0x1p-50 *
         (std::fabs(g.origin) + g.step * std::max(std::fabs(g.min_code), std::fabs(g.max_code)));
}

Distortion measure_distortion(std::span<const float> original, std::span<const float> decoded) {
  const Reference ref = Reference::of(original);
  if (original.empty() || decoded.size() != original.size())
    return {.psnr = NAN, .prd = NAN, .rmse = NAN, .max_error = NAN};
  return ref.distortion(ref.errors(decoded));
}

bool meets(const Distortion& d, const QualityTarget& target) {
  if (d.rmse == 0.0 && d.max_error == 0.0) return true;
  switch (target.metric) {
    case QualityMetric::Psnr:
      return d.psnr >= target.value || (std::isnan(d.psnr) && std::isfinite(d.rmse));
    case QualityMetric::Prd:
      return d.prd <= target.value;
    case QualityMetric::Rmse:
      return d.rmse <= target.value;
    case QualityMetric::MaxError:
      return d.max_error <= target.value;
  }
  return false;
}

Result<TargetedContainer, VantrelError> compress_to(std::span<const float> samples,
                                                    const QualityTarget& target,
                                                    std::optional<WaveletMethod> method) {
  VANTREL_RETURN_IF_ERROR(check_call(samples.size(), target, method));
  // The distortion is measured against what the codec codes: the sanitised samples.
  std::unique_ptr<float[]> sanitised(new (std::nothrow) float[samples.size()]);
  if (!sanitised) return VantrelError::out_of_memory(samples.size());
  sanitize_copy(samples, {sanitised.get(), samples.size()});
  const auto ref = Reference::of(std::span<const float>(sanitised.get(), samples.size()));
  return compress_to_reference(Coded{.floats = samples, .doubles = {}}, ref, target, method);
}

Result<TargetedContainer, VantrelError> compress_to(std::span<const float> samples,
                                                    std::span<const double> reference,
                                                    const QualityTarget& target,
                                                    std::optional<WaveletMethod> method) {
  if (reference.size() != samples.size())
    return VantrelError::reference_length_mismatch(reference.size(), samples.size());
  return compress_to(samples, reference, target, SearchOptions{.method = method, .grid = {}});
}

Result<TargetedContainer, VantrelError> compress_to(std::span<const float> samples,
                                                    std::span<const double> reference,
                                                    const QualityTarget& target,
                                                    const SearchOptions& options) {
  VANTREL_RETURN_IF_ERROR(check_call(samples.size(), target, options.method));
  if (!reference.empty() && reference.size() != samples.size())
    return VantrelError::reference_length_mismatch(reference.size(), samples.size());
  if (options.grid) VANTREL_RETURN_IF_ERROR(check_grid(*options.grid));
  const Reference ref = reference.empty() ? Reference::of(samples, options.grid)
                                          : Reference::of(reference, options.grid);
  return search_to(Coded{.floats = samples, .doubles = {}}, ref, target, options);
}

Result<TargetedContainer, VantrelError> compress_to(std::span<const double> samples,
                                                    const QualityTarget& target,
                                                    const SearchOptions& options) {
  VANTREL_RETURN_IF_ERROR(check_call(samples.size(), target, options.method));
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::isfinite(samples[i]) && std::isinf(static_cast<float>(samples[i])))
      return VantrelError::sample_outside_float_range(i, samples[i]);
  }
  if (options.grid) VANTREL_RETURN_IF_ERROR(check_grid(*options.grid));
  const Reference ref = Reference::of(samples, options.grid);
  return search_to(Coded{.floats = {}, .doubles = samples}, ref, target, options);
}

}  // namespace vantrel
