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
  const double reached[] = {d.psnr, d.prd, d.rmse, d.max_error};  // by QualityMetric
  const double v = reached[static_cast<size_t>(t.metric)];
  return t.metric == QualityMetric::Psnr ? v >= t.value : v <= t.value;
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

// The public measurement, over lengths that leave a tail of one and of seven samples past the
// vector lanes, with the largest error in the first lane and a gap in the original. The sample
// after the measured ones differs widely: a lane that reads past the end sees it.
TEST(MeasureDistortion, AgreesWithTheDefinitions) {
  for (const size_t n : {1001, 1007}) {
    std::vector<float> x = noisy_sines(n + 1), y = x;
    for (size_t i = 0; i < y.size(); ++i) y[i] += 0.001f * std::sin(0.7f * i);
    y[8] += 0.05f;
    y[n] += 1000.0f;
    x[3] = NAN;
    const std::span<const float> xs = std::span(x).first(n), ys = std::span(y).first(n);
    const Distortion want = oracle(widened(xs), {ys.begin(), ys.end()});
    const Distortion got = measure_distortion(xs, ys);
    EXPECT_NEAR(got.psnr, want.psnr, 1e-9) << n;
    EXPECT_NEAR(got.prd, want.prd, 1e-12 * want.prd) << n;
    EXPECT_NEAR(got.rmse, want.rmse, 1e-12 * want.rmse) << n;
    EXPECT_EQ(got.max_error, want.max_error) << n;
  }
  const std::vector<float> x = noisy_sines(1001);
  EXPECT_TRUE(std::isnan(measure_distortion(x, std::span(x).first(10)).rmse));
}

struct Case {
  QualityMetric metric;
  double value;
  std::optional<WaveletMethod> method;
  uint32_t trials;      // at most: more decoded candidates change no output, only this notices
  float noise = 0.02f;  // smooth signals lie below the search's first guess of the error
};

// The decoder's samples meet the target and are those the search measured, found in a few
// decoded candidates; a PSNR lands close above its target.
TEST(CompressTo, DecodedSamplesMeetTheTarget) {
  const Case cases[] = {
      {QualityMetric::Psnr, 62.0, WaveletMethod::Cdf97, 1},
      {QualityMetric::Psnr, 75.0, std::nullopt, 2},
      {QualityMetric::Prd, 0.05, WaveletMethod::Db4, 1},
      {QualityMetric::Rmse, 0.01, WaveletMethod::Cdf53, 9},
      {QualityMetric::MaxError, 0.004, WaveletMethod::Sym4, 7},
      {QualityMetric::MaxError, 0.1, std::nullopt, 27},
      {QualityMetric::Psnr, 60.0, WaveletMethod::Cdf97, 4, 0.0f},
      {QualityMetric::Prd, 0.5, std::nullopt, 2, 0.3f},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(kQualityMetrics[static_cast<size_t>(c.metric)].name) + " " +
                 std::to_string(c.value));
    const std::vector<float> x = noisy_sines(5000, c.noise);
    const QualityTarget target{c.metric, c.value};
    const TargetedContainer out = checked(compress_to(x, target, c.method));
    EXPECT_EQ(out.method, c.method.value_or(out.method));
    expect_target_holds(widened(x), out, target);
    EXPECT_LE(out.trials, c.trials);
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
  const std::vector<double> reference = widened(x);
  const SearchOptions on_grid{.method = {}, .grid = SampleGrid{0.01, 40.0, -500, 500}};
  for_each_target([&](SimdTarget) {
    auto out = checked(compress_to(x, {QualityMetric::Psnr, 66.0}));
    out.container.push_back(0xFF);  // the grid's container follows
    const auto gridded = checked(compress_to(x, reference, {QualityMetric::Psnr, 66.0}, on_grid));
    out.container.insert(out.container.end(), gridded.container.begin(), gridded.container.end());
    if (first.empty()) first = out.container;
    EXPECT_EQ(out.container, first);
  });
}

// Writers of integer formats: the target holds after the decoded samples go to their codes, so
// integer data can come back unchanged.
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
                   std::string(kQualityMetrics[static_cast<size_t>(target.metric)].name) + " " +
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
      // An RMSE of several steps lands close below its target, not at a needlessly finer one.
      if (target.metric == QualityMetric::Rmse) {
        EXPECT_GT(out->achieved.rmse, 0.97 * target.value);
      }
      // Below half a step only an exact copy meets a maximum error, as it does a maximum error or
      // an RMSE of 0: each decoded sample within half a step of its code, the same container.
      for (const QualityMetric m : {QualityMetric::MaxError, QualityMetric::Rmse}) {
        if (i != 4) break;
        const auto exact = compress_to(narrowed(g.original), g.original, {m, 0.0},
                                       SearchOptions{.method = method, .grid = g.grid});
        EXPECT_EQ(checked(exact).container, out->container);
      }
    }
  }
}

// Float64 samples handed over alone, narrowed as the search goes, give what their float32 copy
// with them as reference gives: the same container, layer and measurements. A finite sample
// beyond float32's range is refused, as it would be coded as another value.
TEST(CompressTo, Float64SamplesAloneMatchTheirFloat32CopyWithThemAsReference) {
  for (GridCase g : grid_cases()) {
    g.original[17] = kNaN;  // a gap
    const struct {
      QualityTarget target;
      std::optional<SampleGrid> grid;
      bool refine;
    } cases[] = {
        {{QualityMetric::Psnr, 55.0}, std::nullopt, false},
        {{QualityMetric::Rmse, 1.5 * g.grid.step}, g.grid, false},
        {{QualityMetric::MaxError, 0.4 * g.grid.step}, g.grid, true},
        {{QualityMetric::MaxError, 3.0 * g.grid.step}, std::nullopt, true},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(g.name) + " " +
                   std::string(kQualityMetrics[static_cast<size_t>(c.target.metric)].name));
      const SearchOptions options{.method = {}, .grid = c.grid, .refine = c.refine};
      const auto alone = compress_to(std::span<const double>(g.original), c.target, options);
      const auto copy = compress_to(narrowed(g.original), g.original, c.target, options);
      ASSERT_EQ(alone.ok(), copy.ok());
      if (!copy.ok()) {
        EXPECT_EQ(alone.error().to_string(), copy.error().to_string());
        continue;
      }
      EXPECT_EQ(alone->container, copy->container);
      EXPECT_EQ(alone->achieved.rmse, copy->achieved.rmse);
      EXPECT_EQ(alone->achieved.max_error, copy->achieved.max_error);
      EXPECT_EQ(alone->refinement.has_value(), copy->refinement.has_value());
      if (alone->refinement && copy->refinement) {
        EXPECT_EQ(alone->refinement->stream, copy->refinement->stream);
      }
    }
  }
  std::vector<double> x(500, 1.0);
  x[3] = 1e300;
  const auto out = compress_to(std::span<const double>(x), {QualityMetric::Psnr, 60.0}, {});
  ASSERT_FALSE(out.ok());
  EXPECT_NE(out.error().to_string().find("Sample 3 (1e+300) is outside the float32 range"),
            std::string::npos)
      << out.error().to_string();
}

// A flat signal decodes alike with every multiplier: the default container, for any target.
TEST(CompressTo, FlatSignalGivesTheDefaultContainer) {
  const std::vector<float> flat(300, 2.5f);
  VtrlCompressionOptions options;
  options.set_method(WaveletMethod::Db4);
  const auto out = checked(compress_to(flat, {QualityMetric::MaxError, 0.0}, WaveletMethod::Db4));
  EXPECT_EQ(out.container, checked(compress(flat, options)));
}

// Targets hold against float64 originals, not only their float32 copies. Gaps (NaN or infinite
// originals) are coded from the caller's fill but neither measured nor counted; targets without
// a meaning for the measured samples are met; no refusal names NaN.
TEST(CompressTo, MeasuresTheSamplesThatExist) {
  const std::vector<double> signal = trace(20000, 1.0), high = trace(20000, 1.0, 1e3);
  std::vector<double> gapped = signal, first_few = signal;
  std::vector<float> filled = narrowed(signal), with_nan = filled;
  for (size_t i = 5000; i < gapped.size(); ++i) {
    gapped[i] = i % 2 ? kNaN : INFINITY;
    filled[i] = filled[4999];  // held flat, as the companion package fills
  }
  std::fill(first_few.begin() + 100, first_few.end(), kNaN);
  std::fill(first_few.begin(), first_few.begin() + 100, 2.0);  // constant where measured
  with_nan[7] = NAN;
  const std::vector<double> tenth(20000, 0.1), zeros(20000, 0.0), gaps(20000, kNaN), none;
  const struct {
    const std::vector<double>& reference;  // empty: the samples
    std::vector<float> samples;
    QualityTarget target;
    const char* refusal;  // nullptr: met, judged by the oracle; "": met, no value to judge
  } cases[] = {
      {high, narrowed(high), {QualityMetric::MaxError, 1e-3}, nullptr},  // float32 steps 6e-5
      {gapped, filled, {QualityMetric::Psnr, 60.0}, nullptr},
      {gapped, filled, {QualityMetric::Prd, 1.0}, nullptr},
      {none, with_nan, {QualityMetric::MaxError, 1e-3}, nullptr},
      {tenth, narrowed(tenth), {QualityMetric::Psnr, 90.0}, ""},  // 0.1 is not exact in float32
      {tenth, narrowed(tenth), {QualityMetric::Rmse, 1e-12}, "reaches rmse 1.490116"},
      {first_few, filled, {QualityMetric::Psnr, 120.0}, ""},
      {gaps, filled, {QualityMetric::MaxError, 0.0}, ""},
      {zeros, narrowed(zeros), {QualityMetric::Prd, 1.0}, ""},
      {zeros, filled, {QualityMetric::Prd, 5.0}, "reaches prd inf"},  // met only without error
  };
  for (const auto& c : cases) {
    const auto out = compress_to(c.samples, c.reference, c.target, SearchOptions{});
    ASSERT_EQ(out.ok(), c.refusal == nullptr || *c.refusal == 0)
        << (out.ok() ? "" : out.error().to_string());
    if (!out.ok()) {
      EXPECT_NE(out.error().to_string().find(c.refusal), std::string::npos)
          << out.error().to_string();
    } else if (c.refusal == nullptr) {
      const auto& x = c.reference.empty() ? std::vector<double>(c.samples.begin(), c.samples.end())
                                          : c.reference;
      expect_target_holds(x, *out, c.target);
      if (&c.reference == &gapped) {  // and costs about what the samples that exist cost alone
        const auto alone = compress_to(std::span(filled).first(5000), std::span(gapped).first(5000),
                                       c.target, SearchOptions{});
        EXPECT_LE(out->container.size(), 1.1 * checked(alone).container.size());
      }
    } else {
      EXPECT_FALSE(std::isnan(out->achieved.rmse));
    }
  }
  // Without a reference at all, non-finite samples are measured as the codec sanitises them
  // (NaN and -inf as 0, +inf as 1).
  std::vector<float> x = noisy_sines(3000);
  x[10] = NAN, x[20] = INFINITY, x[30] = -INFINITY;
  std::vector<double> sanitised = widened(x);
  sanitised[10] = 0.0, sanitised[20] = 1.0, sanitised[30] = 0.0;
  const QualityTarget target{QualityMetric::MaxError, 0.01};
  expect_target_holds(sanitised, checked(compress_to(x, target, WaveletMethod::Sym4)), target);
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
  const std::vector<double> reference = widened(x);
  const QualityTarget psnr{QualityMetric::Psnr, 60.0};
  const struct {
    QualityTarget target;
    const char* text;
    std::optional<SampleGrid> grid = {};
    size_t references = 0;
  } cases[] = {
      {{QualityMetric::MaxError, 0.0},
       "No container reaches max_error 0 for this signal; the "
       "closest one reaches max_error "},
      {{QualityMetric::Psnr, 400.0}, "No container reaches psnr 400 for this signal"},
      {{QualityMetric::Rmse, -1.0}, "Quality target rmse must be finite and not negative"},
      {{QualityMetric::Psnr, NAN}, "Quality target psnr must be finite, but it was NaN"},
      {psnr, "Reference has 10 values but the signal has 2000", {}, 10},
      {psnr, "Sample grid with step 0, origin 0 and codes 0 to 10 is invalid", {{0.0, 0, 0, 10}}},
      {psnr, "origin NaN", {{1.0, NAN, 0, 10}}},
      {psnr, "codes 0.5 to 10", {{1.0, 0.0, 0.5, 10}}},
      {psnr, "codes 10 to 0", {{1.0, 0.0, 10, 0}}},
      {psnr, "codes 0 to 1.8", {{1.0, 0.0, 0, 0x1p54}}},
      {psnr, "step 1e+300", {{1e300, 0.0, 0, 1e10}}},
  };
  for (const auto& c : cases) {
    const auto out = compress_to(x, std::span(reference).first(c.references), c.target,
                                 SearchOptions{WaveletMethod::Cdf97, c.grid});
    ASSERT_FALSE(out.ok());
    EXPECT_NE(out.error().to_string().find(c.text), std::string::npos) << out.error().to_string();
  }
}

}  // namespace
}  // namespace vantrel
