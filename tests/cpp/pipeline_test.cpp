#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "codec/arans.h"
#include "codec/compressor.h"
#include "codec/deflate.h"
#include "codec/executors.h"
#include "codec/decompressor.h"
#include "codec/header.h"
#include "codec/passes.h"
#include "codec/vantrel.h"
#include "tests/cpp/test_util.h"

namespace vantrel {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

VtrlCompressionOptions options_for(uint8_t method, uint8_t coder = kCoderAuto, uint8_t scale = 11) {
  VtrlCompressionOptions o;
  o.method = method;
  o.coder = coder;
  o.scale = scale;
  return o;
}

std::vector<float> smooth_signal(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.01f);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i)
    x[i] = std::sin(0.05f * static_cast<float>(i)) + 0.3f * std::sin(0.31f * static_cast<float>(i)) +
           noise(rng);
  return x;
}

VantrelHeader header_of(const std::vector<uint8_t>& c) { return checked(VantrelHeader::from_bytes(c)); }

TEST(PickLevels, FollowsTheSampleCountAndFilterLength) {
  struct Case {
    uint64_t n;
    uint8_t method;
    uint8_t levels;
  };
  const Case cases[] = {
      {1, 1, 1},    {19, 1, 1},    {20, 1, 2},   {39, 0, 2},     {40, 2, 3},     {59, 3, 3},
      {60, 1, 4},   {79, 0, 4},    {80, 0, 3},   {80, 1, 3},     {80, 2, 3},     {80, 3, 3},
      {1000, 1, 6}, {5000, 1, 8},  {1u << 30, 2, 8}, {159, 1, 3}, {160, 1, 4},
  };
  for (const auto& c : cases) EXPECT_EQ(pick_levels(c.n, c.method), c.levels) << c.n;
}

// The magnitude rule and the rounding of the quantiser are checked per target with the passes.
TEST(DeadZone, ThresholdOfEveryScaleAndCutoff) {
  const int32_t expected[7][3] = {  // scales 6..12; low, medium, high
      {0, 0, 0}, {0, 0, 0}, {1, 3, 7}, {1, 3, 7}, {2, 6, 14}, {2, 6, 14}, {3, 9, 21}};
  for (uint8_t scale = 6; scale <= 12; ++scale) {
    for (uint8_t cutoff = 0; cutoff < 3; ++cutoff) {
      EXPECT_EQ(dead_zone_threshold(scale, cutoff), expected[scale - 6][cutoff])
          << int{scale} << " " << int{cutoff};
    }
  }
}

TEST(Sanitize, NaNAndInfinitiesAndExtremes) {
  const std::vector<float> in = {1000.0f, kNaN, 1001.0f, kInf, -kInf};
  std::vector<float> out(in.size());
  const Extremes e = sanitize_copy(in, out);
  EXPECT_EQ(out, (std::vector<float>{1000.0f, 0.0f, 1001.0f, 1.0f, 0.0f}));
  EXPECT_EQ(e.min, 0.0f);
  EXPECT_EQ(e.max, 1001.0f);
}

TEST(Compress, WorkedHeaderOfAConstantSignal) {
  const std::vector<float> x(1000, 0.5f);
  const auto c = checked(compress(x, VtrlCompressionOptions{}));
  const uint8_t expected[] = {'V', 'T', 'R', 'L', 1, 2, 0x66, 0x33, 'c', 'f', '9', '7', 6, 11, 2, 0,
                              0xE8, 3, 0, 0, 0, 0, 0, 0x3F, 0, 0, 0, 0x3F, 0, 0, 0, 0};
  ASSERT_GE(c.size(), kHeaderSize);
  EXPECT_EQ(std::memcmp(c.data(), expected, sizeof expected), 0);
  const uint8_t tail[] = {0, 0, 0, 0x45, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(c.data() + 36, tail, sizeof tail), 0);
  EXPECT_EQ(header_of(c).payload_len, c.size() - kHeaderSize);
  EXPECT_EQ(checked(decompress(c)), x);
}

TEST(Compress, RefusesEmptyInput) {
  const auto r = compress({}, VtrlCompressionOptions{});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "Unsupported compression configuration 'Can't compress empty data'");
}

TEST(Compress, RefusesOptionRecordsOutsideTheirCodes) {
  const std::vector<float> x(100, 1.0f);
  const auto with = [](auto change) {
    VtrlCompressionOptions o;
    change(o);
    return o;
  };
  const std::pair<VtrlCompressionOptions, std::string> cases[] = {
      {with([](auto& o) { o.method = 4; }), "Unsupported compression configuration 'Unknown method code 4'"},
      {with([](auto& o) { o.cutoff = 3; }), "Unsupported compression configuration 'Unknown cutoff code 3'"},
      {with([](auto& o) { o.scale = 13; }), "Only scaled 6..12 is supported, but it was 13"},
      {with([](auto& o) { o.coder = 3; }), "Unknown entropy coder 3"},
  };
  for (const auto& [options, text] : cases) {
    const auto r = compress(x, options);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), text);
  }
}

// A signal one coefficient beyond what the byte-plane decoder reads is refused before any sample
// is touched: its samples sit in memory that cannot be read, so a missed refusal crashes.
TEST(Compress, RefusesCoefficientsBeyondTheByteplaneCoderUnread) {
  const size_t n = kMaxStreamPairs + 1;
  const auto method = static_cast<uint8_t>(WaveletMethod::Cdf53);
  const auto bands = band_lengths(*make_executor(WaveletMethod::Cdf53), pick_levels(n, method), n);
  ASSERT_EQ(std::accumulate(bands.begin(), bands.end(), size_t{0}), n);
  void* block = mmap(nullptr, n * sizeof(float), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(block, MAP_FAILED);
  const auto r = compress({static_cast<const float*>(block), n},
                          options_for(method, static_cast<uint8_t>(EntropyCoder::Arans)));
  munmap(block, n * sizeof(float));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(),
            VantrelError::coder_capacity_exceeded("arans", kMaxStreamPairs, n).to_string());
}

TEST(Compress, SingleSampleAndShortSignals) {
  for (uint8_t method = 0; method < 4; ++method) {
    const auto c = checked(compress(std::vector<float>{-7.5f}, options_for(method)));
    const auto h = header_of(c);
    EXPECT_EQ(h.levels, 1);
    EXPECT_EQ(h.signal_min, -7.5f);
    EXPECT_EQ(h.signal_max, -7.5f);
    EXPECT_EQ(h.norm_mean, 0.0f);
    EXPECT_EQ(checked(decompress(c)), std::vector<float>{-7.5f});
  }
  // Five samples with cdf97 are transformed as ten (the signal twice); the header says five.
  const std::vector<float> five = {0.0f, 1.0f, 0.5f, 0.25f, 0.75f};
  const auto c = checked(compress(five, options_for(1)));
  EXPECT_EQ(header_of(c).sample_count, 5u);
  const auto back = checked(decompress(c));
  ASSERT_EQ(back.size(), 5u);
  for (size_t i = 0; i < 5; ++i) EXPECT_NEAR(back[i], five[i], 2e-3f);
}

TEST(Compress, AutoAndCModelAreIdenticalAndDeterministic) {
  const auto x = smooth_signal(3001, 7);
  const auto a = checked(compress(x, options_for(1, kCoderAuto)));
  const auto b = checked(compress(x, options_for(1, 2)));
  EXPECT_EQ(a, b);
  EXPECT_EQ(a[14], 2);
  EXPECT_EQ(checked(compress(x, options_for(1, kCoderAuto))), a);
}

TEST(Compress, GivenMultiplierIsStored) {
  auto o = options_for(0);
  o.quant_multiplier = 0.5f;
  const auto c = checked(compress(smooth_signal(100, 1), o));
  EXPECT_EQ(header_of(c).quant_multiplier, 0.5f);
}

struct RefusedMultiplier {
  float value;
  std::string text;
};

TEST(Compress, RefusesMultipliersTheDecoderWouldNotUse) {
  const RefusedMultiplier cases[] = {
      {-1.0f, "-1"}, {0.0f, "0"}, {kNaN, "NaN"}, {kInf, "inf"}, {-kInf, "-inf"}, {1e-45f, "1e-45"}};
  for (const auto& c : cases) {
    auto o = options_for(1);
    o.quant_multiplier = c.value;
    const auto r = compress(smooth_signal(100, 2), o);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.error().to_string(),
              "Unsupported compression configuration 'Quantisation multiplier must be positive and "
              "finite with a finite reciprocal, but it was " +
                  c.text + "'");
  }
  auto o = options_for(1);
  o.quant_multiplier = 1e-30f;
  EXPECT_TRUE(compress(smooth_signal(100, 2), o).ok());
}

TEST(Compress, RefusesRangesBeyondFloat) {
  for (const auto& x : {std::vector<float>{-3e38f, 3e38f}, std::vector<float>{0.0f, 1e38f}}) {
    const auto r = compress(x, VtrlCompressionOptions{});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), VantrelError::Kind::UnsupportedConfiguration);
  }
}

TEST(Compress, TinyRangesAreNotFlat) {
  for (const float amplitude : {8e-6f, 1e-9f, 1e-30f}) {
    std::vector<float> x(500);
    for (size_t i = 0; i < x.size(); ++i)
      x[i] = 3.0f * amplitude + amplitude * std::sin(0.1f * static_cast<float>(i));
    const auto back = checked(decompress(checked(compress(x, VtrlCompressionOptions{}))));
    float worst = 0.0f;
    for (size_t i = 0; i < x.size(); ++i) worst = std::max(worst, std::fabs(back[i] - x[i]));
    EXPECT_LT(worst, 2e-3f * 2.0f * amplitude) << amplitude;
  }
}

TEST(Compress, SaturatingPlateauIsRefusedAtScale12) {
  std::vector<float> x(5000, 0.0f);
  std::fill(x.begin() + 2000, x.begin() + 3000, 1.0f);
  for (uint8_t method = 0; method < 4; ++method) {
    const auto at12 = compress(x, options_for(method, kCoderAuto, 12));
    EXPECT_EQ(at12.ok(), method == 0) << int(method);
    if (!at12.ok()) {
      EXPECT_NE(at12.error().to_string().find("exceed the 16-bit range"), std::string::npos);
    }
    EXPECT_TRUE(compress(x, options_for(method, kCoderAuto, 11)).ok()) << int(method);
  }
}

// Rewrites one header field of a valid container.
std::vector<uint8_t> with_byte(std::vector<uint8_t> c, size_t at, uint8_t v) {
  c[at] = v;
  return c;
}

TEST(Decompress, ParameterChecks) {
  const auto c = checked(compress(smooth_signal(300, 3), VtrlCompressionOptions{}));
  auto too_many = c;
  too_many[16] = 0;
  too_many[17] = 0;
  too_many[18] = 0;
  too_many[19] = 0x80;
  const std::pair<std::vector<uint8_t>, std::string> cases[] = {
      {with_byte(c, 12, 11), "Can't decompress data, reason: Max supported level is 10 but it was 11"},
      {with_byte(c, 12, 0), "Can't decompress data, reason: Min supported level is 1 but it was 0"},
      {too_many,
       "Can't decompress data, reason: Can't decompress data bigger than 2147483647, but data was "
       "2147483648"},
      {std::vector<uint8_t>(c.begin(), c.end() - 1),
       "Can't decompress data, reason: Minimum data size is " + std::to_string(c.size()) +
           ", but it was " + std::to_string(c.size() - 1)},
  };
  for (const auto& [bytes, text] : cases) {
    const auto r = decompress(bytes);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().to_string(), text);
  }
}

TEST(Decompress, TrailingBytesAndBadMultipliers) {
  const auto x = smooth_signal(777, 4);
  const auto c = checked(compress(x, VtrlCompressionOptions{}));
  const auto reference = checked(decompress(c));
  auto longer = c;
  longer.insert(longer.end(), 100, 0xAB);
  EXPECT_EQ(checked(decompress(longer)), reference);
  // A multiplier that is not positive and finite is replaced by 2^scale (2048 here).
  for (const float m : {0.0f, -1.0f, kNaN, kInf}) {
    auto bad = c;
    const uint32_t bits = std::bit_cast<uint32_t>(m);
    std::memcpy(bad.data() + 36, &bits, 4);
    EXPECT_EQ(checked(decompress(bad)), reference) << m;
  }
}

TEST(Decompress, ConstantSignalDecodesToItsMinimum) {
  for (uint8_t method = 0; method < 4; ++method)
    for (uint8_t coder = 0; coder < 3; ++coder) {
      const std::vector<float> x(257, -2.25f);
      EXPECT_EQ(checked(decompress(checked(compress(x, options_for(method, coder))))), x);
    }
}

TEST(Decompress, ShortStreamsAreRefusedBeforeCutting) {
  const auto x = smooth_signal(1000, 5);
  for (uint8_t coder = 0; coder < 3; ++coder) {
    auto c = checked(compress(x, options_for(1, coder)));
    // Keep only half the payload and fix the length field to match.
    const uint32_t half = header_of(c).payload_len / 2;
    c.resize(kHeaderSize + half);
    std::memcpy(c.data() + 32, &half, 4);
    const auto r = decompress(c);
    ASSERT_FALSE(r.ok()) << int(coder);
    EXPECT_EQ(r.error().kind(), VantrelError::Kind::DecompressionFailed);
  }
  // One byte short of the last coefficient is refused too, not read past its end.
  for (const uint8_t coder : {0, 1}) {
    const auto c = checked(compress(x, options_for(1, coder)));
    const auto payload = std::span(c).subspan(kHeaderSize);
    auto bytes = coder == 0 ? checked(inflate_payload(payload, SIZE_MAX))
                            : checked(decode_stream(payload));
    bytes.pop_back();
    const auto coded = coder == 0 ? checked(deflate_payload(bytes)) : encode_stream(bytes);
    std::vector<uint8_t> cut(c.begin(), c.begin() + kHeaderSize);
    cut.insert(cut.end(), coded.begin(), coded.end());
    const auto length = static_cast<uint32_t>(coded.size());
    std::memcpy(cut.data() + 32, &length, 4);
    const auto r = decompress(cut);
    ASSERT_FALSE(r.ok()) << int{coder};
    EXPECT_EQ(r.error().to_string(), "Can't decompress data, reason: Stream truncated");
  }
}

// A signal shorter than the filter is coded as its repetition up to the filter length: {0, 1}
// gives the same payload as {0, 1, 0, 1, ...} of that length (same extremes and mean).
TEST(Compress, ShortSignalIsCodedAsItsRepetition) {
  for (uint8_t method = 0; method < 4; ++method) {
    const size_t fl = make_executor(static_cast<WaveletMethod>(method))->filter_length();
    ASSERT_GT(fl, 2u);
    std::vector<float> repeated(fl);
    for (size_t i = 0; i < fl; ++i) repeated[i] = static_cast<float>(i % 2);
    const auto short_one = checked(compress(std::vector<float>{0.0f, 1.0f}, options_for(method)));
    const auto long_one = checked(compress(repeated, options_for(method)));
    EXPECT_TRUE(std::equal(short_one.begin() + kHeaderSize, short_one.end(),
                           long_one.begin() + kHeaderSize, long_one.end()))
        << int{method};
  }
}

// Every method and coder round-trips within the error the scale allows.
class RoundTrip : public ::testing::TestWithParam<std::tuple<int, int, int>> {};

TEST_P(RoundTrip, ErrorBoundedByScale) {
  const auto [method, coder, scale] = GetParam();
  for (const size_t n : {1u, 2u, 3u, 7u, 8u, 9u, 31u, 33u, 64u, 101u, 1000u, 4097u}) {
    const auto x = smooth_signal(n, static_cast<uint32_t>(n));
    const auto o = options_for(static_cast<uint8_t>(method), static_cast<uint8_t>(coder),
                               static_cast<uint8_t>(scale));
    const auto c = checked(compress(x, o));
    const auto back = checked(decompress(c));
    ASSERT_EQ(back.size(), n);
    const auto [mn, mx] = std::minmax_element(x.begin(), x.end());
    const float range = *mx - *mn;
    float worst = 0.0f;
    for (size_t i = 0; i < n; ++i) worst = std::max(worst, std::fabs(back[i] - x[i]));
    // The dead zone and rounding at 2^-scale per coefficient, summed over the levels.
    EXPECT_LE(worst, range * 40.0f / static_cast<float>(1 << scale) + 1e-6f) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(AllMethodsCoders, RoundTrip,
                         ::testing::Combine(::testing::Range(0, 4), ::testing::Range(0, 3),
                                            ::testing::Values(6, 9, 12)));

}  // namespace
}  // namespace vantrel
