// The encoder's vector paths against the arithmetic they stand for, on every target this machine
// runs: a linear filter's prediction errors, and its design (whose sums run in a fixed order).
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <random>
#include <vector>

#include "codec/lpc.h"
#include "support/cpu.h"
#include "tests/cpp/test_util.h"

namespace vantrel {
namespace {

// Prediction errors against the sums formed in 64-bit integers, from the sequence's start (the
// first values with a short history) and from inside it, at the widest coefficients and values
// too, where errors leave 32 bits and the filter must be refused.
TEST(LpcErrors, EveryOrderAndTargetGivesTheIntegerSums) {
  std::mt19937 rng(5);
  constexpr int32_t kWidest = (1 << 30) - 1;
  const struct {
    int16_t reach;  // coefficients drawn from [-reach, reach]
    int shift;      // -1: order % 13
    int32_t value;  // values drawn from [-value, value]
  } kinds[] = {{300, -1, 50}, {4000, 12, 1 << 20}, {32767, 15, kWidest}, {32767, 0, kWidest}};
  const size_t n = 203;  // lanes of 16 and a scalar tail
  for (int order = 1; order <= kMaxLpcOrder; ++order) {
    for (const auto& kind : kinds) {
      const LpcFilter f =
          random_filter(rng, order, kind.reach, kind.shift < 0 ? order % 13 : kind.shift);
      std::uniform_int_distribution<int32_t> value(-kind.value, kind.value);
      std::vector<int32_t> x(n);
      for (int32_t& v : x) v = value(rng);
      x[40] = kind.value;
      x[41] = -kind.value;
      for (const size_t from : {size_t{0}, size_t{37}}) {
        std::vector<int64_t> want(n - from);
        bool fits = true;
        for (size_t i = from; i < n; ++i) {
          int64_t sum = 0;
          for (size_t k = 0; k < std::min<size_t>(i, static_cast<size_t>(order)); ++k)
            sum += int64_t{f.coefs[k]} * x[i - 1 - k];
          want[i - from] = x[i] - (sum >> f.shift);
          fits = fits && want[i - from] == static_cast<int32_t>(want[i - from]);
        }
        for (const SimdTarget target : kSimdTargets) {
          if (!simd_target_available(target)) continue;
          force_simd_target(target);
          std::vector<int32_t> e(n - from);
          const bool ok = lpc_errors(f, x.data(), from, n, e.data());
          reset_simd_target();
          SCOPED_TRACE(testing::Message() << simd_target_name(target) << ", order " << order
                                          << ", coefficients up to " << kind.reach << ", from "
                                          << from);
          EXPECT_EQ(ok, fits);
          if (!fits) continue;
          for (size_t i = 0; i < e.size(); ++i) ASSERT_EQ(e[i], want[i]) << "value " << i + from;
        }
      }
    }
  }
}

// The autocorrelation of a windowed block is the same on every target, bit for bit, for lengths
// that end its pairs of products on either parity or leave a group of lags with none.
TEST(LpcDesign, EveryTargetSumsTheLagsAlike) {
  std::mt19937 rng(9);
  std::normal_distribution<double> noise(0.0, 1000.0);
  for (const size_t n : {size_t{5}, size_t{10}, size_t{38}, size_t{131}, size_t{4096}}) {
    std::vector<double> w(n);
    for (double& v : w) v = noise(rng);
    std::vector<std::array<double, kLpcLags>> sums;
    for (const SimdTarget target : kSimdTargets) {
      if (!simd_target_available(target)) continue;
      force_simd_target(target);
      std::array<double, kLpcLags> r{};
      for (size_t lag = 0; lag < kLpcLags;) lag += windowed_lags(w, lag, r);
      reset_simd_target();
      sums.push_back(r);
    }
    for (const auto& r : sums) {
      for (size_t lag = 0; lag < kLpcLags; ++lag) {
        EXPECT_EQ(std::bit_cast<uint64_t>(r[lag]), std::bit_cast<uint64_t>(sums[0][lag]))
            << "length " << n << ", lag " << lag;
      }
    }
  }
}

}  // namespace
}  // namespace vantrel
