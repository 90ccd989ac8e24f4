#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "codec/header.h"
#include "codec/vantrel.h"
#include "tests/cpp/targets.h"
#include "tests/cpp/test_util.h"

namespace vantrel {
namespace {

std::vector<float> noisy_sines(size_t n, float sigma = 0.02f) {
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, sigma);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i)
    x[i] = 3.0f * std::sin(0.01f * i) + std::sin(0.37f * i) + noise(rng) + 40.0f;
  return x;
}

struct Case {
  QualityMetric metric;
  double value;
  std::optional<WaveletMethod> method;
  float noise = 0.02f;  // smooth signals lie below the search's first guess of the error
};

// The decoder's samples meet the target and are those the search measured; a PSNR lands close
// above its target.
TEST(CompressTo, DecodedSamplesMeetTheTargetTheSearchMeasured) {
  const Case cases[] = {
      {QualityMetric::Psnr, 62.0, WaveletMethod::Cdf97},
      {QualityMetric::Psnr, 75.0, std::nullopt},
      {QualityMetric::Prd, 0.05, WaveletMethod::Db4},
      {QualityMetric::Rmse, 0.01, WaveletMethod::Cdf53},
      {QualityMetric::MaxError, 0.004, WaveletMethod::Sym4},
      {QualityMetric::MaxError, 0.1, std::nullopt},
      {QualityMetric::Psnr, 60.0, WaveletMethod::Cdf97, 0.0f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(kQualityMetrics[static_cast<size_t>(c.metric)].name) + " " +
                 std::to_string(c.value));
    const std::vector<float> x = noisy_sines(5000, c.noise);
    const QualityTarget target{c.metric, c.value};
    const TargetedContainer out = checked(compress_to(x, target, c.method));
    if (c.method) {
      EXPECT_EQ(out.method, *c.method);
    }
    const std::vector<float> y = checked(decompress(out.container));
    const Distortion d = measure_distortion(x, y);
    EXPECT_TRUE(meets(d, target));
    EXPECT_EQ(d.rmse, out.achieved.rmse);
    EXPECT_EQ(d.max_error, out.achieved.max_error);
    if (c.metric == QualityMetric::Psnr) {
      EXPECT_LT(d.psnr, c.value + 0.25);
    }
    const VantrelHeader h = checked(VantrelHeader::from_bytes(out.container));
    EXPECT_EQ(h.scale, kMinScale);  // no dead zone
    EXPECT_EQ(h.quant_multiplier, out.quant_multiplier);
  }
}

TEST(CompressTo, EveryVectorTargetChoosesTheSameContainer) {
  const std::vector<float> x = noisy_sines(3000);
  std::vector<uint8_t> first;
  for_each_target([&](SimdTarget) {
    const auto out = checked(compress_to(x, {QualityMetric::Psnr, 66.0}));
    if (first.empty()) first = out.container;
    EXPECT_EQ(out.container, first);
  });
}

// Float64 originals: the guarantee holds against them, not only against their float32 copies.
TEST(CompressTo, MeasuresAgainstTheReferenceGiven) {
  std::vector<double> original(4000);
  std::vector<float> samples(original.size());
  for (size_t i = 0; i < original.size(); ++i) {
    original[i] = 1e3 + std::sin(0.05 * i) + 1e-5 * std::cos(3.0 * i);
    samples[i] = static_cast<float>(original[i]);
  }
  const QualityTarget target{QualityMetric::MaxError, 1e-3};
  const auto out = checked(compress_to(samples, original, target, WaveletMethod::Cdf97));
  const std::vector<float> y = checked(decompress(out.container));
  double largest = 0.0;
  for (size_t i = 0; i < y.size(); ++i) largest = std::max(largest, std::fabs(y[i] - original[i]));
  EXPECT_LE(largest, 1e-3);
  EXPECT_EQ(largest, out.achieved.max_error);
  EXPECT_FALSE(compress_to(samples, std::span<const double>(original).first(10), target).ok());
}

// A flat signal decodes alike with every multiplier: the default container, for any target.
TEST(CompressTo, FlatSignalGivesTheDefaultContainer) {
  const std::vector<float> flat(300, 2.5f);
  VtrlCompressionOptions options;
  options.set_method(WaveletMethod::Db4);
  const auto out = checked(compress_to(flat, {QualityMetric::MaxError, 0.0}, WaveletMethod::Db4));
  EXPECT_EQ(out.container, checked(compress(flat, options)));
}

TEST(CompressTo, RefusesTargetsNoContainerReachesOrThatMeanNothing) {
  const std::vector<float> x = noisy_sines(2000);
  const struct {
    QualityTarget target;
    const char* text;
  } cases[] = {
      {{QualityMetric::MaxError, 0.0},
       "No container reaches max_error 0 for this signal; the "
       "closest one reaches max_error "},
      {{QualityMetric::Psnr, 400.0}, "No container reaches psnr 400 for this signal"},
      {{QualityMetric::Rmse, -1.0},
       "Quality target rmse must be finite and not negative, but it "
       "was -1"},
      {{QualityMetric::Psnr, NAN}, "Quality target psnr must be finite, but it was NaN"},
  };
  for (const auto& c : cases) {
    const auto out = compress_to(x, c.target, WaveletMethod::Cdf97);
    ASSERT_FALSE(out.ok());
    EXPECT_NE(out.error().to_string().find(c.text), std::string::npos) << out.error().to_string();
  }
}

}  // namespace
}  // namespace vantrel
