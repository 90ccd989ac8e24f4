// The residual coder, both ways. Byte 0 picks the mode (bit 0) and the stream format (bit 1: the
// adaptive format, or blocks); then
//   decode (even): count (2 bytes), bin (1 byte), one base sample per count (1 byte each, the
//     base's shape), the rest the stream. Decoding never reads past it and, when it succeeds,
//     the values re-encode to a stream that decodes to them again.
//   round trip (odd): count (2 bytes), bin (1 byte), then per sample a base byte and a residual
//     byte whose top bits choose the magnitude's bit length (up to the whole range), the rest
//     its low bits; for blocks, bits 2-3 of byte 0 choose the codes (the encoder's choice, the
//     smaller in every block, the fast one everywhere, the adaptive one everywhere), and bit 4
//     makes the residual a running sum of those values (clamped to the range), which the blocks'
//     predictors take up. Encoding succeeds, encodes the same twice, and decodes to the residual.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "codec/residual.h"

namespace {

float bin_of(uint8_t b) {
  // Mostly ordinary widths over many octaves; 0, infinity and NaN for the bytes at the top.
  if (b == 0xFF) return std::nanf("");
  if (b == 0xFE) return INFINITY;
  if (b == 0xFD) return 0.0f;
  return std::ldexp(1.0f, static_cast<int>(b % 40) - 20);
}

float base_of(uint8_t b) {
  if (b == 0xFF) return std::nanf("");
  return static_cast<float>(static_cast<int8_t>(b)) * 3.0f;
}

int32_t residual_of(uint8_t b, uint8_t more) {
  const int bits = (b >> 3) % 31;  // the magnitude's bit length, 0..30
  if (bits == 0) return 0;
  const uint32_t low = (((uint32_t{b} & 7) << 8) | more) * 0x9E3779B1u;  // spread over low bits
  const uint32_t mag = (1u << (bits - 1)) | (low & ((1u << (bits - 1)) - 1));
  return (more & 1) ? -static_cast<int32_t>(mag) : static_cast<int32_t>(mag);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const bool round_trip = data[0] & 1;
  vantrel::ResidualOptions options;
  options.format =
      (data[0] & 2) ? vantrel::ResidualFormat::Blocks : vantrel::ResidualFormat::Adaptive;
  constexpr double kMargins[] = {vantrel::ResidualOptions{}.fast_margin, 0.0, 1.0, -1e9};
  options.fast_margin = kMargins[(data[0] >> 2) & 3];
  const bool running_sum = data[0] & 16;
  const size_t count = data[1] | (size_t{data[2]} << 8);
  const float bin = bin_of(data[3]);
  data += 4;
  size -= 4;
  if (!round_trip) {
    if (size < count) return 0;
    std::vector<float> base(count);
    for (size_t i = 0; i < count; ++i) base[i] = base_of(data[i]);
    const std::span<const uint8_t> stream(data + count, size - count);
    std::vector<int32_t> out(count);
    if (!vantrel::decode_residual_into(stream, base, bin, out, options.format).ok()) return 0;
    for (const int32_t v : out) {
      if (v < -vantrel::kMaxResidual || v > vantrel::kMaxResidual) std::abort();
    }
    std::vector<uint8_t> again;
    if (!vantrel::encode_residual_into(out, base, bin, again, options).ok()) std::abort();
    std::vector<int32_t> back(count);
    if (!vantrel::decode_residual_into(again, base, bin, back, options.format).ok() || back != out)
      std::abort();
    return 0;
  }
  const size_t n = std::min(count, size / 2);
  std::vector<float> base(n);
  std::vector<int32_t> residual(n);
  int64_t sum = 0;
  for (size_t i = 0; i < n; ++i) {
    base[i] = base_of(data[2 * i]);
    residual[i] = residual_of(data[2 * i + 1], data[(2 * i + 3) % size]);
    if (running_sum) {
      sum = std::clamp<int64_t>(sum + residual[i], -vantrel::kMaxResidual, vantrel::kMaxResidual);
      residual[i] = static_cast<int32_t>(sum);
    }
  }
  std::vector<uint8_t> stream, twice;
  if (!vantrel::encode_residual_into(residual, base, bin, stream, options).ok()) std::abort();
  if (!vantrel::encode_residual_into(residual, base, bin, twice, options).ok() || twice != stream)
    std::abort();
  std::vector<int32_t> back(n);
  if (!vantrel::decode_residual_into(stream, base, bin, back, options.format).ok() ||
      back != residual)
    std::abort();
  if (!std::isfinite(vantrel::estimate_residual_bits(residual, base, bin))) std::abort();
  return 0;
}
