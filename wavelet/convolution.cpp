#include "wavelet/convolution.h"

#include <cassert>
#include <cstdint>
#include <new>
#include <utility>

#include "wavelet/kernels/conv_kernels.h"
#include "wavelet/util.h"

namespace vantrel {
namespace {

// K = floor((n + N - 1) / 2): enough outputs that every sample meets every tap.
size_t band_length(size_t input_length, size_t taps) { return (input_length + taps - 1) / 2; }

// 2K - N + 2, the positions every coefficient window covers completely. Bands shorter than
// N/2 - 1 cover none, which gives an empty output rather than a wrapped-around size.
size_t synthesis_length(size_t band, size_t taps) {
  return 2 * band + 2 >= taps ? 2 * band + 2 - taps : 0;
}

WaveletStatus check_forward(size_t input_length, size_t taps, size_t approx_length,
                            size_t details_length) {
  if (input_length < taps) return OscletError::input_too_small(input_length, taps);
  if (approx_length != band_length(input_length, taps)) {
    return OscletError::half_length_mismatch(approx_length);
  }
  if (details_length != approx_length) return OscletError::half_length_mismatch(details_length);
  return WaveletStatus::success();
}

WaveletStatus synthesize(std::span<const float> approx, std::span<const float> details,
                         std::span<float> output, const float* low_pass, const float* high_pass,
                         size_t taps, size_t fixed_taps) {
  if (approx.size() != details.size()) {
    return OscletError::approx_details_mismatch(approx.size(), details.size());
  }
  const size_t expected = synthesis_length(approx.size(), taps);
  if (output.size() != expected) return OscletError::output_size_mismatch(expected, output.size());
  // Output pair m (samples 2m, 2m+1) gathers the coefficients m .. m+N/2-1, all inside the bands.
  conv_kernels(fixed_taps)
      .inverse(approx.data(), details.data(), expected / 2, low_pass, high_pass, taps,
               output.data());
  return WaveletStatus::success();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// General executor.

NeonWaveletNTapsF32::NeonWaveletNTapsF32(BorderMode border_mode, std::vector<float> low_pass,
                                         std::vector<float> high_pass)
    : border_mode_(border_mode),
      low_pass_(std::move(low_pass)),
      high_pass_(std::move(high_pass)),
      n_taps_(low_pass_.size()) {
  assert(n_taps_ >= 2 && n_taps_ % 2 == 0 && high_pass_.size() == n_taps_);
}

size_t NeonWaveletNTapsF32::required_scratch_size(size_t input_length) const {
  // The arena: left margin N-2, the signal, right margin 2K-n.
  return n_taps_ + 2 * band_length(input_length, n_taps_) - 2;
}

DwtSize NeonWaveletNTapsF32::dwt_size(size_t input_length) const {
  const size_t k = band_length(input_length, n_taps_);
  return {k, k};
}

size_t NeonWaveletNTapsF32::idwt_size(size_t approx_length, size_t) const {
  return synthesis_length(approx_length, n_taps_);
}

WaveletStatus NeonWaveletNTapsF32::execute_forward(std::span<const float> input,
                                                   std::span<float> approx,
                                                   std::span<float> details) const {
  VANTREL_RETURN_IF_ERROR(check_forward(input.size(), n_taps_, approx.size(), details.size()));
  const size_t scratch_length = required_scratch_size(input.size());
  std::unique_ptr<float[]> scratch(new (std::nothrow) float[scratch_length]());
  if (!scratch) return OscletError::allocation_failed(uint64_t{scratch_length} * sizeof(float));
  return execute_forward_with_scratch(input, approx, details,
                                      std::span<float>(scratch.get(), scratch_length));
}

WaveletStatus NeonWaveletNTapsF32::execute_forward_with_scratch(std::span<const float> input,
                                                                std::span<float> approx,
                                                                std::span<float> details,
                                                                std::span<float> scratch) const {
  const size_t n = input.size();
  VANTREL_RETURN_IF_ERROR(check_forward(n, n_taps_, approx.size(), details.size()));
  const size_t required = required_scratch_size(n);
  if (scratch.size() < required) {
    return OscletError::scratch_size_mismatch(required, scratch.size());
  }
  const size_t k = approx.size();
  const std::span<float> arena = scratch.first(required);
  VANTREL_RETURN_IF_ERROR(
      make_arena_writer_1d_executor()(input, arena, n_taps_ - 2, 2 * k - n, border_mode_));
  conv_kernels(0).forward(arena.data(), k, low_pass_.data(), high_pass_.data(), n_taps_,
                          approx.data(), details.data());
  return WaveletStatus::success();
}

WaveletStatus NeonWaveletNTapsF32::execute_inverse(std::span<const float> approx,
                                                   std::span<const float> details,
                                                   std::span<float> output) const {
  return synthesize(approx, details, output, low_pass_.data(), high_pass_.data(), n_taps_, 0);
}

// ---------------------------------------------------------------------------------------------
// Executors of a fixed tap count.

template <size_t N>
FixedTapsWaveletF32<N>::FixedTapsWaveletF32(BorderMode border_mode,
                                            const std::array<float, N>& low_pass)
    : border_mode_(border_mode),
      low_pass_(low_pass),
      high_pass_(low_pass_to_high_from_arr(low_pass)) {}

template <size_t N>
DwtSize FixedTapsWaveletF32<N>::dwt_size(size_t input_length) const {
  const size_t k = band_length(input_length, N);
  return {k, k};
}

template <size_t N>
size_t FixedTapsWaveletF32<N>::idwt_size(size_t approx_length, size_t) const {
  return synthesis_length(approx_length, N);
}

template <size_t N>
WaveletStatus FixedTapsWaveletF32<N>::execute_forward_with_scratch(std::span<const float> input,
                                                                   std::span<float> approx,
                                                                   std::span<float> details,
                                                                   std::span<float>) const {
  return execute_forward(input, approx, details);
}

// Outputs fall into three runs: the first (N-2)/2 windows reach left of x[0], the windows from
// k = floor(n/2) on reach right of x[n-1], and the ones between read the signal in place. The
// border runs are filtered from short strips of made-up samples with the same kernel, so every
// output has the same arithmetic wherever it lies.
template <size_t N>
WaveletStatus FixedTapsWaveletF32<N>::execute_forward(std::span<const float> input,
                                                      std::span<float> approx,
                                                      std::span<float> details) const {
  const size_t n = input.size();
  VANTREL_RETURN_IF_ERROR(check_forward(n, N, approx.size(), details.size()));
  const ConvKernels kernels = conv_kernels(N);
  const float* h = low_pass_.data();
  const float* g = high_pass_.data();
  const size_t k_total = approx.size();
  const int64_t length = static_cast<int64_t>(n);
  constexpr size_t kLeft = N - 2;
  constexpr size_t kHead = kLeft / 2;
  const size_t tail_start = n / 2;
  // Strips hold at most 2N - 2 samples: x[-(N-2)] .. x[N-3] on the left, x[2*floor(n/2) - N + 2]
  // .. x[2K-1] on the right.
  std::array<float, 2 * N> strip{};

  if constexpr (kHead > 0) {
    const BorderMode left_mode =
        (N != 6 && border_mode_ == BorderMode::ReflectNoEdge) ? BorderMode::Reflect : border_mode_;
    const BorderInterpolation left(left_mode, 0, length);
    for (size_t i = 0; i < 2 * N - 4; ++i) {
      strip[i] = left.sample(input, static_cast<int64_t>(i) - static_cast<int64_t>(kLeft));
    }
    kernels.forward(strip.data(), kHead, h, g, N, approx.data(), details.data());
  }

  // Window k starts at x[2k - (N-2)]; for k = kHead that is x[0].
  kernels.forward(input.data(), tail_start - kHead, h, g, N, approx.data() + kHead,
                  details.data() + kHead);

  const BorderInterpolation right(border_mode_, 0, length);
  const int64_t first = static_cast<int64_t>(2 * tail_start) - static_cast<int64_t>(kLeft);
  const size_t strip_length = 2 * k_total - static_cast<size_t>(first);
  for (size_t i = 0; i < strip_length; ++i) {
    strip[i] = right.sample(input, first + static_cast<int64_t>(i));
  }
  kernels.forward(strip.data(), k_total - tail_start, h, g, N, approx.data() + tail_start,
                  details.data() + tail_start);
  return WaveletStatus::success();
}

template <size_t N>
WaveletStatus FixedTapsWaveletF32<N>::execute_inverse(std::span<const float> approx,
                                                      std::span<const float> details,
                                                      std::span<float> output) const {
  return synthesize(approx, details, output, low_pass_.data(), high_pass_.data(), N, N);
}

template class FixedTapsWaveletF32<2>;
template class FixedTapsWaveletF32<4>;
template class FixedTapsWaveletF32<6>;
template class FixedTapsWaveletF32<8>;
template class FixedTapsWaveletF32<10>;
template class FixedTapsWaveletF32<12>;
template class FixedTapsWaveletF32<16>;

// ---------------------------------------------------------------------------------------------

WaveletResult<std::shared_ptr<const NeonWaveletNTapsF32>> DwtFactory::wavelet_n_taps(
    BorderMode border_mode, std::span<const float> low_pass) {
  if (low_pass.empty() || low_pass.size() % 2 != 0) return OscletError::invalid_wavelet();
  std::vector<float> low(low_pass.begin(), low_pass.end());
  std::vector<float> high = low_pass_to_high(low_pass);
  return std::shared_ptr<const NeonWaveletNTapsF32>(
      std::make_shared<const NeonWaveletNTapsF32>(border_mode, std::move(low), std::move(high)));
}

}  // namespace vantrel
