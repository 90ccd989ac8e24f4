#include "codec/deflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace vantrel {
namespace {

using Bytes = std::vector<uint8_t>;

// Coefficient-like bytes: 16-bit little-endian values of a slowly varying, noisy walk.
Bytes coefficient_bytes(size_t num_values, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> step(0.0, 6.0);
  Bytes out;
  double v = 0;
  for (size_t i = 0; i < num_values; ++i) {
    v = 0.9 * v + step(rng);
    const auto q = static_cast<uint16_t>(static_cast<int16_t>(v));
    out.push_back(static_cast<uint8_t>(q));
    out.push_back(static_cast<uint8_t>(q >> 8));
  }
  return out;
}

// An independent raw deflate encoder: zlib with any level and strategy.
Bytes zlib_raw_deflate(const Bytes& data, int level, int strategy) {
  z_stream s{};
  EXPECT_EQ(deflateInit2(&s, level, Z_DEFLATED, -15, 9, strategy), Z_OK);
  Bytes out(deflateBound(&s, data.size()) + 16);
  s.next_in = const_cast<Bytef*>(data.data());
  s.avail_in = static_cast<uInt>(data.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// An independent raw inflater, for checking what deflate_payload writes.
Bytes zlib_raw_inflate(const Bytes& payload, size_t size) {
  z_stream s{};
  EXPECT_EQ(inflateInit2(&s, -15), Z_OK);
  Bytes out(size + 1);
  s.next_in = const_cast<Bytef*>(payload.data());
  s.avail_in = static_cast<uInt>(payload.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(inflate(&s, Z_FINISH), Z_STREAM_END);
  out.resize(s.total_out);
  inflateEnd(&s);
  return out;
}

Bytes inflate_ok(const Bytes& payload, size_t max_output = SIZE_MAX) {
  auto r = inflate_payload(payload, max_output);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message);
  return r.ok() ? *r : Bytes{};
}

struct DataCase {
  std::string name;
  Bytes data;
};

void PrintTo(const DataCase& c, std::ostream* os) { *os << c.name; }

class DeflateRoundTrip : public ::testing::TestWithParam<DataCase> {};

TEST_P(DeflateRoundTrip, PayloadIsARawStreamOfTheBytes) {
  const Bytes& data = GetParam().data;
  auto payload = deflate_payload(data);
  ASSERT_TRUE(payload.ok());
  EXPECT_EQ(zlib_raw_inflate(*payload, data.size()), data);
  EXPECT_EQ(inflate_ok(*payload), data);
  EXPECT_EQ(inflate_ok(*payload, data.size()), data);
}

Bytes random_bytes(size_t n) {
  std::mt19937 rng(3);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

INSTANTIATE_TEST_SUITE_P(Inputs, DeflateRoundTrip,
                         ::testing::Values(DataCase{"empty", {}}, DataCase{"one_byte", {42}},
                                           DataCase{"odd_length", {1, 0, 2, 0, 3}},
                                           DataCase{"coefficients", coefficient_bytes(200000, 1)},
                                           DataCase{"incompressible", random_bytes(300000)},
                                           DataCase{"zeros", Bytes(1 << 20, 0)}),
                         [](const auto& info) { return info.param.name; });

TEST(DeflateInflate, AcceptsStreamsOfOtherLevelsAndStrategies) {
  const Bytes data = coefficient_bytes(20000, 2);
  for (int level : {0, 1, 6, 9}) {
    for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
      EXPECT_EQ(inflate_ok(zlib_raw_deflate(data, level, strategy)), data)
          << "level " << level << " strategy " << strategy;
    }
  }
}

TEST(DeflateInflate, CutShortStreamGivesAPrefix) {
  const Bytes data = coefficient_bytes(100000, 3);
  const Bytes payload = *deflate_payload(data);
  for (size_t keep : {size_t{0}, size_t{1}, payload.size() / 3, payload.size() - 1}) {
    const Bytes part = inflate_ok(Bytes(payload.begin(), payload.begin() + keep));
    ASSERT_LE(part.size(), data.size()) << keep;
    if (keep <= payload.size() / 3) {
      EXPECT_LT(part.size(), data.size() / 2) << keep;
    }
    EXPECT_TRUE(std::equal(part.begin(), part.end(), data.begin())) << keep;
  }
}

TEST(DeflateInflate, BytesAfterTheStreamAreIgnored) {
  const Bytes data = coefficient_bytes(1000, 4);
  Bytes payload = *deflate_payload(data);
  payload.insert(payload.end(), {0xFF, 0x00, 0x13, 0x37});
  EXPECT_EQ(inflate_ok(payload), data);
}

TEST(DeflateInflate, DamagedStreamIsCorrupt) {
  const std::vector<Bytes> damaged = {
      {0x07, 0x00},                    // final block of the reserved type 3
      {0x01, 0x05, 0x00, 0x05, 0x00},  // stored block whose length check fails
      {0x05, 0xFF, 0xFF, 0xFF, 0xFF},  // dynamic block with too many code lengths
      {0x1B, 0xFF},                    // fixed block with an invalid literal/length code
      // A good stored block ("abc"), then damage: the output so far is not returned.
      {0x00, 0x03, 0x00, 0xFC, 0xFF, 0x61, 0x62, 0x63, 0x07},
  };
  for (const Bytes& payload : damaged) {
    // Damage past the bytes the caller keeps is reported all the same.
    for (const size_t max_output : {SIZE_MAX, size_t{2}, size_t{0}}) {
      auto r = inflate_payload(payload, max_output);
      ASSERT_FALSE(r.ok()) << max_output;
      EXPECT_EQ(r.error().message, "corrupt deflate stream");
    }
  }
  // The same beyond a long good prefix, far past the limit.
  Bytes long_prefix = zlib_raw_deflate(Bytes(size_t{1} << 20, 7), 6, Z_DEFAULT_STRATEGY);
  long_prefix.back() ^= 0x80;
  for (const size_t max_output : {size_t{10}, size_t{1} << 19}) {
    auto r = inflate_payload(long_prefix, max_output);
    if (r.ok()) {
      // Not every flipped bit is detectable; when it is not, the kept prefix is still right.
      EXPECT_EQ(*r, Bytes(max_output, 7));
    } else {
      EXPECT_EQ(r.error().message, "corrupt deflate stream");
    }
  }
  const Bytes stored_then_bad = {0x00, 0x03, 0x00, 0xFC, 0xFF, 0x61, 0x62, 0x63, 0x07};
  auto cut = inflate_payload(stored_then_bad, 1);
  ASSERT_FALSE(cut.ok());
  EXPECT_EQ(cut.error().message, "corrupt deflate stream");
  EXPECT_EQ(inflate_ok({0x00, 0x03, 0x00, 0xFC, 0xFF, 0x61, 0x62, 0x63}), (Bytes{'a', 'b', 'c'}));
}

TEST(DeflateInflate, StopsAtMaxOutput) {
  // A deflate bomb: 32 MiB of zeros in about 32 KiB.
  const Bytes payload = zlib_raw_deflate(Bytes(size_t{32} << 20, 0), 1, Z_RLE);
  ASSERT_LT(payload.size(), size_t{1} << 16);
  for (size_t max_output : {size_t{1}, size_t{1000}, size_t{65536}, size_t{3} << 20}) {
    const Bytes out = inflate_ok(payload, max_output);
    EXPECT_EQ(out, Bytes(max_output, 0));
    EXPECT_LE(out.capacity(), 2 * max_output + (size_t{1} << 16)) << max_output;
  }
  EXPECT_TRUE(inflate_ok(payload, 0).empty());
  // Past the limit the stream is read to its end into a fixed buffer, not kept.
  // A limit far above the stream's size costs nothing up front.
  const Bytes small = *deflate_payload(Bytes{1, 2, 3});
  EXPECT_EQ(inflate_ok(small, SIZE_MAX), (Bytes{1, 2, 3}));
}

}  // namespace
}  // namespace vantrel
