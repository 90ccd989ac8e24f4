// The decompressor: one container in, the samples out.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/error.h"
#include "support/result.h"
#include "wavelet/executor.h"

namespace vantrel {

// Everything after the header: level sizes, entropy decoding, de-quantisation, inverse transform,
// de-normalisation and the final length.
Result<std::vector<float>, VantrelError> decompress_core(std::span<const uint8_t> payload,
                                                         uint8_t method, uint64_t levels,
                                                         uint32_t sample_count, uint8_t scale,
                                                         uint8_t coder, float signal_min,
                                                         float signal_max, float norm_mean,
                                                         float multiplier);

}  // namespace vantrel
