// The entropy coders: one entry per coder, read by the compressor, the decompressor, the
// container header and the options' name parsing. Adding a coder adds an entry in coders.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "codec/error.h"
#include "codec/vantrel.h"
#include "support/result.h"

namespace vantrel {

// A coder's code, name and listing (EntropyCoderInfo, what callers see), and its functions.
struct EntropyCoderEntry : EntropyCoderInfo {
  // The most coefficients its decoder accepts. The compressor refuses more before coding, so it
  // never writes a container that cannot be read back.
  uint64_t max_coefficients;
  // The quantised bands `values` (A, D_1 .. D_L back to back, of `lengths`) coded behind `room`
  // zero bytes, where the caller writes the container header. A coder may use up to `threads`
  // threads; the bytes do not depend on it.
  Result<std::vector<uint8_t>, VantrelError> (*encode)(std::span<const int16_t> values,
                                                       std::span<const size_t> lengths, size_t room,
                                                       unsigned threads);
  // Refuses a payload that cannot hold the bands of `lengths`, before their storage exists. A
  // payload that passes may still fail to decode.
  Status<VantrelError> (*check)(std::span<const uint8_t> payload, std::span<const size_t> lengths);
  // Decodes the bands of `lengths` (`total` values) and multiplies each by `reciprocal`.
  Result<std::unique_ptr<float[]>, VantrelError> (*decode)(std::span<const uint8_t> payload,
                                                           std::span<const size_t> lengths,
                                                           size_t total, float reciprocal);
};

// Every coder, ordered by code (the code is the index).
std::span<const EntropyCoderEntry> entropy_coders();

// nullptr when no coder has the code or name.
const EntropyCoderEntry* find_coder(uint8_t code);
const EntropyCoderEntry* find_coder_by_name(std::string_view name);

// The coder the options' automatic choice (kCoderAuto) stands for.
const EntropyCoderEntry& automatic_coder();

}  // namespace vantrel
