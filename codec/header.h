// Writing the container header (its layout and parser are in codec/vantrel.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/error.h"
#include "codec/options.h"
#include "codec/vantrel.h"
#include "support/result.h"

namespace vantrel {

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
