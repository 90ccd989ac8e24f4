#include "codec/decompressor.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>

#include "codec/coders.h"
#include "codec/compressor.h"
#include "codec/executors.h"
#include "codec/header.h"
#include "codec/passes.h"
#include "codec/vantrel.h"

namespace vantrel {
namespace {

constexpr uint64_t kMaxLevels = 10;

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
  if (!is_valid_scale(scale)) return VantrelError::unsupported_scale(scale);
  auto executor = make_executor(static_cast<WaveletMethod>(method));
  if (executor == nullptr) return VantrelError::invalid_method({'?', '?', '?', '?'});
  const EntropyCoderEntry* entropy_coder = find_coder(coder);
  if (entropy_coder == nullptr) return VantrelError::unknown_coder(coder);

  const std::vector<size_t> lengths = band_lengths(*executor, levels, sample_count);
  size_t total = 0;
  for (const size_t length : lengths) total += length;

  // De-quantised bands back to back (by the reciprocal, computed once), which the inverse
  // transform then works inside.
  // Refuse a payload that cannot hold the claimed coefficients before allocating them.
  VANTREL_RETURN_IF_ERROR(entropy_coder->check(payload, lengths));
  auto decoded = entropy_coder->decode(payload, lengths, total, 1.0f / multiplier);
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
