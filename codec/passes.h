// The per-sample passes of the pipeline. Each is one pass over contiguous memory; the scalar
// form defines the result and any vector form reproduces it bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vantrel {

struct Extremes {
  float min;
  float max;
};

// Copies `in` into `out` with NaN and -inf replaced by 0.0 and +inf by 1.0, and returns the
// extremes of the copy. Among equal extremes (0.0 and -0.0) the first in index order is kept.
// `in` must not be empty.
Extremes sanitize_copy(std::span<const float> in, std::span<float> out);

// x = (x - min) * inv in place; returns the float sum of the results added in index order.
float normalize_in_place(std::span<float> x, float min, float inv);

// x = x - mean in place.
void subtract_in_place(std::span<float> x, float mean);

// out[i] = x[i] * multiplier rounded half away from zero and clamped to the int16 range (a NaN
// product clamps to 32767). Returns false when a rounded value lay outside -32768..32767.
bool quantize(std::span<const float> x, float multiplier, std::span<int16_t> out);

// Zeroes every value whose magnitude (taken in 32 bits) is below `threshold`.
void apply_dead_zone(std::span<int16_t> values, int32_t threshold);

// x = fma(x + mean, range, min) in place: undoes the normalisation with one rounding for the
// product and the sum.
void denormalize_in_place(std::span<float> x, float mean, float range, float min);

}  // namespace vantrel
