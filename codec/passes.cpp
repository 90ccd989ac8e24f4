#include "codec/passes.h"

#include <cassert>
#include <cmath>

#include "codec/passes_kernels.h"
#include "support/simd.h"

namespace vantrel {
namespace {

// The scalar kernels: the reference every vector table reproduces.

Extremes sanitize(const float* in, float* out, size_t n) {
  // Four independent accumulators per extreme keep the scan fast.
  float mn[4], mx[4];
  for (size_t k = 0; k < 4; ++k)
    mn[k] = mx[k] = std::isfinite(in[0]) ? in[0] : (in[0] > 0.0f ? 1.0f : 0.0f);
  for (size_t i = 0; i < n; ++i) {
    const float x = in[i];
    // NaN and -inf become 0, +inf becomes 1, finite values stay.
    const float v = std::isfinite(x) ? x : (x > 0.0f ? 1.0f : 0.0f);
    out[i] = v;
    mn[i & 3] = v < mn[i & 3] ? v : mn[i & 3];
    mx[i & 3] = v > mx[i & 3] ? v : mx[i & 3];
  }
  for (size_t k = 1; k < 4; ++k) {
    mn[0] = mn[k] < mn[0] ? mn[k] : mn[0];
    mx[0] = mx[k] > mx[0] ? mx[k] : mx[0];
  }
  return {mn[0], mx[0]};
}

float normalize(float* x, size_t n, float min, float inv) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    x[i] = (x[i] - min) * inv;
    sum += x[i];
  }
  return sum;
}

void subtract(float* x, size_t n, float mean) {
  for (size_t i = 0; i < n; ++i) x[i] -= mean;
}

bool quantize_values(const float* x, size_t n, float multiplier, int16_t* out) {
  bool in_range = true;
  for (size_t i = 0; i < n; ++i) {
    const float r = std::round(x[i] * multiplier);
    in_range &= (r >= -32768.0f) & (r <= 32767.0f);
    // minNum / maxNum: a NaN operand yields the other one, so NaN clamps to 32767.
    out[i] = static_cast<int16_t>(std::fmax(std::fmin(r, 32767.0f), -32768.0f));
  }
  return in_range;
}

void dead_zone(int16_t* v, size_t n, int32_t threshold) {
  for (size_t i = 0; i < n; ++i) {
    const int32_t magnitude = v[i] < 0 ? -static_cast<int32_t>(v[i]) : v[i];
    if (magnitude < threshold) v[i] = 0;
  }
}

void denormalize(float* x, size_t n, float mean, float range, float min) {
  for (size_t i = 0; i < n; ++i) x[i] = std::fma(x[i] + mean, range, min);
}

// The extreme under `better` that a left-to-right scan with a strict comparison keeps: the first
// one in index order. Only +0.0 and -0.0 compare equal while differing, so a zero result is
// replaced by the first zero of the data.
float first_extreme(std::span<const float> x, float value) {
  if (value != 0.0f) return value;
  for (const float v : x)
    if (v == 0.0f) return v;
  return value;
}

}  // namespace

const PassKernels kPassKernelsScalar = {
    sanitize, normalize, subtract, quantize_values, dead_zone, denormalize,
};

const PassKernels& pass_kernels() noexcept {
  static const TargetTables<PassKernels> tables(kPassKernelsScalar,
                                                VANTREL_AVX2_KERNELS(kPassKernelsAvx2));
  return tables.active();
}

Extremes sanitize_copy(std::span<const float> in, std::span<float> out) {
  assert(!in.empty() && out.size() >= in.size());
  const size_t n = in.size();
  const Extremes e = pass_kernels().sanitize(in.data(), out.data(), n);
  // Which of equal extremes wins (only +0.0 and -0.0 compare equal while differing) is settled
  // here, the same way for every target.
  const std::span<const float> data(out.data(), n);
  return {first_extreme(data, e.min), first_extreme(data, e.max)};
}

float normalize_in_place(std::span<float> x, float min, float inv) {
  return pass_kernels().normalize(x.data(), x.size(), min, inv);
}

void subtract_in_place(std::span<float> x, float mean) {
  pass_kernels().subtract(x.data(), x.size(), mean);
}

bool quantize(std::span<const float> x, float multiplier, std::span<int16_t> out) {
  assert(out.size() == x.size());
  return pass_kernels().quantize(x.data(), x.size(), multiplier, out.data());
}

void apply_dead_zone(std::span<int16_t> values, int32_t threshold) {
  if (threshold <= 0) return;
  pass_kernels().dead_zone(values.data(), values.size(), threshold);
}

void denormalize_in_place(std::span<float> x, float mean, float range, float min) {
  pass_kernels().denormalize(x.data(), x.size(), mean, range, min);
}

}  // namespace vantrel
