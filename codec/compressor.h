// The compressor: samples and options in, one container out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "codec/error.h"
#include "codec/options.h"
#include "codec/passes.h"
#include "support/result.h"
#include "wavelet/executor.h"

namespace vantrel {

inline constexpr uint64_t kMaxSamples = 0x7FFFFFFF;

struct CoreOutput {
  std::vector<uint8_t> payload;
  float signal_min;
  float signal_max;
  float norm_mean;
  float multiplier;
  uint8_t scale;
  uint8_t coder;
};

// Number of decomposition levels (1..8) for n samples of the method.
uint8_t pick_levels(uint64_t n, uint8_t method);

// A signal sanitised and normalised to about [-1, 1] with zero mean, ready for the transform.
struct NormalizedSignal {
  std::unique_ptr<float[]> storage;
  // max(n, filter length) values: signals shorter than the filter repeat from their start.
  std::span<float> work;
  Extremes extremes;  // of the sanitised samples
  float norm_mean;
  bool flat;  // the range has no finite reciprocal: every normalised value is 0
};

// The sanitising copy and the normalisation, for a transform of `filter_length`.
Result<NormalizedSignal, VantrelError> normalize_signal(std::span<const float> samples,
                                                        size_t filter_length);

// Receives one band of the decomposition and where it starts in coding order (A, D_1 .. D_L back
// to back): 0 for the approximation.
using BandPlacer = std::function<void(std::span<const float> band, size_t offset)>;

// The multi-level decomposition of `work` (whose values are spent) into bands of `lengths`, the
// container's band lengths in coding order, handed to `place` as each exists: the details finest
// first, then the approximation. Bands of other lengths are refused.
Status<VantrelError> transform_in_coding_order(const DwtExecutor& executor, std::span<float> work,
                                               std::span<const size_t> lengths,
                                               const BandPlacer& place);

// Normalisation, decomposition, quantisation, dead zone and entropy coding.
Result<CoreOutput, VantrelError> compress_core(std::span<const float> samples,
                                               const VtrlCompressionOptions& options,
                                               uint8_t levels);

// Dead-zone threshold of a scale and cutoff level: base(scale) * factor(cutoff).
int32_t dead_zone_threshold(uint8_t scale, uint8_t cutoff);

}  // namespace vantrel
