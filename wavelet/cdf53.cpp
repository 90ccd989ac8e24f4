// CDF 5/3 by lifting:
//
//   d[i] = x[2i+1] - (x[2i] + x[2i+2]) / 2        prediction
//   s[i] = x[2i]   + (d[i-1] + d[i]) / 4          update
//
// each written as one fused multiply-add on the rounded neighbour sum, with whole-sample
// symmetric extension at both ends. No normalisation: the approximation has gain 1.
#include <algorithm>
#include <memory>

#include "wavelet/factory.h"
#include "wavelet/kernels/lifting_kernels.h"
#include "wavelet/lifting.h"

namespace vantrel {
namespace {

constexpr float kPredict = -0.5f;
constexpr float kUpdate = 0.25f;

}  // namespace

WaveletStatus Cdf53::execute_forward(std::span<const float> input, std::span<float> approx,
                                     std::span<float> details) const {
  const size_t n = input.size();
  VANTREL_RETURN_IF_ERROR(check_forward_sizes(n, approx.size(), details.size()));
  const LiftingShape shape = LiftingShape::of(n);

  const LiftingKernels& k = active_lifting_kernels();
  const float* x = input.data();
  float* s = approx.data();
  float* d = details.data();
  const size_t a = shape.approx;
  // s[i] reads d[i-1] and d[i] only, so the update follows the prediction chunk by chunk.
  for (size_t lo = 0; lo < a;) {
    const size_t hi = std::min(lo + kLiftingChunk, a);
    split_predict_range(k, shape, x, s, d, lo, hi, kPredict);
    update_range(k, shape, a - 1, s, d, lo, hi, kUpdate);
    lo = hi;
  }
  return {};
}

DwtSize Cdf53::dwt_size(size_t input_length) const {
  return {std::max<size_t>(input_length - input_length / 2, 2),
          std::max<size_t>(input_length / 2, 1)};
}

WaveletStatus Cdf53::execute_inverse(std::span<const float> approx, std::span<const float> details,
                                     std::span<float> output) const {
  VANTREL_RETURN_IF_ERROR(check_inverse_sizes(approx.size(), details.size(), output.size()));
  // The even samples are rebuilt in a working copy; the odd ones go straight to the output.
  SampleBuffer even;
  VANTREL_ASSIGN_OR_RETURN(const std::span<float> e, even.first(approx.size()));
  inverse(approx.data(), details.data(), e.data(), output);
  return {};
}

WaveletStatus Cdf53::execute_inverse_in_place(std::span<float> approx, std::span<float> details,
                                              std::span<float> output) const {
  VANTREL_RETURN_IF_ERROR(check_inverse_sizes(approx.size(), details.size(), output.size()));
  inverse(approx.data(), details.data(), approx.data(), output);
  return {};
}

void Cdf53::inverse(const float* approx, const float* details, float* even,
                    std::span<float> output) const {
  // The sizes passed only for n >= 3, where they are ceil(n/2) and floor(n/2).
  const LiftingShape shape = LiftingShape::of(output.size());
  const size_t a = shape.approx;
  const size_t dn = shape.details;
  const LiftingKernels& k = active_lifting_kernels();
  float* e = even;
  float* out = output.data();
  // Odd sample j reads e[j] and e[j+1], so the last stage trails the update by one sample.
  size_t merged = 0;
  for (size_t lo = 0; lo < a;) {
    const size_t hi = std::min(lo + kLiftingChunk, a);
    if (e != approx) std::copy(approx + lo, approx + hi, e + lo);
    update_range(k, shape, a - 1, e, details, lo, hi, -kUpdate);
    const size_t merge_end = hi == a ? dn : hi - 1;
    predict_merge_range(k, shape, e, details, out, merged, merge_end, -kPredict);
    merged = merge_end;
    lo = hi;
  }
}

size_t Cdf53::idwt_size(size_t approx_length, size_t details_length) const {
  return std::max<size_t>(approx_length + details_length, 3);
}

std::shared_ptr<const DwtExecutor> Osclet::make_cdf53_f32() {
  return std::make_shared<const Cdf53>();
}

}  // namespace vantrel
