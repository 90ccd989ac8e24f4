#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "codec/header.h"
#include "codec/vantrel.h"
#include "tests/cpp/targets.h"
#include "tests/cpp/test_util.h"

namespace vantrel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<float> noisy_sines(size_t n, float sigma = 0.02f) {
  std::mt19937 rng(7);
  std::normal_distribution<float> noise(0.0f, sigma);
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i)
    x[i] = 3.0f * std::sin(0.01f * i) + std::sin(0.37f * i) + noise(rng) + 40.0f;
  return x;
}

// A trace with slow rhythms, sharp beats and noise, in units of `amplitude`.
std::vector<double> trace(size_t n, double amplitude, double offset = 0.0) {
  std::mt19937 rng(11);
  std::normal_distribution<double> noise(0.0, 0.03);
  std::vector<double> x(n);
  for (size_t i = 0; i < n; ++i) {
    const double beat = std::exp(-0.5 * std::pow(std::fmod(i, 180.0) - 90.0, 2) / 9.0);
    x[i] = offset + amplitude * (0.4 * std::sin(0.013 * i) + 0.2 * std::sin(0.21 * i + 1.0) + beat +
                                 noise(rng));
  }
  return x;
}

// What a reader of the grid gets back for y, computed as EDF readers do from the lowest code's
// value: another rounding of the same value than origin + step * code.
double read_back(double y, const SampleGrid& g) {
  const double code = std::clamp(std::rint((y - g.origin) / g.step), g.min_code, g.max_code);
  return (code - g.min_code) * g.step + (g.origin + g.step * g.min_code);
}

// The four metrics from their definitions over the finite originals, in double.
Distortion oracle(const std::vector<double>& x, const std::vector<float>& y,
                  const SampleGrid* grid = nullptr) {
  double lo = INFINITY, hi = -INFINITY, energy = 0.0, squares = 0.0, largest = 0.0;
  size_t count = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    if (!std::isfinite(x[i])) continue;
    const double v = grid ? read_back(y[i], *grid) : y[i];
    lo = std::min(lo, x[i]);
    hi = std::max(hi, x[i]);
    energy += x[i] * x[i];
    squares += (v - x[i]) * (v - x[i]);
    largest = std::max(largest, std::fabs(v - x[i]));
    ++count;
  }
  const double rmse = std::sqrt(squares / count);
  return {.psnr = 20.0 * std::log10((hi - lo) / rmse),
          .prd = 100.0 * std::sqrt(squares / energy),
          .rmse = rmse,
          .max_error = largest};
}

bool holds(const Distortion& d, const QualityTarget& t) {
  switch (t.metric) {
    case QualityMetric::Psnr:
      return d.psnr >= t.value;
    case QualityMetric::Prd:
      return d.prd <= t.value;
    case QualityMetric::Rmse:
      return d.rmse <= t.value;
    case QualityMetric::MaxError:
      return d.max_error <= t.value;
  }
  return false;
}

std::vector<double> widened(std::span<const float> x) { return {x.begin(), x.end()}; }

std::vector<float> narrowed(const std::vector<double>& x) {
  std::vector<float> out(x.size());
  for (size_t i = 0; i < x.size(); ++i) out[i] = static_cast<float>(x[i]);
  return out;
}

// The container meets the target on what the user gets back, and `achieved` is that (to within
// the rounding of the grid's values, which the oracle reads back by another formula).
void expect_target_holds(const std::vector<double>& x, const TargetedContainer& out,
                         const QualityTarget& target, const SampleGrid* grid = nullptr) {
  const Distortion d = oracle(x, checked(decompress(out.container)), grid);
  EXPECT_TRUE(holds(d, target)) << d.psnr << " " << d.prd << " " << d.rmse << " " << d.max_error;
  const double slack =
      grid ? 1e-15 * (std::fabs(grid->origin) + grid->step * -grid->min_code) : 0.0;
  if (d.rmse > 1e3 * slack && d.rmse != 0.0) {
    EXPECT_NEAR(out.achieved.psnr, d.psnr, 1e-9);
    EXPECT_NEAR(out.achieved.prd, d.prd, 1e-12 * d.prd);
  }
  EXPECT_NEAR(out.achieved.rmse, d.rmse, 1e-12 * d.rmse + slack);
  EXPECT_NEAR(out.achieved.max_error, d.max_error, slack);
}

struct Case {
  QualityMetric metric;
  double value;
  std::optional<WaveletMethod> method;
  float noise = 0.02f;  // smooth signals lie below the search's first guess of the error
};

// The decoder's samples meet the target and are those the search measured; a PSNR lands close
// above its target.
TEST(CompressTo, DecodedSamplesMeetTheTarget) {
  const Case cases[] = {
      {QualityMetric::Psnr, 62.0, WaveletMethod::Cdf97},
      {QualityMetric::Psnr, 75.0, std::nullopt},
      {QualityMetric::Prd, 0.05, WaveletMethod::Db4},
      {QualityMetric::Rmse, 0.01, WaveletMethod::Cdf53},
      {QualityMetric::MaxError, 0.004, WaveletMethod::Sym4},
      {QualityMetric::MaxError, 0.1, std::nullopt},
      {QualityMetric::Psnr, 60.0, WaveletMethod::Cdf97, 0.0f},
      {QualityMetric::Prd, 0.5, std::nullopt, 0.3f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(kQualityMetricNames[static_cast<size_t>(c.metric)]) + " " +
                 std::to_string(c.value));
    const std::vector<float> x = noisy_sines(5000, c.noise);
    const QualityTarget target{c.metric, c.value};
    const TargetedContainer out = checked(compress_to(x, target, c.method));
    if (c.method) {
      EXPECT_EQ(out.method, *c.method);
    }
    expect_target_holds(widened(x), out, target);
    if (c.metric == QualityMetric::Psnr) {
      EXPECT_LT(out.achieved.psnr, c.value + 0.25);
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
  for (size_t i = 0; i < original.size(); ++i)
    original[i] = 1e3 + std::sin(0.05 * i) + 1e-5 * std::cos(3.0 * i);
  const std::vector<float> samples = narrowed(original);
  for (const QualityTarget target :
       {QualityTarget{QualityMetric::MaxError, 1e-3}, QualityTarget{QualityMetric::Prd, 2e-5}}) {
    const auto out = checked(compress_to(samples, original, target, WaveletMethod::Cdf97));
    expect_target_holds(original, out, target);
  }
  EXPECT_FALSE(
      compress_to(samples, std::span<const double>(original).first(10), {QualityMetric::Psnr, 60.0})
          .ok());
}

// Writers of integer formats: the target holds after the decoded samples go to their codes.
struct GridCase {
  const char* name;
  SampleGrid grid;
  std::vector<double> original;
  unsigned refused = 0;  // bit i: the i-th target below lies beyond the grid's floor
};

std::vector<GridCase> grid_cases() {
  const SampleGrid edf{6553.6 / 65535.0, -3276.8 + 32768.0 * (6553.6 / 65535.0), -32768, 32767};
  const SampleGrid wfdb{1.0 / 200.0, -1024.0 / 200.0, -2048, 2047};
  const SampleGrid pcm{0x1p-15, 0.0, -32768, 32767};
  const SampleGrid int16{1.0, 0.0, -32768, 32767};
  const SampleGrid low_top{wfdb.step, wfdb.origin, -2048, 1224};  // reads back at most 1.0
  const auto on = [](std::vector<double> x, const SampleGrid& g) {
    for (double& v : x) v = read_back(v, g);
    return x;
  };
  return {
      {"edf", edf, on(trace(6000, 80.0), edf)},
      {"wfdb", wfdb, on(trace(6000, 1.5), wfdb)},
      {"pcm16 off the grid", pcm, trace(6000, 0.3), 0b110000},
      {"int16", int16, on(trace(6000, 900.0, 40.0), int16)},
      {"clipped at the top code", low_top, on(trace(6000, 1.5), low_top)},
      {"beyond the top code", low_top, on(trace(6000, 1.5), wfdb), 0b111111},
  };
}

TEST(CompressTo, TargetsHoldOnTheGrid) {
  for (const GridCase& g : grid_cases()) {
    double lo = INFINITY, hi = -INFINITY;
    for (const double v : g.original) lo = std::min(lo, v), hi = std::max(hi, v);
    const double step = g.grid.step, range = hi - lo;
    const QualityTarget targets[] = {
        {QualityMetric::Psnr, 55.0},
        {QualityMetric::Prd, 1.0},
        {QualityMetric::Rmse, 1.5 * step},
        {QualityMetric::MaxError, 3.0 * step},
        {QualityMetric::MaxError, 0.4 * step},
        {QualityMetric::Psnr, 20.0 * std::log10(range / step) + 9.0},  // rmse 0.35 steps
    };
    for (size_t i = 0; i < std::size(targets); ++i) {
      const QualityTarget& target = targets[i];
      SCOPED_TRACE(std::string(g.name) + " " +
                   std::string(kQualityMetricNames[static_cast<size_t>(target.metric)]) + " " +
                   std::to_string(target.value));
      const auto method = i == 0 ? std::nullopt : std::optional(WaveletMethod::Cdf97);
      const auto out = compress_to(narrowed(g.original), g.original, target,
                                   SearchOptions{.method = method, .grid = g.grid});
      ASSERT_EQ(out.ok(), !(g.refused >> i & 1)) << (out.ok() ? "" : out.error().to_string());
      if (!out.ok()) {
        EXPECT_NE(out.error().to_string().find("No container reaches"), std::string::npos);
        EXPECT_EQ(out.error().to_string().find("NaN"), std::string::npos);
        continue;
      }
      expect_target_holds(g.original, *out, target, &g.grid);
      // One decoded candidate usually settles a mean-square target; a largest error takes more.
      EXPECT_LE(out->trials, target.metric == QualityMetric::MaxError ? 6u : i == 0 ? 3u : 2u);
    }
  }
}

// On the grid every target that only an exact copy meets (a maximum error below half a step, an
// RMSE of 0) asks the same: each decoded sample within half a step of its code. Integer data come
// back unchanged, in the same container whichever of those targets is asked.
TEST(CompressTo, IntegerDataComeBackUnchanged) {
  const SampleGrid int16{1.0, 0.0, -32768, 32767};
  std::vector<double> x = trace(5000, 900.0, 40.0);
  for (double& v : x) v = std::rint(v);
  const std::vector<float> samples = narrowed(x);
  std::vector<uint8_t> first;
  for (const QualityTarget target :
       {QualityTarget{QualityMetric::MaxError, 0.0}, QualityTarget{QualityMetric::MaxError, 0.4},
        QualityTarget{QualityMetric::Rmse, 0.0}}) {
    const auto out =
        checked(compress_to(samples, {}, target, SearchOptions{.method = {}, .grid = int16}));
    const std::vector<float> y = checked(decompress(out.container));
    for (size_t i = 0; i < x.size(); ++i) ASSERT_EQ(read_back(y[i], int16), x[i]) << i;
    EXPECT_EQ(out.achieved.max_error, 0.0);
    if (first.empty()) first = out.container;
    EXPECT_EQ(out.container, first);
  }
}

// Gaps are coded from the caller's fill but neither measured nor counted.
TEST(CompressTo, GapsAreNotMeasured) {
  std::vector<double> x = trace(20000, 1.0);
  std::vector<float> samples = narrowed(x);
  for (size_t i = 5000; i < x.size(); ++i) {
    x[i] = i % 2 ? kNaN : INFINITY;
    samples[i] = samples[4999];  // held flat, as the companion package fills
  }
  for (const QualityTarget target :
       {QualityTarget{QualityMetric::Psnr, 60.0}, QualityTarget{QualityMetric::Prd, 1.0}}) {
    const auto out = checked(compress_to(samples, x, target, SearchOptions{}));
    expect_target_holds(x, out, target);
  }
  // Without a reference, the samples are measured and their own NaN are gaps.
  samples[7] = NAN;
  x.assign(samples.begin(), samples.end());
  const QualityTarget target{QualityMetric::MaxError, 1e-3};
  expect_target_holds(x, checked(compress_to(samples, {}, target, SearchOptions{})), target);
}

// A flat signal decodes alike with every multiplier: the default container, for any target.
TEST(CompressTo, FlatSignalGivesTheDefaultContainer) {
  const std::vector<float> flat(300, 2.5f);
  VtrlCompressionOptions options;
  options.set_method(WaveletMethod::Db4);
  const auto out = checked(compress_to(flat, {QualityMetric::MaxError, 0.0}, WaveletMethod::Db4));
  EXPECT_EQ(out.container, checked(compress(flat, options)));
}

// Targets without a meaning for the measured samples are met; none is refused with NaN.
TEST(CompressTo, ConstantZeroAndEmptyOriginals) {
  const std::vector<double> tenth(3000, 0.1);  // not exact in float32
  std::vector<double> flat_measured = trace(3000, 1.0);
  for (size_t i = 100; i < flat_measured.size(); ++i) flat_measured[i] = kNaN;
  std::fill(flat_measured.begin(), flat_measured.begin() + 100, 2.0);
  const std::vector<double> gaps(3000, kNaN);
  const std::vector<double> zeros(3000, 0.0);
  const struct {
    const std::vector<double>* x;
    QualityTarget target;
    bool met;
  } cases[] = {
      {&tenth, {QualityMetric::Psnr, 90.0}, true},
      {&tenth, {QualityMetric::Rmse, 1e-12}, false},
      {&flat_measured, {QualityMetric::Psnr, 120.0}, true},
      {&gaps, {QualityMetric::MaxError, 0.0}, true},
      {&zeros, {QualityMetric::Prd, 1.0}, true},
  };
  for (const auto& c : cases) {
    const std::vector<float> samples = narrowed(trace(3000, 1.0));
    const std::vector<float> coded = c.x == &tenth || c.x == &zeros ? narrowed(*c.x) : samples;
    const auto out = compress_to(coded, *c.x, c.target, SearchOptions{});
    ASSERT_EQ(out.ok(), c.met) << (out.ok() ? "" : out.error().to_string());
    if (!out.ok()) {
      EXPECT_NE(out.error().to_string().find("reaches rmse 1.490116"), std::string::npos)
          << out.error().to_string();
      continue;
    }
    EXPECT_FALSE(std::isnan(out->achieved.rmse));
    if (c.x == &gaps) {
      EXPECT_EQ(out->achieved.rmse, 0.0);
    }
  }
  // Zeros measured against a signal that is not flat: a PRD is met only without error.
  const auto out = compress_to(narrowed(trace(3000, 1.0)), zeros, {QualityMetric::Prd, 5.0},
                               SearchOptions{.method = WaveletMethod::Db4, .grid = {}});
  ASSERT_FALSE(out.ok());
  EXPECT_NE(out.error().to_string().find("reaches prd inf"), std::string::npos);
}

// Non-finite samples reach the search directly: without a reference they are measured as the
// codec sanitises them (NaN and -inf as 0, +inf as 1).
TEST(CompressTo, NonFiniteSamplesAreMeasuredSanitised) {
  std::vector<float> x = noisy_sines(3000);
  x[10] = NAN, x[20] = INFINITY, x[30] = -INFINITY;
  std::vector<double> sanitised = widened(x);
  sanitised[10] = 0.0, sanitised[20] = 1.0, sanitised[30] = 0.0;
  const QualityTarget target{QualityMetric::MaxError, 0.01};
  expect_target_holds(sanitised, checked(compress_to(x, target, WaveletMethod::Sym4)), target);
}

// The search settles a target in a few decoded candidates; more trials change no output, so
// only this bound notices them.
TEST(CompressTo, SearchDecodesFewCandidates) {
  const std::vector<float> x = noisy_sines(5000);
  const struct {
    QualityTarget target;
    std::optional<WaveletMethod> method;
    uint32_t bound;
  } cases[] = {
      {{QualityMetric::Psnr, 62.0}, WaveletMethod::Cdf97, 1},
      {{QualityMetric::Rmse, 0.01}, WaveletMethod::Cdf53, 9},
      {{QualityMetric::MaxError, 0.004}, WaveletMethod::Sym4, 7},
      {{QualityMetric::Psnr, 75.0}, std::nullopt, 2},
  };
  for (const auto& c : cases) {
    const auto out = checked(compress_to(x, c.target, c.method));
    EXPECT_LE(out.trials, c.bound) << kQualityMetricNames[static_cast<size_t>(c.target.metric)];
  }
}

// Without a method, the two methods estimated smallest are searched and coded and the smaller
// container is kept. On this noise the estimate ranks sym4 first while cdf97 codes smaller.
TEST(CompressTo, AutomaticMethodKeepsTheSmallerContainer) {
  std::mt19937 rng(2);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> x(2000);
  for (float& v : x) v = uniform(rng);
  const QualityTarget target{QualityMetric::Psnr, 70.0};
  const auto chosen = checked(compress_to(x, target));
  EXPECT_EQ(chosen.encodes, 2u);
  size_t smallest = SIZE_MAX;
  for (const WaveletMethod m :
       {WaveletMethod::Cdf53, WaveletMethod::Cdf97, WaveletMethod::Db4, WaveletMethod::Sym4}) {
    const auto alone = checked(compress_to(x, target, m));
    if (m == chosen.method) {
      EXPECT_EQ(alone.container, chosen.container);
    }
    smallest = std::min(smallest, alone.container.size());
  }
  EXPECT_EQ(chosen.container.size(), smallest);
}

TEST(CompressTo, RefusesTargetsNoContainerReachesOrThatMeanNothing) {
  const std::vector<float> x = noisy_sines(2000);
  const struct {
    QualityTarget target;
    std::optional<SampleGrid> grid;
    const char* text;
  } cases[] = {
      {{QualityMetric::MaxError, 0.0},
       {},
       "No container reaches max_error 0 for this signal; the closest one reaches max_error "},
      {{QualityMetric::Psnr, 400.0}, {}, "No container reaches psnr 400 for this signal"},
      {{QualityMetric::Rmse, -1.0}, {}, "Quality target rmse must be finite and not negative"},
      {{QualityMetric::Psnr, NAN}, {}, "Quality target psnr must be finite, but it was NaN"},
      {{QualityMetric::Psnr, 60.0},
       SampleGrid{0.0, 0.0, 0, 10},
       "Sample grid with step 0, origin 0 and codes 0 to 10 is invalid"},
      {{QualityMetric::Psnr, 60.0}, SampleGrid{1.0, NAN, 0, 10}, "origin NaN"},
      {{QualityMetric::Psnr, 60.0}, SampleGrid{1.0, 0.0, 0.5, 10}, "codes 0.5 to 10"},
      {{QualityMetric::Psnr, 60.0}, SampleGrid{1.0, 0.0, 10, 0}, "codes 10 to 0"},
      {{QualityMetric::Psnr, 60.0}, SampleGrid{1.0, 0.0, 0, 0x1p54}, "codes 0 to 1.8"},
      {{QualityMetric::Psnr, 60.0}, SampleGrid{1e300, 0.0, 0, 1e10}, "step 1e+300"},
  };
  for (const auto& c : cases) {
    const auto out = compress_to(x, {}, c.target, SearchOptions{WaveletMethod::Cdf97, c.grid});
    ASSERT_FALSE(out.ok());
    EXPECT_NE(out.error().to_string().find(c.text), std::string::npos) << out.error().to_string();
  }
}

}  // namespace
}  // namespace vantrel
