// CRC-32C on every path against the published iSCSI check values, and the trailer's refusals.
// Byte identity with the companion package's Python trailer is tested from Python
// (tests/python/test_native_trailer.py, through tools/trailer_probe).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <string_view>
#include <vector>

#include "codec/header.h"
#include "codec/trailer.h"
#include "codec/vantrel.h"
#include "support/crc32c.h"
#include "tests/cpp/test_util.h"

namespace vantrel {
namespace {

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

class Crc32cTest : public ::testing::TestWithParam<Crc32cPath> {
 protected:
  void SetUp() override {
    if (!crc32c_path_available(GetParam())) GTEST_SKIP() << "path not available on this CPU";
  }
};

// RFC 3720 B.4 and the common "123456789" check value.
TEST_P(Crc32cTest, KnownValues) {
  std::vector<uint8_t> ascending(32);
  std::iota(ascending.begin(), ascending.end(), uint8_t{0});
  const struct {
    std::vector<uint8_t> bytes;
    uint32_t crc;
  } cases[] = {
      {{}, 0},
      {bytes_of("123456789"), 0xE3069283},
      {std::vector<uint8_t>(32, 0x00), 0x8A9136AA},
      {std::vector<uint8_t>(32, 0xFF), 0x62A8AB43},
      {ascending, 0x46DD794E},
  };
  for (const auto& c : cases) EXPECT_EQ(crc32c_extend(0, c.bytes, GetParam()), c.crc);
}

// Every length and split point up to two words past the 8-byte steps, at every alignment, agrees
// with the table path fed one byte at a time.
TEST_P(Crc32cTest, SplitsAndAlignmentsAgree) {
  std::vector<uint8_t> data(64 + 8);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + 7);
  for (size_t offset = 0; offset < 8; ++offset) {
    for (size_t n = 0; n <= 40; ++n) {
      const std::span<const uint8_t> s(data.data() + offset, n);
      uint32_t bytewise = 0;
      for (uint8_t b : s) bytewise = crc32c_extend(bytewise, {&b, 1}, Crc32cPath::Table);
      for (size_t cut = 0; cut <= n; cut += 3) {
        const uint32_t head = crc32c_extend(0, s.first(cut), GetParam());
        ASSERT_EQ(crc32c_extend(head, s.subspan(cut), GetParam()), bytewise) << offset << " " << n;
      }
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

// Rewrites the checksum after a deliberate change, so that only the change is judged.
void reseal(std::vector<uint8_t>& c, size_t trailer_end) {
  const uint32_t crc = crc32c(std::span<const uint8_t>(c).first(trailer_end - 4));
  std::memcpy(&c[trailer_end - 4], &crc, 4);
}

class TrailerTest : public ::testing::Test {
 protected:
  const float nan = std::nanf(""), inf = INFINITY;
  std::vector<float> x = {1, nan, nan, 4, inf, -inf, -inf, 8, 9, nan};
};

TEST_F(TrailerTest, GapsComeBackExactly) {
  const auto packed = sealed_signal(x);
  const auto opened = checked(unseal(packed));
  ASSERT_TRUE(opened.has_trailer);
  EXPECT_EQ(opened.runs, (std::vector<GapRun>{{1, 2, GapKind::Nan},
                                              {4, 1, GapKind::PosInf},
                                              {5, 2, GapKind::NegInf},
                                              {9, 1, GapKind::Nan}}));
  auto y = checked(decompress(packed));
  restore_gaps(y, opened.runs);
  for (size_t i = 0; i < x.size(); ++i) {
    if (std::isfinite(x[i])) continue;
    EXPECT_EQ(std::isnan(y[i]), std::isnan(x[i])) << i;
    if (std::isinf(x[i])) {
      EXPECT_EQ(y[i], x[i]) << i;
    }
  }
}

TEST_F(TrailerTest, EveryFlippedByteIsFound) {
  const auto packed = sealed_signal(x);
  for (size_t i = 0; i < packed.size(); ++i) {
    auto damaged = packed;
    damaged[i] ^= 0x10;
    auto opened = unseal(damaged);
    // A flip in the header may make it unreadable instead; either way nothing is accepted.
    ASSERT_FALSE(opened.ok()) << "byte " << i;
  }
}

TEST_F(TrailerTest, EveryTruncationIsFound) {
  const auto packed = sealed_signal(x);
  for (size_t n = kHeaderSize; n < packed.size(); ++n) {
    auto opened = unseal(std::span<const uint8_t>(packed).first(n));
    ASSERT_FALSE(opened.ok()) << n;
    EXPECT_EQ(opened.error().kind(), TrailerError::Kind::Damaged) << n;
  }
}

TEST_F(TrailerTest, StructuralRefusalsAndSkippedSections) {
  const auto packed = sealed_signal({1, nan, 3});
  const size_t end = packed.size() - 25 - 9;  // one run of 9 bytes in a 25-byte trailer
  const size_t run = end + 12 + 5 + 4;        // the run, after prefix, section head and count
  struct Case {
    const char* name;
    size_t at;
    uint8_t value;
    const char* text;
  } cases[] = {
      {"later version", end + 4, 2, "trailer version 2 is newer than this reader (1)"},
      {"empty run", run + 4, 0,
       "container is damaged or truncated: the gap runs do not fit the signal"},
      {"unknown kind", run + 8, 3,
       "container is damaged or truncated: the gap runs do not fit the signal"},
      {"beyond the signal", run, 3,
       "container is damaged or truncated: the gap runs do not fit the signal"},
      {"run count", run - 4, 2,
       "container is damaged or truncated: the gap section's length disagrees with its run count"},
      {"section length", end + 13, 200,
       "container is damaged or truncated: a trailer section is cut short"},
      {"unknown section kept out", end + 12, 9, nullptr},  // skipped: no gaps read
  };
  for (const auto& c : cases) {
    auto changed = packed;
    changed[c.at] = c.value;
    reseal(changed, changed.size());
    auto opened = unseal(changed);
    if (c.text == nullptr) {
      ASSERT_TRUE(opened.ok()) << c.name;
      EXPECT_TRUE(opened->runs.empty()) << c.name;
    } else {
      ASSERT_FALSE(opened.ok()) << c.name;
      EXPECT_EQ(opened.error().text(), c.text) << c.name;
    }
  }
}

TEST_F(TrailerTest, PlainContainersAndLostFlags) {
  auto plain = checked(compress(std::vector<float>{1, 2, 3}, VtrlCompressionOptions{}));
  const auto opened = checked(unseal(plain));
  EXPECT_FALSE(opened.has_trailer);
  plain[kTrailerFlagOffset] |= kTrailerFlag;  // a flag without a trailer
  EXPECT_EQ(unseal(plain).error().kind(), TrailerError::Kind::Damaged);
  auto sealed = sealed_signal({1, 2, 3});
  sealed[kTrailerFlagOffset] &= ~kTrailerFlag;  // a cleared flag does not hide the trailer
  EXPECT_EQ(unseal(sealed).error().text(), "container is damaged or truncated: checksum mismatch");
}

}  // namespace
}  // namespace vantrel
