// Multi-level decomposition and reconstruction: the lifting executors and CompletedDwtExecutor
// over a small one-level executor whose numbers are exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "wavelet/executor.h"
#include "wavelet/factory.h"
#include "wavelet/lifting.h"

namespace vantrel {
namespace {

std::vector<float> random_signal(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

MultiDwtView view_of(const MultiDwt& levels) {
  MultiDwtView view;
  for (const Dwt& level : levels) view.details.emplace_back(level.details);
  view.approximation = levels.back().approximations;
  return view;
}

std::vector<DwtSize> band_lengths(const MultiDwt& levels) {
  std::vector<DwtSize> lengths;
  for (const Dwt& level : levels) {
    lengths.push_back({level.approximations.size(), level.details.size()});
  }
  return lengths;
}

std::vector<DwtSize> size_chain(const DwtExecutor& ex, size_t n, size_t levels) {
  std::vector<DwtSize> chain;
  for (size_t k = 0; k < levels; ++k) {
    chain.push_back(ex.dwt_size(n));
    n = chain.back().approx;
  }
  return chain;
}

// ---- Lifting executors -----------------------------------------------------------------------

struct LiftingCase {
  std::string name;
  std::shared_ptr<const DwtExecutor> (*make)();
  size_t min_length;
};

void PrintTo(const LiftingCase& c, std::ostream* os) { *os << c.name; }

class LiftingLevels : public ::testing::TestWithParam<LiftingCase> {};

TEST_P(LiftingLevels, ZeroLevelsMeansOne) {
  const auto ex = GetParam().make();
  const std::vector<float> x = random_signal(100, 1);
  auto levels = ex->multi_dwt(x, 0);
  ASSERT_TRUE(levels.ok());
  ASSERT_EQ(levels->size(), 1u);
  EXPECT_EQ(levels->front().approximations.size(), 50u);
  auto last = ex->dwt(x, 0);
  ASSERT_TRUE(last.ok());
  EXPECT_EQ(last->approximations, levels->front().approximations);
  EXPECT_EQ(last->details, levels->front().details);
}

TEST_P(LiftingLevels, EveryLevelTransformsTheWholeApproximationBefore) {
  const auto ex = GetParam().make();
  const std::vector<float> x = random_signal(1001, 2);
  auto levels = ex->multi_dwt(x, 5);
  ASSERT_TRUE(levels.ok());
  ASSERT_EQ(levels->size(), 5u);
  EXPECT_EQ(band_lengths(*levels), size_chain(*ex, x.size(), 5));
  std::span<const float> input = x;
  for (const Dwt& level : *levels) {
    std::vector<float> approx(level.approximations.size()), details(level.details.size());
    ASSERT_TRUE(ex->execute_forward(input, approx, details).ok());
    EXPECT_EQ(approx, level.approximations);
    EXPECT_EQ(details, level.details);
    input = level.approximations;
  }
  auto last = ex->dwt(x, 5);
  ASSERT_TRUE(last.ok());
  EXPECT_EQ(last->approximations, levels->back().approximations);
  EXPECT_EQ(last->details, levels->back().details);
}

TEST_P(LiftingLevels, TooShortLevelFailsWithoutPartialResult) {
  const LiftingCase c = GetParam();
  const auto ex = c.make();
  const std::string text = "Buffer was too small for provided level";
  // The shortest input makes one level; its approximation of 2 samples is too short for more.
  const std::vector<float> shortest = random_signal(c.min_length, 3);
  EXPECT_TRUE(ex->multi_dwt(shortest, 1).ok());
  EXPECT_TRUE(ex->dwt(shortest, 1).ok());
  for (size_t levels : {2, 3}) {
    auto many = ex->multi_dwt(shortest, levels);
    ASSERT_FALSE(many.ok());
    EXPECT_EQ(many.error().to_string(), text);
    auto last = ex->dwt(shortest, levels);
    ASSERT_FALSE(last.ok());
    EXPECT_EQ(last.error().to_string(), text);
  }
  const std::vector<float> too_short = random_signal(c.min_length - 1, 3);
  for (size_t levels : {0, 1, 2}) {
    auto none = ex->multi_dwt(too_short, levels);
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().to_string(), text);
  }
  EXPECT_EQ(ex->multi_dwt({}, 1).error().to_string(), text);
}

TEST_P(LiftingLevels, ReconstructsEveryLengthAndLevelCount) {
  const LiftingCase c = GetParam();
  const auto ex = c.make();
  for (size_t n = c.min_length; n <= 300; ++n) {
    const std::vector<float> x = random_signal(n, uint32_t(n));
    for (size_t levels : {1, 2, 3, 5, 8}) {
      // Every level needs the minimum length and halves it (rounding up).
      bool feasible = true;
      for (size_t k = 0, len = n; k < levels; ++k, len = (len + 1) / 2)
        feasible &= len >= c.min_length;
      auto decomposed = ex->multi_dwt(x, levels);
      ASSERT_EQ(decomposed.ok(), feasible) << n << " " << levels;
      if (!feasible) {
        EXPECT_EQ(decomposed.error().kind(), OscletError::Kind::BufferTooSmallForLevel);
        continue;
      }
      SCOPED_TRACE(c.name + " n=" + std::to_string(n) + " levels=" + std::to_string(levels));
      auto rebuilt = ex->multi_idwt(view_of(*decomposed));
      ASSERT_TRUE(rebuilt.ok()) << rebuilt.error().to_string();
      ASSERT_EQ(rebuilt->size(), n);
      // Each level adds a few roundings of values of order 1.
      for (size_t i = 0; i < n; ++i) ASSERT_NEAR((*rebuilt)[i], x[i], 1e-5f) << i;
    }
  }
}

TEST_P(LiftingLevels, ReconstructionNeedsBothBands) {
  const auto ex = GetParam().make();
  const std::vector<float> x = random_signal(64, 4);
  auto levels = ex->multi_dwt(x, 2);
  ASSERT_TRUE(levels.ok());
  const std::string text = "Zero sized input is not supported";
  MultiDwtView no_details = view_of(*levels);
  no_details.details.clear();
  EXPECT_EQ(ex->multi_idwt(no_details).error().to_string(), text);
  MultiDwtView no_approx = view_of(*levels);
  no_approx.approximation = {};
  EXPECT_EQ(ex->multi_idwt(no_approx).error().to_string(), text);
  // Details of the wrong level reach the one-level size checks.
  MultiDwtView swapped = view_of(*levels);
  std::swap(swapped.details[0], swapped.details[1]);
  auto failed = ex->multi_idwt(swapped);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().to_string(), "Approximate size 16 does not match required size 24");
}

INSTANTIATE_TEST_SUITE_P(Both, LiftingLevels,
                         ::testing::Values(LiftingCase{"cdf53", &Osclet::make_cdf53_f32, 3},
                                           LiftingCase{"cdf97", &Osclet::make_cdf97_f32, 4}),
                         [](const auto& info) { return info.param.name; });

TEST(LiftingLevelLengths, Cdf97ThousandSamplesThreeLevels) {
  const auto ex = Osclet::make_cdf97_f32();
  auto levels = ex->multi_dwt(random_signal(1000, 5), 3);
  ASSERT_TRUE(levels.ok());
  const std::vector<DwtSize> expected = {{500, 500}, {250, 250}, {125, 125}};
  EXPECT_EQ(band_lengths(*levels), expected);
  EXPECT_EQ(size_chain(*ex, 1000, 3), expected);
}

TEST(LiftingLevelLengths, OddLengthsKeepTheLongerApproximation) {
  const auto ex = Osclet::make_cdf53_f32();
  auto levels = ex->multi_dwt(random_signal(23, 6), 3);
  ASSERT_TRUE(levels.ok());
  // 23 -> 12 + 11 -> 6 + 6 -> 3 + 3.
  EXPECT_EQ(band_lengths(*levels), (std::vector<DwtSize>{{12, 11}, {6, 6}, {3, 3}}));
}

// ---- CompletedDwtExecutor --------------------------------------------------------------------

// A one-level executor shaped like an N-tap convolution: both bands have floor((n + N - 1)/2)
// samples, made from the signal padded on the right by repeating its last sample
// (a = x0 + x1, d = x0 - x1 per pair), and the inverse gives back the first 2·len - N + 2
// padded samples. With small integers every value is exact.
class PairExecutor final : public IncompleteDwtExecutor {
 public:
  explicit PairExecutor(size_t taps) : taps_(taps) {}

  WaveletStatus execute_forward(std::span<const float> input, std::span<float> approx,
                                std::span<float> details) const override {
    if (input.empty()) return OscletError::input_too_small(0, 1);
    const size_t len = dwt_size(input.size()).approx;
    if (approx.size() != len) return OscletError::approx_size_mismatch(approx.size(), len);
    if (details.size() != len) return OscletError::details_size_mismatch(details.size(), len);
    auto padded = [&](size_t j) { return input[std::min(j, input.size() - 1)]; };
    for (size_t i = 0; i < len; ++i) {
      approx[i] = padded(2 * i) + padded(2 * i + 1);
      details[i] = padded(2 * i) - padded(2 * i + 1);
    }
    return {};
  }
  WaveletStatus execute_forward_with_scratch(std::span<const float> input, std::span<float> approx,
                                             std::span<float> details,
                                             std::span<float>) const override {
    return execute_forward(input, approx, details);
  }
  size_t required_scratch_size(size_t) const override { return 0; }
  DwtSize dwt_size(size_t n) const override { return {(n + taps_ - 1) / 2, (n + taps_ - 1) / 2}; }
  WaveletStatus execute_inverse(std::span<const float> approx, std::span<const float> details,
                                std::span<float> output) const override {
    const size_t expected = idwt_size(approx.size(), details.size());
    if (approx.size() != details.size() || output.size() != expected) {
      return OscletError::output_size_mismatch(expected, output.size());
    }
    for (size_t j = 0; j < output.size(); ++j) {
      const float a = approx[j / 2], d = details[j / 2];
      output[j] = (j % 2 == 0 ? a + d : a - d) / 2;
    }
    return {};
  }
  size_t idwt_size(size_t a, size_t d) const override { return a + d + 2 - taps_; }
  size_t filter_length() const override { return taps_; }

 private:
  size_t taps_;
};

std::vector<float> integer_signal(size_t n) {
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = float((i * 7919) % 23) - 11.0f;
  return x;
}

std::shared_ptr<const DwtExecutor> completed(size_t taps) {
  return std::make_shared<const CompletedDwtExecutor>(std::make_shared<const PairExecutor>(taps));
}

TEST(CompletedLevels, BandLengthsFollowDwtSizeUntilTooShort) {
  const auto ex = completed(8);
  EXPECT_EQ(ex->filter_length(), 8u);
  auto levels = ex->multi_dwt(integer_signal(1000), 10);
  ASSERT_TRUE(levels.ok());
  std::vector<DwtSize> expected;
  for (size_t len : {503, 255, 131, 69, 38, 22, 14, 10, 8, 7}) expected.push_back({len, len});
  EXPECT_EQ(band_lengths(*levels), expected);
  // An eleventh level would start from 7 samples, fewer than the 8 taps.
  auto eleven = ex->multi_dwt(integer_signal(1000), 11);
  ASSERT_FALSE(eleven.ok());
  EXPECT_EQ(eleven.error().to_string(), "Buffer was too small for provided level");
  EXPECT_EQ(ex->dwt(integer_signal(1000), 11).error().to_string(),
            "Buffer was too small for provided level");
  auto last = ex->dwt(integer_signal(1000), 10);
  ASSERT_TRUE(last.ok());
  EXPECT_EQ(last->approximations, levels->back().approximations);
}

TEST(CompletedLevels, OneLevelLeavesTheLengthCheckToTheInnerExecutor) {
  const auto ex = completed(8);
  const std::vector<float> x = integer_signal(3);
  for (size_t levels : {0, 1}) {
    auto one = ex->multi_dwt(x, levels);
    ASSERT_TRUE(one.ok());
    ASSERT_EQ(one->size(), 1u);
    EXPECT_EQ(one->front().approximations.size(), 5u);
    EXPECT_TRUE(ex->dwt(x, levels).ok());
  }
  EXPECT_EQ(ex->multi_dwt(x, 2).error().to_string(), "Buffer was too small for provided level");
  EXPECT_EQ(ex->multi_dwt({}, 1).error().to_string(), "Input size 0 can't be less than 1");
}

struct SurplusCase {
  size_t taps;
  size_t n;
  size_t levels;
};

void PrintTo(const SurplusCase& c, std::ostream* os) {
  *os << c.taps << " taps, n=" << c.n << ", " << c.levels << " levels";
}

class CompletedRoundTrip : public ::testing::TestWithParam<SurplusCase> {};

TEST_P(CompletedRoundTrip, DropsTheSurplusSampleOfOddLevels) {
  const SurplusCase c = GetParam();
  const auto ex = completed(c.taps);
  const std::vector<float> x = integer_signal(c.n);
  auto levels = ex->multi_dwt(x, c.levels);
  ASSERT_TRUE(levels.ok()) << levels.error().to_string();
  auto rebuilt = ex->multi_idwt(view_of(*levels));
  ASSERT_TRUE(rebuilt.ok()) << rebuilt.error().to_string();
  // 2·len(D_1) - N + 2 samples: n, or n + 1 for odd n.
  EXPECT_EQ(rebuilt->size(), c.n + c.n % 2);
  EXPECT_EQ(std::vector<float>(rebuilt->begin(), rebuilt->begin() + long(c.n)), x);
}

INSTANTIATE_TEST_SUITE_P(Lengths, CompletedRoundTrip,
                         ::testing::Values(SurplusCase{2, 2, 1}, SurplusCase{4, 101, 2},
                                           SurplusCase{4, 101, 5}, SurplusCase{4, 1000, 7},
                                           SurplusCase{6, 37, 3}, SurplusCase{8, 1000, 10},
                                           SurplusCase{8, 255, 6}));

TEST(CompletedLevels, MismatchedBandsAreRejected) {
  const auto ex = completed(4);
  const std::vector<float> five(5, 1.0f), four(4, 1.0f), two(2, 1.0f);
  EXPECT_EQ(ex->idwt(five, four).error().to_string(),
            "Approx and details must match, but they don't 5x4");
  EXPECT_EQ(ex->idwt(four, five).error().to_string(),
            "Approx and details must match, but they don't 4x5");
  // The deepest level rebuilds 2·2 - 4 + 2 = 2 samples, too few for details of 4.
  MultiDwtView view;
  view.details = {std::span<const float>(four), std::span<const float>(two)};
  view.approximation = two;
  EXPECT_EQ(ex->multi_idwt(view).error().to_string(),
            "Approx and details must match, but they don't 2x4");
  // Unequal deepest bands.
  view.approximation = five;
  EXPECT_EQ(ex->multi_idwt(view).error().to_string(),
            "Approx and details must match, but they don't 5x2");
  view.details.clear();
  EXPECT_EQ(ex->multi_idwt(view).error().to_string(), "Zero sized input is not supported");
}

TEST(CompletedLevels, Db4HundredAndOneSamples) {
  const auto ex = Osclet::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap);
  const std::vector<float> x = random_signal(101, 8);
  auto levels = ex->multi_dwt(x, 2);
  ASSERT_TRUE(levels.ok()) << levels.error().to_string();
  EXPECT_EQ(band_lengths(*levels), (std::vector<DwtSize>{{54, 54}, {30, 30}}));
  auto rebuilt = ex->multi_idwt(view_of(*levels));
  ASSERT_TRUE(rebuilt.ok()) << rebuilt.error().to_string();
  ASSERT_EQ(rebuilt->size(), 102u);
  for (size_t i = 0; i < x.size(); ++i) EXPECT_NEAR((*rebuilt)[i], x[i], 1e-5f) << i;
}

}  // namespace
}  // namespace vantrel
