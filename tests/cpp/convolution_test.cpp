#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "border_reference.h"
#include "targets.h"
#include "wavelet/convolution.h"
#include "wavelet/factory.h"
#include "wavelet/filters.h"
#include "wavelet/util.h"
#include "tests/cpp/test_util.h"

namespace vantrel {
namespace {

constexpr BorderMode kModes[] = {BorderMode::Clamp, BorderMode::Wrap, BorderMode::Reflect,
                                 BorderMode::ReflectNoEdge, BorderMode::Zero};

std::vector<float> random_signal(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// A filter bank under test: which executor, built from which table.
struct Bank {
  std::string name;
  std::vector<float> low_pass;
  bool general;  // NeonWaveletNTapsF32 instead of the kernel specialised by length
  friend void PrintTo(const Bank& b, std::ostream* os) { *os << b.name; }
};

template <size_t N>
std::shared_ptr<const IncompleteDwtExecutor> fixed_bank(BorderMode mode,
                                                        const std::vector<float>& low) {
  std::array<float, N> taps;
  std::copy(low.begin(), low.end(), taps.begin());
  return std::make_shared<const FixedTapsWaveletF32<N>>(mode, taps);
}

std::shared_ptr<const IncompleteDwtExecutor> build(const Bank& bank, BorderMode mode) {
  if (!bank.general) {
    switch (bank.low_pass.size()) {
      case 2:
        return fixed_bank<2>(mode, bank.low_pass);
      case 4:
        return fixed_bank<4>(mode, bank.low_pass);
      case 6:
        return fixed_bank<6>(mode, bank.low_pass);
      case 8:
        return fixed_bank<8>(mode, bank.low_pass);
      case 10:
        return fixed_bank<10>(mode, bank.low_pass);
      case 12:
        return fixed_bank<12>(mode, bank.low_pass);
      case 16:
        return fixed_bank<16>(mode, bank.low_pass);
    }
  }
  return checked(DwtFactory::wavelet_n_taps(mode, bank.low_pass));
}

const std::vector<Bank>& all_banks() {
  static const std::vector<Bank> banks = {
      {"Fixed2", get_wavelet(DaubechiesFamily::Db1), false},
      {"Fixed4", get_wavelet(DaubechiesFamily::Db2), false},
      {"Fixed6", get_wavelet(DaubechiesFamily::Db3), false},
      {"Fixed8", get_wavelet(DaubechiesFamily::Db4), false},
      {"Fixed10", get_wavelet(DaubechiesFamily::Db5), false},
      {"Fixed12", get_wavelet(DaubechiesFamily::Db6), false},
      {"Fixed16", get_wavelet(DaubechiesFamily::Db8), false},
      {"General2", get_wavelet(DaubechiesFamily::Db1), true},
      {"General8", get_wavelet(SymletFamily::Sym4), true},
      {"General14", get_wavelet(DaubechiesFamily::Db7), true},
      {"General48", get_wavelet(DaubechiesFamily::Db24), true},
  };
  return banks;
}

// ---------------------------------------------------------------------------------------------
// The transform written out literally: pad by the mode's formula, correlate, keep every second
// output; synthesis as the scatter over coefficients and taps.

using testing_reference::padded;

struct Bands {
  std::vector<float> approx;
  std::vector<float> details;
};

Bands reference_forward(const Bank& bank, BorderMode mode, const std::vector<float>& x) {
  const std::vector<float>& h = bank.low_pass;
  const std::vector<float> g = low_pass_to_high(h);
  const int64_t taps = static_cast<int64_t>(h.size());
  const size_t k_total = (x.size() + h.size() - 1) / 2;
  // The specialised 4, 8, 10, 12 and 16 tap kernels repeat the edge sample on the left under
  // ReflectNoEdge.
  const bool left_as_reflect = !bank.general && taps != 2 && taps != 6;
  Bands out{std::vector<float>(k_total), std::vector<float>(k_total)};
  for (size_t k = 0; k < k_total; ++k) {
    std::vector<float> w(h.size());
    for (int64_t i = 0; i < taps; ++i) {
      const int64_t v = 2 * static_cast<int64_t>(k) + i - (taps - 2);
      const BorderMode m = (v < 0 && left_as_reflect && mode == BorderMode::ReflectNoEdge)
                               ? BorderMode::Reflect
                               : mode;
      w[static_cast<size_t>(i)] = padded(x, v, m);
    }
    if (!bank.general && taps == 2) {
      out.approx[k] = h[0] * w[0] + h[1] * w[1];
      out.details[k] = g[0] * w[0] + g[1] * w[1];
      continue;
    }
    float a = 0.0f;
    float d = 0.0f;
    for (size_t i = 0; i < h.size(); ++i) {
      a = std::fma(h[i], w[i], a);
      d = std::fma(g[i], w[i], d);
    }
    out.approx[k] = a;
    out.details[k] = d;
  }
  return out;
}

void reference_inverse(const std::vector<float>& h, const Bands& bands, std::vector<float>& y) {
  const std::vector<float> g = low_pass_to_high(h);
  const int64_t taps = static_cast<int64_t>(h.size());
  const int64_t m = static_cast<int64_t>(y.size());
  for (size_t k = 0; k < bands.approx.size(); ++k) {
    for (int64_t j = 0; j < taps; ++j) {
      const int64_t t = 2 * static_cast<int64_t>(k) - (taps - 2) + j;
      if (t < 0 || t >= m) continue;
      float& out = y[static_cast<size_t>(t)];
      out = std::fma(h[static_cast<size_t>(j)], bands.approx[k],
                     std::fma(g[static_cast<size_t>(j)], bands.details[k], out));
    }
  }
}

Bands run_forward(const IncompleteDwtExecutor& dwt, const std::vector<float>& x) {
  const DwtSize size = dwt.dwt_size(x.size());
  Bands out{std::vector<float>(size.approx), std::vector<float>(size.details)};
  const WaveletStatus status = dwt.execute_forward(x, out.approx, out.details);
  EXPECT_TRUE(status.ok()) << status.error().to_string();
  return out;
}

std::vector<float> run_inverse(const IncompleteDwtExecutor& dwt, const Bands& bands,
                               std::vector<float> initial = {}) {
  std::vector<float> y =
      initial.empty() ? std::vector<float>(dwt.idwt_size(bands.approx.size(), bands.details.size()))
                      : std::move(initial);
  const WaveletStatus status = dwt.execute_inverse(bands.approx, bands.details, y);
  EXPECT_TRUE(status.ok()) << status.error().to_string();
  return y;
}

std::vector<size_t> lengths_for(size_t taps) {
  std::vector<size_t> lengths;
  for (size_t n = taps; n <= taps + 40; ++n) lengths.push_back(n);
  for (size_t n : {101, 256, 1023}) lengths.push_back(std::max(n, taps));
  return lengths;
}

class BankTest : public testing::TestWithParam<Bank> {};

TEST_P(BankTest, ForwardIsTheDefinitionBitForBit) {
  const Bank& bank = GetParam();
  for (BorderMode mode : kModes) {
    const auto dwt = build(bank, mode);
    for (size_t n : lengths_for(bank.low_pass.size())) {
      const std::vector<float> x = random_signal(n, static_cast<uint32_t>(n));
      const Bands got = run_forward(*dwt, x);
      const Bands want = reference_forward(bank, mode, x);
      ASSERT_TRUE(same_bits(got.approx, want.approx)) << "mode " << int(mode) << " n " << n;
      ASSERT_TRUE(same_bits(got.details, want.details)) << "mode " << int(mode) << " n " << n;
    }
  }
}

TEST_P(BankTest, InverseIsTheDefinitionBitForBit) {
  const Bank& bank = GetParam();
  const auto dwt = build(bank, BorderMode::Wrap);
  for (size_t n : lengths_for(bank.low_pass.size())) {
    const size_t k = dwt->dwt_size(n).approx;
    const Bands bands{random_signal(k, 1000 + static_cast<uint32_t>(n)),
                      random_signal(k, 2000 + static_cast<uint32_t>(n))};
    // The synthesis adds into what the output holds.
    const std::vector<float> initial = random_signal(dwt->idwt_size(k, k), 7);
    std::vector<float> want = initial;
    reference_inverse(bank.low_pass, bands, want);
    ASSERT_TRUE(same_bits(run_inverse(*dwt, bands, initial), want)) << "n " << n;
  }
}

TEST_P(BankTest, EveryTargetGivesTheScalarBits) {
  const Bank& bank = GetParam();
  std::vector<size_t> lengths;
  for (size_t n = bank.low_pass.size(); n <= std::max<size_t>(80, bank.low_pass.size()); ++n) {
    lengths.push_back(n);
  }
  for (size_t n : {1000, 1023, 4097}) lengths.push_back(n);
  for (BorderMode mode : kModes) {
    const auto dwt = build(bank, mode);
    std::vector<std::vector<float>> scalar;
    for_each_target([&](SimdTarget target) {
      size_t index = 0;
      for (size_t n : lengths) {
        const Bands bands = run_forward(*dwt, random_signal(n, static_cast<uint32_t>(n)));
        const std::vector<float> inverse = run_inverse(*dwt, bands);
        for (const std::vector<float>* out : {&bands.approx, &bands.details, &inverse}) {
          if (target == SimdTarget::Scalar) {
            scalar.push_back(*out);
          } else {
            ASSERT_TRUE(same_bits(*out, scalar[index])) << "mode " << int(mode) << " n " << n;
          }
          ++index;
        }
      }
    });
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, BankTest, testing::ValuesIn(all_banks()),
                         [](const testing::TestParamInfo<Bank>& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------------

std::shared_ptr<const IncompleteDwtExecutor> db4(BorderMode mode = BorderMode::Wrap) {
  return build({"db4", get_wavelet(DaubechiesFamily::Db4), false}, mode);
}

std::shared_ptr<const IncompleteDwtExecutor> db4_general(BorderMode mode = BorderMode::Wrap) {
  return build({"db4", get_wavelet(DaubechiesFamily::Db4), true}, mode);
}

struct ErrorCase {
  std::string name;
  std::function<WaveletStatus()> call;
  std::string text;
  friend void PrintTo(const ErrorCase& c, std::ostream* os) { *os << c.name; }
};

class ErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorTest, FailsWithItsText) {
  const WaveletStatus status = GetParam().call();
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().to_string(), GetParam().text);
}

std::vector<float> zeros(size_t n) { return std::vector<float>(n); }

INSTANTIATE_TEST_SUITE_P(
    Checks, ErrorTest,
    testing::Values(
        ErrorCase{"InputTooSmall",
                  [] {
                    auto a = zeros(7), d = zeros(7);
                    return db4()->execute_forward(zeros(7), a, d);
                  },
                  "Input size 7 can't be less than 8"},
        ErrorCase{"InputTooSmallGeneral",
                  [] {
                    auto a = zeros(7), d = zeros(7), s = zeros(100);
                    return db4_general()->execute_forward_with_scratch(zeros(7), a, d, s);
                  },
                  "Input size 7 can't be less than 8"},
        ErrorCase{"ApproxLength",
                  [] {
                    auto a = zeros(7), d = zeros(8);
                    return db4()->execute_forward(zeros(10), a, d);
                  },
                  "Approximation and details expected to be half of original signal length but "
                  "it was 7"},
        ErrorCase{"DetailsLength",
                  [] {
                    auto a = zeros(8), d = zeros(5);
                    return db4_general()->execute_forward(zeros(10), a, d);
                  },
                  "Approximation and details expected to be half of original signal length but "
                  "it was 5"},
        // Scratch for 10 samples and 8 taps: 8 + 2*8 - 2 = 22.
        ErrorCase{"ScratchTooShort",
                  [] {
                    auto a = zeros(8), d = zeros(8), s = zeros(21);
                    return db4_general()->execute_forward_with_scratch(zeros(10), a, d, s);
                  },
                  "Scratch size expected to be 22 but it was 21"},
        ErrorCase{"BandsDiffer",
                  [] {
                    auto y = zeros(8);
                    return db4()->execute_inverse(zeros(7), zeros(6), y);
                  },
                  "Approx and details must match, but they don't 7x6"},
        ErrorCase{"BandsDifferGeneral",
                  [] {
                    auto y = zeros(8);
                    return db4_general()->execute_inverse(zeros(7), zeros(6), y);
                  },
                  "Approx and details must match, but they don't 7x6"},
        ErrorCase{"OutputSize",
                  [] {
                    auto y = zeros(9);
                    return db4()->execute_inverse(zeros(7), zeros(7), y);
                  },
                  "Output size should be 8, but it was 9"},
        // Bands too short to cover any sample: an empty output, never a wrapped-around size.
        ErrorCase{"OutputSizeOfTinyBands",
                  [] {
                    auto y = zeros(1);
                    return db4_general()->execute_inverse(zeros(1), zeros(1), y);
                  },
                  "Output size should be 0, but it was 1"}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return info.param.name; });

TEST(ConvolutionChecks, FailedForwardLeavesTheOutputs) {
  std::vector<float> a(8, 5.0f), d(8, 5.0f), s(21, 5.0f);
  EXPECT_FALSE(db4_general()->execute_forward_with_scratch(zeros(10), a, d, s).ok());
  EXPECT_EQ(a, std::vector<float>(8, 5.0f));
  EXPECT_EQ(s, std::vector<float>(21, 5.0f));
}

TEST(ConvolutionChecks, LongerScratchIsAccepted) {
  const auto dwt = db4_general();
  const std::vector<float> x = random_signal(9, 3);
  ASSERT_EQ(dwt->required_scratch_size(9), 8u + 2 * 8 - 2);
  Bands with_scratch{zeros(8), zeros(8)};
  std::vector<float> scratch(50, 123.0f);
  ASSERT_TRUE(
      dwt->execute_forward_with_scratch(x, with_scratch.approx, with_scratch.details, scratch)
          .ok());
  const Bands plain = run_forward(*dwt, x);
  EXPECT_TRUE(same_bits(with_scratch.approx, plain.approx));
  EXPECT_TRUE(same_bits(with_scratch.details, plain.details));
}

TEST(ConvolutionChecks, GeneralBankRefusesZeroOrOddFilters) {
  for (size_t taps : {0, 1, 3, 7}) {
    const std::vector<float> low(taps, 0.5f);
    const auto made = DwtFactory::wavelet_n_taps(BorderMode::Wrap, low);
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(made.error().to_string(), "Zero or odd sized wavelet");
  }
}

TEST(ConvolutionSizes, ScratchAndBandLengths) {
  for (const auto& dwt : {db4(), db4_general()}) {
    EXPECT_EQ(dwt->filter_length(), 8u);
    EXPECT_EQ(dwt->dwt_size(8), (DwtSize{7, 7}));
    EXPECT_EQ(dwt->dwt_size(9), (DwtSize{8, 8}));
    EXPECT_EQ(dwt->idwt_size(7, 7), 8u);
    EXPECT_EQ(dwt->idwt_size(8, 8), 10u);
    EXPECT_EQ(dwt->idwt_size(2, 2), 0u);
  }
  EXPECT_EQ(db4()->required_scratch_size(8), 0u);
  EXPECT_EQ(db4_general()->required_scratch_size(8), 20u);  // 6 + 8 + 6
  EXPECT_EQ(db4_general()->required_scratch_size(9), 22u);  // 6 + 9 + 7
}

// db4 on the two smallest inputs: every output reaches into a margin.
TEST(Db4Borders, SmallestInputsComeBack) {
  for (const auto& dwt : {db4(), db4_general()}) {
    const std::vector<float> x8 = random_signal(8, 11);
    const Bands b8 = run_forward(*dwt, x8);
    ASSERT_EQ(b8.approx.size(), 7u);
    const std::vector<float> y8 = run_inverse(*dwt, b8);
    ASSERT_EQ(y8.size(), 8u);
    for (size_t i = 0; i < 8; ++i) EXPECT_NEAR(y8[i], x8[i], 2e-6f) << i;

    const std::vector<float> x9 = random_signal(9, 12);
    const Bands b9 = run_forward(*dwt, x9);
    ASSERT_EQ(b9.approx.size(), 8u);
    const std::vector<float> y9 = run_inverse(*dwt, b9);
    ASSERT_EQ(y9.size(), 10u);
    for (size_t i = 0; i < 9; ++i) EXPECT_NEAR(y9[i], x9[i], 2e-6f) << i;
    // The extra sample is the first right-margin sample, x[9 mod 9] under Wrap.
    EXPECT_NEAR(y9[9], x9[0], 2e-6f);
  }
}

// approx[0] = h0 x[n-6] + h1 x[n-5] + ... + h5 x[n-1] + h6 x[0] + h7 x[1] under Wrap.
TEST(Db4Borders, PhaseOfTheFirstWindow) {
  const std::span<const double> h = daubechies_low_pass(DaubechiesFamily::Db4);
  for (size_t n : {8, 9, 20, 33}) {
    const std::vector<float> x = random_signal(n, static_cast<uint32_t>(n));
    const Bands b = run_forward(*db4(), x);
    double expected = 0.0;
    for (size_t i = 0; i < 6; ++i) expected += h[i] * x[n - 6 + i];
    expected += h[6] * x[0] + h[7] * x[1];
    EXPECT_NEAR(b.approx[0], expected, 1e-6) << n;
  }
}

TEST(Db4Borders, ConstantSignalUnderWrap) {
  const float c = 0.75f;
  for (const auto& dwt : {db4(), db4_general()}) {
    for (size_t n : {8, 9, 64, 77}) {
      const Bands b = run_forward(*dwt, std::vector<float>(n, c));
      for (size_t k = 0; k < b.approx.size(); ++k) {
        EXPECT_NEAR(b.approx[k], c * std::sqrt(2.0f), 1e-6f) << n << " " << k;
        EXPECT_NEAR(b.details[k], 0.0f, 1e-6f) << n << " " << k;
      }
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The factory, seen through its executors.

// Under Zero with n = N the window of output (N-2)/2 is exactly x[0 .. N-1], so the impulse at
// x[p] reads tap p of both filters back.
std::pair<std::vector<float>, std::vector<float>> impulse_taps(const DwtExecutor& dwt) {
  const size_t taps = dwt.filter_length();
  std::vector<float> low(taps), high(taps);
  for (size_t p = 0; p < taps; ++p) {
    std::vector<float> x(taps, 0.0f);
    x[p] = 1.0f;
    Bands b{zeros(dwt.dwt_size(taps).approx), zeros(dwt.dwt_size(taps).details)};
    EXPECT_TRUE(dwt.execute_forward(x, b.approx, b.details).ok());
    low[p] = b.approx[(taps - 2) / 2];
    high[p] = b.details[(taps - 2) / 2];
  }
  return {low, high};
}

std::vector<float> rounded(std::initializer_list<double> values) {
  std::vector<float> out;
  for (double v : values) out.push_back(static_cast<float>(v));
  return out;
}

TEST(Factory, Db4HighPass) {
  const auto dwt = Osclet::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Zero);
  ASSERT_EQ(dwt->filter_length(), 8u);
  EXPECT_EQ(impulse_taps(*dwt).second,
            rounded({-0.010597401785069032, -0.0328830116668852, 0.030841381835560764,
                     0.18703481171909309, -0.027983769416859854, -0.6308807679298589,
                     0.7148465705529157, -0.2303778133088965}));
}

TEST(Factory, Sym4HighPassEnds) {
  const auto dwt = Osclet::make_symlet_f32(SymletFamily::Sym4, BorderMode::Zero);
  ASSERT_EQ(dwt->filter_length(), 8u);
  const std::vector<float> high = impulse_taps(*dwt).second;
  EXPECT_EQ(high.front(), static_cast<float>(-0.07576571478927333));
  EXPECT_EQ(high.back(), static_cast<float>(-0.0322231006040427));
}

struct Member {
  std::string name;
  std::function<std::shared_ptr<const DwtExecutor>(BorderMode)> make;
  std::span<const double> table;
  friend void PrintTo(const Member& m, std::ostream* os) { *os << m.name; }
};

std::vector<Member> all_members() {
  std::vector<Member> members;
  for (int i = 0; i < 24; ++i) {
    const auto m = static_cast<DaubechiesFamily>(i);
    members.push_back({"Db" + std::to_string(i + 1),
                       [m](BorderMode b) { return Osclet::make_daubechies_f32(m, b); },
                       daubechies_low_pass(m)});
  }
  for (int i = 0; i < 19; ++i) {
    const auto m = static_cast<SymletFamily>(i);
    members.push_back({"Sym" + std::to_string(i + 2),
                       [m](BorderMode b) { return Osclet::make_symlet_f32(m, b); },
                       symlet_low_pass(m)});
  }
  return members;
}

class MemberTest : public testing::TestWithParam<Member> {};

TEST_P(MemberTest, FiltersAreTheTableInSinglePrecision) {
  const Member& member = GetParam();
  const auto dwt = member.make(BorderMode::Zero);
  ASSERT_EQ(dwt->filter_length(), member.table.size());
  const std::vector<float> low(member.table.begin(), member.table.end());
  const auto [got_low, got_high] = impulse_taps(*dwt);
  EXPECT_EQ(got_low, low);
  EXPECT_EQ(got_high, low_pass_to_high(low));
}

// Forward then inverse gives the signal back, whatever the border samples were.
TEST_P(MemberTest, ReconstructsEveryLengthAndMode) {
  const Member& member = GetParam();
  const size_t taps = member.table.size();
  for (BorderMode mode : kModes) {
    const auto dwt = member.make(mode);
    // Every length from N to N+40, then a stride up to 300 (cost grows with N).
    for (size_t n = taps; n <= 300; n += (n < taps + 40 ? 1 : 7)) {
      const std::vector<float> x = random_signal(n, static_cast<uint32_t>(n * 31 + taps));
      const Bands b = run_forward(*dwt, x);
      const std::vector<float> y = run_inverse(*dwt, b);
      ASSERT_EQ(y.size(), n + n % 2);
      for (size_t i = 0; i < n; ++i) {
        ASSERT_NEAR(y[i], x[i], 1e-5f) << member.name << " mode " << int(mode) << " n " << n;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Families, MemberTest, testing::ValuesIn(all_members()),
                         [](const testing::TestParamInfo<Member>& info) {
                           return info.param.name;
                         });

TEST(Factory, ShortestAndLongestDaubechies) {
  EXPECT_EQ(Osclet::make_daubechies_f32(DaubechiesFamily::Db1, BorderMode::Wrap)->filter_length(),
            2u);
  EXPECT_EQ(Osclet::make_daubechies_f32(DaubechiesFamily::Db24, BorderMode::Wrap)->filter_length(),
            48u);
}

}  // namespace
}  // namespace vantrel
