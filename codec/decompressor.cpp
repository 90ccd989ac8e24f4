#include "codec/decompressor.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "codec/arans.h"
#include "codec/cmodel.h"
#include "codec/compressor.h"
#include "codec/deflate.h"
#include "codec/executors.h"
#include "codec/header.h"
#include "codec/passes.h"
#include "codec/vantrel.h"

namespace vantrel {
namespace {

constexpr uint64_t kMaxLevels = 10;

// De-quantises little-endian 16-bit pairs straight from the decoded bytes, exactly as dequantize
// does from integers (one rounded product each); a final odd byte is ignored.
void dequantize_bytes(std::span<const uint8_t> bytes, float reciprocal, std::span<float> out) {
  for (size_t i = 0; i < out.size(); ++i) {
    const auto v = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    out[i] = static_cast<float>(v) * reciprocal;
  }
}

// Storage the decoder fills completely before anything reads it, so it starts uninitialised
// rather than paying a zeroing pass over fresh pages.
template <class T>
Result<std::unique_ptr<T[]>, VantrelError> allocate_values(size_t total) {
  std::unique_ptr<T[]> values(new (std::nothrow) T[total]);
  if (!values) return VantrelError::out_of_memory(total);
  return values;
}

// Decodes the coefficients A, D_1 .. D_L back to back and de-quantises them (multiplies by
// `reciprocal`). `total` is the sum of `band_lengths`.
Result<std::unique_ptr<float[]>, VantrelError> decode_bands(std::span<const uint8_t> payload,
                                                            uint8_t coder,
                                                            std::span<const size_t> band_lengths,
                                                            size_t total, float reciprocal) {
  if (coder == static_cast<uint8_t>(EntropyCoder::CModel)) {
    // Refuse a stream that cannot hold the claimed coefficients before allocating them.
    if (auto fits = check_coeffs(payload, band_lengths); !fits)
      return VantrelError::decompression_failed(fits.error());
    VANTREL_ASSIGN_OR_RETURN(auto values, allocate_values<float>(total));
    if (auto decoded =
            decode_dequantized_into(payload, band_lengths, reciprocal, {values.get(), total});
        !decoded)
      return VantrelError::decompression_failed(decoded.error());
    return values;
  }
  std::vector<uint8_t> bytes;
  if (coder == static_cast<uint8_t>(EntropyCoder::Arans)) {
    auto decoded = decode_stream(payload);
    if (!decoded) return VantrelError::decompression_failed(decoded.error());
    bytes = std::move(decoded).value();
  } else {
    // Nothing past 2 * total bytes can be used, so inflating stops there.
    auto inflated = inflate_payload(payload, 2 * total + 1);
    if (!inflated) return VantrelError::decompression_failed(std::move(inflated.error().message));
    bytes = std::move(inflated).value();
  }
  // A stream that ends before every band is complete is refused before any band is cut.
  if (bytes.size() / 2 < total) return VantrelError::coefficients_missing();
  VANTREL_ASSIGN_OR_RETURN(auto values, allocate_values<float>(total));
  dequantize_bytes(bytes, reciprocal, {values.get(), total});
  return values;
}

}  // namespace

Result<std::vector<float>, VantrelError> decompress_core(std::span<const uint8_t> payload,
                                                         uint8_t method, uint64_t levels,
                                                         uint32_t sample_count, uint8_t scale,
                                                         uint8_t coder, float signal_min,
                                                         float signal_max, float norm_mean,
                                                         float multiplier) {
  if (sample_count > kMaxSamples) return VantrelError::decoded_too_many_samples(sample_count);
  if (levels > kMaxLevels) return VantrelError::too_many_levels(levels);
  if (levels == 0) return VantrelError::too_few_levels(levels);
  if (scale < kMinScale || scale > kMaxScale) return VantrelError::unsupported_scale(scale);
  if (method > 3) return VantrelError::invalid_method({'?', '?', '?', '?'});
  if (coder > 2) return VantrelError::unknown_coder(coder);

  auto executor = make_executor(static_cast<WaveletMethod>(method));

  const std::vector<size_t> lengths = band_lengths(*executor, levels, sample_count);
  size_t total = 0;
  for (const size_t length : lengths) total += length;

  // De-quantised bands back to back (by the reciprocal, computed once), which the inverse
  // transform then works inside.
  auto decoded = decode_bands(payload, coder, lengths, total, 1.0f / multiplier);
  if (!decoded) return std::move(decoded).error();
  std::unique_ptr<float[]> bands = std::move(decoded).value();

  MultiDwtSpentView view;
  view.approximation = std::span<float>(bands.get(), lengths[0]);
  view.details.reserve(levels);
  size_t offset = lengths[0];
  for (size_t k = 1; k < lengths.size(); ++k) {
    view.details.emplace_back(bands.get() + offset, lengths[k]);
    offset += lengths[k];
  }
  auto rebuilt = executor->multi_idwt_consuming(view);
  if (!rebuilt) return VantrelError::wavelet(rebuilt.error());
  std::vector<float> out = std::move(rebuilt).value();
  bands.reset();

  const float range = signal_max - signal_min;
  if (out.size() > sample_count) out.resize(sample_count);
  denormalize_in_place(out, norm_mean, range, signal_min);
  // Padding comes after de-normalisation, so it is 0.0 itself.
  if (out.size() < sample_count) out.resize(sample_count, 0.0f);
  return out;
}

Result<std::vector<float>, VantrelError> decompress(std::span<const uint8_t> container) {
  auto parsed = VantrelHeader::from_bytes(container);
  if (!parsed) return std::move(parsed).error();
  const VantrelHeader& h = *parsed;
  const uint64_t available = container.size() - kHeaderSize;
  if (available < h.payload_len)
    return VantrelError::container_too_short(uint64_t{h.payload_len} + kHeaderSize,
                                             container.size());
  const auto payload = container.subspan(kHeaderSize, h.payload_len);

  // The header's multiplier is used only when positive and finite.
  const float stored = h.quant_multiplier;
  const float multiplier =
      stored > 0.0f && std::isfinite(stored) ? stored : static_cast<float>(1u << h.scale);
  return decompress_core(payload, static_cast<uint8_t>(h.method()), h.levels, h.sample_count,
                         h.scale, h.coder, h.signal_min, h.signal_max, h.norm_mean, multiplier);
}

}  // namespace vantrel
