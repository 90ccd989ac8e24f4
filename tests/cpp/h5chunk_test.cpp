// The HDF5 filter's parameters and chunk records (hdf5/chunk.h), without HDF5: h5py drives the
// plugin itself in tests/python/test_hdf5.py.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "hdf5/chunk.h"
#include "tests/cpp/test_util.h"

namespace vantrel::h5 {
namespace {

Params params_for(unsigned type_class, unsigned size, unsigned sign, std::vector<uint32_t> dims,
                  unsigned axis, std::vector<unsigned> user = {1}) {
  if (user.size() < 3) user.resize(3, 0), user[0] = 1;
  user[2] = axis;
  const auto u = checked(parse_user(user));
  const auto words = checked(local_words(u, type_class, size, sign, dims));
  return checked(parse_words(words));
}

std::vector<uint8_t> ramp_chunk(const Params& p) {
  std::vector<uint8_t> raw(raw_size(p.chunk));
  const size_t n = raw.size() / p.chunk.type_size;
  for (size_t i = 0; i < n; ++i) {
    const double v = 20.0 * std::sin(i * 0.37) + static_cast<double>(i % 7);
    switch (p.chunk.type) {
      case VTRL_FLOAT32:
        reinterpret_cast<float*>(raw.data())[i] = static_cast<float>(v);
        break;
      case VTRL_FLOAT64:
        reinterpret_cast<double*>(raw.data())[i] = v;
        break;
      case VTRL_INT16:
        reinterpret_cast<int16_t*>(raw.data())[i] = static_cast<int16_t>(v);
        break;
      default:
        raw[i] = static_cast<uint8_t>(v + 30);
        break;
    }
  }
  return raw;
}

// Each signal runs along the axis: a chunk coded along axis 1 of (3, 50) data holds 3 signals of
// 50 samples. The oracle is the raw chunk, read back within the scale's error.
TEST(H5Chunk, RoundTripsAlongEveryAxis) {
  struct Case {
    unsigned type_class, size, sign;
    std::vector<uint32_t> dims;
    unsigned axis;
    size_t signals;
  } cases[] = {
      {kClassFloat, 4, 0, {50, 3}, 0, 3},
      {kClassFloat, 8, 0, {3, 50}, 1, 3},
      {kClassInteger, 2, 1, {4, 40, 2}, 1, 8},
      {kClassInteger, 1, 0, {64}, 0, 1},
  };
  for (const auto& c : cases) {
    const Params p = params_for(c.type_class, c.size, c.sign, c.dims, c.axis, {1, 0, 0, 1, 12});
    const auto raw = ramp_chunk(p);
    const auto record = checked(encode_chunk(p, raw));
    uint32_t signals;
    std::memcpy(&signals, &record[8], 4);
    EXPECT_EQ(signals, c.signals);
    std::vector<uint8_t> back(raw.size());
    ASSERT_TRUE(decode_chunk(p, record, back).ok());
    for (size_t i = 0; i < raw.size() / c.size; ++i) {
      double a, b;
      switch (p.chunk.type) {
        case VTRL_FLOAT32:
          a = reinterpret_cast<const float*>(raw.data())[i],
          b = reinterpret_cast<float*>(back.data())[i];
          break;
        case VTRL_FLOAT64:
          a = reinterpret_cast<const double*>(raw.data())[i],
          b = reinterpret_cast<double*>(back.data())[i];
          break;
        case VTRL_INT16:
          a = reinterpret_cast<const int16_t*>(raw.data())[i],
          b = reinterpret_cast<int16_t*>(back.data())[i];
          break;
        default:
          a = raw[i], b = back[i];
          break;
      }
      ASSERT_NEAR(a, b, 1.0) << "case axis " << c.axis << " element " << i;
    }
  }
}

TEST(H5Chunk, DamageAndDisagreementAreErrors) {
  const Params p = params_for(kClassFloat, 4, 0, {40, 2}, 0);
  const auto raw = ramp_chunk(p);
  const auto record = checked(encode_chunk(p, raw));
  std::vector<uint8_t> back(raw.size());
  for (size_t i = 0; i < record.size(); ++i) {
    auto damaged = record;
    damaged[i] ^= 0x04;
    ASSERT_FALSE(decode_chunk(p, damaged, back).ok()) << "byte " << i;
  }
  for (size_t n = 0; n < record.size(); n += 7) {
    ASSERT_FALSE(decode_chunk(p, std::span(record).first(n), back).ok()) << n;
  }
  const Params other = params_for(kClassFloat, 4, 0, {40, 2}, 1);  // the same bytes, other axis
  EXPECT_EQ(decode_chunk(other, record, back).error(),
            "vantrel filter: chunk record is damaged or truncated: its type or shape disagrees "
            "with the dataset's");
}

TEST(H5Chunk, ParametersAreCheckedAndLaterVersionsRefused) {
  unsigned target[9] = {1, 1, 0, VTRL_MAX_ERROR, 0, 0, 255, 0, 0};
  put_double(0.5, &target[4]);
  EXPECT_EQ(get_double(&target[4]), 0.5);
  EXPECT_EQ(checked(parse_user(target)).value, 0.5);
  EXPECT_EQ(local_words(checked(parse_user(target)), kClassInteger, 2, 1, std::vector<uint32_t>{8})
                .error(),
            "vantrel filter: quality targets on integer datasets are not supported yet; give "
            "options (method, scale) instead");
  const struct {
    std::vector<unsigned> words;
    const char* text;
  } cases[] = {
      {{2},
       "vantrel filter: data written with format version 2, newer than this plugin reads "
       "(1); update vantrel"},
      {{1, 0, 0, 1, 13}, "vantrel filter: scale 13 is outside its range"},
      {{1, 2}, "vantrel filter: unknown parameter mode 2"},
      {{1, 1, 0, 0, 0, 0x7FF00000}, "vantrel filter: quality target psnr inf is not usable"},
      {std::vector<unsigned>(10, 1), "vantrel filter: 10 parameters given, at most 9"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_user(c.words).error(), c.text);
  // A dataset's full words with a later version are refused before anything else is read.
  auto words = checked(local_words({}, kClassFloat, 4, 0, std::vector<uint32_t>{8}));
  words[0] = 7;
  EXPECT_EQ(parse_words(words).error(),
            "vantrel filter: data written with format version 7, newer than this plugin reads "
            "(1); update vantrel");
  EXPECT_FALSE(local_words({}, kClassFloat, 2, 0, std::vector<uint32_t>{8}).ok());
  EXPECT_FALSE(local_words({}, kClassFloat, 4, 0, std::vector<uint32_t>{65536, 65536}).ok());
}

}  // namespace
}  // namespace vantrel::h5
