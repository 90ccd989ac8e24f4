#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "codec/refine.h"
#include "codec/residual.h"
#include "codec/vantrel.h"
#include "tests/cpp/test_util.h"

namespace vantrel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A heartbeat-like trace: slow waves, a sharp beat every 180 samples, noise.
double ecg_like(size_t i, std::mt19937& rng) {
  std::normal_distribution<double> noise(0.0, 0.02);
  const double beat = std::exp(-0.5 * std::pow(std::fmod(i, 180.0) - 90.0, 2) / 6.0);
  return 0.3 * std::sin(0.013 * i) + 0.1 * std::sin(0.21 * i + 1.0) + 1.5 * beat + noise(rng);
}

struct Signal {
  const char* name;
  std::vector<double> x;  // the originals, NaN at gaps
  std::optional<SampleGrid> grid;
};

Signal make(const char* name, size_t n, std::function<double(size_t, std::mt19937&)> f,
            std::optional<SampleGrid> grid = {}) {
  std::mt19937 rng(5);
  Signal s{name, std::vector<double>(n), grid};
  for (size_t i = 0; i < n; ++i) {
    s.x[i] = f(i, rng);
    if (grid) {  // on the grid: origin + step * a code within its range
      const double code = std::clamp(std::rint((s.x[i] - grid->origin) / grid->step),
                                     grid->min_code, grid->max_code);
      s.x[i] = grid->origin + grid->step * code;
    }
  }
  return s;
}

std::vector<Signal> signals() {
  std::vector<Signal> out;
  out.push_back(make("sines", 5000, [](size_t i, std::mt19937&) {
    return 3.0 * std::sin(0.01 * i) + std::sin(0.37 * i) + 40.0;
  }));
  out.push_back(make("noise", 3000, [](size_t, std::mt19937& r) {
    return std::normal_distribution<double>(0.0, 1.0)(r);
  }));
  // 11-bit codes of 5 uV from -5.12 mV, as an ECG recorder stores them.
  out.push_back(make("ecg_11bit", 6000, ecg_like, SampleGrid{0.005, -5.12, 0.0, 2047.0}));
  // int16 audio-like codes.
  out.push_back(make(
      "audio_int16", 4000,
      [](size_t i, std::mt19937& r) {
        return 9000.0 * std::sin(0.05 * i) * std::sin(0.0013 * i) +
               std::normal_distribution<double>(0.0, 300.0)(r);
      },
      SampleGrid{1.0, 0.0, -32768.0, 32767.0}));
  // EDF-like: a non-integer step and an origin off zero.
  out.push_back(make(
      "edf_like", 4000, [](size_t i, std::mt19937& r) { return 120.0 * ecg_like(i, r) + 3.7; },
      SampleGrid{0.0305180437934, 3.7 - 0.0305180437934 * -32768.0, -32768.0, 32767.0}));
  Signal gaps = make("gaps", 3000, ecg_like);
  for (size_t i = 700; i < 760; ++i) gaps.x[i] = kNaN;
  gaps.x[2999] = INFINITY;
  out.push_back(std::move(gaps));
  out.push_back(make("constant", 900, [](size_t, std::mt19937&) { return 2.5; }));
  // Long enough that the search prices residuals on runs spread over it, not whole; a quiet
  // start, as recordings often have.
  out.push_back(make(
      "ecg_long", 40000, [](size_t i, std::mt19937& r) { return i < 5000 ? 0.0 : ecg_like(i, r); },
      SampleGrid{0.005, -5.12, 0.0, 2047.0}));
  return out;
}

std::vector<float> narrowed(const std::vector<double>& x) {
  std::vector<float> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) y[i] = std::isfinite(x[i]) ? static_cast<float>(x[i]) : 0;
  return y;
}

// What a reader returns: the decoded base (on the grid, as its writer stores it), corrected
// through the section's bytes when there is a refinement.
std::vector<double> read_back(const TargetedContainer& out, const std::optional<SampleGrid>& g) {
  const std::vector<float> base = checked(decompress(out.container));
  if (!out.refinement) {
    std::vector<double> y(base.begin(), base.end());
    for (double& v : y)
      if (g)
        v = g->origin +
            g->step * std::clamp(std::rint((v - g->origin) / g->step), g->min_code, g->max_code);
    return y;
  }
  std::vector<uint8_t> body;
  write_refinement(*out.refinement, body);
  const Refinement r = checked(read_refinement(body, static_cast<uint32_t>(base.size())));
  return checked(correct(base, r));
}

// Bounds from range/2^4 to range/2^16 (and whole steps on a grid, lossless among them): every
// sample a reader gets back lies within the bound, in double; on a grid it is the value of a code
// within k codes of the original's.
TEST(Refinement, BoundsHoldOnWhatAReaderGetsBack) {
  for (const Signal& s : signals()) {
    double lo = INFINITY, hi = -INFINITY;
    for (const double v : s.x)
      if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
    std::vector<double> bounds;
    for (const int k : {4, 8, 12, 16}) bounds.push_back((hi - lo) * std::ldexp(1.0, -k));
    if (s.grid) bounds.insert(bounds.end(), {0.0, s.grid->step, 3.0 * s.grid->step});
    if (hi == lo) bounds = {0.0, 1e-3};
    for (const double e : bounds) {
      SCOPED_TRACE(std::string(s.name) + " e=" + std::to_string(e));
      const auto out = compress_to(narrowed(s.x), s.x, {QualityMetric::MaxError, e},
                                   SearchOptions{.method = {}, .grid = s.grid, .refine = true});
      ASSERT_TRUE(out.ok()) << out.error().to_string();
      const std::vector<double> y = read_back(*out, s.grid);
      double largest = 0.0;
      for (size_t i = 0; i < y.size(); ++i) {
        if (!std::isfinite(s.x[i])) continue;
        largest = std::max(largest, std::fabs(y[i] - s.x[i]));
        if (!s.grid) {
          ASSERT_EQ(y[i], static_cast<float>(y[i])) << i;  // a float32 value
          continue;
        }
        const double code = (y[i] - s.grid->origin) / s.grid->step;
        const double original = (s.x[i] - s.grid->origin) / s.grid->step;
        ASSERT_NEAR(code, std::rint(code), 1e-6) << i;
        ASSERT_LE(std::fabs(std::rint(code) - std::rint(original)),
                  std::floor(e / s.grid->step + 1e-9))
            << i;
      }
      const double slack = s.grid ? 1e-9 * s.grid->step : 0.0;
      EXPECT_LE(largest, e + slack);
      EXPECT_NEAR(out->achieved.max_error, largest, slack + 1e-12 * largest);
      if (!out->refinement) {
        EXPECT_EQ(out->base_achieved.max_error, out->achieved.max_error);
      }
    }
  }
}

// The layer is taken where it pays: not for a smooth signal at a loose bound, but for a fine
// bound, and a container with it is smaller than the plain one for the same bound; a bound that
// no plain container reaches (lossless integers, float32's last bits) is reached with it.
TEST(Refinement, IsChosenOnlyWhereItPays) {
  const std::vector<Signal> all = signals();
  const Signal& sines = all[0];
  const Signal smooth =
      make("smooth", 4000, [](size_t i, std::mt19937&) { return 3.0 * std::sin(0.01 * i); });
  const Signal& audio = all[3];
  const auto compress = [](const Signal& s, double e, bool refine) {
    return compress_to(narrowed(s.x), s.x, {QualityMetric::MaxError, e},
                       SearchOptions{.method = {}, .grid = s.grid, .refine = refine});
  };
  const auto loose = checked(compress(smooth, 0.01, true));
  EXPECT_FALSE(loose.refinement);
  EXPECT_EQ(loose.container, checked(compress(smooth, 0.01, false)).container);

  const auto fine = checked(compress(audio, 2.0, true));
  ASSERT_TRUE(fine.refinement);
  const size_t total = fine.container.size() + fine.refinement->stream.size() + 49;
  EXPECT_LT(total, checked(compress(audio, 2.0, false)).container.size());
  EXPECT_GT(fine.base_achieved.max_error, 2.0);

  EXPECT_FALSE(compress(audio, 0.0, false).ok());
  EXPECT_EQ(checked(compress(audio, 0.0, true)).achieved.max_error, 0.0);
  Signal floats = audio;  // integer codes as floats, the grid undeclared: found and kept
  floats.grid.reset();
  const auto found = checked(compress(floats, 0.3, true));
  EXPECT_EQ(found.achieved.max_error, 0.0);
  ASSERT_TRUE(found.refinement && found.refinement->grid);
  EXPECT_EQ(found.refinement->grid->step, 1.0);
  EXPECT_FALSE(compress(sines, 1e-6, false).ok());
  EXPECT_TRUE(compress(sines, 1e-5, true).ok());  // float32 holds 40 to 4e-6
}

// The search's base + layer is about as small as the best base of a sweep of multipliers a
// quarter octave apart, each coded whole with its layer: a search that misprices residuals or
// bases (or samples them from too few places of a long signal) lands well above it.
TEST(Refinement, SearchFindsANearlySmallestBase) {
  const Signal ecg = signals().back();
  Signal floats = ecg;
  floats.grid.reset();
  struct Case {
    const Signal* s;
    double e;
  };
  for (const auto& [s, e] : {Case{&ecg, 0.0}, Case{&ecg, 0.02}, Case{&floats, 0.004}}) {
    SCOPED_TRACE(std::string(s->name) + " e=" + std::to_string(e));
    const std::vector<float> samples = narrowed(s->x);
    const auto out =
        checked(compress_to(samples, s->x, {QualityMetric::MaxError, e},
                            SearchOptions{.method = {}, .grid = s->grid, .refine = true}));
    const auto size = [](size_t container, const Refinement& r) {
      return container + 5 + kRefinementHeadSize + r.stream.size();
    };
    ASSERT_TRUE(out.refinement);
    size_t swept = SIZE_MAX;
    for (double x = -4.0; x <= 12.0; x += 0.25) {
      VtrlCompressionOptions options;
      options.method = static_cast<uint8_t>(out.method);
      options.scale = kMinScale;
      options.quant_multiplier = static_cast<float>(std::exp2(x));
      const auto container = compress(samples, options);
      if (!container.ok()) continue;  // a coefficient leaves 16 bits
      auto plan = plan_refinement(s->x, e, s->grid);
      ASSERT_TRUE(plan.ok());
      Refinement r = std::move(plan).value();
      if (build_refinement(checked(decompress(*container)), s->x, e, r).ok())
        swept = std::min(swept, size(container->size(), r));
    }
    EXPECT_LE(static_cast<double>(size(out.container.size(), *out.refinement)), 1.02 * swept);
  }
}

// Bounds even the layer cannot hold are refused with the finest it can: below float32's spacing
// at the signal's magnitude, below the originals' distance to a grid they are not on.
TEST(Refinement, RefusesBoundsNoLayerHolds) {
  const std::vector<double> x = {1000.0, 1000.3, 999.9};
  const auto off = plan_refinement(x, 1e-6, std::nullopt);
  ASSERT_FALSE(off.ok());
  EXPECT_EQ(off.error(), std::ldexp(1.0, -14));  // float32 spacing at 1000
  const auto subnormal = plan_refinement(std::vector{0x1.8p-127, -0x1p-130}, 1e-50, std::nullopt);
  ASSERT_FALSE(subnormal.ok());
  EXPECT_EQ(subnormal.error(), 0x1p-149);  // the subnormals' spacing, also just below 2^-126
  const auto grid = plan_refinement(x, 0.05, SampleGrid{0.25, 0.0, -1e4, 1e4});
  ASSERT_FALSE(grid.ok());
  EXPECT_NEAR(grid.error(), 0.1, 1e-9);  // 999.9 is 0.1 from 1000
  const auto held = plan_refinement(x, 0.3, SampleGrid{0.25, 0.0, -1e4, 1e4});
  ASSERT_TRUE(held.ok());
  EXPECT_EQ(held->bin_codes, 1u);
  const auto refused = compress_to(narrowed(x), x, {QualityMetric::MaxError, 1e-6},
                                   SearchOptions{.method = {}, .grid = {}, .refine = true});
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().to_string().find("No container reaches max_error 1e-06"),
            std::string::npos);
}

// A base sample between two grid values takes the nearer code, ties to the even one, clamped to
// the grid's codes: the residual against all-zero codes is minus that code.
TEST(Refinement, BaseCodesRoundHalfToEvenWithinTheGrid) {
  Refinement r;
  r.grid = SampleGrid{0.5, 1.0, -10.0, 10.0};
  r.bin_codes = 1;
  const std::vector<float> base = {1.25f, 1.75f, 2.25f, 0.75f, 0.25f, 1.74f, 11.0f, -9.0f};
  const std::vector<double> reference(base.size(), 1.0);
  std::vector<int32_t> residual(base.size());
  ASSERT_TRUE(form_residual(base, reference, r, residual));
  EXPECT_EQ(residual, (std::vector<int32_t>{0, -2, -2, 0, 2, -1, -10, 10}));
}

// The search's residual former gives form_residual's residuals and verdict, bit for bit, from any
// offset into the reference: ties between bins and codes, gaps, bins of several codes, bases
// beyond the grid and the coder's range, NaN and infinite bases.
struct FormerCase {
  const char* name;
  std::optional<SampleGrid> grid;
  uint32_t bin_codes;
  double bin_width;
  double spread;  // of the base around the originals, in bins
};

class ResidualFormerMatches : public ::testing::TestWithParam<FormerCase> {};

TEST_P(ResidualFormerMatches, FormResidual) {
  const FormerCase& c = GetParam();
  Refinement r;
  r.grid = c.grid;
  r.bin_codes = c.bin_codes;
  r.bin_width = c.bin_width;
  const double bin = c.grid ? c.grid->step * c.bin_codes : c.bin_width;
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> offset(-c.spread, c.spread);
  std::vector<double> x(600);
  std::vector<float> base(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    // Every fourth sample lies exactly half a bin away from a whole number of bins: a tie.
    const bool tie = i % 4 == 0;
    x[i] = c.grid ? c.grid->origin + c.grid->step * std::rint(offset(rng) * 4.0)
                  : (tie ? std::rint(offset(rng)) * bin : offset(rng));
    const double away = tie ? (std::rint(offset(rng)) + 0.5) * bin : offset(rng) * bin;
    base[i] = static_cast<float>(x[i] + away);
  }
  x[7] = kNaN;
  x[8] = INFINITY;
  const ResidualFormer former(x, r);
  for (const size_t from : {size_t{0}, size_t{5}, size_t{300}}) {
    const auto b = std::span<const float>(base).subspan(from, 200);
    std::vector<int32_t> want(b.size()), got(b.size());
    const bool formed = form_residual(b, std::span<const double>(x).subspan(from), r, want);
    ASSERT_EQ(former.form(b, from, got), formed) << from;
    if (formed) {
      EXPECT_EQ(got, want) << from;
    }
  }
  // A NaN or infinite base off a grid, or past the grid's codes on one.
  for (const float bad : {NAN, INFINITY, 3e38f}) {
    base[20] = bad;
    std::vector<int32_t> want(base.size()), got(base.size());
    const bool formed = form_residual(base, x, r, want);
    ASSERT_EQ(former.form(base, 0, got), formed) << bad;
    if (formed) {
      EXPECT_EQ(got, want) << bad;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Refinement, ResidualFormerMatches,
    ::testing::Values(FormerCase{"narrow_bins", {}, 0, 0x1p-10, 40.0},
                      FormerCase{"wide_bins", {}, 0, 0.125, 3.0},
                      FormerCase{"beyond_the_coder", {}, 0, 1e-9, 1e3},
                      FormerCase{"grid_one_code", SampleGrid{0.5, 1.0, -40.0, 40.0}, 1, 0.0, 30.0},
                      FormerCase{"grid_five_codes", SampleGrid{0.25, -2.0, -1e6, 1e6}, 5, 0.0,
                                 60.0}),
    [](const auto& info) { return std::string(info.param.name); });

// Residuals at the coder's range are formed, one code beyond it is refused, for bins of one code
// (lossless) and of several; a gap's residual is 0.
TEST(Refinement, ResidualsBeyondTheCodersRangeAreRefused) {
  const double top = kMaxResidual;
  const struct {
    uint32_t bin_codes;
    double code;
    bool formed;
  } cases[] = {{1, top, true},           {1, -top, true},          {1, top + 1, false},
               {1, -top - 1, false},     {3, 3 * top, true},       {3, 3 * top + 2, false},
               {3, -3 * top - 1, true},  {3, -3 * top - 2, false}};
  for (const auto& c : cases) {
    Refinement r;
    r.grid = SampleGrid{1.0, 0.0, -0x1p33, 0x1p33};
    r.bin_codes = c.bin_codes;
    const std::vector<float> base = {0.0f, 0.0f, 0.0f};
    const std::vector<double> reference = {kNaN, c.code, 1.0 * c.bin_codes};
    std::vector<int32_t> residual(base.size());
    EXPECT_EQ(form_residual(base, reference, r, residual), c.formed) << c.bin_codes << " " << c.code;
    if (c.formed) {
      EXPECT_EQ(residual[0], 0);
      EXPECT_EQ(residual[1], static_cast<int32_t>(std::lround(c.code / c.bin_codes)));
      EXPECT_EQ(residual[2], 1);
    }
  }
}

// Hostile section bodies are refused with the named reason, and a damaged stream is an error
// from correct, never a crash or a result.
TEST(Refinement, HostileBodiesAreRefused) {
  const std::vector<double> x = make("ecg", 2000, ecg_like).x;
  const auto out = checked(compress_to(narrowed(x), x, {QualityMetric::MaxError, 1e-3},
                                       SearchOptions{.method = {}, .grid = {}, .refine = true}));
  ASSERT_TRUE(out.refinement);
  std::vector<uint8_t> good;
  write_refinement(*out.refinement, good);
  Refinement grid_layer{
      .grid = SampleGrid{0.5, 1.0, -8.0, 8.0}, .bin_codes = 3, .stream = {0, 0, 1, 0}};
  grid_layer.sample_count = 2000;
  std::vector<uint8_t> grid_body;
  write_refinement(grid_layer, grid_body);
  const auto f64_at = [](std::vector<uint8_t> b, size_t at, double v) {
    std::memcpy(b.data() + at, &v, 8);
    return b;
  };
  const auto byte_at = [](std::vector<uint8_t> b, size_t at, uint8_t v) {
    b[at] = v;
    return b;
  };
  const struct {
    const char* name;
    std::vector<uint8_t> body;
    RefinementError error;
  } cases[] = {
      {"empty", {}, RefinementError::CutShort},
      {"no stream", {good.begin(), good.begin() + 44}, RefinementError::CutShort},
      {"format 0, no state", byte_at({good.begin(), good.begin() + 47}, 1, 0),
       RefinementError::CutShort},
      {"kind 0", byte_at(good, 0, 0), RefinementError::UnknownKind},
      {"stream format 2", byte_at(good, 1, 2), RefinementError::UnknownKind},
      {"reserved", byte_at(good, 2, 1), RefinementError::BadQuantisation},
      {"count", byte_at(good, 4, good[4] ^ 1), RefinementError::CountDisagrees},
      {"width 0", f64_at(good, 8, 0.0), RefinementError::BadQuantisation},
      {"width inf", f64_at(good, 8, INFINITY), RefinementError::BadQuantisation},
      {"width, origin", f64_at(good, 16, 1.0), RefinementError::BadQuantisation},
      {"even bin", byte_at(grid_body, 40, 2), RefinementError::BadQuantisation},
      {"codes reversed", f64_at(grid_body, 24, 9.0), RefinementError::BadQuantisation},
      {"half code", f64_at(grid_body, 32, 7.5), RefinementError::BadQuantisation},
      {"huge values", f64_at(grid_body, 8, 1e308), RefinementError::BadQuantisation},
  };
  for (const auto& c : cases) {
    const auto read = read_refinement(c.body, 2000);
    ASSERT_FALSE(read.ok()) << c.name;
    EXPECT_EQ(read.error(), c.error) << c.name;
  }
  // The widest bins a writer plans, for a bound far beyond the grid's step, read back.
  const auto widest = plan_refinement(x, 1e12, grid_layer.grid);
  ASSERT_TRUE(widest.ok());
  EXPECT_EQ(widest->bin_codes, 0x7FFFFFFFu);
  Refinement wide = *widest;
  wide.sample_count = 2000;
  wide.stream = grid_layer.stream;
  std::vector<uint8_t> wide_body;
  write_refinement(wide, wide_body);
  const auto wide_read = read_refinement(wide_body, 2000);
  ASSERT_TRUE(wide_read.ok());
  EXPECT_EQ(wide_read->bin_codes, 0x7FFFFFFFu);
  const std::vector<float> base = checked(decompress(out.container));
  for (size_t at = kRefinementHeadSize; at < good.size(); at += 7) {
    const auto r = checked(read_refinement(byte_at(good, at, good[at] ^ 0x5A), 2000));
    const auto y = correct(base, r);
    if (y.ok()) {
      EXPECT_EQ(y->size(), base.size());
    }
  }
  // A body of the first stream format, as containers written before the blocks format hold,
  // still corrects to the same samples.
  const Refinement read_good = checked(read_refinement(good, 2000));
  EXPECT_EQ(good[1], 1);
  std::vector<int32_t> residual(base.size());
  ASSERT_TRUE(decode_residual_into(read_good.stream, base, coder_bin(read_good), residual).ok());
  Refinement first = read_good;
  first.format = ResidualFormat::Adaptive;
  first.stream.clear();
  ASSERT_TRUE(encode_residual_into(residual, base, coder_bin(first), first.stream,
                                   {ResidualFormat::Adaptive})
                  .ok());
  std::vector<uint8_t> first_body;
  write_refinement(first, first_body);
  EXPECT_EQ(first_body[1], 0);
  EXPECT_EQ(checked(correct(base, checked(read_refinement(first_body, 2000)))),
            checked(correct(base, read_good)));
  const auto cut = checked(read_refinement({good.begin(), good.end() - 2}, 2000));
  EXPECT_FALSE(correct(base, cut).ok());
  EXPECT_FALSE(correct({base.begin(), base.end() - 1}, *out.refinement).ok());
}

}  // namespace
}  // namespace vantrel
