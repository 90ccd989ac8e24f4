// One level of an orthogonal two-channel filter bank: filtering by correlation with the
// low-pass h and the high-pass g, then keeping every second output.
//
// For n samples and N taps: K = floor((n + N - 1) / 2) outputs per band, the padded signal runs
// from x[-(N-2)] to x[2K-1] (left margin N-2, right margin N-2 for even n and N-1 for odd n) and
//   approx[k] = sum_i h[i] x[2k + i - (N-2)],   details[k] = sum_i g[i] x[2k + i - (N-2)].
// The synthesis is the transpose of that map restricted to 0 .. 2K-N+1, which for an orthogonal
// bank gives the signal back whatever the border samples were.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "wavelet/border_mode.h"
#include "wavelet/executor.h"

namespace vantrel {

// Any even tap count: pads the signal into an arena (the scratch) and filters the arena.
// Despite the name it runs on every target, with the kernels of the active one (scalar or AVX2).
class NeonWaveletNTapsF32 final : public IncompleteDwtExecutor {
 public:
  // `low_pass` and `high_pass` have the same even, non-zero length.
  NeonWaveletNTapsF32(BorderMode border_mode, std::vector<float> low_pass,
                      std::vector<float> high_pass);

  WaveletStatus execute_forward(std::span<const float> input, std::span<float> approx,
                                std::span<float> details) const override;
  WaveletStatus execute_forward_with_scratch(std::span<const float> input, std::span<float> approx,
                                             std::span<float> details,
                                             std::span<float> scratch) const override;
  size_t required_scratch_size(size_t input_length) const override;
  DwtSize dwt_size(size_t input_length) const override;
  WaveletStatus execute_inverse(std::span<const float> approx, std::span<const float> details,
                                std::span<float> output) const override;
  size_t idwt_size(size_t approx_length, size_t details_length) const override;
  size_t filter_length() const override { return n_taps_; }

  BorderMode border_mode() const { return border_mode_; }
  std::span<const float> low_pass() const { return low_pass_; }
  std::span<const float> high_pass() const { return high_pass_; }

 private:
  BorderMode border_mode_;
  std::vector<float> low_pass_;
  std::vector<float> high_pass_;
  size_t n_taps_;
};

// A filter bank of exactly N taps (2, 4, 6, 8, 10, 12 or 16). Reads the signal in place and makes
// up the few border samples it needs; no scratch. Under ReflectNoEdge the left margin of the 4, 8,
// 10, 12 and 16 tap banks repeats the edge sample as Reflect does (x[-1-j] = x[j]); the right
// margin, and both margins of the 2 and 6 tap banks, follow the mode.
template <size_t N>
class FixedTapsWaveletF32 final : public IncompleteDwtExecutor {
  static_assert(N == 2 || N == 4 || N == 6 || N == 8 || N == 10 || N == 12 || N == 16);

 public:
  // The high-pass filter is derived from the low-pass one (low_pass_to_high).
  FixedTapsWaveletF32(BorderMode border_mode, const std::array<float, N>& low_pass);

  WaveletStatus execute_forward(std::span<const float> input, std::span<float> approx,
                                std::span<float> details) const override;
  WaveletStatus execute_forward_with_scratch(std::span<const float> input, std::span<float> approx,
                                             std::span<float> details,
                                             std::span<float> scratch) const override;
  size_t required_scratch_size(size_t) const override { return 0; }
  DwtSize dwt_size(size_t input_length) const override;
  WaveletStatus execute_inverse(std::span<const float> approx, std::span<const float> details,
                                std::span<float> output) const override;
  size_t idwt_size(size_t approx_length, size_t details_length) const override;
  size_t filter_length() const override { return N; }

  BorderMode border_mode() const { return border_mode_; }
  std::span<const float> low_pass() const { return low_pass_; }
  std::span<const float> high_pass() const { return high_pass_; }

 private:
  BorderMode border_mode_;
  std::array<float, N> low_pass_;
  std::array<float, N> high_pass_;
};

// The names by filter length; like NeonWaveletNTapsF32 they run on every target.
using NeonWavelet2TapsF32 = FixedTapsWaveletF32<2>;
using NeonWavelet4TapsF32 = FixedTapsWaveletF32<4>;
using NeonWavelet6TapsF32 = FixedTapsWaveletF32<6>;
using NeonWavelet8TapsF32 = FixedTapsWaveletF32<8>;
using NeonWavelet10TapsF32 = FixedTapsWaveletF32<10>;
using NeonWavelet12TapsF32 = FixedTapsWaveletF32<12>;
using NeonWavelet16TapsF32 = FixedTapsWaveletF32<16>;

extern template class FixedTapsWaveletF32<2>;
extern template class FixedTapsWaveletF32<4>;
extern template class FixedTapsWaveletF32<6>;
extern template class FixedTapsWaveletF32<8>;
extern template class FixedTapsWaveletF32<10>;
extern template class FixedTapsWaveletF32<12>;
extern template class FixedTapsWaveletF32<16>;

struct DwtFactory {
  // A general executor for any filter: copies `low_pass`, derives the high-pass filter. A filter
  // of zero or odd length is refused with InvalidWavelet.
  static WaveletResult<std::shared_ptr<const NeonWaveletNTapsF32>> wavelet_n_taps(
      BorderMode border_mode, std::span<const float> low_pass);
};

}  // namespace vantrel
