// decode_coeffs on arbitrary bytes with band lengths taken from the input's first bytes (up to
// eleven bands, as the decompressor asks for, of up to 2^31 - 1 coefficients each). Never reads or
// writes out of bounds, never allocates for a claim the coded bytes cannot back, and what it
// accepts is re-encoded and decodes to the same coefficients.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "codec/cmodel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // Byte 0: number of bands (0..11); then one byte per band picks its length: small lengths
  // mostly, and now and then a huge claim.
  const size_t num_bands = data[0] % 12;
  if (size < 1 + num_bands) return 0;
  std::vector<size_t> lengths(num_bands);
  for (size_t i = 0; i < num_bands; ++i) {
    const uint8_t b = data[1 + i];
    lengths[i] = b >= 0xF8 ? (size_t{1} << 31) - 1 - (0xFF - b) : b * 3u;
  }
  const std::span<const uint8_t> stream(data + 1 + num_bands, size - 1 - num_bands);

  auto bands = vantrel::decode_coeffs(stream, lengths);
  size_t total = 0;
  for (size_t len : lengths) total += len;
  if (!bands.ok()) return 0;
  if (bands->size() != num_bands) std::abort();
  std::vector<std::span<const int16_t>> spans;
  for (size_t i = 0; i < num_bands; ++i) {
    if ((*bands)[i].size() != lengths[i]) std::abort();
    spans.emplace_back((*bands)[i]);
  }
  // The flat decoder agrees with the per-band one.
  std::vector<int16_t> flat(total);
  if (!vantrel::decode_coeffs_into(stream, lengths, flat).ok()) std::abort();
  size_t at = 0;
  for (const auto& band : *bands) {
    for (int16_t v : band) {
      if (flat[at++] != v) std::abort();
    }
  }
  // Decoded values re-encode to a stream that decodes to them again (not necessarily the same
  // bytes: widths may shrink).
  const auto again = vantrel::decode_coeffs(vantrel::encode_coeffs(spans), lengths);
  if (!again.ok() || *again != *bands) std::abort();
  return 0;
}
