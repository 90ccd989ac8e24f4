// The C interface: its error paths, what it hands over, integer samples and thread-local errors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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

std::vector<float> wave(size_t n) {
  std::vector<float> x(n);
  for (size_t i = 0; i < n; ++i) x[i] = static_cast<float>(100.0 * std::sin(i / 9.0));
  return x;
}

TEST(CInterface, RefusalsSayWhatIsWrong) {
  const auto x = wave(64);
  Packed p, plain, sealed;
  vtrl_options bad;
  vtrl_options_init(&bad);
  bad.scale = 13;
  const double huge = 1e300;
  const int16_t i16[4] = {1, 2, 3, 4};
  ASSERT_EQ(
      vtrl_compress(x.data(), 64, VTRL_FLOAT32, nullptr, VTRL_PLAIN, &plain.bytes, &plain.size),
      VTRL_OK);
  ASSERT_EQ(vtrl_compress(x.data(), 64, VTRL_FLOAT32, nullptr, 0, &sealed.bytes, &sealed.size),
            VTRL_OK);
  sealed.bytes[60] ^= 1;
  float y[64];
  size_t count = 1;
  void** out = reinterpret_cast<void**>(&p.bytes);
  const struct {
    std::function<vtrl_status()> call;
    vtrl_status status;
    const char* text;
  } cases[] = {
      {[&] { return vtrl_compress(x.data(), 64, VTRL_FLOAT32, nullptr, 0, nullptr, &p.size); },
       VTRL_INVALID_ARGUMENT, "container is NULL"},
      {[&] { return vtrl_compress(x.data(), 64, 9, nullptr, 0, &p.bytes, &p.size); },
       VTRL_INVALID_ARGUMENT, "unknown sample type 9"},
      {[&] { return vtrl_compress(x.data(), 64, VTRL_FLOAT32, &bad, 0, &p.bytes, &p.size); },
       VTRL_REFUSED, "Only scaled 6..12 is supported, but it was 13"},
      {[&] { return vtrl_compress(&huge, 1, VTRL_FLOAT64, nullptr, 0, &p.bytes, &p.size); },
       VTRL_REFUSED,
       "sample 0 (1.0000000000000001e+300) is outside the float32 range; the codec works in 32-bit "
       "floats"},
      {[&] {
         return vtrl_compress_to(i16, 4, VTRL_INT16, VTRL_PSNR, 40, 7, 0, &p.bytes, &p.size,
                                 nullptr);
       },
       VTRL_INVALID_ARGUMENT, "method 7 is not a known code"},
      {[&] {
         return vtrl_decompress(reinterpret_cast<const uint8_t*>("VTRX"), 4, VTRL_FLOAT32, 0, out,
                                &p.size);
       },
       VTRL_DAMAGED, "Header is invalid"},
      {[&] {
         return vtrl_decompress(plain.bytes, plain.size, VTRL_FLOAT32, VTRL_REQUIRE_TRAILER, out,
                                &p.size);
       },
       VTRL_DAMAGED,
       "container is damaged or truncated: it has no trailer, which this reader requires"},
      {[&] { return vtrl_decompress(sealed.bytes, sealed.size, VTRL_FLOAT32, 0, out, &p.size); },
       VTRL_DAMAGED, "container is damaged or truncated: checksum mismatch"},
      {[&] { return vtrl_decompress_into(plain.bytes, plain.size, VTRL_FLOAT32, 0, y, 8, &count); },
       VTRL_INVALID_ARGUMENT, "the container holds 64 samples but the buffer only 8"},
      {[&] {  // no buffer for no room is no error of its own: the size check answers
         return vtrl_decompress_into(plain.bytes, plain.size, VTRL_FLOAT32, 0, nullptr, 0, &count);
       },
       VTRL_INVALID_ARGUMENT, "the container holds 64 samples but the buffer only 0"},
      {[&] {
         return vtrl_decompress_into(plain.bytes, plain.size, VTRL_FLOAT32, 0, nullptr, 64, &count);
       },
       VTRL_INVALID_ARGUMENT, "samples is NULL"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.call(), c.status) << c.text;
    EXPECT_STREQ(vtrl_last_error(), c.text);
    EXPECT_TRUE(p.bytes == nullptr && p.size == 0) << c.text;
  }
  EXPECT_EQ(count, 0u);  // the outputs are reset on failure
}

// Integers are coded as values and come back rounded (halves to even) and clipped to the type:
// the oracle is that rule applied to the float32 samples decoded.
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

// Quality targets on integer samples hold for the integers a reader gets back (rounded and
// clipped to the type), measured here in double from the originals and the decoded integers.
// Four of the signals are clipped at a limit of their type, as saturated recordings are.
template <class T>
void check_integer_targets(int type, double center, double half) {
  constexpr double lo = std::numeric_limits<T>::min(), hi = std::numeric_limits<T>::max();
  std::vector<T> x(3000), y(x.size());
  uint32_t noise = 12345;
  for (size_t i = 0; i < x.size(); ++i) {
    noise = noise * 1664525u + 1013904223u;
    const double v = center + half * (1.05 * std::sin(i / 37.0) + 0.02 * (noise >> 24) / 256.0);
    x[i] = static_cast<T>(std::fmin(std::fmax(std::nearbyint(v), lo), hi));
  }
  const std::pair<int, double> targets[] = {{VTRL_PSNR, 40}, {VTRL_PSNR, 60}, {VTRL_PRD, 1.0},
                                            {VTRL_RMSE, 1.5}, {VTRL_MAX_ERROR, 0.5},
                                            {VTRL_MAX_ERROR, 2.0}};
  for (const auto& [metric, value] : targets) {
    SCOPED_TRACE(testing::Message() << "type " << type << " metric " << metric << " " << value);
    Packed p;
    vtrl_quality achieved{};
    size_t n = 0;
    ASSERT_EQ(vtrl_compress_to(x.data(), x.size(), type, metric, value, VTRL_ANY_METHOD, 0,
                               &p.bytes, &p.size, &achieved),
              VTRL_OK)
        << vtrl_last_error();
    ASSERT_EQ(vtrl_decompress_into(p.bytes, p.size, type, 0, y.data(), y.size(), &n), VTRL_OK);
    double sq = 0, energy = 0, worst = 0;
    for (size_t i = 0; i < x.size(); ++i) {
      const double d = double(x[i]) - double(y[i]);
      sq += d * d;
      energy += double(x[i]) * x[i];
      worst = std::fmax(worst, std::fabs(d));
    }
    const auto [min, max] = std::minmax_element(x.begin(), x.end());
    const double rmse = std::sqrt(sq / x.size());
    const double measured[] = {20 * std::log10((double(*max) - *min) / rmse),
                               100 * std::sqrt(sq / energy), rmse, worst};
    EXPECT_TRUE(metric == VTRL_PSNR ? measured[0] >= value : measured[metric] <= value);
    EXPECT_NEAR(achieved.max_error, worst, 1e-9) << "the search measured other values";
  }
}

TEST(CInterface, IntegerTargetsHoldAfterRounding) {
  // Ranges the codec codes without loss where asked (a max_error of 0.5).
  check_integer_targets<int8_t>(VTRL_INT8, 0, 127);
  check_integer_targets<uint8_t>(VTRL_UINT8, 128, 127);
  check_integer_targets<int16_t>(VTRL_INT16, -31000, 3000);
  check_integer_targets<uint16_t>(VTRL_UINT16, 1500, 2000);
  check_integer_targets<int32_t>(VTRL_INT32, -1000, 3000);
  check_integer_targets<uint32_t>(VTRL_UINT32, 4000000, 3000);
}

TEST(CInterface, ErrorTextsBelongToTheirThreadAndVersionsAgree) {
  Packed p;
  EXPECT_EQ(vtrl_compress(nullptr, 1, VTRL_FLOAT32, nullptr, 0, &p.bytes, &p.size),
            VTRL_INVALID_ARGUMENT);
  std::string other;
  std::thread([&] {
    size_t n;
    (void)vtrl_sample_count(nullptr, 0, &n);
    other = vtrl_last_error();
  }).join();
  EXPECT_EQ(other, "container is NULL");
  EXPECT_STREQ(vtrl_last_error(), "samples is NULL");  // not overwritten by the other thread
  EXPECT_TRUE(VTRL_API_COMPATIBLE(vtrl_api_version()));
  EXPECT_FALSE(VTRL_API_COMPATIBLE(vtrl_api_version() + (1u << 16)));
}

}  // namespace
