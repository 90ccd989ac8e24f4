// Compressing to a quality instead of a scale: the smallest container the search finds whose
// decoded samples meet a target.
//
//   auto packed = vantrel::compress_to(samples, {vantrel::QualityMetric::Psnr, 70.0});
//   if (packed) use(packed->container, packed->achieved.psnr);
//
// The container is an ordinary one (any decoder reads it): the search only uses the freedom the
// format leaves the encoder, a multiplier between the powers of two with the dead zone off, and
// the wavelet when the caller leaves it open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "codec/options.h"
#include "codec/residual_format.h"
#include "codec/vantrel_error.h"
#include "support/result.h"

namespace vantrel {

enum class QualityMetric : uint8_t { Psnr = 0, Prd = 1, Rmse = 2, MaxError = 3 };

// A PSNR in dB to reach at least; a PRD in percent, an RMSE or a maximum absolute error (in the
// signal's units) to stay within.
struct QualityTarget {
  QualityMetric metric;
  double value;
};

// How far decoded samples lie from their original, computed in double over the samples whose
// original is finite (a NaN or infinite original is a gap, not data):
//   rmse = sqrt(mean((x - y)^2)), max_error = max |x - y|,
//   psnr = 20 log10(peak / rmse) with peak = max(x) - min(x) (inf when rmse is 0, NaN when only
//   the peak is), prd = 100 ||x - y|| / ||x|| (NaN when ||x|| is 0).
// With no sample measured, rmse and max_error are 0, psnr inf and prd NaN.
struct Distortion {
  double psnr;
  double prd;
  double rmse;
  double max_error;
};

// The metrics, one row each, indexed by QualityMetric. Callers read every name and text from
// here: the Python keywords and codec configuration keys, the command line's flags (the name with
// '-' for '_'), their placeholders and help.
struct QualityMetricEntry {
  QualityMetric metric;
  std::string_view name;
  // A floor to reach (a level in dB, any sign) rather than a ceiling to stay within (a
  // non-negative error).
  bool higher_is_better;
  double Distortion::*measured;  // the measurement of a candidate the target is judged on
  std::string_view metavar;
  std::string_view help;
};

inline constexpr QualityMetricEntry kQualityMetrics[] = {
    {QualityMetric::Psnr, "psnr", true, &Distortion::psnr, "DB",
     "at least this PSNR in dB (peak = max - min of the channel)"},
    {QualityMetric::Prd, "prd", false, &Distortion::prd, "PCT",
     "at most this PRD in percent, 100 ||x - y|| / ||x||"},
    {QualityMetric::Rmse, "rmse", false, &Distortion::rmse, "X",
     "at most this root-mean-square error"},
    {QualityMetric::MaxError, "max_error", false, &Distortion::max_error, "X",
     "no sample further than X from its original"},
};

constexpr bool quality_metric_codes_are_indices() {
  for (size_t i = 0; i < std::size(kQualityMetrics); ++i) {
    if (static_cast<size_t>(kQualityMetrics[i].metric) != i) return false;
  }
  return true;
}
static_assert(quality_metric_codes_are_indices());

Distortion measure_distortion(std::span<const float> original, std::span<const float> decoded);

// Whether a distortion meets a target. A reconstruction without error meets every target, also
// those whose metric has no value for its original; a constant original (peak 0, psnr NaN with a
// finite rmse) meets every PSNR target, since a PSNR measures the error against a range it lacks.
// A PRD of an original without energy is met only without error.
bool meets(const Distortion& d, const QualityTarget& target);

// Where a writer stores decoded samples y as whole-number codes, as integer file formats do:
//   code = clamp(rint((y - origin) / step), min_code, max_code)  (ties to even, as NumPy's rint),
// read back as origin + step * code. An EDF signal has step = (physical range) / (digital range)
// and origin = physical minimum - step * digital minimum; WFDB step = 1 / gain, origin =
// -baseline / gain; 16-bit PCM step = 2^-15, origin 0, codes -32768 to 32767.
struct SampleGrid {
  double step;      // positive and finite
  double origin;    // finite
  double min_code;  // whole numbers from -2^53 to 2^53, min_code <= max_code, whose values
  double max_code;  // origin + step * code are finite
};

// Whether every value origin + step * code of the grid is a finite double and every code from
// min_code to max_code a whole number a double holds exactly.
bool is_valid_grid(const SampleGrid& g);

// How far a reader's own rounding of origin + step * code may lie from ours: an original within
// this of a grid value is that code's value.
double grid_margin(const SampleGrid& g);

// A correction layer over a base container: the integer residual between the original and the
// decoded base, quantised uniformly and coded by the residual coder (codec/residual.h). A reader
// decodes the base, then adds the residual back (see codec/refine.h).
// - On a grid: residuals count codes of `grid`, in bins of `bin_codes` = 2k + 1 codes, and the
//   corrected code (clamped to the grid's codes) lies within k codes of the original's; k = 0 is
//   lossless.
// - Off a grid: residuals count bins of `bin_width` signal units, and the corrected sample is the
//   float32 nearest to base + bin_width * residual.
struct Refinement {
  std::optional<SampleGrid> grid;
  uint32_t bin_codes = 0;       // on a grid: odd, at least 1; else 0
  double bin_width = 0.0;       // off a grid: positive and finite; else 0
  uint32_t sample_count = 0;    // the base's
  std::vector<uint8_t> stream;  // the coded residual
  ResidualFormat format = kNewestResidualFormat;  // of `stream`
};

struct TargetedContainer {
  std::vector<uint8_t> container;  // the base when a refinement comes with it
  Distortion achieved;             // of the samples the user gets back against the samples measured
  float quant_multiplier;
  WaveletMethod method;
  uint32_t trials;   // candidates de-quantised and inverse-transformed during the search
  uint32_t encodes;  // candidates entropy-coded
  // Set when the target is met by the base plus this correction layer, which the caller stores
  // with the container: a reader that ignores it gets the base, of quality `base_achieved`.
  std::optional<Refinement> refinement;
  Distortion base_achieved;  // of the base alone; equal to `achieved` without a refinement
  // With SearchOptions::keep_corrected and a refinement on a grid: the samples the correction
  // gives a reader (what `correct` returns for the container's decoded base and `refinement`), before
  // any rounding to the caller's sample type; else empty.
  std::vector<double> corrected;
};

struct SearchOptions {
  std::optional<WaveletMethod> method;  // unset: the search chooses (see compress_to)
  // Set: the target holds for the values a reader of the grid gets back, whatever formula the
  // reader rounds origin + step * code by: a maximum or root-mean-square error is met with a
  // margin of 2^-50 (|origin| + step * max |code|), so a maximum error of a whole number of steps
  // allows one step less; an original within that margin of a grid value is that code's value,
  // and a sample that comes back to the code comes back without error.
  std::optional<SampleGrid> grid;
  // Set: a max_error target may be met by a base plus a correction layer, whichever of that and
  // the plain container is smaller (the caller must store TargetedContainer::refinement with the
  // container). A bound finer than any plain container reaches becomes reachable this way: on a
  // grid down to the originals' own distance to it (0, lossless, when they lie on it); off a grid
  // down to the spacing of float32 values at the signal's largest magnitude.
  bool refine = false;
  // Set: a result with a refinement on a grid keeps the corrected samples
  // (TargetedContainer::corrected), so the caller can measure what a reader gets back after its
  // last rounding without decoding the container again. (Off a grid the search measures the
  // values a reader returns.)
  bool keep_corrected = false;
};

// The smallest container found whose decoded samples meet `target`, coded with `method`. Without
// a method, every method is started: for a mean-square target at the multiplier predicted to meet
// it, for a largest error at the multiplier its whole search finds. They are ranked there by an
// order-0 entropy estimate of their quantised coefficients; the method estimated smallest is
// searched and coded, and so is the runner-up when its estimate lies within 1.5% of the best, and
// the smaller of those containers is kept (when neither meets the target, the other methods are
// tried in turn). The estimate ranks sizes to within about 2%, so another method's container can
// be smaller by up to that much (1.4% at most, 0.05% on average, over uniform noise at 60 and
// 70 dB). Samples are sanitised as `compress` does (NaN and -inf become 0, +inf 1) and the
// distortion is measured against the sanitised samples. A target no container reaches is refused
// with the best value reachable.
Result<TargetedContainer, VantrelError> compress_to(
    std::span<const float> samples, const QualityTarget& target,
    std::optional<WaveletMethod> method = std::nullopt);

// The same, measuring the distortion against `reference` (as long as `samples`): the values the
// samples were rounded from, such as float64 originals; its NaN and infinite values are gaps, as
// below.
Result<TargetedContainer, VantrelError> compress_to(
    std::span<const float> samples, std::span<const double> reference, const QualityTarget& target,
    std::optional<WaveletMethod> method = std::nullopt);

// The search with options. `reference` holds what the samples stand for (float64 originals), or
// is empty for the samples themselves. A NaN or infinite value in it is a gap: that sample is
// coded as given (the caller fills gaps, the codec sanitises what is not finite) but not measured,
// and the peak, energy and count of every metric are those of the measured samples.
// - With no sample measured, every target is met.
// - A constant set of measured samples meets every PSNR target.
// In both cases the search keeps the smallest multiplier, at which every coefficient rounds to 0
// (a flat signal gets the default container, as for any target).
// With a grid, a target finer than the grid or its clipping allows is refused (the error names
// the best value the format reaches); an error that falls to exactly 0 once every decoded sample
// rounds to its original code meets every target, so integer data can come back unchanged.
Result<TargetedContainer, VantrelError> compress_to(std::span<const float> samples,
                                                    std::span<const double> reference,
                                                    const QualityTarget& target,
                                                    const SearchOptions& options);

// The search of float64 samples that stand for themselves: the same container and measurements
// as compress_to(their nearest float32 values, samples, target, options), without a float32 copy
// of the signal held through the search. A finite sample beyond float32's range is refused.
Result<TargetedContainer, VantrelError> compress_to(std::span<const double> samples,
                                                    const QualityTarget& target,
                                                    const SearchOptions& options);

}  // namespace vantrel
