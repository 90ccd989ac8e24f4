#include "codec/header.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "tests/cpp/test_util.h"

namespace vantrel {
namespace {

ContainerFields sample_fields() {
  return ContainerFields{.method = 1,
                         .levels = 6,
                         .scale = 11,
                         .coder = 2,
                         .sample_count = 1000,
                         .signal_min = 0.5f,
                         .signal_max = 0.5f,
                         .norm_mean = 0.0f,
                         .quant_multiplier = 2048.0f};
}

std::vector<uint8_t> valid_header() {
  return checked(write_container(sample_fields(), {}));
}

void put_f32(std::vector<uint8_t>& b, size_t at, float v) {
  const uint32_t bits = std::bit_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(bits >> (8 * i));
}

TEST(HeaderWriter, WritesTheDocumentedBytes) {
  const std::vector<uint8_t> payload = {0xAA, 0xBB, 0xCC};
  const auto out = checked(write_container(sample_fields(), payload));
  const std::vector<uint8_t> expected = {
      'V',  'T',  'R',  'L',  0x01, 0x02, 0x66, 0x33, 'c',  'f',  '9',  '7',  0x06,
      0x0B, 0x02, 0x00, 0xE8, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3F, 0x00, 0x00,
      0x00, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x45, 0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
      0xAA, 0xBB, 0xCC};
  EXPECT_EQ(out, expected);
}

TEST(HeaderWriter, RefusesAnUnknownCoder) {
  auto fields = sample_fields();
  fields.coder = 3;
  const auto out = write_container(fields, {});
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().to_string(), "Unknown entropy coder 3");
}

TEST(HeaderWriter, RoundTripsThroughTheParser) {
  auto fields = sample_fields();
  fields.method = 3;
  fields.levels = 8;
  fields.scale = 6;
  fields.coder = 0;
  fields.sample_count = 0x7FFFFFFF;
  fields.signal_min = -3.25f;
  fields.norm_mean = 1e-30f;
  fields.quant_multiplier = -1.0f;
  const auto bytes = checked(write_container(fields, std::vector<uint8_t>(7, 1)));
  const auto h = checked(VantrelHeader::from_bytes(bytes));
  EXPECT_EQ(h.method(), WaveletMethod::Sym4);
  EXPECT_EQ(h.levels, 8);
  EXPECT_EQ(h.scale, 6);
  EXPECT_EQ(h.coder, 0);
  EXPECT_EQ(h.sample_count, 0x7FFFFFFFu);
  EXPECT_EQ(h.signal_min, -3.25f);
  EXPECT_EQ(h.norm_mean, 1e-30f);
  EXPECT_EQ(h.payload_len, 7u);
  EXPECT_EQ(h.quant_multiplier, -1.0f);
}

struct ParseCase {
  std::string name;
  std::function<void(std::vector<uint8_t>&)> damage;
  std::string error;  // empty: must parse
};

class HeaderParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(HeaderParse, ChecksInOrder) {
  auto bytes = valid_header();
  GetParam().damage(bytes);
  const auto h = VantrelHeader::from_bytes(bytes);
  if (GetParam().error.empty()) {
    EXPECT_TRUE(h.ok()) << h.error().to_string();
  } else {
    ASSERT_FALSE(h.ok());
    EXPECT_EQ(h.error().to_string(), GetParam().error);
  }
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, HeaderParse,
    ::testing::Values(
        ParseCase{"Empty", [](auto& b) { b.clear(); }, "Header is invalid"},
        // Each check comes before the next: a header failing two adjacent ones names the first.
        ParseCase{"ShortBeforeMagic",
                  [](auto& b) {
                    b.resize(51);
                    b[0] = 'X';
                  },
                  "Header is invalid"},
        ParseCase{"ExactlyFiftyTwo", [](auto&) {}, ""},
        ParseCase{"TrailingBytesIgnored", [](auto& b) { b.resize(200, 0xFF); }, ""},
        ParseCase{"MagicAbcd", [](auto& b) { std::memcpy(b.data(), "ABCD", 4); },
                  "Magic should be 'VTRL' but it was 'ABCD'"},
        ParseCase{"MagicNotUtf8", [](auto& b) { std::memset(b.data(), 0xFF, 4); },
                  "Magic should be 'VTRL' but it was '?\?\?\?'"},
        ParseCase{"MagicBeforeVersion",
                  [](auto& b) {
                    b[0] = 'X';
                    b[4] = 7;
                  },
                  "Magic should be 'VTRL' but it was 'XTRL'"},
        ParseCase{"Version19Accepted", [](auto& b) { b[5] = 9; }, ""},
        ParseCase{"Version21Refused",
                  [](auto& b) {
                    b[4] = 2;
                    b[5] = 1;
                  },
                  "Invalid header version '\x02\x01'"},
        ParseCase{"Version0Refused", [](auto& b) { b[4] = 0; },
                  std::string("Invalid header version '\0\x02'", 27)},
        ParseCase{"VersionBeforeTag",
                  [](auto& b) {
                    b[4] = 2;
                    b[7] = '4';
                  },
                  "Invalid header version '\x02\x02'"},
        ParseCase{"TagBeforeCode",
                  [](auto& b) {
                    b[7] = '4';
                    std::memcpy(b.data() + 8, "CF97", 4);
                  },
                  "Invalid compression method 'f4'"},
        ParseCase{"CodeBeforeScale",
                  [](auto& b) {
                    std::memcpy(b.data() + 8, "CF97", 4);
                    b[13] = 5;
                  },
                  "Invalid compression method 'CF97'"},
        ParseCase{"MethodTagNotUtf8",
                  [](auto& b) {
                    b[6] = 0xC0;
                    b[7] = 0x80;
                  },
                  "Invalid compression method '?\?'"},
        ParseCase{"CapitalCode", [](auto& b) { std::memcpy(b.data() + 8, "CF97", 4); },
                  "Invalid compression method 'CF97'"},
        ParseCase{"Db4Code", [](auto& b) { std::memcpy(b.data() + 8, "db04", 4); }, ""},
        ParseCase{"Scale5", [](auto& b) { b[13] = 5; }, "Only scaled 6..12 is supported, but it was 5"},
        ParseCase{"Scale13", [](auto& b) { b[13] = 13; },
                  "Only scaled 6..12 is supported, but it was 13"},
        ParseCase{"Scale6", [](auto& b) { b[13] = 6; }, ""},
        ParseCase{"Scale12", [](auto& b) { b[13] = 12; }, ""},
        ParseCase{"ScaleBeforeCoder",
                  [](auto& b) {
                    b[13] = 200;
                    b[14] = 9;
                  },
                  "Only scaled 6..12 is supported, but it was 200"},
        ParseCase{"Coder3", [](auto& b) { b[14] = 3; }, "Unknown entropy coder 3"},
        ParseCase{"CoderBeforeFloats",
                  [](auto& b) {
                    b[14] = 3;
                    put_f32(b, 24, kNaN);
                  },
                  "Unknown entropy coder 3"},
        ParseCase{"NaNMax", [](auto& b) { put_f32(b, 24, kNaN); }, "Header is invalid"},
        ParseCase{"InfMin", [](auto& b) { put_f32(b, 20, -kInf); }, "Header is invalid"},
        ParseCase{"InfMean", [](auto& b) { put_f32(b, 28, kInf); }, "Header is invalid"},
        ParseCase{"NegativeMinAndZeroMean", [](auto& b) { put_f32(b, 20, -5.0f); }, ""},
        ParseCase{"SubnormalMean", [](auto& b) { put_f32(b, 28, 1e-44f); }, ""},
        ParseCase{"ZeroLevelsZeroMultiplier",
                  [](auto& b) {
                    b[12] = 0;
                    put_f32(b, 36, 0.0f);
                  },
                  ""}),
    [](const auto& info) { return info.param.name; });

TEST(HeaderParse, ReservedAndHugeCountsAreNotJudged) {
  auto b = valid_header();
  b[15] = 0xFF;
  std::memset(b.data() + 16, 0xFF, 4);
  std::memset(b.data() + 32, 0xFF, 4);
  std::memset(b.data() + 40, 0xFF, 12);
  put_f32(b, 36, kNaN);
  const auto h = VantrelHeader::from_bytes(b);
  ASSERT_TRUE(h.ok());
  EXPECT_EQ(h->sample_count, 0xFFFFFFFFu);
  EXPECT_EQ(h->payload_len, 0xFFFFFFFFu);
  EXPECT_TRUE(std::isnan(h->quant_multiplier));
}

}  // namespace
}  // namespace vantrel
