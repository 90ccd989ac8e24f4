#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "wavelet/border_mode.h"

#include "border_reference.h"
#include "wavelet/fast_divide.h"

namespace vantrel {
namespace {

// Signals whose samples name their own index: x[i] = 10 + i, so a wrong fold shows as a wrong
// number.
std::vector<float> ramp(size_t n) {
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = 10.0f + static_cast<float>(i);
  return x;
}

struct ArenaCase {
  std::string name;
  BorderMode mode;
  size_t n;
  size_t left;
  size_t right;
  std::vector<float> expected;  // whole arena, samples written as 10 + index
  friend void PrintTo(const ArenaCase& c, std::ostream* os) { *os << c.name; }
};

class ArenaTest : public testing::TestWithParam<ArenaCase> {};

TEST_P(ArenaTest, FillsBothMargins) {
  const ArenaCase& c = GetParam();
  const std::vector<float> x = ramp(c.n);
  std::vector<float> arena(c.left + c.n + c.right, -1.0f);
  const auto writer = make_arena_writer_1d_executor();
  ASSERT_TRUE(writer(x, arena, c.left, c.right, c.mode).ok());
  EXPECT_EQ(arena, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, ArenaTest,
    testing::Values(
        ArenaCase{
            "WrapLeft", BorderMode::Wrap, 5, 6, 0, {14, 10, 11, 12, 13, 14, 10, 11, 12, 13, 14}},
        ArenaCase{
            "WrapRight", BorderMode::Wrap, 3, 1, 7, {12, 10, 11, 12, 10, 11, 12, 10, 11, 12, 10}},
        ArenaCase{"Reflect", BorderMode::Reflect, 4, 2, 2, {11, 10, 10, 11, 12, 13, 13, 12}},
        ArenaCase{
            "ReflectWhole", BorderMode::Reflect, 3, 3, 3, {12, 11, 10, 10, 11, 12, 12, 11, 10}},
        ArenaCase{"NoEdge", BorderMode::ReflectNoEdge, 4, 2, 2, {12, 11, 10, 11, 12, 13, 12, 11}},
        ArenaCase{"NoEdgeOne", BorderMode::ReflectNoEdge, 1, 3, 2, {10, 10, 10, 10, 10, 10}},
        ArenaCase{"Clamp", BorderMode::Clamp, 3, 2, 3, {10, 10, 10, 11, 12, 12, 12, 12}},
        ArenaCase{"Zero", BorderMode::Zero, 3, 2, 3, {0, 0, 10, 11, 12, 0, 0, 0}},
        ArenaCase{"NoMargins", BorderMode::Wrap, 2, 0, 0, {10, 11}},
        // Nothing to extend: the margins take the fill value instead of reading outside.
        ArenaCase{"EmptySignal", BorderMode::Wrap, 0, 2, 1, {0, 0, 0}}),
    [](const testing::TestParamInfo<ArenaCase>& info) { return info.param.name; });

using testing_reference::padded;

// Every mode and every margin a convolution level can ask for (the mirrors up to a whole
// signal length, n - 1 for ReflectNoEdge), Wrap up to three lengths.
TEST(BorderInterpolationTest, MatchesTheFormulasOverAllReachableMargins) {
  for (BorderMode mode : {BorderMode::Clamp, BorderMode::Wrap, BorderMode::Reflect,
                          BorderMode::ReflectNoEdge, BorderMode::Zero}) {
    for (size_t n = 1; n <= 12; ++n) {
      const std::vector<float> x = ramp(n);
      const int64_t len = static_cast<int64_t>(n);
      int64_t reach = len;
      if (mode == BorderMode::Wrap) reach = 3 * len;
      if (mode == BorderMode::ReflectNoEdge) reach = n == 1 ? 4 : len - 1;
      const BorderInterpolation border(mode, 0, len);
      for (int64_t v = -reach; v < len + reach; ++v) {
        const float expected = padded(x, v, mode);
        ASSERT_EQ(border.sample(x, v), expected)
            << "mode " << static_cast<int>(mode) << " n " << n << " v " << v;
      }
    }
  }
}

TEST(ArenaWriterDeathTest, ArenaOfTheWrongLengthStops) {
  const std::vector<float> x = ramp(4);
  std::vector<float> arena(9);
  EXPECT_DEATH((void)write_arena_1d_impl(x, arena, 2, 2, BorderMode::Wrap),
               "internal error: entered unreachable code: This is an internal configuration "
               "error. Please, report it.");
  EXPECT_DEATH((void)write_arena_1d_impl(x, arena, 20, 0, BorderMode::Wrap), "internal error");
}

TEST(DividerI64Test, EqualsTruncatingDivision) {
  std::vector<int64_t> divisors = {INT64_MAX, INT64_MIN, INT64_MIN + 1, INT64_MAX - 1};
  for (int64_t d = -1000; d <= 1000; ++d) {
    if (d != 0) divisors.push_back(d);
  }
  for (int shift = 1; shift < 63; ++shift) {
    const int64_t p = int64_t{1} << shift;
    for (int64_t d : {p, p - 1, p + 1, -p, -p + 1, -p - 1}) divisors.push_back(d);
  }
  std::mt19937_64 rng(7);
  for (int i = 0; i < 2000; ++i) {
    const int64_t d = static_cast<int64_t>(rng()) >> (rng() % 63);
    if (d != 0) divisors.push_back(d);
  }
  for (const int64_t d : divisors) {
    const DividerI64 divider(d);
    std::vector<int64_t> numerators = {0, 1, -1, 2, -2, INT64_MAX, INT64_MIN + 1, INT64_MAX - 1};
    if (d != -1) numerators.push_back(INT64_MIN);
    // Around multiples of d, where off-by-one quotients show.
    for (int64_t m : {int64_t{1}, int64_t{2}, int64_t{3}, int64_t{-1}, int64_t{-7}}) {
      if (d > INT64_MAX / 8 || d < INT64_MIN / 8) break;
      numerators.push_back(m * d);
      numerators.push_back(m * d + 1);
      numerators.push_back(m * d - 1);
    }
    for (int i = 0; i < 64; ++i) {
      const int64_t n = static_cast<int64_t>(rng()) >> (rng() % 64);
      if (!(n == INT64_MIN && d == -1)) numerators.push_back(n);
    }
    for (const int64_t n : numerators) {
      ASSERT_EQ(divider.divide(n), n / d) << n << " / " << d;
    }
  }
}

}  // namespace
}  // namespace vantrel
