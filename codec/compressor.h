// The compressor: samples and options in, one container out.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/error.h"
#include "codec/options.h"
#include "support/result.h"

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

// Normalisation, decomposition, quantisation, dead zone and entropy coding.
Result<CoreOutput, VantrelError> compress_core(std::span<const float> samples,
                                               const VtrlCompressionOptions& options,
                                               uint8_t levels);

// Dead-zone threshold of a scale and cutoff level: base(scale) * factor(cutoff).
int32_t dead_zone_threshold(uint8_t scale, uint8_t cutoff);

}  // namespace vantrel
