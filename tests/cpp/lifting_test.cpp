// One level of CDF 5/3 and CDF 9/7 against a slow reference written as textbook lifting with
// symmetric extension, on every instruction set the machine offers.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "targets.h"
#include "wavelet/factory.h"
#include "wavelet/lifting.h"

namespace vantrel {
namespace {

enum class Wavelet { Cdf53, Cdf97 };

std::shared_ptr<const DwtExecutor> make(Wavelet w) {
  return w == Wavelet::Cdf53 ? Osclet::make_cdf53_f32() : Osclet::make_cdf97_f32();
}

std::string name_of(Wavelet w) { return w == Wavelet::Cdf53 ? "cdf53" : "cdf97"; }

std::vector<float> random_signal(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-100.0f, 100.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

bool same_bits(std::span<const float> a, std::span<const float> b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// ---- Reference ------------------------------------------------------------------------------
//
// Lifting written the textbook way: every neighbour outside a band is read through whole-sample
// symmetric extension (x[n] = x[n-2], d[-1] = d[0], d[D] = d[D-1], s[A] = s[A-1]), and every step
// is t = fma(left + right, c, t). `skip[i]` marks approximation samples that the CDF 9/7 updates
// leave alone.

const float kAlpha = std::bit_cast<float>(0xBFCB0673u);
const float kBeta = std::bit_cast<float>(0xBD5901AEu);
const float kGamma = std::bit_cast<float>(0x3F620676u);
const float kDelta = std::bit_cast<float>(0x3EE31355u);
const float kK = std::bit_cast<float>(0x3F93263Du);
const float kInvK = std::bit_cast<float>(0x3F5EAF70u);

struct Bands {
  std::vector<float> s;
  std::vector<float> d;
};

// The interior approximation samples the run-of-16 rule of the CDF 9/7 updates leaves unchanged:
// with A = D, s[D-15 .. D-2] when D % 16 == 0 and s[D-16 .. D-2] when D % 16 == 1; with
// A = D + 1, s[D-15 .. D-1] when D % 16 == 0. Everything else is updated.
std::vector<bool> cdf97_skipped(size_t n) {
  const size_t a = n - n / 2, d = n / 2;
  std::vector<bool> skip(a, false);
  auto mark = [&](size_t first, size_t last) {
    for (size_t i = first; i <= last; ++i) skip[i] = true;
  };
  if (a == d && d % 16 == 0) mark(d - 15, d - 2);
  if (a == d && d % 16 == 1 && d > 1) mark(d - 16, d - 2);
  if (a == d + 1 && d % 16 == 0) mark(d - 15, d - 1);
  return skip;
}

void ref_predict(const std::vector<float>& s, std::vector<float>& d, float c) {
  auto even = [&](size_t j) { return s[std::min(j, s.size() - 1)]; };
  for (size_t i = 0; i < d.size(); ++i) d[i] = std::fma(even(i) + even(i + 1), c, d[i]);
}

void ref_update(std::vector<float>& s, const std::vector<float>& d, float c,
                const std::vector<bool>& skip) {
  auto odd = [&](ptrdiff_t j) {
    return d[static_cast<size_t>(std::clamp<ptrdiff_t>(j, 0, ptrdiff_t(d.size()) - 1))];
  };
  for (size_t i = 0; i < s.size(); ++i) {
    if (skip[i]) continue;
    s[i] = std::fma(odd(ptrdiff_t(i) - 1) + odd(ptrdiff_t(i)), c, s[i]);
  }
}

Bands ref_forward(Wavelet w, std::span<const float> x, const std::vector<bool>& skip) {
  const size_t n = x.size();
  Bands b{std::vector<float>(n - n / 2), std::vector<float>(n / 2)};
  for (size_t i = 0; i < b.s.size(); ++i) b.s[i] = x[2 * i];
  for (size_t i = 0; i < b.d.size(); ++i) b.d[i] = x[2 * i + 1];
  if (w == Wavelet::Cdf53) {
    ref_predict(b.s, b.d, -0.5f);
    ref_update(b.s, b.d, 0.25f, skip);
    return b;
  }
  ref_predict(b.s, b.d, kAlpha);
  ref_update(b.s, b.d, kBeta, skip);
  ref_predict(b.s, b.d, kGamma);
  ref_update(b.s, b.d, kDelta, skip);
  for (float& v : b.s) v = v * kK;
  for (float& v : b.d) v = v * kInvK;
  return b;
}

std::vector<float> ref_inverse(Wavelet w, Bands b, const std::vector<bool>& skip) {
  if (w == Wavelet::Cdf53) {
    ref_update(b.s, b.d, -0.25f, skip);
    ref_predict(b.s, b.d, 0.5f);
  } else {
    for (float& v : b.s) v = v * kInvK;
    for (float& v : b.d) v = v * kK;
    ref_update(b.s, b.d, -kDelta, skip);
    ref_predict(b.s, b.d, -kGamma);
    ref_update(b.s, b.d, -kBeta, skip);
    ref_predict(b.s, b.d, -kAlpha);
  }
  std::vector<float> x(b.s.size() + b.d.size());
  for (size_t i = 0; i < b.s.size(); ++i) x[2 * i] = b.s[i];
  for (size_t i = 0; i < b.d.size(); ++i) x[2 * i + 1] = b.d[i];
  return x;
}

std::vector<bool> skipped(Wavelet w, size_t n) {
  return w == Wavelet::Cdf97 ? cdf97_skipped(n) : std::vector<bool>(n - n / 2, false);
}

Bands run_forward(const DwtExecutor& ex, std::span<const float> x) {
  Bands b{std::vector<float>(x.size() - x.size() / 2), std::vector<float>(x.size() / 2)};
  const WaveletStatus st = ex.execute_forward(x, b.s, b.d);
  EXPECT_TRUE(st.ok()) << st.error().to_string();
  return b;
}

std::vector<float> run_inverse(const DwtExecutor& ex, const Bands& b) {
  std::vector<float> x(b.s.size() + b.d.size());
  const WaveletStatus st = ex.execute_inverse(b.s, b.d, x);
  EXPECT_TRUE(st.ok()) << st.error().to_string();
  return x;
}

// ---- Every target, bit for bit ---------------------------------------------------------------

class LiftingTargets : public ::testing::TestWithParam<Wavelet> {};

// Lengths that cross every vector width and run of 16, the chunk boundaries of the wavefront
// (every 512 approximation samples: n = 1024, 1025, 1026, 4096 ...) and odd tails.
std::vector<size_t> exact_lengths(Wavelet w) {
  std::vector<size_t> lengths;
  for (size_t n = w == Wavelet::Cdf53 ? 3 : 4; n <= 80; ++n) lengths.push_back(n);
  for (size_t n :
       {127, 128, 129, 1000, 1023, 1024, 1025, 1026, 1027, 4095, 4096, 4097, 4098, 12293, 65537}) {
    lengths.push_back(n);
  }
  return lengths;
}

TEST_P(LiftingTargets, ForwardAndInverseMatchReferenceOnEveryTarget) {
  const Wavelet w = GetParam();
  const auto ex = make(w);
  for (size_t n : exact_lengths(w)) {
    const std::vector<float> x = random_signal(n, static_cast<uint32_t>(n));
    const Bands expected = ref_forward(w, x, skipped(w, n));
    // Bands that did not come from a forward transform exercise the inverse just as well.
    const Bands coded{random_signal(n - n / 2, uint32_t(n) + 1),
                      random_signal(n / 2, uint32_t(n) + 2)};
    const std::vector<float> expected_inverse = ref_inverse(w, coded, skipped(w, n));

    Bands scalar_forward;
    std::vector<float> scalar_inverse;
    for_each_target([&](SimdTarget target) {
      SCOPED_TRACE(name_of(w) + " n=" + std::to_string(n));
      const Bands got = run_forward(*ex, x);
      EXPECT_TRUE(same_bits(got.s, expected.s));
      EXPECT_TRUE(same_bits(got.d, expected.d));
      const std::vector<float> back = run_inverse(*ex, coded);
      EXPECT_TRUE(same_bits(back, expected_inverse));
      if (target == SimdTarget::Scalar) {
        scalar_forward = got;
        scalar_inverse = back;
      } else {
        EXPECT_TRUE(same_bits(got.s, scalar_forward.s));
        EXPECT_TRUE(same_bits(got.d, scalar_forward.d));
        EXPECT_TRUE(same_bits(back, scalar_inverse));
      }
    });
  }
}

INSTANTIATE_TEST_SUITE_P(Both, LiftingTargets, ::testing::Values(Wavelet::Cdf53, Wavelet::Cdf97),
                         [](const auto& info) { return name_of(info.param); });

// ---- The run-of-16 update rule ---------------------------------------------------------------

struct SkipCase {
  size_t n;
  size_t first_kept;  // interior samples s[first_kept .. last_kept] have no beta/delta update
  size_t last_kept;   // (an empty range when first_kept > last_kept)
};

void PrintTo(const SkipCase& c, std::ostream* os) { *os << "n=" << c.n; }

class Cdf97RunOf16 : public ::testing::TestWithParam<SkipCase> {};

TEST_P(Cdf97RunOf16, UpdatesLeaveExactlyTheseSamples) {
  const SkipCase c = GetParam();
  const size_t a = c.n - c.n / 2;
  std::vector<bool> skip(a, false);
  for (size_t i = c.first_kept; i <= c.last_kept; ++i) skip[i] = true;
  const std::vector<bool> none(a, false);

  const std::vector<float> x = random_signal(c.n, 99);
  const auto ex = Osclet::make_cdf97_f32();
  for_each_target([&](SimdTarget) {
    const Bands got = run_forward(*ex, x);
    const Bands expected = ref_forward(Wavelet::Cdf97, x, skip);
    EXPECT_TRUE(same_bits(got.s, expected.s));
    EXPECT_TRUE(same_bits(got.d, expected.d));
    if (c.first_kept <= c.last_kept) {
      // A plain loop over every interior sample is a different transform.
      EXPECT_FALSE(same_bits(got.s, ref_forward(Wavelet::Cdf97, x, none).s));
    }
    const std::vector<float> back = run_inverse(*ex, got);
    for (size_t i = 0; i < c.n; ++i) EXPECT_NEAR(back[i], x[i], 1e-4f) << i;
  });
}

INSTANTIATE_TEST_SUITE_P(AroundOneRun, Cdf97RunOf16,
                         ::testing::Values(SkipCase{31, 1, 0}, SkipCase{32, 1, 14},
                                           SkipCase{33, 1, 15}, SkipCase{34, 1, 15},
                                           SkipCase{35, 1, 0}, SkipCase{36, 1, 0},
                                           SkipCase{64, 17, 30}, SkipCase{65, 17, 31},
                                           SkipCase{66, 17, 31}, SkipCase{67, 1, 0}),
                         [](const auto& info) {
                           return std::string("n").append(std::to_string(info.param.n));
                         });

// ---- Exact values ----------------------------------------------------------------------------

TEST(Cdf53, ThreeSamples) {
  const std::vector<float> x = {1.0f, 4.0f, 2.0f};
  const Bands b = run_forward(*Osclet::make_cdf53_f32(), x);
  // d0 = 4 - (1 + 2)/2; s0 = 1 + d0/2 (left neighbour mirrored); s1 = 2 + d0/2 (right mirrored).
  EXPECT_EQ(b.d, (std::vector<float>{2.5f}));
  EXPECT_EQ(b.s, (std::vector<float>{2.25f, 3.25f}));
  EXPECT_EQ(run_inverse(*Osclet::make_cdf53_f32(), b), x);
}

TEST(Cdf53, EvenLengthLastDetailIsDifferenceOfLastTwo) {
  const auto ex = Osclet::make_cdf53_f32();
  for (size_t n : {4, 6, 10, 34, 100}) {
    const std::vector<float> x = random_signal(n, uint32_t(n));
    const Bands b = run_forward(*ex, x);
    EXPECT_EQ(b.d.back(), x[n - 1] - x[n - 2]) << n;
  }
}

struct ConstantCase {
  Wavelet wavelet;
  size_t n;
  float approx;         // expected approximation / c
  float approx_tol;     // relative
  float max_detail_lo;  // the largest |detail| / c lies in [lo, hi]
  float max_detail_hi;
};

void PrintTo(const ConstantCase& c, std::ostream* os) { *os << name_of(c.wavelet) << " n=" << c.n; }

class ConstantSignal : public ::testing::TestWithParam<ConstantCase> {};

TEST_P(ConstantSignal, BandsAndRoundTrip) {
  const ConstantCase c = GetParam();
  const float value = 3.0f;
  const auto ex = make(c.wavelet);
  const std::vector<float> x(c.n, value);
  const Bands b = run_forward(*ex, x);
  float max_detail = 0.0f;
  for (float v : b.d) max_detail = std::max(max_detail, std::fabs(v));
  EXPECT_GE(max_detail, c.max_detail_lo * value);
  EXPECT_LE(max_detail, c.max_detail_hi * value);
  if (c.approx_tol >= 0.0f) {
    for (float v : b.s) EXPECT_NEAR(v, c.approx * value, c.approx_tol * value);
  }
  for (float v : run_inverse(*ex, b)) EXPECT_NEAR(v, value, 2e-6f * value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConstantSignal,
    ::testing::Values(ConstantCase{Wavelet::Cdf53, 3, 1.0f, 0.0f, 0.0f, 0.0f},
                      ConstantCase{Wavelet::Cdf53, 34, 1.0f, 0.0f, 0.0f, 0.0f},
                      ConstantCase{Wavelet::Cdf53, 35, 1.0f, 0.0f, 0.0f, 0.0f},
                      ConstantCase{Wavelet::Cdf97, 36, 1.41421f, 1e-5f, 0.0f, 1e-6f},
                      ConstantCase{Wavelet::Cdf97, 37, 1.41421f, 1e-5f, 0.0f, 1e-6f},
                      // Samples the run-of-16 rule skips carry the wrong level into the details.
                      ConstantCase{Wavelet::Cdf97, 32, 0.0f, -1.0f, 0.2f, 0.36f},
                      ConstantCase{Wavelet::Cdf97, 33, 0.0f, -1.0f, 0.2f, 0.36f},
                      ConstantCase{Wavelet::Cdf97, 34, 0.0f, -1.0f, 0.2f, 0.36f}),
    [](const auto& info) {
      return name_of(info.param.wavelet) + "_n" + std::to_string(info.param.n);
    });

// ---- Sizes and size errors -------------------------------------------------------------------

TEST(LiftingSizes, ClampedBandAndSignalLengths) {
  const auto c53 = Osclet::make_cdf53_f32();
  const auto c97 = Osclet::make_cdf97_f32();
  EXPECT_EQ(c53->dwt_size(2), (DwtSize{2, 1}));
  EXPECT_EQ(c97->dwt_size(2), (DwtSize{2, 2}));
  EXPECT_EQ(c53->dwt_size(0), (DwtSize{2, 1}));
  EXPECT_EQ(c97->dwt_size(0), (DwtSize{2, 2}));
  EXPECT_EQ(c53->idwt_size(1, 1), 3u);
  EXPECT_EQ(c97->idwt_size(1, 1), 4u);
  for (size_t n : {4, 5, 1000, 1001}) {
    EXPECT_EQ(c53->dwt_size(n), (DwtSize{(n + 1) / 2, n / 2}));
    EXPECT_EQ(c97->dwt_size(n), (DwtSize{(n + 1) / 2, n / 2}));
    EXPECT_EQ(c53->idwt_size((n + 1) / 2, n / 2), n);
    EXPECT_EQ(c97->idwt_size((n + 1) / 2, n / 2), n);
  }
  EXPECT_EQ(c53->filter_length(), 6u);
  EXPECT_EQ(c97->filter_length(), 10u);
  EXPECT_EQ(c97->required_scratch_size(1000), 0u);
}

struct SizeErrorCase {
  Wavelet wavelet;
  bool inverse;
  size_t signal;  // input length (forward) or output length (inverse)
  size_t approx;
  size_t details;
  std::string text;
};

void PrintTo(const SizeErrorCase& c, std::ostream* os) { *os << c.text; }

class LiftingSizeErrors : public ::testing::TestWithParam<SizeErrorCase> {};

TEST_P(LiftingSizeErrors, FailsWithTextAndLeavesOutputsAlone) {
  const SizeErrorCase c = GetParam();
  const auto ex = make(c.wavelet);
  const float sentinel = -7.0f;
  std::vector<float> signal(c.signal, sentinel), approx(c.approx, sentinel),
      details(c.details, sentinel);
  const WaveletStatus st = c.inverse ? ex->execute_inverse(approx, details, signal)
                                     : ex->execute_forward(signal, approx, details);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().to_string(), c.text);
  for (float v : c.inverse ? signal : approx) EXPECT_EQ(v, sentinel);
  if (!c.inverse) {
    for (float v : details) EXPECT_EQ(v, sentinel);
    // The scratch variant checks the same way.
    const WaveletStatus with_scratch =
        ex->execute_forward_with_scratch(signal, approx, details, {});
    ASSERT_FALSE(with_scratch.ok());
    EXPECT_EQ(with_scratch.error().to_string(), c.text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    InOrder, LiftingSizeErrors,
    ::testing::Values(
        // Forward: length first, then approximation, then details.
        SizeErrorCase{Wavelet::Cdf53, false, 2, 0, 0, "Input size 2 can't be less than 3"},
        SizeErrorCase{Wavelet::Cdf53, false, 0, 1, 1, "Input size 0 can't be less than 3"},
        SizeErrorCase{Wavelet::Cdf97, false, 3, 2, 1, "Input size 3 can't be less than 4"},
        SizeErrorCase{Wavelet::Cdf53, false, 5, 2, 9,
                      "Approximate size 2 does not match required size 3"},
        SizeErrorCase{Wavelet::Cdf97, false, 10, 6, 4,
                      "Approximate size 6 does not match required size 5"},
        SizeErrorCase{Wavelet::Cdf53, false, 5, 3, 3,
                      "Details size 3 does not match required size 2"},
        SizeErrorCase{Wavelet::Cdf97, false, 9, 5, 5,
                      "Details size 5 does not match required size 4"},
        // Inverse: sum first, then the clamped band lengths of the output length.
        SizeErrorCase{Wavelet::Cdf53, true, 6, 3, 4, "Output size should be 7, but it was 6"},
        SizeErrorCase{Wavelet::Cdf97, true, 4, 9, 9, "Output size should be 18, but it was 4"},
        SizeErrorCase{Wavelet::Cdf53, true, 6, 2, 4,
                      "Approximate size 2 does not match required size 3"},
        SizeErrorCase{Wavelet::Cdf53, true, 2, 1, 1,
                      "Approximate size 1 does not match required size 2"},
        SizeErrorCase{Wavelet::Cdf97, true, 0, 0, 0,
                      "Approximate size 0 does not match required size 2"},
        SizeErrorCase{Wavelet::Cdf53, true, 2, 2, 0,
                      "Details size 0 does not match required size 1"},
        SizeErrorCase{Wavelet::Cdf97, true, 3, 2, 1,
                      "Details size 1 does not match required size 2"}));

}  // namespace
}  // namespace vantrel
