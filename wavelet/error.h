// Errors of the wavelet subsystem. A value is a kind plus up to two unsigned counts; the codec
// turns it into text once, where it wraps it.
#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

class OscletError {
 public:
  enum class Kind : uint8_t {
    AllocationFailed = 0,        // byte count
    HalfLengthMismatch = 1,      // length found
    ApproxDetailsMismatch = 2,   // approximation length, details length
    NotDivisible = 3,            // divisor
    Overflow = 4,                //
    OutputSizeMismatch = 5,      // expected, actual
    InputTooSmall = 6,           // input size, minimum
    InputOutputMismatch = 7,     // input size, output size
    InvalidWavelet = 8,          //
    FilterCenterOutOfRange = 9,  // centre, filter size
    BufferTooSmallForLevel = 10, //
    ApproxSizeMismatch = 11,     // found, required
    DetailsSizeMismatch = 12,    // found, required
    ZeroSizedInput = 13,         //
    InputSizeMismatch = 14,      // expected, actual
    ScratchSizeMismatch = 15,    // expected, actual
  };

  static OscletError allocation_failed(uint64_t bytes) { return {Kind::AllocationFailed, bytes}; }
  static OscletError half_length_mismatch(uint64_t found) { return {Kind::HalfLengthMismatch, found}; }
  static OscletError approx_details_mismatch(uint64_t approx, uint64_t details) {
    return {Kind::ApproxDetailsMismatch, approx, details};
  }
  static OscletError not_divisible(uint64_t divisor) { return {Kind::NotDivisible, divisor}; }
  static OscletError overflow() { return {Kind::Overflow}; }
  static OscletError output_size_mismatch(uint64_t expected, uint64_t actual) {
    return {Kind::OutputSizeMismatch, expected, actual};
  }
  static OscletError input_too_small(uint64_t size, uint64_t minimum) {
    return {Kind::InputTooSmall, size, minimum};
  }
  static OscletError input_output_mismatch(uint64_t input, uint64_t output) {
    return {Kind::InputOutputMismatch, input, output};
  }
  static OscletError invalid_wavelet() { return {Kind::InvalidWavelet}; }
  static OscletError filter_center_out_of_range(uint64_t centre, uint64_t size) {
    return {Kind::FilterCenterOutOfRange, centre, size};
  }
  static OscletError buffer_too_small_for_level() { return {Kind::BufferTooSmallForLevel}; }
  static OscletError approx_size_mismatch(uint64_t found, uint64_t required) {
    return {Kind::ApproxSizeMismatch, found, required};
  }
  static OscletError details_size_mismatch(uint64_t found, uint64_t required) {
    return {Kind::DetailsSizeMismatch, found, required};
  }
  static OscletError zero_sized_input() { return {Kind::ZeroSizedInput}; }
  static OscletError input_size_mismatch(uint64_t expected, uint64_t actual) {
    return {Kind::InputSizeMismatch, expected, actual};
  }
  static OscletError scratch_size_mismatch(uint64_t expected, uint64_t actual) {
    return {Kind::ScratchSizeMismatch, expected, actual};
  }

  Kind kind() const noexcept { return kind_; }
  uint64_t first() const noexcept { return a_; }
  uint64_t second() const noexcept { return b_; }

  // Appends the message text to `out`.
  void render(std::string& out) const;
  std::string to_string() const;

  friend bool operator==(const OscletError&, const OscletError&) = default;

 private:
  OscletError(Kind kind, uint64_t a = 0, uint64_t b = 0) : kind_(kind), a_(a), b_(b) {}

  Kind kind_;
  uint64_t a_;
  uint64_t b_;
};

}  // namespace vantrel
