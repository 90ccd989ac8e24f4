// The codec's error value, VantrelError: the only error that leaves the codec. Its texts are
// written in error.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace vantrel {

// The lower layers' errors (rANS, context model, wavelet) are internal; a VantrelError made from
// one holds its text.
enum class AransError : uint8_t;
enum class CModelError : uint8_t;
enum class ResidualError : uint8_t;
class OscletError;

class VantrelError {
 public:
  enum class Kind : uint8_t {
    InvalidMethod = 0,             // 4 bytes
    InvalidMagic = 1,              // 4 bytes
    InvalidMethodTag = 2,          // 2 bytes
    InvalidVersion = 3,            // 2 bytes
    WaveletError = 4,              // text
    EncoderError = 5,              // text
    OutOfMemory = 6,               // count
    InvalidHeader = 7,             //
    UnsupportedConfiguration = 8,  // text
    DecompressionFailed = 9,       // text
    InvalidScale = 10,             // u8
    UnknownCoder = 11,             // u8
  };

  // Header parsing.
  static VantrelError invalid_method(std::array<uint8_t, 4> code);
  static VantrelError invalid_magic(std::array<uint8_t, 4> magic);
  static VantrelError invalid_method_tag(std::array<uint8_t, 2> tag);
  static VantrelError invalid_version(std::array<uint8_t, 2> version);
  static VantrelError invalid_header();
  static VantrelError invalid_scale(uint8_t scale);
  static VantrelError unknown_coder(uint8_t coder);

  // Generic variants carrying a text or a count.
  static VantrelError wavelet(std::string text);
  static VantrelError wavelet(const OscletError& e);
  static VantrelError encoder(std::string text);
  static VantrelError out_of_memory(uint64_t count);
  static VantrelError unsupported_configuration(std::string text);
  static VantrelError decompression_failed(std::string text);
  static VantrelError decompression_failed(AransError e);
  static VantrelError decompression_failed(CModelError e);
  static VantrelError decompression_failed(ResidualError e);

  // The compressor's refusals.
  static VantrelError empty_input();
  static VantrelError too_many_samples(uint64_t n);
  static VantrelError zero_levels();
  static VantrelError invalid_multiplier(float multiplier);
  static VantrelError range_not_representable(float signal_min, float signal_max);
  static VantrelError quantiser_overflow(uint8_t scale, float multiplier);
  static VantrelError payload_too_large(uint64_t payload_len);
  static VantrelError coder_capacity_exceeded(std::string_view coder, uint64_t limit,
                                              uint64_t count);
  static VantrelError unknown_option_code(std::string_view option, uint64_t code);

  // Compressing to a quality target.
  static VantrelError invalid_quality_target(std::string_view metric, double value);
  static VantrelError quality_unreachable(std::string_view metric, double target, double reachable);
  static VantrelError reference_length_mismatch(uint64_t reference, uint64_t samples);
  static VantrelError sample_outside_float_range(uint64_t index, double value);
  static VantrelError invalid_sample_grid(double step, double origin, double min_code,
                                          double max_code);

  // The decompressor's refusals.
  static VantrelError container_too_short(uint64_t needed, uint64_t actual);
  static VantrelError decoded_too_many_samples(uint64_t sample_count);
  static VantrelError too_many_levels(uint64_t levels);
  static VantrelError too_few_levels(uint64_t levels);
  static VantrelError unsupported_scale(uint64_t scale);
  static VantrelError coefficients_missing();

  Kind kind() const noexcept { return kind_; }
  // The text carried by the variants 4, 5, 8 and 9 (empty for the others).
  const std::string& text() const noexcept { return text_; }
  uint64_t number() const noexcept { return number_; }

  void render(std::string& out) const;
  std::string to_string() const;

 private:
  explicit VantrelError(Kind kind) : kind_(kind) {}
  VantrelError(Kind kind, uint64_t number) : kind_(kind), number_(number) {}
  VantrelError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  // The first `count` of `bytes` are the variant's payload.
  VantrelError(Kind kind, std::array<uint8_t, 4> bytes, uint8_t count)
      : kind_(kind), byte_count_(count), bytes_(bytes) {}

  Kind kind_;
  uint8_t byte_count_ = 0;
  std::array<uint8_t, 4> bytes_{};
  uint64_t number_ = 0;
  std::string text_;
};

}  // namespace vantrel
