#include "codec/error.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantrel {
namespace {

struct TextCase {
  VantrelError error;
  std::string text;
};

TEST(VantrelErrorText, EveryVariantRendersItsTemplate) {
  const std::vector<TextCase> cases = {
      {VantrelError::invalid_method({'d', 'b', '0', '5'}), "Invalid compression method 'db05'"},
      {VantrelError::invalid_method({0xC3, 0x28, 'a', 'b'}), "Invalid compression method '?\?\?\?'"},
      {VantrelError::invalid_magic({'A', 'B', 'C', 'D'}), "Magic should be 'VTRL' but it was 'ABCD'"},
      {VantrelError::invalid_magic({0xFF, 0xFF, 0xFF, 0xFF}),
       "Magic should be 'VTRL' but it was '?\?\?\?'"},
      // A two-byte UTF-8 sequence is valid and shown as one character.
      {VantrelError::invalid_magic({0xC3, 0xA9, 'x', 'y'}),
       "Magic should be 'VTRL' but it was '\xC3\xA9xy'"},
      {VantrelError::invalid_method_tag({'f', '4'}), "Invalid compression method 'f4'"},
      {VantrelError::invalid_method_tag({0x80, 0x80}), "Invalid compression method '?\?'"},
      // Overlong: U+007F written in two bytes.
      {VantrelError::invalid_method_tag({0xC1, 0xBF}), "Invalid compression method '?\?'"},
      {VantrelError::invalid_version({1, 2}), "Invalid header version '\x01\x02'"},
      {VantrelError::invalid_version({0, 9}), std::string("Invalid header version '\0\t'", 27)},
      {VantrelError::wavelet("Overflow is happened"), "Overflow is happened"},
      {VantrelError::encoder("deflate failed {}"), "deflate failed {}"},
      {VantrelError::out_of_memory(0), "Out of memory, can't allocate additional 0"},
      {VantrelError::out_of_memory(18446744073709551615ull),
       "Out of memory, can't allocate additional 18446744073709551615"},
      {VantrelError::invalid_header(), "Header is invalid"},
      {VantrelError::empty_input(), "Unsupported compression configuration 'Can't compress empty data'"},
      {VantrelError::too_many_samples(2147483648ull),
       "Unsupported compression configuration 'Can't compress data bigger than 2147483647, but "
       "data was 2147483648'"},
      {VantrelError::decompression_failed(AransError::Truncated),
       "Can't decompress data, reason: Stream truncated"},
      {VantrelError::decompression_failed(CModelError::Truncated),
       "Can't decompress data, reason: Stream truncated"},
      {VantrelError::decompression_failed(AransError::BadLength),
       "Can't decompress data, reason: Inconsistent or oversized length in stream"},
      {VantrelError::decompression_failed(CModelError::BadLength),
       "Can't decompress data, reason: Inconsistent length in coefficient stream"},
      {VantrelError::decompression_failed(ResidualError::Truncated),
       "Can't decompress data, reason: Stream truncated"},
      {VantrelError::decompression_failed(ResidualError::Corrupt),
       "Can't decompress data, reason: Residual stream does not end where its bytes do"},
      {VantrelError::decompression_failed(ResidualError::OutOfRange),
       "Can't decompress data, reason: Residual outside the coder's range of -1073741823 to "
       "1073741823"},
      {VantrelError::container_too_short(62, 60),
       "Can't decompress data, reason: Minimum data size is 62, but it was 60"},
      {VantrelError::too_many_levels(11), "Can't decompress data, reason: Max supported level is 10 but it was 11"},
      {VantrelError::too_few_levels(0), "Can't decompress data, reason: Min supported level is 1 but it was 0"},
      {VantrelError::unsupported_scale(13),
       "Can't decompress data, reason: Supported scales only [6, 12] but it was 13"},
      {VantrelError::decoded_too_many_samples(2147483648ull),
       "Can't decompress data, reason: Can't decompress data bigger than 2147483647, but data was "
       "2147483648"},
      {VantrelError::invalid_scale(13), "Only scaled 6..12 is supported, but it was 13"},
      {VantrelError::invalid_scale(0), "Only scaled 6..12 is supported, but it was 0"},
      {VantrelError::unknown_coder(3), "Unknown entropy coder 3"},
      {VantrelError::unknown_coder(255), "Unknown entropy coder 255"},
      {VantrelError::invalid_multiplier(-0.1f),
       "Unsupported compression configuration 'Quantisation multiplier must be positive and finite "
       "with a finite reciprocal, but it was -0.1'"},
      // Floats are shown with the fewest digits that read back as the same value.
      {VantrelError::range_not_representable(-3.4028235e38f, 3.4028235e38f),
       "Unsupported compression configuration 'Signal range from -3.4028235e+38 to "
       "3.4028235e+38 is too large to normalise in 32-bit floats'"},
      {VantrelError::quantiser_overflow(12, 4096.5f),
       "Unsupported compression configuration 'Quantised coefficients exceed the 16-bit range at "
       "scale 12 (multiplier 4096.5); use a lower scale or multiplier'"},
      {VantrelError::payload_too_large(4294967296ull),
       "Unsupported compression configuration 'Payload of 4294967296 bytes does not fit the "
       "container's 32-bit length field'"},
      {VantrelError::coder_capacity_exceeded("arans", 268435456, 268435457),
       "Unsupported compression configuration 'The arans coder holds at most 268435456 "
       "coefficients, but this signal has 268435457; use the cmodel coder'"},
      {VantrelError::unknown_option_code("cutoff", 3),
       "Unsupported compression configuration 'Unknown cutoff code 3'"},
      {VantrelError::zero_levels(), "Internal DWT returned zero levels, what shouldn't happen"},
      {VantrelError::wavelet(OscletError::output_size_mismatch(8, 6)),
       "Output size should be 8, but it was 6"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.error.to_string(), c.text);
}

TEST(OscletErrorText, EveryVariantRendersItsCountsInOrder) {
  const std::vector<std::pair<OscletError, std::string>> cases = {
      {OscletError::allocation_failed(4096), "Cannot allocate 4096 bytes to vector"},
      {OscletError::half_length_mismatch(7),
       "Approximation and details expected to be half of original signal length but it was 7"},
      {OscletError::approx_details_mismatch(7, 6), "Approx and details must match, but they don't 7x6"},
      {OscletError::not_divisible(2), "Input must be divisible by 2"},
      {OscletError::overflow(), "Overflow is happened"},
      {OscletError::output_size_mismatch(8, 6), "Output size should be 8, but it was 6"},
      {OscletError::input_too_small(7, 8), "Input size 7 can't be less than 8"},
      {OscletError::input_output_mismatch(5, 4), "Input size 5 does not match output size 4"},
      {OscletError::invalid_wavelet(), "Zero or odd sized wavelet"},
      {OscletError::filter_center_out_of_range(9, 8), "Filter center 9 was larger than filter size 8"},
      {OscletError::buffer_too_small_for_level(), "Buffer was too small for provided level"},
      {OscletError::approx_size_mismatch(3, 4), "Approximate size 3 does not match required size 4"},
      {OscletError::details_size_mismatch(1, 2), "Details size 1 does not match required size 2"},
      {OscletError::zero_sized_input(), "Zero sized input is not supported"},
      {OscletError::input_size_mismatch(10, 12), "Input size expected to be 10 but it was 12"},
      {OscletError::scratch_size_mismatch(20, 19), "Scratch size expected to be 20 but it was 19"},
  };
  for (const auto& [error, text] : cases) EXPECT_EQ(error.to_string(), text);
}

}  // namespace
}  // namespace vantrel
