// The container: a fixed 52-byte little-endian header followed by the coded payload.
//
//   0  magic "VTRL"         20 signal_min  (f32)
//   4  version 1, 2         24 signal_max  (f32)
//   6  method tag "f3"      28 norm_mean   (f32)
//   8  wavelet code         32 payload_len (u32)
//  12  levels, scale,       36 quant_multiplier (f32)
//      coder, reserved      40 twelve reserved zero bytes
//  16  sample_count (u32)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/error.h"
#include "codec/options.h"
#include "support/result.h"

namespace vantrel {

inline constexpr size_t kHeaderSize = 52;

struct VantrelHeader {
  std::array<uint8_t, 4> magic;
  std::array<uint8_t, 2> version;
  std::array<uint8_t, 2> method_tag;    // always "f3": the format's tag, not the wavelet's
  std::array<uint8_t, 4> wavelet_code;  // the wavelet method's container tag, e.g. "cf97"
  uint8_t levels;
  uint8_t scale;
  uint8_t coder;
  uint8_t reserved0;
  uint32_t sample_count;
  float signal_min;
  float signal_max;
  float norm_mean;
  uint32_t payload_len;
  float quant_multiplier;
  std::array<uint8_t, 8> reserved1;
  std::array<uint8_t, 4> reserved2;

  // Parses the first 52 bytes of `bytes` (which may be longer); checks run in a fixed order and
  // the first failure is returned.
  static Result<VantrelHeader, VantrelError> from_bytes(std::span<const uint8_t> bytes);

  // The method whose code the header carries (valid after a successful parse).
  WaveletMethod method() const;
};

// What the compressor knows once the payload exists.
struct ContainerFields {
  uint8_t method;
  uint8_t levels;
  uint8_t scale;
  uint8_t coder;
  uint32_t sample_count;
  float signal_min;
  float signal_max;
  float norm_mean;
  float quant_multiplier;
};

// Writes the header followed by the payload. Refuses a method or coder code that names none, and
// a payload whose length does not fit the 32-bit length field (the header could not describe it).
Result<std::vector<uint8_t>, VantrelError> write_container(const ContainerFields& fields,
                                                           std::span<const uint8_t> payload);

// Writes the header into the first 52 bytes of `container` (at least that long), whose remaining
// bytes are the payload: the same container as write_container, without copying the payload.
Status<VantrelError> write_header_in_place(const ContainerFields& fields,
                                           std::span<uint8_t> container);

}  // namespace vantrel
