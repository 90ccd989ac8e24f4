// The method, coder and metric tables: every entry is found again by each of its keys and shows
// the same in the public views, every coder reads back exactly what it wrote and refuses a
// payload cut short, and every metric row judges its own measurement in its own direction.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "codec/coders.h"
#include "codec/methods.h"
#include "codec/quality.h"
#include "codec/vantrel.h"

namespace vantrel {
namespace {

TEST(MethodTable, EveryEntryIsFoundByItsCodeTagAndName) {
  for (const WaveletMethodEntry& method : wavelet_methods()) {
    EXPECT_EQ(find_method(method.code), &method);
    EXPECT_EQ(find_method_by_tag(method.tag), &method);
    EXPECT_EQ(find_method_by_name(method.name), &method);
  }
  EXPECT_EQ(find_method(static_cast<uint8_t>(wavelet_methods().size())), nullptr);
}

TEST(PublicViews, ShowEveryEntryAsTheTableHasIt) {
  const auto same = [](const auto& entries, const auto& infos, auto key) {
    ASSERT_EQ(infos.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(key(infos[i]), key(entries[i])) << i;
  };
  same(wavelet_methods(), wavelet_method_infos(),
       [](const WaveletMethodInfo& m) { return std::tuple(m.code, m.tag, m.name); });
  same(entropy_coders(), entropy_coder_infos(),
       [](const EntropyCoderInfo& c) { return std::tuple(c.code, c.name, c.listed); });
}

TEST(MetricTable, EachRowJudgesItsOwnMeasurementInItsDirection) {
  // Every measurement distinct, so that a row reading another's field fails.
  const Distortion d{.psnr = 61.0, .prd = 0.7, .rmse = 0.02, .max_error = 0.09};
  for (const QualityMetricEntry& row : kQualityMetrics) {
    const double value = d.*row.measured;
    EXPECT_TRUE(meets(d, {row.metric, value})) << row.name;
    const double stricter = row.higher_is_better ? value + 1.0 : value * 0.5;
    EXPECT_FALSE(meets(d, {row.metric, stricter})) << row.name;
  }
}

class CoderEntry : public ::testing::TestWithParam<uint8_t> {};

TEST_P(CoderEntry, DecodesWhatItEncodedAndRefusesACutPayload) {
  const EntropyCoderEntry& coder = *find_coder(GetParam());
  EXPECT_EQ(find_coder_by_name(coder.name), &coder);
  const std::vector<size_t> lengths = {9, 64, 33, 17};
  std::vector<int16_t> values(9 + 64 + 33 + 17);
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> value(-700, 700);
  for (int16_t& v : values) v = static_cast<int16_t>(rng() % 3 == 0 ? value(rng) : 0);

  constexpr size_t kRoom = 5;
  const std::vector<uint8_t> coded = coder.encode(values, lengths, kRoom, 1).value();
  ASSERT_GT(coded.size(), kRoom);
  EXPECT_EQ(std::vector<uint8_t>(coded.begin(), coded.begin() + kRoom),
            std::vector<uint8_t>(kRoom));
  const std::span<const uint8_t> payload = std::span(coded).subspan(kRoom);
  ASSERT_TRUE(coder.check(payload, lengths).ok());
  const auto decoded = coder.decode(payload, lengths, values.size(), 0.25f).value();
  for (size_t i = 0; i < values.size(); ++i) ASSERT_EQ(decoded[i], values[i] * 0.25f) << i;

  const auto cut = payload.first(payload.size() / 2);
  EXPECT_FALSE(coder.check(cut, lengths).ok() &&
               coder.decode(cut, lengths, values.size(), 1.0f).ok());
}

const uint8_t kCoderCount = static_cast<uint8_t>(entropy_coders().size());

INSTANTIATE_TEST_SUITE_P(Coders, CoderEntry, ::testing::Range<uint8_t>(0, kCoderCount),
                         [](const ::testing::TestParamInfo<uint8_t>& info) {
                           return std::string(find_coder(info.param)->name);
                         });

}  // namespace
}  // namespace vantrel
