#include "codec/compressor.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "codec/coders.h"
#include "codec/executors.h"
#include "codec/header.h"
#include "codec/methods.h"
#include "codec/passes.h"
#include "codec/vantrel.h"

namespace vantrel {
namespace {

// The quantised bands back to back in coding order: A, D_1 (finest) .. D_L. Every value is
// written before it is read, so the storage starts uninitialised: zeroing it first would only add
// a pass over fresh pages.
struct Bands {
  std::unique_ptr<int16_t[]> storage;
  size_t size = 0;
  std::vector<size_t> lengths;

  std::span<int16_t> values() { return {storage.get(), size}; }
  std::span<const int16_t> values() const { return {storage.get(), size}; }
};

float default_multiplier(uint8_t scale) { return static_cast<float>(1u << scale); }

// The multiplier must survive the decoder, which only uses a positive finite one and divides by
// it: anything else would decode to a mirrored, constant or NaN signal.
bool is_usable_multiplier(float m) {
  return m > 0.0f && std::isfinite(m) && std::isfinite(1.0f / m);
}

}  // namespace

int32_t dead_zone_threshold(uint8_t scale, uint8_t cutoff) {
  static constexpr int32_t kBase[] = {0, 0, 1, 1, 2, 2, 3};  // scales 6..12
  static constexpr int32_t kFactor[] = {1, 3, 7};            // low, medium, high
  static_assert(std::size(kFactor) == std::size(kCutoffNames));
  return kBase[scale - kMinScale] * kFactor[cutoff];
}

uint8_t pick_levels(uint64_t n, uint8_t method) {
  if (n < 20) return 1;
  if (n < 40) return 2;
  if (n < 60) return 3;
  if (n < 80) return 4;
  const uint64_t fl = make_executor(static_cast<WaveletMethod>(method))->filter_length();
  if (n < fl) return 1;
  const uint64_t q = n / fl;
  const int log2q = std::bit_width(q) - 1;
  if (log2q < 1) return 1;
  return static_cast<uint8_t>(log2q > 8 ? 8 : log2q);
}

Result<NormalizedSignal, VantrelError> normalize_signal(std::span<const float> samples,
                                                        size_t filter_length) {
  const size_t n = samples.size();
  // Sanitising copy and extremes, in room for the extension of short signals below. Every
  // sample is written before it is read, so the buffer starts uninitialised.
  const size_t length = std::max(n, filter_length);
  std::unique_ptr<float[]> storage(new (std::nothrow) float[length]);
  if (!storage) return VantrelError::out_of_memory(length);
  std::span<float> work(storage.get(), n);
  const Extremes ext = sanitize_copy(samples, work);

  // Normalisation to about [-1, 1] with zero mean. A signal is flat when its range is zero or
  // too small for a finite reciprocal; flat signals keep only their minimum.
  const float range = ext.max - ext.min;
  if (!std::isfinite(range)) return VantrelError::range_not_representable(ext.min, ext.max);
  float norm_mean = 0.0f;
  const float inv = range == 0.0f ? INFINITY : 1.0f / range;
  if (!std::isfinite(inv)) {
    std::fill(work.begin(), work.end(), 0.0f);
  } else {
    // A subnormal reciprocal would lose precision without a word.
    if (inv < FLT_MIN) return VantrelError::range_not_representable(ext.min, ext.max);
    const float sum = normalize_in_place(work, ext.min, inv);
    norm_mean = sum / static_cast<float>(n);
    subtract_in_place(work, norm_mean);
  }

  // Signals shorter than the filter repeat from their start up to its length.
  if (n < filter_length) {
    work = std::span<float>(storage.get(), filter_length);
    for (size_t i = n; i < filter_length; ++i) work[i] = work[(i - n) % n];
  }
  return NormalizedSignal{.storage = std::move(storage),
                          .work = work,
                          .extremes = ext,
                          .norm_mean = norm_mean,
                          .flat = !std::isfinite(inv)};
}

Status<VantrelError> transform_in_coding_order(const DwtExecutor& executor, std::span<float> work,
                                               std::span<const size_t> lengths,
                                               const BandPlacer& place) {
  const size_t num_levels = lengths.size() - 1;
  size_t received = 0;         // bands handed over so far
  size_t offset = lengths[0];  // where the next details go
  std::optional<OscletError> mismatch;
  const BandSink sink = [&](std::span<const float> band) {
    const bool approximation = received >= num_levels;  // D_1 .. D_L come first, then A
    const size_t index = approximation ? 0 : received + 1;
    ++received;
    if (mismatch) return;
    if (received > num_levels + 1 || band.size() != lengths[index]) {
      mismatch = approximation ? OscletError::approx_size_mismatch(band.size(), lengths[0])
                               : OscletError::details_size_mismatch(band.size(), lengths[index]);
      return;
    }
    place(band, approximation ? 0 : offset);
    if (!approximation) offset += band.size();
  };
  if (auto streamed = executor.multi_dwt_streamed(work, num_levels, sink); !streamed)
    return VantrelError::wavelet(streamed.error());
  // A decomposition whose bands differ from the decoder's lengths could not be read back.
  if (mismatch) return VantrelError::wavelet(*mismatch);
  return {};
}

namespace {

// compress_core, with the payload behind `room` zero bytes, coded on up to `threads` threads.
Result<CoreOutput, VantrelError> compress_core_with_room(std::span<const float> samples,
                                                         const VtrlCompressionOptions& options,
                                                         uint8_t levels, size_t room,
                                                         unsigned threads) {
  const size_t n = samples.size();
  const float multiplier = options.quant_multiplier.value_or(default_multiplier(options.scale));
  if (!is_usable_multiplier(multiplier)) return VantrelError::invalid_multiplier(multiplier);

  auto executor = make_executor(static_cast<WaveletMethod>(options.method));
  const size_t fl = executor->filter_length();

  // The band lengths the decoder will rebuild from the header, known before any sample is read,
  // so that a coder that could not carry them all is refused first.
  const size_t num_levels = std::max<uint8_t>(levels, 1);
  Bands bands;
  bands.lengths = band_lengths(*executor, num_levels, std::max(n, fl));
  for (const size_t length : bands.lengths) bands.size += length;
  const EntropyCoderEntry& coder =
      options.coder == kCoderAuto ? automatic_coder() : *find_coder(options.coder);
  if (bands.size > coder.max_coefficients)
    return VantrelError::coder_capacity_exceeded(coder.name, coder.max_coefficients, bands.size);

  auto normalized = normalize_signal(samples, fl);
  if (!normalized) return std::move(normalized).error();
  std::unique_ptr<float[]> work_storage = std::move(normalized->storage);
  const std::span<float> work = normalized->work;
  const Extremes ext = normalized->extremes;
  const float norm_mean = normalized->norm_mean;

  // The bands are quantised into one buffer in coding order (A, D_1 .. D_L) as the transform
  // hands them over, finest details first, so no level is kept in floats.
  bands.storage.reset(new (std::nothrow) int16_t[bands.size]);
  if (!bands.storage) return VantrelError::out_of_memory(bands.size);
  const int32_t threshold = dead_zone_threshold(options.scale, options.cutoff);
  bool in_range = true;
  auto transformed = transform_in_coding_order(
      *executor, work, bands.lengths, [&](std::span<const float> band, size_t offset) {
        const std::span<int16_t> out = bands.values().subspan(offset, band.size());
        in_range &= quantize(band, multiplier, out);
        if (offset != 0) apply_dead_zone(out, threshold);  // details only
      });
  work_storage.reset();  // no longer needed
  if (!transformed) return std::move(transformed).error();
  // Values beyond 16 bits would be clamped and decode with a large error.
  if (!in_range) return VantrelError::quantiser_overflow(options.scale, multiplier);

  auto payload = coder.encode(bands.values(), bands.lengths, room, threads);
  if (!payload) return std::move(payload).error();

  return CoreOutput{.payload = std::move(payload).value(),
                    .signal_min = ext.min,
                    .signal_max = ext.max,
                    .norm_mean = norm_mean,
                    .multiplier = multiplier,
                    .scale = options.scale,
                    .coder = coder.code};
}

}  // namespace

Result<CoreOutput, VantrelError> compress_core(std::span<const float> samples,
                                               const VtrlCompressionOptions& options,
                                               uint8_t levels) {
  return compress_core_with_room(samples, options, levels, 0, 1);
}

Status<VantrelError> check_options(const VtrlCompressionOptions& options) {
  // The Python options class only builds valid records; C++ callers fill the record themselves.
  if (find_method(options.method) == nullptr)
    return VantrelError::unknown_option_code("method", options.method);
  if (options.cutoff >= std::size(kCutoffNames))
    return VantrelError::unknown_option_code("cutoff", options.cutoff);
  if (!is_valid_scale(options.scale)) return VantrelError::invalid_scale(options.scale);
  if (options.coder != kCoderAuto && find_coder(options.coder) == nullptr)
    return VantrelError::unknown_coder(options.coder);
  if (options.quant_multiplier && !is_usable_multiplier(*options.quant_multiplier))
    return VantrelError::invalid_multiplier(*options.quant_multiplier);
  return {};
}

Result<std::vector<uint8_t>, VantrelError> compress(std::span<const float> samples,
                                                    const VtrlCompressionOptions& options) {
  return compress(samples, options, EncodeThreads{1});
}

Result<std::vector<uint8_t>, VantrelError> compress(std::span<const float> samples,
                                                    const VtrlCompressionOptions& options,
                                                    EncodeThreads threads) {
  const uint64_t n = samples.size();
  if (n == 0) return VantrelError::empty_input();
  if (n > kMaxSamples) return VantrelError::too_many_samples(n);
  VANTREL_RETURN_IF_ERROR(check_options(options));
  const uint8_t levels = pick_levels(n, options.method);
  // The payload comes with room for the header in front, which is filled in place.
  auto core = compress_core_with_room(samples, options, levels, kHeaderSize, threads.count);
  if (!core) return std::move(core).error();
  const ContainerFields fields{.method = options.method,
                               .levels = levels,
                               .scale = core->scale,
                               .coder = core->coder,
                               .sample_count = static_cast<uint32_t>(n),
                               .signal_min = core->signal_min,
                               .signal_max = core->signal_max,
                               .norm_mean = core->norm_mean,
                               .quant_multiplier = core->multiplier};
  VANTREL_RETURN_IF_ERROR(write_header_in_place(fields, core->payload));
  return std::move(core->payload);
}

}  // namespace vantrel
