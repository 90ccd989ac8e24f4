// The reader's fast paths against the arithmetic they stand for, written out plainly here: the
// corrected values of a layer, and a linear filter's restoration of values from its errors.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "codec/finish.h"
#include "codec/lpc.h"
#include "codec/refine.h"
#include "codec/residual.h"
#include "support/cpu.h"
#include "tests/cpp/test_util.h"

namespace vantrel {
namespace {

constexpr float kNaNf = std::numeric_limits<float>::quiet_NaN();
constexpr float kInff = std::numeric_limits<float>::infinity();

// The reader's value for base sample b and residual r: on a grid the base's nearest code (ties to
// even, NaN at 0, within the codes) moved by r bins and kept within the codes; off it the float32
// nearest to b + width * r, rounded once.
double expected_value(float b, int32_t r, const Refinement& ref) {
  if (!ref.grid) {
    const double t = std::fma(ref.bin_width, static_cast<double>(r), static_cast<double>(b));
    return static_cast<double>(static_cast<float>(t));
  }
  const SampleGrid& g = *ref.grid;
  const double u = (static_cast<double>(b) - g.origin) / g.step;
  const double code = std::isnan(u) ? 0.0 : std::clamp(std::nearbyint(u), g.min_code, g.max_code);
  const int64_t moved = static_cast<int64_t>(code) + int64_t{ref.bin_codes} * r;
  const int64_t kept = std::clamp(moved, static_cast<int64_t>(g.min_code),
                                  static_cast<int64_t>(g.max_code));
  return g.origin + g.step * static_cast<double>(kept);
}

struct CorrectCase {
  const char* name;
  std::optional<SampleGrid> grid;
  uint32_t bin_codes;
  double bin_width;
  int32_t widest;  // residuals drawn from [-widest, widest]
  size_t count;
};

class CorrectPaths : public ::testing::TestWithParam<CorrectCase> {};

TEST_P(CorrectPaths, GiveTheValuesOfTheArithmeticBitForBit) {
  const CorrectCase& c = GetParam();
  std::mt19937 rng(7);
  std::uniform_int_distribution<int32_t> pick(-c.widest, c.widest);
  std::uniform_real_distribution<float> wander(-40.0f, 40.0f);
  const float specials[] = {kNaNf, kInff, -kInff, -0.0f, 0.0f, 1.25f, 1.75f, -1e30f, 1e30f};
  std::vector<float> base(c.count);
  std::vector<int32_t> residual(c.count);
  for (size_t i = 0; i < c.count; ++i) {
    base[i] = i < std::size(specials) ? specials[i] : wander(rng);
    residual[i] = i % 3 == 0 ? 0 : pick(rng);
  }
  if (c.count > 12) residual[12] = c.widest;  // the widest reach, for the path it decides
  Refinement r;
  r.grid = c.grid;
  r.bin_codes = c.bin_codes;
  r.bin_width = c.bin_width;
  r.sample_count = static_cast<uint32_t>(c.count);
  ASSERT_TRUE(encode_residual_into(residual, base, coder_bin(r), r.stream).ok());
  for (const SimdTarget target : kSimdTargets) {
    if (!simd_target_available(target)) continue;
    force_simd_target(target);
    const auto y = correct(base, r);
    reset_simd_target();
    ASSERT_TRUE(y.ok());
    for (size_t i = 0; i < c.count; ++i) {
      const double want = expected_value(base[i], residual[i], r);
      EXPECT_EQ(std::bit_cast<uint64_t>((*y)[i]), std::bit_cast<uint64_t>(want))
          << simd_target_name(target) << ", sample " << i << ": base " << base[i]
          << ", residual " << residual[i];
    }
  }
}

constexpr double k53 = 0x1p53;
INSTANTIATE_TEST_SUITE_P(
    Layers, CorrectPaths,
    ::testing::Values(
        CorrectCase{"grid_odd_count", SampleGrid{0.5, 1.0, -10.0, 10.0}, 3, 0.0, 4, 101},
        CorrectCase{"grid_negative_zero", SampleGrid{0.25, -0.0, -0.0, 64.0}, 1, 0.0, 70, 64},
        CorrectCase{"grid_codes_to_2p53", SampleGrid{1.0, 0.0, -k53, k53}, 1, 0.0, 1000, 50},
        // Bins times residuals beyond 2^53: the integer path.
        CorrectCase{"grid_wide_bins", SampleGrid{1.0, 0.0, -k53, k53}, 0x7FFFFFFF, 0.0,
                    (1 << 30) - 1, 40},
        CorrectCase{"grid_just_inside", SampleGrid{1.0, 0.0, -1000.0, 1000.0}, 0x7FFFFFFF, 0.0,
                    1 << 21, 30},
        CorrectCase{"width", std::nullopt, 0, 0.1, 5, 77},
        CorrectCase{"width_far", std::nullopt, 0, 3e-3, 1 << 29, 33}),
    [](const auto& info) { return std::string(info.param.name); });

// A reader's rounding to a grid and a sample type gives the same bytes on every target (the
// package's tests hold the result against NumPy's computation of it).
TEST(FinishPaths, EveryTargetGivesTheSameBytes) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> wander(-7e4, 7e4);
  const double specials[] = {0.5, -0.5, 1.5, -2.5, -0.0, 0.0, kInff, -kInff, 3e38, -3.5e38,
                             2147483647.5, -2147483648.5, 65535.5, 127.5, -128.5, 1e300};
  std::vector<double> values(203);  // leaves a partial group of lanes at every width
  for (size_t i = 0; i < values.size(); ++i)
    values[i] = i < std::size(specials) ? specials[i] : std::round(wander(rng)) / 4;
  const std::vector<float> narrowed(values.begin(), values.end() - 1);  // every value in range
  const std::optional<SampleGrid> grids[] = {std::nullopt, SampleGrid{0.5, -0.25, -300, 7e4},
                                             SampleGrid{0.1, -0.0, -5, 5},
                                             SampleGrid{1e37, 0.0, -1e3, 1e3}};
  for (const SampleTypeInfo& type : kSampleTypes) {
    for (const auto& grid : grids) {
      std::vector<uint8_t> scalar;
      for (const SimdTarget target : kSimdTargets) {
        if (!simd_target_available(target)) continue;
        force_simd_target(target);
        std::vector<uint8_t> out(values.size() * type.size), out32(narrowed.size() * type.size);
        const bool done = finish_into(values, grid, type.type, out).ok() &&
                          finish_into(narrowed, grid, type.type, out32).ok();
        reset_simd_target();
        ASSERT_TRUE(done) << type.name;
        out.insert(out.end(), out32.begin(), out32.end());
        if (target == SimdTarget::Scalar) scalar = out;
        EXPECT_EQ(out, scalar) << type.name << " on " << simd_target_name(target);
      }
    }
  }
  std::vector<double> with_nan = values;
  with_nan[101] = std::numeric_limits<double>::quiet_NaN();
  std::vector<uint8_t> out(with_nan.size() * 2);
  const auto refused = finish_into(with_nan, std::nullopt, SampleType::Int16, out);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(to_string(refused.error()), "an integer sample decodes to NaN");
}

// Restoring values from a filter's errors, against the sum formed in 64-bit integers.
TEST(LpcRestore, EveryOrderGivesTheIntegerSums) {
  std::mt19937 rng(11);
  const struct {
    int16_t reach;  // coefficients drawn from [-reach, reach]
    int shift;      // -1: order % 13
    int32_t error;  // errors drawn from [-error, error]
  } kinds[] = {{300, -1, 50}, {300, 15, 1 << 29}, {32767, 15, 1 << 30}};
  for (int order = 1; order <= kMaxLpcOrder; ++order) {
    for (const auto& kind : kinds) {
      const LpcFilter f =
          random_filter(rng, order, kind.reach, kind.shift < 0 ? order % 13 : kind.shift);
      std::uniform_int_distribution<int32_t> error(-kind.error, kind.error);
      const size_t n = 300;
      std::vector<int32_t> x(n);
      for (int32_t& v : x) v = error(rng);
      std::vector<int32_t> want = x;
      bool inside = true;
      for (size_t i = 0; i < n && inside; ++i) {
        int64_t sum = 0;
        for (size_t k = 0; k < std::min<size_t>(i, static_cast<size_t>(order)); ++k)
          sum += int64_t{f.coefs[k]} * want[i - 1 - k];
        const int64_t v = want[i] + (sum >> f.shift);
        inside = std::llabs(v) <= (int64_t{1} << 30) - 1;
        want[i] = static_cast<int32_t>(v);
      }
      // In two pieces, as blocks come: the second one's history is the first one's values.
      const bool ok = lpc_restore(f, x.data(), 0, 100) && lpc_restore(f, x.data(), 100, n);
      EXPECT_EQ(ok, inside) << "order " << order << ", coefficients up to " << kind.reach;
      if (inside) {
        EXPECT_EQ(x, want) << "order " << order << ", coefficients up to " << kind.reach;
      }
    }
  }
}

}  // namespace
}  // namespace vantrel
