// Scalar convolution kernels: the reference every vector form reproduces.
#include <cassert>
#include <cmath>

#include "support/cpu.h"
#include "wavelet/kernels/conv_kernels.h"

namespace vantrel {
namespace {

// kTaps = 0 takes the tap count at run time; otherwise the loops have constant bounds and unroll.
template <size_t kTaps>
void forward_scalar(const float* base, size_t count, const float* h, const float* g,
                    size_t runtime_taps, float* approx, float* details) {
  const size_t taps = kTaps != 0 ? kTaps : runtime_taps;
  for (size_t j = 0; j < count; ++j) {
    const float* w = base + 2 * j;
    float a = 0.0f;
    float d = 0.0f;
    for (size_t i = 0; i < taps; ++i) {
      a = std::fma(h[i], w[i], a);
      d = std::fma(g[i], w[i], d);
    }
    approx[j] = a;
    details[j] = d;
  }
}

void forward_2taps_scalar(const float* base, size_t count, const float* h, const float* g,
                          size_t taps, float* approx, float* details) {
  assert(taps == 2);
  (void)taps;
  for (size_t j = 0; j < count; ++j) {
    const float x0 = base[2 * j];
    const float x1 = base[2 * j + 1];
    approx[j] = h[0] * x0 + h[1] * x1;
    details[j] = g[0] * x0 + g[1] * x1;
  }
}

template <size_t kTaps>
void inverse_scalar(const float* approx, const float* details, size_t pairs, const float* h,
                    const float* g, size_t runtime_taps, float* out) {
  const size_t taps = kTaps != 0 ? kTaps : runtime_taps;
  const size_t half = taps / 2;
  for (size_t m = 0; m < pairs; ++m) {
    float even = out[2 * m];
    float odd = out[2 * m + 1];
    for (size_t r = 0; r < half; ++r) {
      const float a = approx[m + r];
      const float d = details[m + r];
      const size_t je = taps - 2 - 2 * r;
      even = std::fma(h[je], a, std::fma(g[je], d, even));
      odd = std::fma(h[je + 1], a, std::fma(g[je + 1], d, odd));
    }
    out[2 * m] = even;
    out[2 * m + 1] = odd;
  }
}

}  // namespace

ConvKernels conv_kernels_scalar(size_t fixed_taps) {
  switch (fixed_taps) {
    case 2:
      return {forward_2taps_scalar, inverse_scalar<2>};
    case 4:
      return {forward_scalar<4>, inverse_scalar<4>};
    case 6:
      return {forward_scalar<6>, inverse_scalar<6>};
    case 8:
      return {forward_scalar<8>, inverse_scalar<8>};
    case 10:
      return {forward_scalar<10>, inverse_scalar<10>};
    case 12:
      return {forward_scalar<12>, inverse_scalar<12>};
    case 16:
      return {forward_scalar<16>, inverse_scalar<16>};
    default:
      assert(fixed_taps == 0);
      return {forward_scalar<0>, inverse_scalar<0>};
  }
}

ConvKernels conv_kernels(size_t fixed_taps) {
#if defined(__x86_64__)
  if (active_simd_target() == SimdTarget::Avx2) return conv_kernels_avx2(fixed_taps);
#endif
  return conv_kernels_scalar(fixed_taps);
}

}  // namespace vantrel
