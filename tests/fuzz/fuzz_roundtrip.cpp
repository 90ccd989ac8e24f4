// compress on arbitrary float samples (NaN and infinities included) with options taken from the
// first input bytes. Compression succeeds or fails with a codec error; a container decompresses
// to exactly as many samples as went in; compressing twice, or with the scalar kernels forced,
// gives the same bytes; decoding with the scalar kernels gives the same samples.
//
// Input: byte 0 method (low 2 bits) and coder (next 2 bits, 3 = automatic) and whether a
// multiplier follows (bit 4); byte 1 scale (6 + low 3 bits mod 7) and cutoff (next bits mod 3);
// then 4 bytes of multiplier if flagged, any float; the rest are little-endian float32 samples.
// The options record is the caller's and trusted by compress (the module's options class
// validates it), so only values it can hold are made.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "codec/header.h"
#include "codec/vantrel.h"
#include "support/cpu.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  vantrel::VtrlCompressionOptions options;
  options.method = data[0] & 3;
  const uint8_t coder = (data[0] >> 2) & 3;
  options.coder = coder == 3 ? vantrel::kCoderAuto : coder;
  options.scale = static_cast<uint8_t>(6 + (data[1] & 7) % 7);
  options.cutoff = static_cast<uint8_t>(((data[1] >> 3) & 3) % 3);
  size_t at = 2;
  if (data[0] & 0x10) {
    if (size < at + 4) return 0;
    float multiplier;
    std::memcpy(&multiplier, data + at, 4);
    options.quant_multiplier = multiplier;
    at += 4;
  }
  std::vector<float> samples((size - at) / 4);
  if (!samples.empty()) std::memcpy(samples.data(), data + at, 4 * samples.size());

  const auto packed = vantrel::compress(samples, options);
  if (!packed.ok()) {
    check(!packed.error().to_string().empty());
    return 0;
  }
  check(!samples.empty());
  const auto header = vantrel::VantrelHeader::from_bytes(*packed);
  check(header.ok());
  check(header->sample_count == samples.size());
  check(packed->size() == vantrel::kHeaderSize + header->payload_len);
  check(header->coder == (options.coder == vantrel::kCoderAuto ? 2 : options.coder));

  const auto again = vantrel::compress(samples, options);
  check(again.ok() && *again == *packed);

  const auto decoded = vantrel::decompress(*packed);
  check(decoded.ok());
  check(decoded->size() == samples.size());

  // The vector kernels give the scalar kernels' bits.
  if (vantrel::active_simd_target() != vantrel::SimdTarget::Scalar) {
    vantrel::force_simd_target(vantrel::SimdTarget::Scalar);
    const auto scalar = vantrel::compress(samples, options);
    const auto scalar_decoded = vantrel::decompress(*packed);
    vantrel::reset_simd_target();
    check(scalar.ok() && *scalar == *packed);
    check(scalar_decoded.ok());
    check(std::memcmp(scalar_decoded->data(), decoded->data(), 4 * decoded->size()) ==
          0);  // never empty
  }
  return 0;
}
