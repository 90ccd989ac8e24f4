// The pipeline's multi-level operations, which reuse storage between levels and work inside the
// bands they are given, must give exactly the bands and signals of multi_dwt and multi_idwt, with
// the same errors, for every executor the codec uses and on every instruction set.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <ostream>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "targets.h"
#include "wavelet/executor.h"
#include "wavelet/factory.h"
#include "wavelet/levels.h"

namespace vantrel {
namespace {

struct ExecutorCase {
  std::string name;
  std::shared_ptr<const DwtExecutor> (*make)();
};

void PrintTo(const ExecutorCase& c, std::ostream* os) { *os << c.name; }

const ExecutorCase kExecutors[] = {
    {"cdf53", [] { return Osclet::make_cdf53_f32(); }},
    {"cdf97", [] { return Osclet::make_cdf97_f32(); }},
    {"db4_wrap",
     [] { return Osclet::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap); }},
    {"sym4_wrap", [] { return Osclet::make_symlet_f32(SymletFamily::Sym4, BorderMode::Wrap); }},
    {"db2_reflect",
     [] { return Osclet::make_daubechies_f32(DaubechiesFamily::Db2, BorderMode::Reflect); }},
};

std::vector<float> random_signal(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> dist(-3.0f, 3.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);
  return x;
}

bool same_bits(std::span<const float> a, std::span<const float> b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// The bands in the order the streamed forward hands them over: D_1 .. D_L, then A.
WaveletResult<std::vector<std::vector<float>>> streamed(const DwtExecutor& ex, std::vector<float> x,
                                                        size_t levels) {
  std::vector<std::vector<float>> bands;
  auto status = ex.multi_dwt_streamed(x, levels, [&](std::span<const float> band) {
    bands.emplace_back(band.begin(), band.end());
  });
  if (!status) return status.error();
  return bands;
}

class StreamedLevels : public ::testing::TestWithParam<ExecutorCase> {};

TEST_P(StreamedLevels, ForwardHandsOverTheBandsOfMultiDwt) {
  const auto ex = GetParam().make();
  for_each_target([&](SimdTarget) {
    for (const size_t n : {3, 4, 5, 7, 8, 9, 16, 33, 34, 100, 1001, 4097, 20000}) {
      const std::vector<float> x = random_signal(n, static_cast<uint32_t>(n));
      for (const size_t levels : {0, 1, 2, 3, 5, 8, 12}) {
        SCOPED_TRACE("n=" + std::to_string(n) + " levels=" + std::to_string(levels));
        const auto kept = ex->multi_dwt(x, levels);
        const auto got = streamed(*ex, x, levels);
        ASSERT_EQ(kept.ok(), got.ok());
        if (!kept.ok()) {
          EXPECT_EQ(got.error(), kept.error());
          continue;
        }
        ASSERT_EQ(got->size(), kept->size() + 1);
        for (size_t k = 0; k < kept->size(); ++k) {
          EXPECT_TRUE(same_bits((*got)[k], (*kept)[k].details)) << "D" << k + 1;
        }
        EXPECT_TRUE(same_bits(got->back(), kept->back().approximations)) << "A";
      }
    }
  });
}

// Runs multi_idwt on the bands, and on copies of them multi_idwt_consuming and multi_idwt_into
// (with buffers a caller keeps across calls), into those buffers and over the bands' own storage.
struct Inverses {
  WaveletResult<std::vector<float>> kept;
  WaveletResult<std::vector<float>> consumed;
  WaveletResult<std::vector<float>> into;
  WaveletResult<std::vector<float>> over_bands;
};

WaveletResult<std::vector<float>> as_vector(const WaveletResult<std::span<float>>& r) {
  if (!r.ok()) return r.error();
  return std::vector<float>(r->begin(), r->end());
}

Inverses both_inverses(const DwtExecutor& ex, const std::vector<std::vector<float>>& details,
                       const std::vector<float>& approximation, IdwtBuffers& buffers) {
  std::vector<std::vector<float>> copies[2] = {details, details};
  std::vector<float> approximations[2] = {approximation, approximation};
  // The bands one after another, approximation first, as the codec lays them out.
  std::vector<float> flat(approximation);
  for (const auto& band : details) flat.insert(flat.end(), band.begin(), band.end());
  MultiDwtView view;
  MultiDwtSpentView spent[3];
  size_t offset = approximation.size();
  for (size_t k = 0; k < details.size(); ++k) {
    view.details.emplace_back(details[k]);
    for (int i = 0; i < 2; ++i) spent[i].details.emplace_back(copies[i][k]);
    spent[2].details.push_back(std::span<float>(flat).subspan(offset, details[k].size()));
    offset += details[k].size();
  }
  view.approximation = approximation;
  for (int i = 0; i < 2; ++i) spent[i].approximation = approximations[i];
  spent[2].approximation = std::span<float>(flat).first(approximation.size());
  auto into = as_vector(ex.multi_idwt_into(spent[1], buffers));
  return {ex.multi_idwt(view), ex.multi_idwt_consuming(spent[0]), std::move(into),
          as_vector(ex.multi_idwt_into(spent[2], buffers, flat))};
}

std::vector<std::vector<float>> details_of(const MultiDwt& levels) {
  std::vector<std::vector<float>> details;
  for (const Dwt& level : levels) details.push_back(level.details);
  return details;
}

TEST_P(StreamedLevels, ConsumingInverseGivesTheSignalOfMultiIdwt) {
  const auto ex = GetParam().make();
  IdwtBuffers buffers;  // reused by every call, shrinking and growing, with stale values
  for_each_target([&](SimdTarget) {
    for (const size_t n : {4, 5, 9, 34, 100, 1001, 4097, 20000, 33, 7}) {
      for (const size_t levels : {1, 2, 3, 6}) {
        const auto kept =
            ex->multi_dwt(random_signal(n, static_cast<uint32_t>(n + levels)), levels);
        if (!kept.ok()) continue;  // too short for this many levels
        SCOPED_TRACE("n=" + std::to_string(n) + " levels=" + std::to_string(levels));
        const Inverses got =
            both_inverses(*ex, details_of(*kept), kept->back().approximations, buffers);
        ASSERT_TRUE(got.kept.ok());
        ASSERT_TRUE(got.consumed.ok());
        ASSERT_TRUE(got.into.ok());
        ASSERT_TRUE(got.over_bands.ok());
        EXPECT_TRUE(same_bits(*got.consumed, *got.kept));
        EXPECT_TRUE(same_bits(*got.into, *got.kept));
        EXPECT_TRUE(same_bits(*got.over_bands, *got.kept));
      }
    }
  });
}

TEST_P(StreamedLevels, ConsumingInverseRefusesWhatMultiIdwtRefuses) {
  const auto ex = GetParam().make();
  const auto kept = ex->multi_dwt(random_signal(300, 5), 3);
  ASSERT_TRUE(kept.ok());
  enum class Damage { FinestLong, DeepestShort, NoApproximation, NoDetails };
  for (const Damage damage :
       {Damage::FinestLong, Damage::DeepestShort, Damage::NoApproximation, Damage::NoDetails}) {
    SCOPED_TRACE(static_cast<int>(damage));
    std::vector<std::vector<float>> details = details_of(*kept);
    std::vector<float> approximation = kept->back().approximations;
    // Three samples off: one can still make a valid odd-length level.
    if (damage == Damage::FinestLong) details.front().resize(details.front().size() + 3);
    if (damage == Damage::DeepestShort) details.back().resize(details.back().size() - 3);
    if (damage == Damage::NoApproximation) approximation.clear();
    if (damage == Damage::NoDetails) details.clear();
    IdwtBuffers buffers;
    const Inverses got = both_inverses(*ex, details, approximation, buffers);
    ASSERT_FALSE(got.kept.ok());
    ASSERT_FALSE(got.consumed.ok());
    ASSERT_FALSE(got.into.ok());
    ASSERT_FALSE(got.over_bands.ok());
    EXPECT_EQ(got.consumed.error(), got.kept.error());
    EXPECT_EQ(got.into.error(), got.kept.error());
    EXPECT_EQ(got.over_bands.error(), got.kept.error());
  }
}

INSTANTIATE_TEST_SUITE_P(Executors, StreamedLevels, ::testing::ValuesIn(kExecutors),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vantrel
