#include "codec/residual.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace vantrel {
namespace {

using Bytes = std::vector<uint8_t>;
using Residual = std::vector<int32_t>;

// A base with a sharp corner every 50 samples and a residual that spreads wide there and is
// mostly 0 elsewhere, as a wavelet base's misses are; nothing in the residual itself tells where
// the next corner is.
struct Corners {
  std::vector<float> base;
  Residual residual;
  explicit Corners(size_t n) : base(n), residual(n) {
    std::mt19937 rng(2);
    std::normal_distribution<double> noise(0.0, 1.0);
    for (size_t i = 0; i < n; ++i) {
      base[i] = i % 50 == 0 ? 100.0f : 0.0f;
      residual[i] = static_cast<int32_t>(std::lround((i % 50 == 0 ? 30.0 : 0.3) * noise(rng)));
    }
  }
};

Bytes encode(const Residual& r, const std::vector<float>& base, float bin,
             const ResidualOptions& options = {}) {
  Bytes out;
  EXPECT_TRUE(encode_residual_into(r, base, bin, out, options).ok());
  return out;
}

// The streams a decoder meets: the adaptive format, and the blocks format with the encoder's own
// choice of code, with the fast code everywhere and with the adaptive code everywhere.
struct Stream {
  const char* name;
  ResidualOptions options;
};
const Stream kStreams[] = {
    {"adaptive", {ResidualFormat::Adaptive}},
    {"blocks", {}},
    {"fast", {ResidualFormat::Blocks, 1.0}},
    {"slow", {ResidualFormat::Blocks, -1e9}},
};

struct RoundTripCase {
  const char* name;
  Residual residual;
  std::vector<float> base;  // empty: zeros
  float bin;
};

std::vector<RoundTripCase> round_trip_cases() {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const int32_t big = kMaxResidual;
  const Corners c(100003);
  Residual sparse_extremes(5001, 0), every_exponent = {big, -big, big};
  for (size_t i = 0; i < sparse_extremes.size(); i += 997) sparse_extremes[i] = i & 1 ? big : -big;
  for (int e = 0; e < 30; ++e) every_exponent.insert(every_exponent.end(), {1 << e, -(1 << e)});
  // Magnitudes of every bit length with random bits below the leading one, so that the low bits
  // travel in chunks of every width.
  std::mt19937 rng(5);
  Residual random_low_bits(3100);
  for (size_t i = 0; i < random_low_bits.size(); ++i) {
    const int32_t low = static_cast<int32_t>(rng() & ((1u << (i % 31)) - 1));
    random_low_bits[i] = (i % 31 == 0 ? 0 : (1 << (i % 31 - 1)) | low) * (i & 1 ? -1 : 1);
  }
  // A random walk over the whole range, clamped at its ends: predictors are chosen and their
  // predictions clamp.
  Residual wide_walk(9000);
  int64_t at = 0;
  for (auto& v : wide_walk) {
    at = std::clamp<int64_t>(at + static_cast<int32_t>(rng()) / 4, -big, big);
    v = static_cast<int32_t>(at);
  }
  return {
      {"empty", {}, {}, 1.0f},
      {"one", {-3}, {}, 1.0f},
      {"odd", {0, 1, -1, 2, 0, 0, 7}, {}, 0.5f},
      {"long", c.residual, c.base, 1.0f},
      {"zeros", Residual(70000, 0), {}, 1.0f},
      {"sparse_extremes", sparse_extremes, {}, 1.0f},
      {"every_exponent", every_exponent, {}, 1.0f},
      {"random_low_bits", random_low_bits, {}, 1.0f},
      {"wide_walk", wide_walk, {}, 1.0f},
      // The bin and the base only steer contexts: any value, even a hostile one, round-trips.
      {"nan_base", {5, 0, -2, 0, 1}, {nan, 1.0f, inf, -inf, 0.0f}, 1.0f},
      {"nan_bin", c.residual, c.base, nan},
  };
}

class ResidualRoundTrip
    : public ::testing::TestWithParam<std::tuple<RoundTripCase, Stream>> {};

TEST_P(ResidualRoundTrip, DecodesToInputAndEncodesTheSameTwice) {
  auto [c, stream_kind] = GetParam();
  const ResidualOptions& options = stream_kind.options;
  if (c.base.empty()) c.base.assign(c.residual.size(), 0.0f);
  const Bytes stream = encode(c.residual, c.base, c.bin, options);
  EXPECT_EQ(encode(c.residual, c.base, c.bin, options), stream);
  Residual back(c.residual.size(), 12345);
  ASSERT_TRUE(decode_residual_into(stream, c.base, c.bin, back, options.format).ok());
  EXPECT_EQ(back, c.residual);
  // The estimate follows the default encoder's own choices: within 1% (and 64 bits) of the
  // stream.
  if (std::string_view(stream_kind.name) == "blocks") {
    const double bits = 8.0 * static_cast<double>(stream.size());
    EXPECT_NEAR(estimate_residual_bits(c.residual, c.base, c.bin), bits, 64 + 0.01 * bits);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, ResidualRoundTrip,
                         ::testing::Combine(::testing::ValuesIn(round_trip_cases()),
                                            ::testing::ValuesIn(kStreams)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::get<1>(info.param).name;
                         });

TEST(ResidualRange, RefusesValuesBeyondItAndLeavesTheOutputAlone) {
  for (const int32_t v : {kMaxResidual + 1, -kMaxResidual - 1, std::numeric_limits<int32_t>::min(),
                          std::numeric_limits<int32_t>::max()}) {
    Bytes out = {0xAA};
    const auto status = encode_residual_into(Residual{0, v, 0}, std::vector<float>(3), 1.0f, out);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error(), ResidualError::OutOfRange);
    EXPECT_EQ(out, Bytes{0xAA});
    EXPECT_TRUE(std::isinf(estimate_residual_bits(Residual{v}, std::vector<float>(1), 1.0f)));
  }
}

// Knowing the base, the coder codes below the order-0 entropy (from the histogram) and clearly
// below its own size against a flat base, which hides where the corners are.
TEST(ResidualModel, UsesTheBaseActivityToCodeBelowTheOrderZeroEntropy) {
  const Corners c(200000);
  const double n = static_cast<double>(c.residual.size());
  std::map<int32_t, double> counts;
  for (const int32_t v : c.residual) counts[v] += 1;
  double entropy_bits = 0;
  for (const auto& [v, count] : counts) entropy_bits -= count * std::log2(count / n);
  const double with_base = 8.0 * static_cast<double>(encode(c.residual, c.base, 1.0f).size());
  const std::vector<float> flat(c.base.size());
  const double flat_base = 8.0 * static_cast<double>(encode(c.residual, flat, 1.0f).size());
  EXPECT_LT(with_base, 0.95 * entropy_bits);
  EXPECT_LT(with_base, 0.92 * flat_base);
}

// Residuals that a linear filter predicts (a lossless residual of a nearly empty base: the codes
// of a signal of a few tones) cost clearly less in blocks, whose predictors find the filter, than
// in the adaptive format, with either code.
TEST(ResidualModel, BlocksPredictWhatALinearFilterPredicts) {
  std::mt19937 rng(11);
  std::normal_distribution<double> noise(0.0, 2.0);
  Residual r(20000);
  for (size_t i = 0; i < r.size(); ++i) {
    const double t = static_cast<double>(i);
    r[i] = static_cast<int32_t>(
        std::lround(3000.0 * std::sin(0.031 * t) + 1000.0 * std::sin(0.23 * t) + noise(rng)));
  }
  const std::vector<float> base(r.size());
  const double adaptive =
      static_cast<double>(encode(r, base, 1.0f, {ResidualFormat::Adaptive}).size());
  for (const Stream& stream : kStreams) {
    if (stream.options.format != ResidualFormat::Blocks) continue;
    EXPECT_LT(static_cast<double>(encode(r, base, 1.0f, stream.options).size()), 0.8 * adaptive)
        << stream.name;
  }
}

// Pieces added to a meter cost what they cost inside the whole (split away from a corner, where
// the base's activity is the same either way), also when the total is asked for between them
// (an incomplete block priced as the end); the whole blocks alone never cost more than the total;
// a piece out of range makes the total infinite.
TEST(ResidualModel, MeterCarriesTheModelAcrossPieces) {
  const Corners c(10000);
  const std::span<const int32_t> r(c.residual);
  const std::span<const float> b(c.base);
  ResidualCostMeter meter(1.0f);
  meter.add(r.first(5024), b.first(5024));
  const double first = meter.bits();
  EXPECT_EQ(meter.bits(), first);
  EXPECT_LE(meter.settled_bits(), first);
  EXPECT_NEAR(first, estimate_residual_bits(r.first(5024), b.first(5024), 1.0f), 1e-9 * first);
  meter.add(r.subspan(5024), b.subspan(5024));
  EXPECT_LE(meter.settled_bits(), meter.bits());
  const double whole = estimate_residual_bits(r, b, 1.0f);
  EXPECT_NEAR(meter.bits(), whole, 1e-9 * whole);
  EXPECT_LT(whole, estimate_residual_bits(r.first(5024), b.first(5024), 1.0f) +
                       estimate_residual_bits(r.subspan(5024), b.subspan(5024), 1.0f));
  meter.add(Residual{kMaxResidual + 1}, std::vector<float>(1));
  EXPECT_TRUE(std::isinf(meter.bits()));
}

// Damaged streams give an error value (or other values), never a read past the input; a stream
// with bytes added or for another count is refused, and so is a count the bytes cannot back.
TEST(ResidualHostile, DamagedStreamsAreRefused) {
  const Corners c(3000);
  for (const Stream& kind : kStreams) {
    const ResidualFormat format = kind.options.format;
    const Bytes stream = encode(c.residual, c.base, 1.0f, kind.options);
    Residual out(c.residual.size());
    for (size_t cut = 0; cut < stream.size(); ++cut) {
      const Bytes shorter(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut));
      EXPECT_FALSE(decode_residual_into(shorter, c.base, 1.0f, out, format).ok())
          << kind.name << cut;
    }
    for (size_t at = 0; at < stream.size(); ++at) {
      Bytes flipped = stream;
      flipped[at] ^= static_cast<uint8_t>(1u << (at % 8));
      EXPECT_TRUE(!decode_residual_into(flipped, c.base, 1.0f, out, format).ok() ||
                  out != c.residual);
    }
    Bytes longer = stream;
    longer.insert(longer.end(), {0, 0});
    EXPECT_EQ(decode_residual_into(longer, c.base, 1.0f, out, format).error(),
              ResidualError::Corrupt)
        << kind.name;
    Residual fewer(out.size() - 1);
    EXPECT_FALSE(
        decode_residual_into(stream, std::span(c.base).first(fewer.size()), 1.0f, fewer, format)
            .ok())
        << kind.name;
  }
  Residual huge(size_t{1} << 20);
  const std::vector<float> base(huge.size());
  for (const ResidualFormat format : {ResidualFormat::Adaptive, ResidualFormat::Blocks}) {
    EXPECT_EQ(
        decode_residual_into(Bytes{0, 0, 0, 0, 0x12, 0x34}, base, 1.0f, huge, format).error(),
        ResidualError::Truncated);
  }
}

// A block's fields outside what a writer makes are refused: the head's reserved bit, an order
// above 32, a shift above 15, the adaptive code without an adaptive stream.
TEST(ResidualHostile, BlockFieldsAreChecked) {
  Residual r(600);
  for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<int32_t>(100 * std::sin(0.05 * i));
  const std::vector<float> base(r.size());
  const Bytes good = encode(r, base, 1.0f, {ResidualFormat::Blocks, 1.0});
  ASSERT_EQ(good[0], 0);          // no adaptive stream
  ASSERT_GT(good[1] & 0x3F, 0);  // a predictor
  const auto with = [&](size_t at, uint8_t v) {
    Bytes b = good;
    b[at] = v;
    return b;
  };
  const struct {
    const char* name;
    Bytes stream;
    ResidualError error;
  } cases[] = {
      {"reserved bit", with(1, good[1] | 0x40), ResidualError::Corrupt},
      {"order 33", with(1, 33), ResidualError::Corrupt},
      {"shift 16", with(2, 16), ResidualError::Corrupt},
      {"adaptive, no stream", with(1, good[1] | 0x80), ResidualError::Truncated},
  };
  Residual out(r.size());
  ASSERT_TRUE(decode_residual_into(good, base, 1.0f, out).ok());
  for (const auto& c : cases) {
    const auto status = decode_residual_into(c.stream, base, 1.0f, out);
    ASSERT_FALSE(status.ok()) << c.name;
    EXPECT_EQ(status.error(), c.error) << c.name;
  }
}

}  // namespace
}  // namespace vantrel
