#include "codec/cmodel.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/arans.h"

namespace vantrel {
namespace {

using Bytes = std::vector<uint8_t>;
using Band = std::vector<int16_t>;

Bytes encode(const std::vector<Band>& bands) {
  std::vector<std::span<const int16_t>> spans(bands.begin(), bands.end());
  return encode_coeffs(spans);
}

std::vector<size_t> lengths_of(const std::vector<Band>& bands) {
  std::vector<size_t> lengths;
  for (const auto& b : bands) lengths.push_back(b.size());
  return lengths;
}

TEST(CModel, WorkedExamples) {
  const std::vector<Band> bands = {{5, 0, -3}, {0, 0, 1, 0}};
  const Bytes expected = {0x02, 0x03, 0x01, 0xFD, 0x4A, 0x02, 0x00, 0xE0, 0x89};
  EXPECT_EQ(encode(bands), expected);
  auto back = decode_coeffs(expected, lengths_of(bands));
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, bands);

  EXPECT_EQ(encode({}), (Bytes{0x00, 0x00, 0x00, 0x01, 0x00}));
  auto none = decode_coeffs(Bytes{0x00, 0x00, 0x00, 0x01, 0x00}, {});
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
}

TEST(CModel, LayoutGivesEachBandItsOwnGroup) {
  const std::vector<uint32_t> widths = {3, 1, 16, 0};
  const Layout l = layout(widths);
  EXPECT_EQ(l.offsets, (std::vector<size_t>{0, 11, 16, 65555}));
  EXPECT_EQ(l.bits, widths);
  EXPECT_EQ(l.total, 65559u);
}

// Quantised differences of a smooth signal at a few scales: many zeros, small magnitudes.
Band smooth_detail(size_t n, double amplitude, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  Band out(n);
  for (size_t i = 0; i < n; ++i) {
    const double v = amplitude * std::sin(0.01 * static_cast<double>(i)) * noise(rng);
    out[i] = static_cast<int16_t>(std::lround(std::clamp(v, -32768.0, 32767.0)));
  }
  return out;
}

struct RoundTripCase {
  std::string name;
  std::vector<Band> bands;
  std::vector<uint8_t> widths;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

class CModelRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(CModelRoundTrip, DecodesToInput) {
  const auto& c = GetParam();
  const Bytes stream = encode(c.bands);
  ASSERT_GE(stream.size(), 1 + c.bands.size() + 4);
  EXPECT_EQ(stream[0], c.bands.size());
  if (!c.widths.empty()) {
    EXPECT_EQ(Bytes(stream.begin() + 1, stream.begin() + 1 + c.bands.size()), c.widths);
  }

  const auto lengths = lengths_of(c.bands);
  EXPECT_TRUE(check_coeffs(stream, lengths).ok());
  auto back = decode_coeffs(stream, lengths);
  ASSERT_TRUE(back.ok()) << to_string(back.error());
  EXPECT_EQ(*back, c.bands);

  // The flat decoder writes the same values back to back, zeros included over stale contents.
  size_t total = 0;
  for (size_t len : lengths) total += len;
  std::vector<int16_t> flat(total, 0x5555);
  ASSERT_TRUE(decode_coeffs_into(stream, lengths, flat).ok());
  Band joined;
  for (const auto& b : c.bands) joined.insert(joined.end(), b.begin(), b.end());
  EXPECT_EQ(flat, joined);

  // De-quantising on the way gives the bits of de-quantising afterwards, for a reciprocal whose
  // products round.
  const float reciprocal = 1.0f / 3000.0f;
  std::vector<float> direct(total, 7.0f);
  ASSERT_TRUE(decode_dequantized_into(stream, lengths, reciprocal, direct).ok());
  for (size_t i = 0; i < total; ++i) {
    const float expected = static_cast<float>(joined[i]) * reciprocal;
    ASSERT_EQ(std::memcmp(&direct[i], &expected, sizeof(float)), 0) << i;
  }
}

Band repeat(std::initializer_list<int16_t> pattern, size_t times) {
  Band out;
  for (size_t i = 0; i < times; ++i) out.insert(out.end(), pattern);
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Bands, CModelRoundTrip,
    ::testing::Values(
        RoundTripCase{"all_zero_band", {Band(1000, 0)}, {1}},
        RoundTripCase{"empty_bands", {{}, {7}, {}}, {1, 3, 1}},
        RoundTripCase{"extremes", {{-32768, 32767, 0, -1, 1}}, {16}},
        RoundTripCase{"plus_minus_one", {repeat({1, -1, 0}, 500), {1}}, {1, 1}},
        RoundTripCase{"powers_of_two", {{256, -255, 0, 3}, {-4096, 4095}}, {9, 13}},
        // A long zero run saturates the zero-flag probability at 4081: the densest stream.
        RoundTripCase{"long_zero_run", {Band(3000000, 0), {0, 0, 5}}, {1, 3}},
        // Ones after a non-zero saturate the other zero-flag context and the sign at 15.
        RoundTripCase{"saturated_nonzero", {repeat({-1}, 20000)}, {1}},
        RoundTripCase{
            "wavelet_like",
            {smooth_detail(300, 2000, 1), smooth_detail(4800, 3, 2), smooth_detail(2400, 12, 3),
             smooth_detail(1200, 60, 4), smooth_detail(600, 300, 5)},
            {}}),
    [](const auto& info) { return info.param.name; });

// The model written out plainly, one bit at a time on the engine: each band its own context group,
// its zero-flag context chosen by the previous coefficient of the same band (a zero at the start).
Bytes reference_encode(const std::vector<Band>& bands) {
  std::vector<uint32_t> widths;
  for (const auto& band : bands) {
    uint32_t max_mag = 0;
    for (const int v : band) max_mag = std::max(max_mag, static_cast<uint32_t>(std::abs(v)));
    widths.push_back(max_mag == 0 ? 1 : static_cast<uint32_t>(std::bit_width(max_mag)));
  }
  const Layout model = layout(widths);
  BinEnc enc(model.total);
  for (size_t k = 0; k < bands.size(); ++k) {
    const size_t group = model.offsets[k];
    bool prev_nonzero = false;
    for (const int v : bands[k]) {
      enc.encode_bit(group + (prev_nonzero ? 1 : 0), v != 0);
      prev_nonzero = v != 0;
      if (v == 0) continue;
      enc.encode_bit(group + 2, v < 0);
      const uint32_t m = static_cast<uint32_t>(std::abs(v)) - 1;
      uint32_t node = 1;
      for (uint32_t bit_index = widths[k]; bit_index-- > 0;) {
        const uint32_t bit = (m >> bit_index) & 1;
        enc.encode_bit(group + 3 + node, bit);
        node = 2 * node + bit;
      }
    }
  }
  Bytes out = {static_cast<uint8_t>(bands.size())};
  for (const uint32_t w : widths) out.push_back(static_cast<uint8_t>(w));
  enc.finish_into(out);
  return out;
}

// Bands whose predecessor ends on a non-zero value tell a zero-flag context that restarts with
// every band from one that carries over.
TEST(CModel, CodesWhatThePlainModelCodes) {
  const std::vector<std::vector<Band>> cases = {
      {{0, 4, 4}, {0, 4, 4}},
      {{4, 4, 4}, {0, 0, 4}, {0}},
      {{5, 0, -3}, {0, 0, 1, 0}},
      {{-32768, 7}, {0, 0}, {1, -1, 0, 2}},
      {smooth_detail(3000, 40.0, 5), smooth_detail(2000, 3.0, 6)},
      // Bands of many records are coded in pieces: whole and pieced bands in either order, a
      // last piece of a few coefficients, and the widest context tree.
      {smooth_detail(3000, 40.0, 7), smooth_detail(200003, 3000.0, 8),
       smooth_detail(70000, 40.0, 9), smooth_detail(40000, 30000.0, 10)},
  };
  for (const auto& bands : cases) EXPECT_EQ(encode(bands), reference_encode(bands)) << bands.size();
}

struct FailureCase {
  std::string name;
  Bytes stream;
  std::vector<size_t> lengths;
  CModelError error;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class CModelFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(CModelFailure, ReturnsTheFirstFailure) {
  const auto& c = GetParam();
  auto r = decode_coeffs(c.stream, c.lengths);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), c.error);
  size_t total = 0;
  for (size_t len : c.lengths) total += len;
  if (total < (size_t{1} << 24)) {
    std::vector<int16_t> flat(total);
    auto s = decode_coeffs_into(c.stream, c.lengths, flat);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error(), c.error);
    std::vector<float> dequantized(total);
    auto d = decode_dequantized_into(c.stream, c.lengths, 0.5f, dequantized);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error(), c.error);
  }
}

const Bytes kExample = {0x02, 0x03, 0x01, 0xFD, 0x4A, 0x02, 0x00, 0xE0, 0x89};

Bytes cut(const Bytes& b, size_t drop) { return Bytes(b.begin(), b.end() - drop); }

Bytes with_byte(Bytes b, size_t at, uint8_t v) {
  b[at] = v;
  return b;
}

Bytes dense_stream() { return encode({smooth_detail(5000, 200, 6)}); }

INSTANTIATE_TEST_SUITE_P(
    Rows, CModelFailure,
    ::testing::Values(
        FailureCase{"empty", {}, {3, 4}, CModelError::Truncated},
        FailureCase{"empty_no_bands", {}, {}, CModelError::Truncated},
        FailureCase{"count_differs", kExample, {3, 4, 0}, CModelError::BadLength},
        FailureCase{
            "count_differs_before_short_table", {0x05, 0x01}, {3, 4}, CModelError::BadLength},
        FailureCase{"width_table_incomplete", {0x02, 0x03}, {3, 4}, CModelError::Truncated},
        FailureCase{"width_table_only", {0x02, 0x03, 0x01}, {3, 4}, CModelError::Truncated},
        FailureCase{"width_17", with_byte(kExample, 2, 17), {3, 4}, CModelError::BadLength},
        FailureCase{
            "width_255_before_short_coded_part", {0x01, 0xFF, 0, 0}, {3}, CModelError::BadLength},
        FailureCase{"coded_part_3_bytes",
                    {0x02, 0x03, 0x01, 0xFD, 0x4A, 0x02},
                    {3, 4},
                    CModelError::Truncated},
        FailureCase{"words_missing", cut(kExample, 1), {3, 4}, CModelError::Truncated},
        FailureCase{"dense_words_missing", cut(dense_stream(), 2), {5000}, CModelError::Truncated},
        // Too many coefficients for the coded bytes: refused before any allocation.
        FailureCase{"claims_2p31_coefficients", kExample, {2147483647, 0}, CModelError::Truncated},
        FailureCase{"claims_max_size", kExample, {SIZE_MAX, SIZE_MAX}, CModelError::Truncated}),
    [](const auto& info) { return info.param.name; });

TEST(CModel, MinimalCodedPart) {
  // N + 1 + 4 bytes suffice while the decoder needs no word: twenty zeros carry less than the
  // 16 bits of headroom of the initial state.
  const std::vector<Band> bands = {Band(20, 0)};
  const Bytes stream = encode(bands);
  ASSERT_EQ(stream.size(), 1u + 1u + 4u);
  auto back = decode_coeffs(stream, lengths_of(bands));
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, bands);
  auto r = decode_coeffs(cut(stream, 1), lengths_of(bands));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), CModelError::Truncated);
}

// The refusal bound is a theorem about the decoder: whatever the bytes and probabilities, the
// number of bits decoded before running out of words stays within kMaxBitsPerWord per word plus
// one. Check it on random coded parts decoded with saturated and adaptive contexts.
TEST(CModel, BitBoundHoldsForArbitraryBytes) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 300; ++trial) {
    Bytes coded(4 + 2 * (trial % 7));
    for (auto& b : coded) b = static_cast<uint8_t>(rng());
    const uint64_t words = (coded.size() - 4) / 2;
    auto dec = BinDec::create(coded, 1);
    ASSERT_TRUE(dec.ok());
    const bool saturated = trial % 2 == 0;
    uint64_t bits = 0;
    while (true) {
      if (saturated) dec->probs()[0] = kProbMax;
      dec->decode_bit_deferred(0);
      if (dec->truncated()) break;
      ++bits;
    }
    EXPECT_LE(bits, kMaxBitsPerWord * (words + 1)) << trial;
  }
}

// The encoder's densest output (zeros at saturated probability) never comes near the refusal
// bound: every stream it produces is accepted.
TEST(CModel, BoundNeverRefusesEncoderOutput) {
  double worst = 0;
  for (size_t n : {1, 100, 3000, 3100, 3300, 6000, 6400, 20000, 100000, 1000000}) {
    const std::vector<Band> bands = {Band(n, 0)};
    const Bytes stream = encode(bands);
    const uint64_t words = (stream.size() - 2 - 4) / 2;
    worst = std::max(worst, static_cast<double>(n) / static_cast<double>(words + 1));
    EXPECT_TRUE(check_coeffs(stream, lengths_of(bands)).ok()) << n;
  }
  EXPECT_LT(worst, static_cast<double>(kMaxBitsPerWord));
  // One more coefficient than the bound allows for a 4-byte coded part is refused.
  const Bytes four = {0x01, 0x01, 0x00, 0x00, 0x01, 0x00};
  EXPECT_TRUE(check_coeffs(four, std::vector<size_t>{kMaxBitsPerWord}).ok());
  EXPECT_EQ(check_coeffs(four, std::vector<size_t>{kMaxBitsPerWord + 1}).error(),
            CModelError::Truncated);
}

}  // namespace
}  // namespace vantrel
