// Inner loops of the convolution filter bank, one table per instruction set.
//
// Every kernel fixes the order of operations per output sample, so the scalar and vector forms
// give the same bits:
//   forward, N >= 4 and the general kernel: a = 0; a = fma(h[i], w[i], a) for i = 0 .. N-1
//                                           (likewise d with g);
//   forward, 2 taps:                        a = h[0]*w[0] + h[1]*w[1] (two products, one add);
//   inverse: for the coefficients k = m .. m+N/2-1 in ascending order,
//            y[2m]   = fma(h[N-2-2r], a[k], fma(g[N-2-2r], d[k], y[2m])),
//            y[2m+1] = fma(h[N-1-2r], a[k], fma(g[N-1-2r], d[k], y[2m+1])), with r = k - m.
// Vector forms only spread independent outputs across lanes.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

#include "support/simd.h"

namespace vantrel {

// For j in 0 .. count-1, the window of output j is base[2j .. 2j+taps-1]:
// approx[j] = sum h[i] * base[2j+i], details[j] = sum g[i] * base[2j+i].
using ConvForwardFn = void (*)(const float* base, size_t count, const float* h, const float* g,
                               size_t taps, float* approx, float* details);

// Adds the synthesis of approx/details into out[0 .. 2*pairs-1]; reads approx and details at
// 0 .. pairs+taps/2-2.
using ConvInverseFn = void (*)(const float* approx, const float* details, size_t pairs,
                               const float* h, const float* g, size_t taps, float* out);

struct ConvKernels {
  ConvForwardFn forward;
  ConvInverseFn inverse;
};

// The filter lengths with kernels of their own, in table order; 0 stands for the general kernel
// (any even tap count, given at run time).
inline constexpr size_t kConvKernelTaps[] = {0, 2, 4, 6, 8, 10, 12, 16};

using ConvKernelTable = std::array<ConvKernels, std::size(kConvKernelTaps)>;

// A target's table from its kernel templates: Kernels<N>::forward and Kernels<N>::inverse for
// every N of kConvKernelTaps.
template <template <size_t> class Kernels, size_t... I>
constexpr ConvKernelTable make_conv_kernel_table(std::index_sequence<I...>) {
  return {
      ConvKernels{Kernels<kConvKernelTaps[I]>::forward, Kernels<kConvKernelTaps[I]>::inverse}...};
}

template <template <size_t> class Kernels>
constexpr ConvKernelTable make_conv_kernel_table() {
  return make_conv_kernel_table<Kernels>(std::make_index_sequence<std::size(kConvKernelTaps)>());
}

extern const ConvKernelTable kConvKernelsScalar;
extern const ConvKernelTable kConvKernelsAvx2;  // x86-64 builds only

// The table of the active target.
const ConvKernelTable& active_conv_kernels() noexcept;

// The kernels of the active target for `fixed_taps`, one of kConvKernelTaps.
ConvKernels conv_kernels(size_t fixed_taps) noexcept;

// The scalar loops, with the signatures and results of the kernels (kTaps = 0 takes the tap count
// at run time; otherwise the loops have constant bounds and unroll). The scalar table is made of
// them; the vector kernels finish the outputs that do not fill a vector with them.
template <size_t kTaps>
VANTREL_ALWAYS_INLINE void forward_loop(const float* base, size_t count, const float* h,
                                        const float* g, size_t runtime_taps, float* approx,
                                        float* details) {
  const size_t taps = kTaps != 0 ? kTaps : runtime_taps;
  for (size_t j = 0; j < count; ++j) {
    const float* w = base + 2 * j;
    if constexpr (kTaps == 2) {
      approx[j] = h[0] * w[0] + h[1] * w[1];
      details[j] = g[0] * w[0] + g[1] * w[1];
    } else {
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
}

template <size_t kTaps>
VANTREL_ALWAYS_INLINE void inverse_loop(const float* approx, const float* details, size_t pairs,
                                        const float* h, const float* g, size_t runtime_taps,
                                        float* out) {
  const size_t taps = kTaps != 0 ? kTaps : runtime_taps;
  for (size_t m = 0; m < pairs; ++m) {
    float even = out[2 * m];
    float odd = out[2 * m + 1];
    for (size_t r = 0; r < taps / 2; ++r) {
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

}  // namespace vantrel
