// CRC-32C on every path against the published iSCSI check values, and what the trailer reader
// refuses. Byte identity with the companion package's Python trailer is tested from Python
// (tests/python/test_native_trailer.py).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "codec/header.h"
#include "codec/refine.h"
#include "codec/trailer.h"
#include "codec/vantrel.h"
#include "support/crc32c.h"
#include "tests/cpp/test_util.h"
#include "vantrel/vantrel_c.h"

namespace vantrel {
namespace {

class Crc32cTest : public ::testing::TestWithParam<Crc32cPath> {
 protected:
  void SetUp() override {
    if (!crc32c_path_available(GetParam())) GTEST_SKIP() << "path not available on this CPU";
  }
};

// RFC 3720 B.4 and the common "123456789" check value, whole and split at every point (the
// Python suite compares both paths with google_crc32c over many lengths and alignments).
TEST_P(Crc32cTest, KnownValuesWholeAndSplit) {
  std::vector<uint8_t> ascending(32), digits = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  std::iota(ascending.begin(), ascending.end(), uint8_t{0});
  const std::pair<std::vector<uint8_t>, uint32_t> cases[] = {
      {digits, 0xE3069283u},
      {std::vector<uint8_t>(32, 0x00), 0x8A9136AAu},
      {std::vector<uint8_t>(32, 0xFF), 0x62A8AB43u},
      {ascending, 0x46DD794Eu}};
  for (const auto& [bytes, crc] : cases) {
    const std::span<const uint8_t> s(bytes);
    for (size_t cut = 0; cut <= s.size(); ++cut) {
      const uint32_t head = crc32c_extend(0, s.first(cut), GetParam());
      ASSERT_EQ(crc32c_extend(head, s.subspan(cut), GetParam()), crc) << cut;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Paths, Crc32cTest, ::testing::ValuesIn(kCrc32cPaths));

std::vector<uint8_t> sealed_signal(std::vector<float> x) {
  const auto runs = find_gaps<float>(x);
  fill_gaps<float>(x);
  auto packed = checked(compress(x, VtrlCompressionOptions{}));
  EXPECT_TRUE(seal(packed, runs).ok());
  return packed;
}

TEST(Trailer, EveryFlippedByteAndEveryCutIsFound) {
  const auto packed = sealed_signal({1, NAN, NAN, 4, INFINITY, -INFINITY, 8, 9, NAN});
  for (size_t i = 0; i < packed.size(); ++i) {
    auto damaged = packed;
    damaged[i] ^= 0x10;
    ASSERT_FALSE(unseal(damaged).ok()) << "byte " << i;  // the header's own refusal counts too
  }
  for (size_t n = kHeaderSize; n < packed.size(); ++n) {
    auto opened = unseal(std::span<const uint8_t>(packed).first(n));
    ASSERT_EQ(opened.ok() ? -1 : int(opened.error().kind()), int(TrailerError::Kind::Damaged)) << n;
  }
}

// Changes with a valid checksum: only the reader's rules can refuse them.
TEST(Trailer, StructuralRefusalsAndSkippedSections) {
  const auto packed = sealed_signal({1, NAN, 3});
  const size_t end = packed.size() - 25 - 9;  // one run of 9 bytes in a 25-byte trailer
  const size_t run = end + 12 + 5 + 4;        // the run, after prefix, section head and count
  const char* kGaps = "container is damaged or truncated: the gap runs do not fit the signal";
  const struct {
    size_t at;
    uint8_t value;
    const char* text;
  } cases[] = {
      {end + 4, 3, "trailer version 3 is newer than this reader (2)"},
      {end + 4, 0, "container is damaged or truncated: trailer version 0 does not exist"},
      {end + 8, 4,
       "container is damaged or truncated: trailer length 4 is below the 16 bytes of an empty "
       "trailer"},
      {run + 4, 0, kGaps},  // an empty run
      {run + 8, 3, kGaps},  // an unknown kind
      {run, 3, kGaps},      // beyond the signal
      {run - 4, 2,
       "container is damaged or truncated: the gap section's length disagrees with its run count"},
      {end + 13, 200, "container is damaged or truncated: a trailer section is cut short"},
      {end + 12, 9, nullptr},  // a section of an unknown kind is skipped: no gaps read
  };
  for (const auto& c : cases) {
    auto changed = packed;
    changed[c.at] = c.value;
    const uint32_t crc = crc32c(std::span<const uint8_t>(changed).first(changed.size() - 4));
    std::memcpy(&changed[changed.size() - 4], &crc, 4);
    auto opened = unseal(changed);
    EXPECT_EQ(opened.ok() ? std::string() : opened.error().text(), c.text ? c.text : "") << c.at;
    if (c.text == nullptr) {
      EXPECT_TRUE(opened.ok() && opened->runs.empty());
    }
  }
  auto plain = checked(compress(std::vector<float>{1, 2, 3}, VtrlCompressionOptions{}));
  EXPECT_FALSE(checked(unseal(plain)).has_trailer);
  plain[kTrailerFlagOffset] |= kTrailerFlag;  // a flag without a trailer
  EXPECT_EQ(unseal(plain).error().kind(), TrailerError::Kind::Damaged);
  auto unflagged = packed;  // a cleared flag does not hide the trailer
  unflagged[kTrailerFlagOffset] &= ~kTrailerFlag;
  EXPECT_EQ(unseal(unflagged).error().text(),
            "container is damaged or truncated: checksum mismatch");
}

// A correction layer rides in a version-2 trailer; the C interface returns the corrected samples,
// within the bound the base alone misses.
TEST(Trailer, RefinementIsReadBackAndAppliedByTheCInterface) {
  std::mt19937 rng(29);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> x(4000);
  for (float& v : x) v = noise(rng);
  constexpr double kBound = 4e-4;
  SearchOptions options;
  options.refine = true;
  auto found = checked(compress_to(x, {}, {QualityMetric::MaxError, kBound}, options));
  ASSERT_TRUE(found.refinement.has_value());
  ASSERT_GT(found.base_achieved.max_error, kBound);
  auto packed = found.container;
  const size_t end = packed.size();
  ASSERT_TRUE(seal(packed, {}, &*found.refinement).ok());
  EXPECT_EQ(packed[end + 4], kTrailerVersionRefined);
  const auto opened = checked(unseal(packed));
  ASSERT_TRUE(opened.refinement.has_value());
  EXPECT_EQ(opened.refinement->stream, found.refinement->stream);

  std::vector<float> y(x.size());
  size_t count = 0;
  ASSERT_EQ(vtrl_decompress_into(packed.data(), packed.size(), VTRL_FLOAT32, 0, y.data(), y.size(),
                                 &count),
            VTRL_OK);
  ASSERT_EQ(count, x.size());
  double worst = 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    worst = std::max(worst, std::fabs(static_cast<double>(y[i]) - static_cast<double>(x[i])));
  }
  EXPECT_LE(worst, kBound);
}

}  // namespace
}  // namespace vantrel
