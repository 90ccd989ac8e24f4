#include "codec/passes.h"

#include <cassert>
#include <cmath>

namespace vantrel {

Extremes sanitize_copy(std::span<const float> in, std::span<float> out) {
  assert(!in.empty() && out.size() >= in.size());
  const size_t n = in.size();
  for (size_t i = 0; i < n; ++i) {
    const float x = in[i];
    // NaN and -inf become 0, +inf becomes 1, finite values stay.
    out[i] = std::isfinite(x) ? x : (x > 0.0f ? 1.0f : 0.0f);
  }
  float mn = out[0];
  float mx = out[0];
  for (size_t i = 1; i < n; ++i) {
    const float x = out[i];
    mn = x < mn ? x : mn;
    mx = x > mx ? x : mx;
  }
  return {mn, mx};
}

float normalize_in_place(std::span<float> x, float min, float inv) {
  float sum = 0.0f;
  for (float& v : x) {
    v = (v - min) * inv;
    sum += v;
  }
  return sum;
}

void subtract_in_place(std::span<float> x, float mean) {
  for (float& v : x) v -= mean;
}

bool quantize(std::span<const float> x, float multiplier, std::span<int16_t> out) {
  assert(out.size() == x.size());
  bool in_range = true;
  for (size_t i = 0; i < x.size(); ++i) {
    const float r = std::round(x[i] * multiplier);
    in_range &= (r >= -32768.0f) & (r <= 32767.0f);
    // minNum / maxNum: a NaN operand yields the other one, so NaN clamps to 32767.
    const float c = std::fmax(std::fmin(r, 32767.0f), -32768.0f);
    out[i] = static_cast<int16_t>(c);
  }
  return in_range;
}

void apply_dead_zone(std::span<int16_t> values, int32_t threshold) {
  if (threshold <= 0) return;
  for (int16_t& v : values) {
    const int32_t magnitude = v < 0 ? -static_cast<int32_t>(v) : v;
    if (magnitude < threshold) v = 0;
  }
}

void dequantize(std::span<const int16_t> v, float reciprocal, std::span<float> out) {
  assert(out.size() == v.size());
  for (size_t i = 0; i < v.size(); ++i) out[i] = static_cast<float>(v[i]) * reciprocal;
}

void denormalize_in_place(std::span<float> x, float mean, float range, float min) {
  for (float& v : x) v = std::fma(v + mean, range, min);
}

}  // namespace vantrel
