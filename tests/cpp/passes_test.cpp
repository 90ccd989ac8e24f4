#include "codec/passes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "codec/passes_kernels.h"
#include "targets.h"
#include "wavelet/kernels/conv_kernels.h"
#include "wavelet/kernels/lifting_kernels.h"

namespace vantrel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// Values that exercise every branch: specials, signed zeros, halves, the int16 edges.
std::vector<float> awkward(size_t n, uint32_t seed) {
  static const float specials[] = {NAN, kInf, -kInf, 0.0f, -0.0f, 0.5f, -0.5f, 2.5f, -2.5f,
                                   16383.75f, -16384.25f, 1e-40f, -1e30f, 8388609.0f, 16383.25f};
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-20000.0f, 20000.0f);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i)
    x[i] = rng() % 4 == 0 ? specials[rng() % std::size(specials)] : u(rng) / float(1 << (rng() % 16));
  return x;
}

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

struct Outputs {
  Extremes ext;
  std::vector<float> sanitized, normalized, subtracted, denormalized;
  float sum;
  bool in_range;
  std::vector<int16_t> quantized, dead;
};

Outputs run_all(const std::vector<float>& x) {
  Outputs o;
  o.sanitized.resize(x.size());
  o.ext = sanitize_copy(x, o.sanitized);
  o.normalized = o.sanitized;
  o.sum = normalize_in_place(o.normalized, o.ext.min, 1.0f / 3.0f);
  o.subtracted = o.normalized;
  subtract_in_place(o.subtracted, 0.1f);
  o.quantized.resize(x.size());
  o.in_range = quantize(o.sanitized, 2.0f, o.quantized);
  o.dead = o.quantized;
  apply_dead_zone(o.dead, 21);
  o.denormalized = o.subtracted;
  denormalize_in_place(o.denormalized, 0.25f, 3.0f, -1.5f);
  return o;
}

TEST(Passes, EveryTargetGivesTheScalarBits) {
  std::vector<size_t> lengths;
  for (size_t n = 1; n <= 40; ++n) lengths.push_back(n);
  lengths.insert(lengths.end(), {255, 256, 1000, 4099});
  for (const size_t n : lengths) {
    const auto x = awkward(n, static_cast<uint32_t>(n));
    Outputs ref;
    for_each_target([&](SimdTarget t) {
      const Outputs got = run_all(x);
      if (t == SimdTarget::Scalar) {
        ref = got;
        return;
      }
      EXPECT_EQ(std::memcmp(&got.ext.min, &ref.ext.min, 4), 0) << n;
      EXPECT_EQ(std::memcmp(&got.ext.max, &ref.ext.max, 4), 0) << n;
      EXPECT_EQ(std::memcmp(&got.sum, &ref.sum, 4), 0) << n;
      EXPECT_EQ(got.in_range, ref.in_range) << n;
      EXPECT_TRUE(same_bits(got.sanitized, ref.sanitized)) << n;
      EXPECT_TRUE(same_bits(got.normalized, ref.normalized)) << n;
      EXPECT_TRUE(same_bits(got.subtracted, ref.subtracted)) << n;
      EXPECT_TRUE(same_bits(got.quantized, ref.quantized)) << n;
      EXPECT_TRUE(same_bits(got.dead, ref.dead)) << n;
      EXPECT_TRUE(same_bits(got.denormalized, ref.denormalized)) << n;
    });
  }
}

TEST(Passes, ExtremesKeepTheFirstOfEqualZeros) {
  for_each_target([](SimdTarget) {
    std::vector<float> x(37, 1.0f), out(37);
    x[5] = -0.0f;
    x[30] = 0.0f;
    Extremes e = sanitize_copy(x, out);
    EXPECT_TRUE(std::signbit(e.min));
    x.assign(37, -1.0f);
    x[3] = 0.0f;
    x[20] = -0.0f;
    e = sanitize_copy(x, out);
    EXPECT_FALSE(std::signbit(e.max));
    EXPECT_EQ(e.min, -1.0f);
  });
}

TEST(Passes, QuantizeRoundsHalvesAwayAndReportsOverflow) {
  for_each_target([](SimdTarget) {
    // Sixteen values so the vector path is taken too.
    const std::vector<float> x = {16383.75f, -16384.25f, 1.25f, -1.25f, 0.2f, NAN, 0.75f, -0.75f,
                                  1.0f, 2.0f, 3.25f, -3.75f, 0.0f, -0.0f, 100.5f, -0.25f};
    std::vector<int16_t> q(x.size());
    EXPECT_FALSE(quantize(x, 2.0f, q));
    EXPECT_EQ(q, (std::vector<int16_t>{32767, -32768, 3, -3, 0, 32767, 2, -2, 2, 4, 7, -8, 0, 0,
                                       201, -1}));
    std::vector<float> fits(16, 0.5f);
    fits[3] = -16384.0f;
    fits[9] = 16383.0f;
    EXPECT_TRUE(quantize(fits, 2.0f, q));
  });
}

// De-normalisation is one fused multiply-add per sample on every target. The inputs are chosen so
// that rounding the product before the sum gives other bits for many of them.
TEST(Passes, DenormalizeIsOneFusedMultiplyAdd) {
  const float mean = 0.1f, range = 1.0f / 3.0f, min = 0.7f;
  std::vector<float> x(77), expected(77);
  size_t unfused_differs = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    x[i] = 0.013f * static_cast<float>(i * i + 1);
    expected[i] = std::fma(x[i] + mean, range, min);
    unfused_differs += expected[i] != (x[i] + mean) * range + min;
  }
  ASSERT_GT(unfused_differs, x.size() / 8);
  for_each_target([&](SimdTarget t) {
    std::vector<float> y = x;
    denormalize_in_place(y, mean, range, min);
    EXPECT_TRUE(same_bits(y, expected)) << simd_target_name(t);
  });
}

TEST(Passes, DeadZoneUsesWideMagnitudes) {
  for_each_target([](SimdTarget) {
    std::vector<int16_t> v = {-6, -5, -1, 0, 1, 5, 6, -32768, 32767, 7, -7, 2, -2, 3, 4, -4, 5};
    apply_dead_zone(v, 6);
    EXPECT_EQ(v,
              (std::vector<int16_t>{-6, 0, 0, 0, 0, 0, 6, -32768, 32767, 7, -7, 0, 0, 0, 0, 0, 0}));
  });
}

// The comparisons with the scalar bits prove nothing unless forcing a target changes the kernels
// every family runs, although each family keeps its tables from the first call on.
TEST(KernelTables, EveryFamilyRunsTheForcedTarget) {
  for_each_target([](SimdTarget t) {
    const bool scalar = t == SimdTarget::Scalar;
    EXPECT_EQ(&pass_kernels() == &kPassKernelsScalar, scalar);
    EXPECT_EQ(&active_lifting_kernels() == &kLiftingKernelsScalar, scalar);
    EXPECT_EQ(&active_conv_kernels() == &kConvKernelsScalar, scalar);
  });
}

}  // namespace
}  // namespace vantrel
