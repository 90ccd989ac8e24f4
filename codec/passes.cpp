#include "codec/passes.h"

#include <cassert>
#include <cmath>

#include "codec/passes_kernels.h"
#include "support/cpu.h"

namespace vantrel {
namespace passes {

Extremes sanitize_scalar(const float* in, float* out, size_t n) {
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

float normalize_scalar(float* x, size_t n, float min, float inv) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    x[i] = (x[i] - min) * inv;
    sum += x[i];
  }
  return sum;
}

void subtract_scalar(float* x, size_t n, float mean) {
  for (size_t i = 0; i < n; ++i) x[i] -= mean;
}

bool quantize_scalar(const float* x, size_t n, float multiplier, int16_t* out) {
  bool in_range = true;
  for (size_t i = 0; i < n; ++i) {
    const float r = std::round(x[i] * multiplier);
    in_range &= (r >= -32768.0f) & (r <= 32767.0f);
    // minNum / maxNum: a NaN operand yields the other one, so NaN clamps to 32767.
    out[i] = static_cast<int16_t>(std::fmax(std::fmin(r, 32767.0f), -32768.0f));
  }
  return in_range;
}

void dead_zone_scalar(int16_t* v, size_t n, int32_t threshold) {
  for (size_t i = 0; i < n; ++i) {
    const int32_t magnitude = v[i] < 0 ? -static_cast<int32_t>(v[i]) : v[i];
    if (magnitude < threshold) v[i] = 0;
  }
}

void dequantize_scalar(const int16_t* v, size_t n, float reciprocal, float* out) {
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(v[i]) * reciprocal;
}

void denormalize_scalar(float* x, size_t n, float mean, float range, float min) {
  for (size_t i = 0; i < n; ++i) x[i] = std::fma(x[i] + mean, range, min);
}

}  // namespace passes

namespace {

bool use_avx2() {
#if defined(__x86_64__)
  return active_simd_target() == SimdTarget::Avx2;
#else
  return false;
#endif
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

Extremes sanitize_copy(std::span<const float> in, std::span<float> out) {
  assert(!in.empty() && out.size() >= in.size());
  const size_t n = in.size();
#if defined(__x86_64__)
  const Extremes e = use_avx2() ? passes::sanitize_avx2(in.data(), out.data(), n)
                                : passes::sanitize_scalar(in.data(), out.data(), n);
#else
  const Extremes e = passes::sanitize_scalar(in.data(), out.data(), n);
#endif
  // Which of equal extremes wins (only +0.0 and -0.0 compare equal while differing) is settled
  // here, the same way for every target.
  const std::span<const float> data(out.data(), n);
  return {first_extreme(data, e.min), first_extreme(data, e.max)};
}

float normalize_in_place(std::span<float> x, float min, float inv) {
#if defined(__x86_64__)
  if (use_avx2()) return passes::normalize_avx2(x.data(), x.size(), min, inv);
#endif
  return passes::normalize_scalar(x.data(), x.size(), min, inv);
}

void subtract_in_place(std::span<float> x, float mean) {
#if defined(__x86_64__)
  if (use_avx2()) return passes::subtract_avx2(x.data(), x.size(), mean);
#endif
  passes::subtract_scalar(x.data(), x.size(), mean);
}

bool quantize(std::span<const float> x, float multiplier, std::span<int16_t> out) {
  assert(out.size() == x.size());
#if defined(__x86_64__)
  if (use_avx2()) return passes::quantize_avx2(x.data(), x.size(), multiplier, out.data());
#endif
  return passes::quantize_scalar(x.data(), x.size(), multiplier, out.data());
}

void apply_dead_zone(std::span<int16_t> values, int32_t threshold) {
  if (threshold <= 0) return;
#if defined(__x86_64__)
  if (use_avx2()) return passes::dead_zone_avx2(values.data(), values.size(), threshold);
#endif
  passes::dead_zone_scalar(values.data(), values.size(), threshold);
}

void dequantize(std::span<const int16_t> v, float reciprocal, std::span<float> out) {
  assert(out.size() == v.size());
#if defined(__x86_64__)
  if (use_avx2()) return passes::dequantize_avx2(v.data(), v.size(), reciprocal, out.data());
#endif
  passes::dequantize_scalar(v.data(), v.size(), reciprocal, out.data());
}

void denormalize_in_place(std::span<float> x, float mean, float range, float min) {
#if defined(__x86_64__)
  if (use_avx2()) return passes::denormalize_avx2(x.data(), x.size(), mean, range, min);
#endif
  passes::denormalize_scalar(x.data(), x.size(), mean, range, min);
}

}  // namespace vantrel
