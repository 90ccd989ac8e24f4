// Inner loops of the convolution filter bank, one set per instruction set.
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

#include <cstddef>

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

// `fixed_taps` is 2, 4, 6, 8, 10, 12 or 16 for the kernels specialised by filter length and 0
// for the general kernel (any even tap count, given at run time).
ConvKernels conv_kernels_scalar(size_t fixed_taps);
#if defined(__x86_64__)
ConvKernels conv_kernels_avx2(size_t fixed_taps);
#endif

// The kernels of the active SIMD target.
ConvKernels conv_kernels(size_t fixed_taps);

}  // namespace vantrel
