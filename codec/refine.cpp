#include "codec/refine.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include "codec/residual.h"
#include "codec/vantrel_error.h"
#include "support/cpu.h"
#include "support/simd.h"

namespace vantrel {
namespace {

constexpr uint8_t kKindWidth = 1;  // bins of a width in signal units
constexpr uint8_t kKindGrid = 2;   // bins of codes of a grid
// The widest bin in codes: bin_codes * residual stays far inside int64 (2^31 * 2^30).
constexpr uint32_t kMaxBinCodes = 0x7FFFFFFF;
// The smallest residual stream of each format: the rANS engine's final state; the adaptive
// stream's length alone (no samples).
constexpr size_t kMinStream[] = {4, 1};
// How often the builder narrows the bins when a sample no bin holds is found.
constexpr int kMaxNarrowings = 4;

bool gap(double x) { return !std::isfinite(x); }

// The float32 nearest to `t`, kept within the float32 range (a finite double beyond it has no
// float32 to convert to); NaN and infinities pass through.
float to_float(double t) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (std::isfinite(t)) t = std::clamp(t, -kMax, kMax);
  return static_cast<float>(t);
}

// The spacing of float32 values at magnitude `v`: 2^(floor(log2 v) - 23), at least the smallest
// subnormal.
double float_spacing(double v) {
  if (!(v >= 0x1p-126)) return 0x1p-149;
  if (v >= static_cast<double>(std::numeric_limits<float>::max())) return 0x1p104;
  int exponent;
  std::frexp(v, &exponent);  // v = f 2^exponent, f in [0.5, 1)
  return std::ldexp(1.0, exponent - 24);
}

// The code a reader of `g` stores for value v: the nearest whole number of steps from the origin
// (ties to even), clamped to the grid's codes; NaN takes code 0's place in the range.
int64_t code_of(double v, const SampleGrid& g) {
  const double u = (v - g.origin) / g.step;
  // Ties to even as nearbyint rounds, without a library call: below 2^52 adding and taking away
  // 2^52 leaves the nearest whole number, and above it every double is whole.
  const double a = std::fabs(u);
  const double whole = std::copysign(a < 0x1p52 ? (a + 0x1p52) - 0x1p52 : a, u);
  const double code = std::isnan(u) ? 0.0 : whole;
  return static_cast<int64_t>(std::clamp(code, g.min_code, g.max_code));
}

double value_of(int64_t code, const SampleGrid& g) {
  return g.origin + g.step * static_cast<double>(code);
}

// The corrected value of base sample b with residual r, as a reader computes it.
double corrected_on_grid(float b, int32_t r, const Refinement& ref) {
  const SampleGrid& g = *ref.grid;
  const int64_t code = code_of(b, g) + int64_t{ref.bin_codes} * r;
  return value_of(
      std::clamp(code, static_cast<int64_t>(g.min_code), static_cast<int64_t>(g.max_code)), g);
}

double corrected_off_grid(float b, int32_t r, const Refinement& ref) {
  return static_cast<double>(to_float(std::fma(ref.bin_width, static_cast<double>(r), b)));
}

double corrected(float b, int32_t r, const Refinement& ref) {
  return ref.grid ? corrected_on_grid(b, r, ref) : corrected_off_grid(b, r, ref);
}

// The nearest whole number of bins from `from` to `to` (codes), bins of `bin` = 2k + 1 codes:
// floor((to - from + k) / bin), odd bins leaving no ties.
int64_t bins_between(int64_t from, int64_t to, uint32_t bin) {
  const int64_t d = to - from + bin / 2;
  const int64_t q = d / bin;
  return q - (d % bin != 0 && d < 0);
}

bool in_range(double r) { return std::fabs(r) <= kMaxResidual; }

VantrelError unreachable(double max_error, double reachable) {
  return VantrelError::quality_unreachable(
      kQualityMetrics[static_cast<size_t>(QualityMetric::MaxError)].name, max_error, reachable);
}

uint32_t load_u32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

double load_f64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return std::bit_cast<double>(v);
}

void append_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void append_f64(std::vector<uint8_t>& out, double d) {
  const uint64_t v = std::bit_cast<uint64_t>(d);
  for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// A grid the measured originals lie on to within float32's rounding, found without being told:
// ADC codes times a step, stored as floats. The step is the smallest distance between
// neighbouring values, refined over the whole range (lowest value to highest, a whole number of
// steps apart), and every value must lie within two spacings u of float32 at the largest
// magnitude from it. Steps below 64 u are not looked for: floats are such a grid themselves.
std::optional<SampleGrid> implied_grid(std::span<const double> x, double u) {
  double lo = INFINITY, hi = -INFINITY, smallest = INFINITY, previous = NAN;
  for (const double v : x) {
    if (gap(v)) continue;
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    const double d = std::fabs(v - previous);
    if (d > 0.0) smallest = std::min(smallest, d);
    previous = v;
  }
  if (!(smallest >= 64.0 * u) || !(hi > lo)) return std::nullopt;
  const double codes = std::rint((hi - lo) / smallest);
  if (!(codes <= 0x1p31)) return std::nullopt;
  const SampleGrid g{(hi - lo) / codes, lo, 0.0, codes};
  for (const double v : x) {
    if (!gap(v) && !(std::fabs(value_of(code_of(v, g), g) - v) <= 2.0 * u)) return std::nullopt;
  }
  return g;
}

}  // namespace

Result<Refinement, double> plan_refinement(std::span<const double> reference, double max_error,
                                           const std::optional<SampleGrid>& grid) {
  Refinement r;
  r.sample_count = static_cast<uint32_t>(reference.size());
  if (grid) {
    const SampleGrid& g = *grid;
    const double margin = grid_margin(g);
    double farthest = 0.0;  // the largest distance of an original to its nearest grid value
    for (const double x : reference) {
      if (gap(x)) continue;
      const double away = std::fabs(value_of(code_of(x, g), g) - x);
      if (away > margin) farthest = std::max(farthest, away);
    }
    if (!(max_error + margin >= farthest)) return farthest;
    const double steps = std::floor((max_error - farthest + margin) / g.step);
    const double k = std::min(steps, static_cast<double>(kMaxBinCodes / 2));
    r.grid = g;
    r.bin_codes = 2 * static_cast<uint32_t>(k) + 1;
    return r;
  }
  double largest = 0.0;
  for (const double x : reference)
    if (!gap(x)) largest = std::max(largest, std::fabs(x));
  const double spacing = float_spacing(largest + max_error);
  if (!(max_error >= spacing) || !std::isfinite(max_error)) return spacing;
  r.bin_width = 2.0 * max_error - spacing;
  // Originals on a grid finer than the bins would be cost more in bins than in the grid's codes
  // (lossless ones below a bin of one step): there the codes are corrected instead, leaving u of
  // the bound to the reader's rounding of the grid's values to float32.
  if (const auto g = implied_grid(reference, spacing); g && r.bin_width < g->step) {
    auto on_grid = plan_refinement(reference, max_error - spacing, g);
    if (on_grid) return on_grid;
  }
  return r;
}

float coder_bin(const Refinement& r) {
  const double bin = r.grid ? r.grid->step * r.bin_codes : r.bin_width;
  return to_float(std::min(bin, static_cast<double>(std::numeric_limits<float>::max())));
}

bool form_residual(std::span<const float> base, std::span<const double> reference,
                   const Refinement& r, std::span<int32_t> out) {
  if (r.grid && r.bin_codes == 1) {
    // Bins of one code (lossless): the residual is the codes' difference, with no division.
    bool outside = false;
    for (size_t i = 0; i < base.size(); ++i) {
      const double x = reference[i];
      const int64_t v = gap(x) ? 0 : code_of(x, *r.grid) - code_of(base[i], *r.grid);
      outside |= v < -kMaxResidual || v > kMaxResidual;
      out[i] = static_cast<int32_t>(v);
    }
    return !outside;
  }
  for (size_t i = 0; i < base.size(); ++i) {
    const double x = reference[i];
    double v = 0.0;
    if (gap(x)) {
      v = 0.0;
    } else if (r.grid) {
      v = static_cast<double>(
          bins_between(code_of(base[i], *r.grid), code_of(x, *r.grid), r.bin_codes));
    } else {
      v = std::nearbyint((x - static_cast<double>(base[i])) / r.bin_width);
    }
    if (!in_range(v)) return false;
    out[i] = static_cast<int32_t>(v);
  }
  return true;
}

namespace {
// Stands for a gap among the originals' codes, which are whole numbers within +-2^53.
constexpr int64_t kGapCode = std::numeric_limits<int64_t>::min();
}  // namespace

ResidualFormer::ResidualFormer(std::span<const double> reference, const Refinement& r)
    : reference_(reference), grid_(r.grid), bin_codes_(r.bin_codes), bin_width_(r.bin_width) {
  if (!grid_) return;
  codes_.resize(reference.size());
  for (size_t i = 0; i < reference.size(); ++i)
    codes_[i] = gap(reference[i]) ? kGapCode : code_of(reference[i], *grid_);
}

bool ResidualFormer::form(std::span<const float> base, size_t from,
                          std::span<int32_t> out) const {
  const size_t n = base.size();
  if (grid_) {
    const int64_t* const to = codes_.data() + from;
    bool held = true;
    for (size_t i = 0; i < n; ++i) {
      int64_t v = 0;
      if (to[i] != kGapCode) {
        const int64_t code = code_of(base[i], *grid_);
        v = bin_codes_ == 1 ? to[i] - code : bins_between(code, to[i], bin_codes_);
      }
      held &= v >= -kMaxResidual && v <= kMaxResidual;
      out[i] = static_cast<int32_t>(held ? v : 0);
    }
    return held;
  }
  // Off a grid: nearbyint((x - b) / bin_width) with its ties to even, as in code_of; a gap's
  // residual is 0, and NaN (an infinite or NaN base) fails the range test.
  const double* const x = reference_.data() + from;
  uint32_t outside = 0;
  for (size_t i = 0; i < n; ++i) {
    const double t = (x[i] - static_cast<double>(base[i])) / bin_width_;
    const double a = std::fabs(t);
    const double whole = std::copysign(a < 0x1p52 ? (a + 0x1p52) - 0x1p52 : a, t);
    const double v = gap(x[i]) ? 0.0 : whole;
    const bool inside = std::fabs(v) <= kMaxResidual;
    outside |= !inside;
    out[i] = static_cast<int32_t>(inside ? v : 0.0);
  }
  return outside == 0;
}

Result<std::vector<double>, VantrelError> build_refinement(std::span<const float> base,
                                                           std::span<const double> reference,
                                                           double max_error, Refinement& r) {
  const size_t n = base.size();
  r.sample_count = static_cast<uint32_t>(n);
  std::vector<int32_t> residual(n);
  std::vector<double> y(n);
  // On a grid the bins hold the bound in codes by construction; off it a sample may need the
  // neighbouring bin.
  const double margin = r.grid ? grid_margin(*r.grid) : 0.0;
  const auto misses = [&](double v, double x) { return std::fabs(v - x) > max_error + margin; };
  double reached = 0.0;
  for (int attempt = 0; attempt <= kMaxNarrowings; ++attempt) {
    if (!form_residual(base, reference, r, residual)) return unreachable(max_error, INFINITY);
    bool held = true;
    for (size_t i = 0; i < n && held; ++i) {
      const double x = reference[i];
      y[i] = corrected(base[i], residual[i], r);
      if (gap(x) || !misses(y[i], x)) continue;
      const int32_t toward = y[i] < x ? 1 : -1;
      held = false;
      for (const int32_t step : {toward, -toward}) {
        const int64_t moved = int64_t{residual[i]} + step;
        if (!in_range(static_cast<double>(moved))) continue;
        const double v = corrected(base[i], static_cast<int32_t>(moved), r);
        if (!misses(v, x)) {
          residual[i] = static_cast<int32_t>(moved);
          y[i] = v;
          held = true;
          break;
        }
      }
      if (!held) reached = std::fabs(y[i] - x);
    }
    if (held) {
      r.stream.clear();
      r.format = kNewestResidualFormat;
      const auto coded = encode_residual_into(residual, base, coder_bin(r), r.stream);
      if (!coded.ok()) return unreachable(max_error, INFINITY);
      return y;
    }
    if (r.grid) break;
    r.bin_width *= 1.0 - 0x1p-20;
  }
  return unreachable(max_error, reached);
}

namespace {

// The reader's corrections, a vector of doubles at a time. Every operation is one IEEE operation
// on each lane, so a lane computes what the scalar code computes for its sample, whatever the
// width; the AVX2 forms differ from the baseline ones only in width and instructions.
using Lanes2 = double __attribute__((vector_size(16)));
using Lanes4 = double __attribute__((vector_size(32)));

// corrected_on_grid for samples [i, i + W) in double arithmetic alone. Exact, and so equal to the
// integer arithmetic, when every code and every code moved by a residual's bins is a whole number
// of magnitude at most 2^53 (see grid_reach_is_exact).
template <class Lanes>
VANTREL_ALWAYS_INLINE void grid_lanes(const float* base, const int32_t* residual, const Refinement& r,
                                      double* y) {
  constexpr int kW = sizeof(Lanes) / sizeof(double);
  const SampleGrid& g = *r.grid;
  Lanes b, moves;
  for (int k = 0; k < kW; ++k) {
    b[k] = static_cast<double>(base[k]);
    moves[k] = static_cast<double>(residual[k]);
  }
  const Lanes none{};  // all lanes +0
  Lanes origin, step, lowest, highest, bin, big;
  for (int k = 0; k < kW; ++k) {
    origin[k] = g.origin;
    step[k] = g.step;
    lowest[k] = g.min_code;
    highest[k] = g.max_code;
    bin[k] = static_cast<double>(r.bin_codes);
    big[k] = 0x1p52;
  }
  // code_of: the nearest whole number of steps, ties to even as nearbyint rounds (adding and
  // taking away 2^52 below it, every double whole above), NaN at code 0, clamped to the codes.
  const Lanes u = (b - origin) / step;
  const Lanes a = u < none ? -u : u;
  const Lanes rounded = a < big ? (a + big) - big : a;
  Lanes whole = u < none ? -rounded : rounded;
  whole = u == u ? whole : none;
  Lanes code = whole < lowest ? lowest : whole;
  code = highest < code ? highest : code;
  Lanes moved = code + bin * moves;
  moved = moved < lowest ? lowest : moved;
  moved = highest < moved ? highest : moved;
  // A code of -0 (a bound of -0, or rounding from just below 0) counts as the integer 0.
  const Lanes v = origin + step * (moved + none);
  for (int k = 0; k < kW; ++k) y[k] = v[k];
}

// Whether every code and every code moved by a residual's bins is a whole number within 2^53,
// which keeps grid_lanes exact.
bool grid_reach_is_exact(std::span<const int32_t> residual, const Refinement& r) {
  const SampleGrid& g = *r.grid;
  uint32_t widest = 0;
  for (const int32_t v : residual) widest = std::max(widest, v < 0 ? 0u - v : uint32_t(v));
  const double reach = static_cast<double>(r.bin_codes) * widest;  // exact: below 2^61
  return std::max(std::fabs(g.min_code), std::fabs(g.max_code)) + reach <= 0x1p53;
}

// corrected_off_grid, with the base's value itself where the residual is 0 (the fused product of
// nothing adds a zero signed like the bin width, which is positive).
VANTREL_ALWAYS_INLINE double off_grid_value(float b, int32_t r, const Refinement& ref) {
  return r == 0 ? static_cast<double>(b) + 0.0 : corrected_off_grid(b, r, ref);
}

template <class Lanes>
VANTREL_ALWAYS_INLINE void correct_lanes(std::span<const float> base,
                                         std::span<const int32_t> residual, const Refinement& r,
                                         bool exact_grid, std::span<double> y) {
  constexpr size_t kW = sizeof(Lanes) / sizeof(double);
  const size_t n = base.size();
  if (!r.grid) {
    for (size_t i = 0; i < n; ++i) y[i] = off_grid_value(base[i], residual[i], r);
    return;
  }
  if (!exact_grid) {
    for (size_t i = 0; i < n; ++i) y[i] = corrected_on_grid(base[i], residual[i], r);
    return;
  }
  size_t i = 0;
  for (; i + kW <= n; i += kW) grid_lanes<Lanes>(&base[i], &residual[i], r, &y[i]);
  if (i < n) {
    // The last samples in the lanes of a padded copy.
    float b[kW] = {};
    int32_t moves[kW] = {};
    double out[kW];
    std::copy(base.begin() + static_cast<ptrdiff_t>(i), base.end(), b);
    std::copy(residual.begin() + static_cast<ptrdiff_t>(i), residual.end(), moves);
    grid_lanes<Lanes>(b, moves, r, out);
    std::copy(out, out + (n - i), &y[i]);
  }
}

void correct_baseline(std::span<const float> base, std::span<const int32_t> residual,
                      const Refinement& r, bool exact_grid, std::span<double> y) {
  correct_lanes<Lanes2>(base, residual, r, exact_grid, y);
}

#if defined(__x86_64__)
VANTREL_TARGET_AVX2 void correct_avx2(std::span<const float> base,
                                      std::span<const int32_t> residual, const Refinement& r,
                                      bool exact_grid, std::span<double> y) {
  correct_lanes<Lanes4>(base, residual, r, exact_grid, y);
}
#endif

}  // namespace

namespace {

// The residuals of `r` against `base` decoded into `residual` (as many as base samples).
Status<VantrelError> decode_for(std::span<const float> base, const Refinement& r,
                                std::span<int32_t> residual) {
  if (base.size() != r.sample_count)
    return VantrelError::decompression_failed(to_string(RefinementError::CountDisagrees));
  const auto decoded = decode_residual_into(r.stream, base, coder_bin(r), residual, r.format);
  if (!decoded.ok()) return VantrelError::decompression_failed(decoded.error());
  return {};
}

void correct_span(std::span<const float> base, std::span<const int32_t> residual,
                  const Refinement& r, bool exact_grid, std::span<double> y) {
#if defined(__x86_64__)
  if (active_simd_target() == SimdTarget::Avx2) {
    correct_avx2(base, residual, r, exact_grid, y);
    return;
  }
#endif
  correct_baseline(base, residual, r, exact_grid, y);
}

}  // namespace

Status<VantrelError> correct_into(std::span<const float> base, const Refinement& r,
                                  std::span<double> y) {
  if (y.size() != base.size())
    return VantrelError::decompression_failed(to_string(RefinementError::CountDisagrees));
  // Every residual is written before it is read, as is every corrected value.
  const auto residual_store = std::make_unique_for_overwrite<int32_t[]>(base.size());
  const std::span<int32_t> residual(residual_store.get(), base.size());
  if (auto decoded = decode_for(base, r, residual); !decoded.ok()) return decoded;
  correct_span(base, residual, r, r.grid && grid_reach_is_exact(residual, r), y);
  return {};
}

Status<VantrelError> correct_blocks(std::span<const float> base, const Refinement& r,
                                    CorrectedSink& sink) {
  const auto residual_store = std::make_unique_for_overwrite<int32_t[]>(base.size());
  const std::span<int32_t> residual(residual_store.get(), base.size());
  if (auto decoded = decode_for(base, r, residual); !decoded.ok()) return decoded;
  const bool exact_grid = r.grid && grid_reach_is_exact(residual, r);
  // A block whose values stay in the nearest caches (a multiple of every lane width).
  constexpr size_t kBlock = 2048;
  double block[kBlock];
  for (size_t first = 0; first < base.size(); first += kBlock) {
    const size_t m = std::min(kBlock, base.size() - first);
    correct_span(base.subspan(first, m), residual.subspan(first, m), r, exact_grid, {block, m});
    if (!sink.take(first, {block, m})) break;
  }
  return {};
}

Result<std::vector<double>, VantrelError> correct(std::span<const float> base,
                                                  const Refinement& r) {
  std::vector<double> y(base.size());
  auto done = correct_into(base, r, y);
  if (!done.ok()) return std::move(done).error();
  return y;
}

// The body, all numbers little-endian:
//   0  u8   kind: 1 bins of a width, 2 bins of codes of a grid
//   1  u8   the residual stream's format: 0 adaptive, 1 blocks
//   2  2    reserved, 0
//   4  u32  sample count, the container's
//   8  f64  bin width (kind 1) or the grid's step (kind 2)
//  16  f64  the grid's origin (kind 2; else 0)
//  24  f64  the grid's lowest code (kind 2; else 0)
//  32  f64  the grid's highest code (kind 2; else 0)
//  40  u32  codes per bin, odd (kind 2; else 0)
//  44       the residual stream, to the end of the body
void write_refinement(const Refinement& r, std::vector<uint8_t>& body) {
  body.push_back(r.grid ? kKindGrid : kKindWidth);
  body.push_back(static_cast<uint8_t>(r.format));
  body.insert(body.end(), 2, 0);
  append_u32(body, r.sample_count);
  append_f64(body, r.grid ? r.grid->step : r.bin_width);
  append_f64(body, r.grid ? r.grid->origin : 0.0);
  append_f64(body, r.grid ? r.grid->min_code : 0.0);
  append_f64(body, r.grid ? r.grid->max_code : 0.0);
  append_u32(body, r.grid ? r.bin_codes : 0);
  body.insert(body.end(), r.stream.begin(), r.stream.end());
}

Result<Refinement, RefinementError> read_refinement(std::span<const uint8_t> body,
                                                    uint32_t sample_count) {
  if (body.size() < kRefinementHeadSize + 1) return RefinementError::CutShort;
  const uint8_t* p = body.data();
  const uint8_t kind = p[0];
  // A kind or stream format this reader does not know comes from a newer writer (or damage).
  if (kind != kKindWidth && kind != kKindGrid) return RefinementError::UnknownKind;
  if (p[1] > static_cast<uint8_t>(kNewestResidualFormat)) return RefinementError::UnknownKind;
  if (body.size() < kRefinementHeadSize + kMinStream[p[1]]) return RefinementError::CutShort;
  if (p[2] != 0 || p[3] != 0) return RefinementError::BadQuantisation;
  if (load_u32(p + 4) != sample_count) return RefinementError::CountDisagrees;
  Refinement r;
  r.sample_count = sample_count;
  r.format = static_cast<ResidualFormat>(p[1]);
  const double width = load_f64(p + 8);
  const SampleGrid g{width, load_f64(p + 16), load_f64(p + 24), load_f64(p + 32)};
  const uint32_t bin_codes = load_u32(p + 40);
  if (kind == kKindWidth) {
    const bool zero_rest = std::bit_cast<uint64_t>(g.origin) == 0 &&
                           std::bit_cast<uint64_t>(g.min_code) == 0 &&
                           std::bit_cast<uint64_t>(g.max_code) == 0 && bin_codes == 0;
    if (!(width > 0.0) || !std::isfinite(width) || !zero_rest)
      return RefinementError::BadQuantisation;
    r.bin_width = width;
  } else {
    if (!is_valid_grid(g) || bin_codes % 2 == 0 || bin_codes > kMaxBinCodes)
      return RefinementError::BadQuantisation;
    r.grid = g;
    r.bin_codes = bin_codes;
  }
  r.stream.assign(body.begin() + kRefinementHeadSize, body.end());
  return r;
}

}  // namespace vantrel
