#include "codec/residual.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace vantrel {
namespace {

using Bytes = std::vector<uint8_t>;

// A base with quiet stretches and sharp bends, and a residual whose spread follows the base's
// bends (as a wavelet base's misses do), with now and then a large miss.
struct Signal {
  std::vector<float> base;
  std::vector<int32_t> residual;
};

Signal bending(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  Signal s{std::vector<float>(n), std::vector<int32_t>(n)};
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    const bool beat = i % 300 < 12;  // a sharp feature every 300 samples
    s.base[i] = static_cast<float>(beat ? 40.0 * std::sin(t) : 0.01 * t);
    const double spread = beat ? 30.0 : 0.4;
    s.residual[i] = static_cast<int32_t>(std::lround(spread * noise(rng)));
  }
  return s;
}

Bytes encode(const std::vector<int32_t>& r, const std::vector<float>& base, float bin) {
  Bytes out;
  EXPECT_TRUE(encode_residual_into(r, base, bin, out).ok());
  return out;
}

struct RoundTripCase {
  std::string name;
  std::vector<int32_t> residual;
  std::vector<float> base;  // empty: zeros
  float bin;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

std::vector<RoundTripCase> round_trip_cases() {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const int32_t big = kMaxResidual;
  const Signal s = bending(100003, 1);
  std::vector<int32_t> sparse_extremes(5001, 0);
  for (size_t i = 0; i < sparse_extremes.size(); i += 997) {
    sparse_extremes[i] = (i & 1) ? big : -big;
  }
  return {
      {"empty", {}, {}, 1.0f},
      {"one", {-3}, {}, 1.0f},
      {"odd", {0, 1, -1, 2, 0, 0, 7}, {}, 0.5f},
      {"long", s.residual, s.base, 1.0f},
      {"zeros", std::vector<int32_t>(70000, 0), {}, 1.0f},
      {"sparse_extremes", sparse_extremes, {}, 1.0f},
      {"alternating_extremes", {big, -big, big, -big, 1, -big, 0, big}, {}, 1.0f},
      {"every_exponent",
       [] {
         std::vector<int32_t> r;
         for (int e = 0; e < 30; ++e) r.insert(r.end(), {1 << e, -(1 << e), (2 << e) - 1});
         return r;
       }(),
       {},
       1.0f},
      // The bin and the base only steer contexts: any value, even a hostile one, round-trips.
      {"nan_base", {5, 0, -2, 0, 1}, {nan, 1.0f, inf, -inf, 0.0f}, 1.0f},
      {"nan_bin", s.residual, s.base, nan},
      {"zero_bin", s.residual, s.base, 0.0f},
  };
}

class ResidualRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(ResidualRoundTrip, DecodesToInputAndEncodesTheSameTwice) {
  RoundTripCase c = GetParam();
  if (c.base.empty()) c.base.assign(c.residual.size(), 0.0f);
  const Bytes stream = encode(c.residual, c.base, c.bin);
  EXPECT_EQ(encode(c.residual, c.base, c.bin), stream);
  std::vector<int32_t> back(c.residual.size(), 12345);
  ASSERT_TRUE(decode_residual_into(stream, c.base, c.bin, back).ok());
  EXPECT_EQ(back, c.residual);
  // The estimate follows the coder's own decisions: within 1% (and 64 bits) of the stream.
  const double bits = 8.0 * static_cast<double>(stream.size());
  EXPECT_NEAR(estimate_residual_bits(c.residual, c.base, c.bin), bits, 64 + 0.01 * bits);
}

INSTANTIATE_TEST_SUITE_P(Cases, ResidualRoundTrip, ::testing::ValuesIn(round_trip_cases()),
                         [](const auto& info) { return info.param.name; });

TEST(ResidualRange, RefusesValuesBeyondItAndLeavesTheOutputAlone) {
  const std::vector<float> base(3, 0.0f);
  for (const int32_t v : {kMaxResidual + 1, -kMaxResidual - 1, std::numeric_limits<int32_t>::min(),
                          std::numeric_limits<int32_t>::max()}) {
    const std::vector<int32_t> r = {0, v, 0};
    Bytes out = {0xAA};
    const auto status = encode_residual_into(r, base, 1.0f, out);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(), ResidualError::OutOfRange);
    EXPECT_EQ(out, Bytes{0xAA});
    EXPECT_TRUE(std::isinf(estimate_residual_bits(r, base, 1.0f)));
  }
}

// The contexts must pay: where the base has a sharp corner the residual spreads wide, elsewhere
// it is mostly 0, and nothing in the residual itself tells where the next corner is. Knowing the
// base, the coder must code below the order-0 entropy (from the histogram) and clearly below its
// own size against a flat base.
TEST(ResidualModel, UsesTheBaseActivityToCodeBelowTheOrderZeroEntropy) {
  const size_t n = 200000;
  std::mt19937 rng(2);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<float> base(n, 0.0f);
  std::vector<int32_t> r(n);
  std::map<int32_t, double> counts;
  for (size_t i = 0; i < n; ++i) {
    const bool corner = i % 50 == 0;
    base[i] = corner ? 100.0f : 0.0f;
    r[i] = static_cast<int32_t>(std::lround((corner ? 30.0 : 0.3) * noise(rng)));
    counts[r[i]] += 1;
  }
  double entropy_bits = 0;
  for (const auto& [v, count] : counts) entropy_bits -= count * std::log2(count / n);
  const double with_base = 8.0 * static_cast<double>(encode(r, base, 1.0f).size());
  const double flat = 8.0 * static_cast<double>(encode(r, std::vector<float>(n), 1.0f).size());
  EXPECT_LT(with_base, 0.95 * entropy_bits);
  EXPECT_LT(with_base, 0.92 * flat);
}

// Damaged streams give an error value (or, rarely, other values), never a read past the input; a
// stream with bytes added, for a different count or against another base is refused.
TEST(ResidualHostile, DamagedStreamsAreRefused) {
  const Signal s = bending(3000, 3);
  const Bytes stream = encode(s.residual, s.base, 1.0f);
  std::vector<int32_t> out(s.residual.size());
  for (size_t cut = 0; cut < stream.size(); ++cut) {
    const Bytes shorter(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_FALSE(decode_residual_into(shorter, s.base, 1.0f, out).ok()) << cut;
  }
  for (size_t at = 0; at < stream.size(); ++at) {
    Bytes flipped = stream;
    flipped[at] ^= static_cast<uint8_t>(1u << (at % 8));
    if (decode_residual_into(flipped, s.base, 1.0f, out).ok()) {
      EXPECT_NE(out, s.residual) << at;
    }
  }
  Bytes longer = stream;
  longer.push_back(0);
  longer.push_back(0);
  const auto added = decode_residual_into(longer, s.base, 1.0f, out);
  ASSERT_FALSE(added.ok());
  EXPECT_EQ(added.error(), ResidualError::Corrupt);

  std::vector<int32_t> fewer(out.size() - 1);
  const std::span<const float> base_fewer(s.base.data(), fewer.size());
  EXPECT_FALSE(decode_residual_into(stream, base_fewer, 1.0f, fewer).ok());
}

TEST(ResidualHostile, ACountTheStreamCannotBackIsRefusedBeforeDecoding) {
  const Bytes tiny = {0x00, 0x00, 0x01, 0x00, 0x12, 0x34};
  std::vector<int32_t> out(size_t{1} << 20);
  const std::vector<float> base(out.size(), 0.0f);
  const auto status = decode_residual_into(tiny, base, 1.0f, out);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error(), ResidualError::Truncated);
  EXPECT_EQ(decode_residual_into(Bytes{0x00, 0x00, 0x01}, {}, 1.0f, {}).error(),
            ResidualError::Truncated);
}

}  // namespace
}  // namespace vantrel
