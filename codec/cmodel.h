// Coefficient context model: codes quantised wavelet bands on the binary rANS engine.
//
// Every coefficient is a zero flag and, when it is not zero, a sign and the magnitude minus one on
// a binary tree of depth B, the bit width of the band's largest magnitude. Each band owns a context
// group of 2^B + 3 entries:
//   0, 1      zero flag after a zero (or at the band start) / after a non-zero coefficient
//   2         sign
//   3         unused
//   3 + node  magnitude tree, node = 1 .. 2^B - 1
// Stream: band count (one byte), one width byte per band, then the plane stream of one BinEnc
// over all bits of all bands. Band lengths are not stored: both sides derive them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/error.h"
#include "codec/vantrel.h"
#include "support/result.h"

namespace vantrel {

struct Layout {
  std::vector<size_t> offsets;  // first context of each band
  std::vector<uint32_t> bits;   // width B of each band
  size_t total = 0;             // contexts of the whole model
};

Layout layout(std::span<const uint32_t> widths);

std::vector<uint8_t> encode_coeffs(std::span<const std::span<const int16_t>> bands);

// The same stream, appended to `out`. With `threads` above 1, forward passes of later bands run on
// up to kMaxEncodeThreads - 1 more threads while the calling thread walks the bands backwards;
// the stream is the same whatever the count.
void encode_coeffs_into(std::span<const std::span<const int16_t>> bands, std::vector<uint8_t>& out,
                        unsigned threads = 1);

// The fewest coefficients for which the compressor lets the encoder use more than one thread.
inline constexpr size_t kThreadedEncodeMinCoefficients = size_t{1} << 15;

// Decodes one vector per entry of `band_lengths`, each of exactly that length.
Result<std::vector<std::vector<int16_t>>, CModelError> decode_coeffs(
    std::span<const uint8_t> data, std::span<const size_t> band_lengths);

// The same decoding, writing the bands back to back into `out`, whose size must be the sum of
// `band_lengths`. On failure `out` holds no meaningful values.
Status<CModelError> decode_coeffs_into(std::span<const uint8_t> data,
                                       std::span<const size_t> band_lengths,
                                       std::span<int16_t> out);

// decode_coeffs_into with every coefficient v written as float(v) * reciprocal, bit for bit what
// de-quantising the decoded integers gives.
Status<CModelError> decode_dequantized_into(std::span<const uint8_t> data,
                                            std::span<const size_t> band_lengths, float reciprocal,
                                            std::span<float> out);

// The checks decode_coeffs makes before decoding any coefficient, including the refusal of a
// stream too short to hold the sum of `band_lengths`. Cheap; lets a caller refuse a stream before
// it allocates the output for decode_coeffs_into. A stream that passes may still fail later.
Status<CModelError> check_coeffs(std::span<const uint8_t> data,
                                 std::span<const size_t> band_lengths);

}  // namespace vantrel
