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
                  unsigned axis) {
  const unsigned words[] = {1, 0, axis, VTRL_CDF97, 12};
  return checked(
      parse_words(checked(local_words(checked(parse_user(words)), type_class, size, sign, dims))));
}

// A float32 chunk of (3, 40, 2) coded along axis 1 holds 6 signals of 40 samples; each comes back
// in its place (the oracle: the raw chunk, within scale 12's error).
TEST(H5Chunk, SignalsRunAlongTheAxis) {
  const Params p = params_for(kClassFloat, 4, 0, {3, 40, 2}, 1);
  std::vector<float> x(240), y(240);
  for (size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(20 * std::sin(i * 0.37) + i % 7);
  const auto record = checked(encode_chunk(p, {reinterpret_cast<uint8_t*>(x.data()), 960}));
  EXPECT_EQ(record[8], 6);  // the signal count
  ASSERT_TRUE(decode_chunk(p, record, {reinterpret_cast<uint8_t*>(y.data()), 960}).ok());
  for (size_t i = 0; i < x.size(); ++i) ASSERT_NEAR(x[i], y[i], 0.05) << i;
}

TEST(H5Chunk, DamageAndDisagreementAreErrors) {
  const Params p = params_for(kClassFloat, 4, 0, {40, 2}, 0);
  std::vector<uint8_t> raw(raw_size(p.chunk), 0x41), back(raw.size());
  const auto record = checked(encode_chunk(p, raw));
  for (size_t i = 0; i < record.size(); ++i) {
    auto damaged = record;
    damaged[i] ^= 0x04;
    ASSERT_FALSE(decode_chunk(p, damaged, back).ok()) << "byte " << i;
  }
  for (size_t n = 0; n < record.size(); n += 7) {
    ASSERT_FALSE(decode_chunk(p, std::span(record).first(n), back).ok()) << n;
  }
  EXPECT_EQ(decode_chunk(params_for(kClassFloat, 4, 0, {40, 2}, 1), record, back).error(),
            "vantrel filter: chunk record is damaged or truncated: its type or shape disagrees "
            "with the dataset's");
}

TEST(H5Chunk, ParametersAreCheckedAndLaterVersionsRefused) {
  unsigned target[9] = {1, 1, 0, VTRL_MAX_ERROR, 0, 0, 255, 0, 0};
  put_double(1.0 / 3.0, &target[4]);  // every bit of both words counts
  EXPECT_EQ(checked(parse_user(target)).value, 1.0 / 3.0);
  const std::string later =
      "vantrel filter: data written with format version 7, newer than this plugin reads (2); "
      "update vantrel";
  const struct {
    std::vector<unsigned> words;
    std::string text;
  } cases[] = {
      {{7}, later},
      {{1, 0, 0, 1, 13}, "vantrel filter: scale 13 is outside its range"},
      {{1, 2}, "vantrel filter: unknown parameter mode 2"},
      {{1, 1, 0, 0, 0, 0x7FF00000}, "vantrel filter: quality target psnr inf is not usable"},
      {std::vector<unsigned>(10, 1), "vantrel filter: 10 parameters given, at most 9"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_user(c.words).error(), c.text);
  // An integer dataset takes a target, under a version that plugins refusing one name as newer.
  const UserParams user = checked(parse_user(target));
  const std::vector<uint32_t> dims{8};
  EXPECT_EQ(checked(local_words(user, kClassInteger, 2, 1, dims))[0], 2u);
  EXPECT_EQ(checked(local_words(user, kClassFloat, 4, 0, dims))[0], 1u);
  // A dataset's full words of a later version are refused before anything else is read.
  auto words = checked(local_words({}, kClassFloat, 4, 0, std::vector<uint32_t>{8}));
  words[0] = 7;
  words.pop_back();
  EXPECT_EQ(parse_words(words).error(), later);
  EXPECT_FALSE(local_words({}, kClassFloat, 4, 0, std::vector<uint32_t>{65536, 65536}).ok());
}

}  // namespace
}  // namespace vantrel::h5
