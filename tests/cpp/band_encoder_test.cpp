// The band-by-band context-model encoder against the plain one-bit-at-a-time encoder, and the
// compressor's in-place container against write_container.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "codec/arans.h"
#include "codec/cmodel.h"
#include "codec/compressor.h"
#include "codec/header.h"
#include "codec/vantrel.h"
#include "tests/cpp/test_util.h"

namespace vantrel {
namespace {

using Band = std::vector<int16_t>;

// Every decision through BinEnc::encode_bit over one record list: the obvious encoder, with no
// band-wise passes, registers or interleaving.
std::vector<uint8_t> reference_encode(const std::vector<Band>& bands) {
  std::vector<uint32_t> widths;
  for (const Band& band : bands) {
    uint32_t max_mag = 0;
    for (const int16_t v : band) max_mag = std::max<uint32_t>(max_mag, std::abs(int32_t{v}));
    widths.push_back(max_mag == 0 ? 1 : static_cast<uint32_t>(std::bit_width(max_mag)));
  }
  const Layout model = layout(widths);
  BinEnc enc(std::max<size_t>(model.total, 1));
  for (size_t i = 0; i < bands.size(); ++i) {
    const size_t o = model.offsets[i];
    bool prev_nonzero = false;
    for (const int16_t v : bands[i]) {
      enc.encode_bit(o + (prev_nonzero ? 1 : 0), v != 0);
      if (v != 0) {
        enc.encode_bit(o + 2, v < 0);
        const uint32_t m = static_cast<uint32_t>(std::abs(int32_t{v})) - 1;
        uint32_t node = 1;
        for (uint32_t k = widths[i]; k-- > 0;) {
          const uint32_t bit = (m >> k) & 1;
          enc.encode_bit(o + 3 + node, bit);
          node = 2 * node + bit;
        }
      }
      prev_nonzero = v != 0;
    }
  }
  std::vector<uint8_t> out{static_cast<uint8_t>(bands.size())};
  for (const uint32_t w : widths) out.push_back(static_cast<uint8_t>(w));
  enc.finish_into(out);
  return out;
}

// `count` bands halving in length from `first_length`, like a decomposition's details, with
// zeros in proportion `zero_share` and magnitudes up to `max_mag`.
std::vector<Band> random_bands(size_t count, size_t first_length, double zero_share,
                               int32_t max_mag, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  std::uniform_int_distribution<int32_t> mag(1, max_mag);
  std::vector<Band> bands;
  size_t length = first_length;
  for (size_t b = 0; b < count; ++b) {
    Band band(length);
    for (int16_t& v : band) {
      if (unit(rng) >= zero_share) {
        const int32_t m = mag(rng);
        v = static_cast<int16_t>(unit(rng) < 0.5 ? -m : std::min(m, 32767));
      }
    }
    bands.push_back(std::move(band));
    length = std::max<size_t>(length / 2, 1);
  }
  return bands;
}

struct BandCase {
  const char* name;
  std::vector<Band> bands;
};

std::vector<BandCase> band_cases() {
  return {
      {"none", {}},
      {"one_empty", {{}}},
      {"one_zero_band", {Band(100, 0)}},
      {"empty_between", {{3, -1, 0, 7}, {}, {0, 0, 1}, {}, {-2}}},
      {"two", random_bands(2, 500, 0.5, 40, 1)},
      {"three_sparse", random_bands(3, 3000, 0.95, 3, 2)},
      {"nine_like_a_decomposition", random_bands(9, 20000, 0.6, 2000, 3)},
      {"ten_dense_full_width", random_bands(10, 4000, 0.0, 32768, 4)},
      {"short_then_long", {Band{1}, random_bands(1, 50000, 0.3, 300, 5)[0], Band{-1, 0}}},
  };
}

class BandEncoder : public ::testing::TestWithParam<BandCase> {};

TEST_P(BandEncoder, MatchesTheBitByBitEncoderAndDecodes) {
  const std::vector<Band>& bands = GetParam().bands;
  const std::vector<std::span<const int16_t>> spans(bands.begin(), bands.end());
  const std::vector<uint8_t> coded = encode_coeffs(spans);
  EXPECT_EQ(coded, reference_encode(bands));

  // Appending after existing bytes leaves them and appends the same stream.
  std::vector<uint8_t> appended = {0xAB, 0xCD, 0xEF};
  encode_coeffs_into(spans, appended);
  ASSERT_EQ(appended.size(), 3 + coded.size());
  EXPECT_EQ(appended[0], 0xAB);
  EXPECT_EQ(appended[2], 0xEF);
  EXPECT_TRUE(std::equal(coded.begin(), coded.end(), appended.begin() + 3));

  // Forward passes on other threads change no byte, however many threads there are.
  for (const unsigned threads : {2u, 3u, kMaxEncodeThreads + 1}) {
    std::vector<uint8_t> threaded;
    encode_coeffs_into(spans, threaded, threads);
    EXPECT_EQ(threaded, coded) << threads << " threads";
  }

  std::vector<size_t> lengths;
  for (const Band& band : bands) lengths.push_back(band.size());
  const auto decoded = decode_coeffs(coded, lengths);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(*decoded, bands);
}

INSTANTIATE_TEST_SUITE_P(Bands, BandEncoder, ::testing::ValuesIn(band_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

// compress writes the header in front of the payload it coded behind room for it; the result
// must be the container that write_container makes of compress_core's payload, for every coder.
TEST(InPlaceContainer, EqualsWriteContainerOfTheCorePayload) {
  std::vector<float> samples(3001);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<float>((i * 7919) % 1000) * 0.01f + static_cast<float>(i % 17);
  }
  for (const uint8_t coder : {uint8_t{0}, uint8_t{1}, uint8_t{2}, kCoderAuto}) {
    VtrlCompressionOptions options;
    options.coder = coder;
    const auto container = compress(samples, options);
    ASSERT_TRUE(container.ok());
    const uint8_t levels = pick_levels(samples.size(), options.method);
    const auto core = compress_core(samples, options, levels);
    ASSERT_TRUE(core.ok());
    const ContainerFields fields{.method = options.method,
                                 .levels = levels,
                                 .scale = core->scale,
                                 .coder = core->coder,
                                 .sample_count = static_cast<uint32_t>(samples.size()),
                                 .signal_min = core->signal_min,
                                 .signal_max = core->signal_max,
                                 .norm_mean = core->norm_mean,
                                 .quant_multiplier = core->multiplier};
    EXPECT_EQ(*container, checked(write_container(fields, core->payload))) << int{coder};
  }
}

// Long enough for the compressor to take the extra threads, for every method and a few lengths.
TEST(ThreadedCompress, GivesTheOneThreadContainer) {
  for (const size_t n : {kThreadedEncodeMinCoefficients, size_t{300001}}) {
    std::vector<float> samples(n);
    for (size_t i = 0; i < n; ++i) {
      samples[i] =
          std::sin(static_cast<float>(i) * 0.01f) + static_cast<float>((i * 7919) % 101) * 0.002f;
    }
    for (const uint8_t method : {0, 1, 2, 3}) {
      VtrlCompressionOptions options;
      options.method = method;
      const auto one = checked(compress(samples, options));
      EXPECT_EQ(checked(compress(samples, options, EncodeThreads{2})), one)
          << n << " " << int{method};
      EXPECT_EQ(checked(compress(samples, options, EncodeThreads{8})), one)
          << n << " " << int{method};
    }
  }
}

TEST(InPlaceContainer, HeaderWriterChecksLikeWriteContainer) {
  ContainerFields fields{.method = 2,
                         .levels = 3,
                         .scale = 9,
                         .coder = 1,
                         .sample_count = 77,
                         .signal_min = -1.5f,
                         .signal_max = 2.0f,
                         .norm_mean = 0.25f,
                         .quant_multiplier = 512.0f};
  // Stale bytes in the header area, reserved bytes included, are all overwritten.
  std::vector<uint8_t> container(kHeaderSize + 5, 0xEE);
  ASSERT_TRUE(write_header_in_place(fields, container).ok());
  const std::vector<uint8_t> payload(5, 0xEE);
  EXPECT_EQ(container, checked(write_container(fields, payload)));

  fields.coder = 3;
  const auto refused = write_header_in_place(fields, container);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().to_string(), write_container(fields, payload).error().to_string());
}

}  // namespace
}  // namespace vantrel
