// The C interface: its error paths, what it hands over, integer samples and thread-local errors.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "vantrel/vantrel_c.h"

namespace {

struct Packed {
  uint8_t* bytes = nullptr;
  size_t size = 0;
  ~Packed() { vtrl_free(bytes); }
};

std::vector<float> wave(size_t n, double amplitude = 100.0) {
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = static_cast<float>(amplitude * std::sin(i / 9.0));
  return x;
}

TEST(CInterface, RefusalsSayWhatIsWrong) {
  const auto x = wave(64);
  Packed p;
  vtrl_options bad;
  vtrl_options_init(&bad);
  bad.scale = 13;
  const double huge = 1e300;
  const int16_t i16[4] = {1, 2, 3, 4};
  auto plain = wave(64);
  Packed plain_packed;
  ASSERT_EQ(vtrl_compress(plain.data(), 64, VTRL_FLOAT32, nullptr, VTRL_PLAIN, &plain_packed.bytes,
                          &plain_packed.size),
            VTRL_OK);
  float small[8];
  size_t count = 1;
  const struct {
    const char* name;
    std::function<vtrl_status()> call;
    vtrl_status status;
    const char* text;
  } cases[] = {
      {"null output",
       [&] { return vtrl_compress(x.data(), 64, VTRL_FLOAT32, nullptr, 0, nullptr, &p.size); },
       VTRL_INVALID_ARGUMENT, "container is NULL"},
      {"null samples",
       [&] { return vtrl_compress(nullptr, 64, VTRL_FLOAT32, nullptr, 0, &p.bytes, &p.size); },
       VTRL_INVALID_ARGUMENT, "samples is NULL"},
      {"unknown type",
       [&] { return vtrl_compress(x.data(), 64, vtrl_type(9), nullptr, 0, &p.bytes, &p.size); },
       VTRL_INVALID_ARGUMENT, "unknown sample type 9"},
      {"unknown flag",
       [&] { return vtrl_compress(x.data(), 64, VTRL_FLOAT32, nullptr, 4, &p.bytes, &p.size); },
       VTRL_INVALID_ARGUMENT, "unknown flags 4"},
      {"codec's refusal",
       [&] { return vtrl_compress(x.data(), 64, VTRL_FLOAT32, &bad, 0, &p.bytes, &p.size); },
       VTRL_REFUSED, "Only scaled 6..12 is supported, but it was 13"},
      {"empty",
       [&] { return vtrl_compress(x.data(), 0, VTRL_FLOAT32, nullptr, 0, &p.bytes, &p.size); },
       VTRL_REFUSED, "Unsupported compression configuration 'Can't compress empty data'"},
      {"beyond float32",
       [&] { return vtrl_compress(&huge, 1, VTRL_FLOAT64, nullptr, 0, &p.bytes, &p.size); },
       VTRL_REFUSED,
       "sample 0 (1.0000000000000001e+300) is outside the float32 range; the codec works in "
       "32-bit floats"},
      {"integer target",
       [&] {
         return vtrl_compress_to(i16, 4, VTRL_INT16, VTRL_PSNR, 40, VTRL_ANY_METHOD, 0, &p.bytes,
                                 &p.size, nullptr);
       },
       VTRL_REFUSED, "quality targets are not supported for integer samples yet"},
      {"unknown metric",
       [&] {
         return vtrl_compress_to(x.data(), 64, VTRL_FLOAT32, vtrl_metric(7), 40, VTRL_ANY_METHOD, 0,
                                 &p.bytes, &p.size, nullptr);
       },
       VTRL_INVALID_ARGUMENT, "metric 7 is not a known code"},
      {"negative bound",
       [&] {
         return vtrl_compress_to(x.data(), 64, VTRL_FLOAT32, VTRL_MAX_ERROR, -1, VTRL_ANY_METHOD, 0,
                                 &p.bytes, &p.size, nullptr);
       },
       VTRL_REFUSED,
       "Unsupported compression configuration 'Quality target max_error must be finite and not "
       "negative, but it was -1'"},
      {"not a container",
       [&] {
         return vtrl_decompress(reinterpret_cast<const uint8_t*>("VTRX"), 4, VTRL_FLOAT32, 0,
                                reinterpret_cast<void**>(&p.bytes), &p.size);
       },
       VTRL_DAMAGED, "Header is invalid"},
      {"trailer required",
       [&] {
         return vtrl_decompress(plain_packed.bytes, plain_packed.size, VTRL_FLOAT32,
                                VTRL_REQUIRE_TRAILER, reinterpret_cast<void**>(&p.bytes), &p.size);
       },
       VTRL_DAMAGED,
       "container is damaged or truncated: it has no trailer, which this reader requires"},
      {"buffer too small",
       [&] {
         return vtrl_decompress_into(plain_packed.bytes, plain_packed.size, VTRL_FLOAT32, 0, small,
                                     8, &count);
       },
       VTRL_INVALID_ARGUMENT, "the container holds 64 samples but the buffer only 8"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.call(), c.status) << c.name;
    EXPECT_STREQ(vtrl_last_error(), c.text) << c.name;
    EXPECT_EQ(p.bytes, nullptr) << c.name;
    EXPECT_EQ(p.size, 0u) << c.name;
  }
  EXPECT_EQ(count, 0u);
  EXPECT_STREQ(vtrl_status_text(VTRL_DAMAGED), "damaged or not a container");
  EXPECT_STREQ(vtrl_status_text(vtrl_status(99)), "unknown status");
}

TEST(CInterface, DamageIsReportedAndTooNewTrailersNamed) {
  const auto x = wave(300);
  Packed p;
  ASSERT_EQ(vtrl_compress(x.data(), x.size(), VTRL_FLOAT32, nullptr, 0, &p.bytes, &p.size),
            VTRL_OK);
  float y[300];
  size_t n = 0;
  p.bytes[60] ^= 1;
  EXPECT_EQ(vtrl_decompress_into(p.bytes, p.size, VTRL_FLOAT32, 0, y, 300, &n), VTRL_DAMAGED);
  EXPECT_STREQ(vtrl_last_error(), "container is damaged or truncated: checksum mismatch");
  EXPECT_EQ(vtrl_decompress_into(p.bytes, 100, VTRL_FLOAT32, 0, y, 300, &n), VTRL_DAMAGED);
}

// Integers are coded as values and come back rounded (halves to even) and clipped to the type:
// the oracle is the rule applied to the float32 samples decoded.
TEST(CInterface, IntegersRoundAndClip) {
  const std::vector<int16_t> x = {-32768, -32768, -32000, -5, 0, 3, 32767, 32767, 32767, 100};
  vtrl_options coarse;
  vtrl_options_init(&coarse);
  coarse.scale = 6;
  Packed p;
  ASSERT_EQ(vtrl_compress(x.data(), x.size(), VTRL_INT16, &coarse, 0, &p.bytes, &p.size), VTRL_OK);
  std::vector<float> as_float(x.size());
  std::vector<int16_t> as_int(x.size());
  size_t n = 0;
  ASSERT_EQ(vtrl_decompress_into(p.bytes, p.size, VTRL_FLOAT32, 0, as_float.data(), x.size(), &n),
            VTRL_OK);
  ASSERT_EQ(vtrl_decompress_into(p.bytes, p.size, VTRL_INT16, 0, as_int.data(), x.size(), &n),
            VTRL_OK);
  bool clipped = false;
  for (size_t i = 0; i < x.size(); ++i) {
    const double r = std::nearbyint(as_float[i]);
    clipped |= r > 32767 || r < -32768;
    EXPECT_EQ(as_int[i], static_cast<int16_t>(std::fmin(std::fmax(r, -32768.0), 32767.0))) << i;
  }
  EXPECT_TRUE(clipped) << "the fixture should reach beyond the type's range";
}

TEST(CInterface, ErrorTextsBelongToTheirThread) {
  const auto x = wave(64);
  std::string other;
  // This thread's text stays its own while another thread fails differently.
  std::thread([&] {
    uint8_t* bytes = nullptr;
    size_t size = 0;
    (void)vtrl_compress(x.data(), 64, vtrl_type(42), nullptr, 0, &bytes, &size);
    other = vtrl_last_error();
  }).join();
  EXPECT_EQ(other, "unknown sample type 42");
  size_t n = 0;
  EXPECT_EQ(vtrl_sample_count(nullptr, 0, &n), VTRL_INVALID_ARGUMENT);
  EXPECT_STREQ(vtrl_last_error(), "container is NULL");
}

TEST(CInterface, VersionsAgree) {
  EXPECT_TRUE(VTRL_API_COMPATIBLE(vtrl_api_version()));
  EXPECT_FALSE(VTRL_API_COMPATIBLE(vtrl_api_version() + (1u << 16)));  // another major version
  EXPECT_STRNE(vtrl_version(), "");
}

}  // namespace
