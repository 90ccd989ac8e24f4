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

// How far decoded samples lie from their original, computed in double:
//   rmse = sqrt(mean((x - y)^2)), max_error = max |x - y|,
//   psnr = 20 log10(peak / rmse) with peak = max(x) - min(x) (inf when rmse is 0, NaN when only
//   the peak is), prd = 100 ||x - y|| / ||x|| (NaN when ||x|| is 0).
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
// those whose metric has no value for its original.
bool meets(const Distortion& d, const QualityTarget& target);

struct TargetedContainer {
  std::vector<uint8_t> container;
  Distortion achieved;  // of the container's decoded samples against the samples given
  float quant_multiplier;
  WaveletMethod method;
  uint32_t trials;   // candidates de-quantised and inverse-transformed during the search
  uint32_t encodes;  // candidates entropy-coded
};

// The smallest container found whose decoded samples meet `target`, coded with `method`, or with
// the method that gives the smallest container when none is given. Samples are sanitised as
// `compress` does (NaN and -inf become 0, +inf 1) and the distortion is measured against the
// sanitised samples. A target no container reaches is refused with the best value reachable.
Result<TargetedContainer, VantrelError> compress_to(
    std::span<const float> samples, const QualityTarget& target,
    std::optional<WaveletMethod> method = std::nullopt);

// The same, measuring the distortion against `reference` (finite, as long as `samples`): the
// values the samples were rounded from, such as float64 originals.
Result<TargetedContainer, VantrelError> compress_to(
    std::span<const float> samples, std::span<const double> reference, const QualityTarget& target,
    std::optional<WaveletMethod> method = std::nullopt);

}  // namespace vantrel
