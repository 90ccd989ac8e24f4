// AVX2 + FMA convolution kernels. Each function is compiled for AVX2 and FMA only and is reached
// through the kernel table when the CPU has both; lanes hold consecutive outputs, and each lane
// runs exactly the scalar kernel's sequence of fused multiply-adds, so the bits match. Outputs
// left over after the vector loops run the scalar loops, compiled here for the same target.
#if defined(__x86_64__)

#include <immintrin.h>

#include <algorithm>
#include <cmath>

#include "wavelet/kernels/conv_kernels.h"

namespace vantrel {
namespace {

struct EvenOdd {
  __m256 even;
  __m256 odd;
};

// p[0], p[2], .., p[14] and p[1], p[3], .., p[15].
VANTREL_TARGET_AVX2 inline EvenOdd deinterleave8(const float* p) {
  const __m256 lo = _mm256_loadu_ps(p);
  const __m256 hi = _mm256_loadu_ps(p + 8);
  // Per 128-bit lane: (lo0 lo2 hi0 hi2 | lo4 lo6 hi4 hi6); swapping the middle 64-bit blocks
  // restores the order.
  const __m256 e = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
  const __m256 o = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
  return {_mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(e), _MM_SHUFFLE(3, 1, 2, 0))),
          _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(o), _MM_SHUFFLE(3, 1, 2, 0)))};
}

// Writes e0 o0 e1 o1 .. e7 o7 to p[0 .. 15].
VANTREL_TARGET_AVX2 inline void interleave8(float* p, __m256 even, __m256 odd) {
  const __m256 lo = _mm256_unpacklo_ps(even, odd);  // e0 o0 e1 o1 | e4 o4 e5 o5
  const __m256 hi = _mm256_unpackhi_ps(even, odd);  // e2 o2 e3 o3 | e6 o6 e7 o7
  _mm256_storeu_ps(p, _mm256_permute2f128_ps(lo, hi, 0x20));
  _mm256_storeu_ps(p + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
}

// kVecs * 8 outputs from the deinterleaved window: tap 2p of output t reads even[t + p], tap
// 2p+1 reads odd[t + p]. Several independent accumulators hide the FMA latency.
template <size_t kVecs>
VANTREL_TARGET_AVX2 inline void forward_block(const float* even, const float* odd, size_t half,
                                              const float* h, const float* g, float* approx,
                                              float* details) {
  __m256 a[kVecs];
  __m256 d[kVecs];
  for (size_t v = 0; v < kVecs; ++v) {
    a[v] = _mm256_setzero_ps();
    d[v] = _mm256_setzero_ps();
  }
  for (size_t p = 0; p < half; ++p) {
    const __m256 h0 = _mm256_set1_ps(h[2 * p]);
    const __m256 g0 = _mm256_set1_ps(g[2 * p]);
    const __m256 h1 = _mm256_set1_ps(h[2 * p + 1]);
    const __m256 g1 = _mm256_set1_ps(g[2 * p + 1]);
    for (size_t v = 0; v < kVecs; ++v) {
      const __m256 e = _mm256_loadu_ps(even + 8 * v + p);
      a[v] = _mm256_fmadd_ps(h0, e, a[v]);
      d[v] = _mm256_fmadd_ps(g0, e, d[v]);
    }
    for (size_t v = 0; v < kVecs; ++v) {
      const __m256 o = _mm256_loadu_ps(odd + 8 * v + p);
      a[v] = _mm256_fmadd_ps(h1, o, a[v]);
      d[v] = _mm256_fmadd_ps(g1, o, d[v]);
    }
  }
  for (size_t v = 0; v < kVecs; ++v) {
    _mm256_storeu_ps(approx + 8 * v, a[v]);
    _mm256_storeu_ps(details + 8 * v, d[v]);
  }
}

// Two products and one add per output, as in the scalar kernel (no fusion).
VANTREL_TARGET_AVX2 void forward_2taps_avx2(const float* base, size_t count, const float* h,
                                            const float* g, size_t /*taps*/, float* approx,
                                            float* details) {
  const __m256 h0 = _mm256_set1_ps(h[0]);
  const __m256 h1 = _mm256_set1_ps(h[1]);
  const __m256 g0 = _mm256_set1_ps(g[0]);
  const __m256 g1 = _mm256_set1_ps(g[1]);
  size_t j = 0;
  for (; j + 8 <= count; j += 8) {
    const EvenOdd x = deinterleave8(base + 2 * j);
    _mm256_storeu_ps(approx + j,
                     _mm256_add_ps(_mm256_mul_ps(h0, x.even), _mm256_mul_ps(h1, x.odd)));
    _mm256_storeu_ps(details + j,
                     _mm256_add_ps(_mm256_mul_ps(g0, x.even), _mm256_mul_ps(g1, x.odd)));
  }
  forward_loop<2>(base + 2 * j, count - j, h, g, 2, approx + j, details + j);
}

// The windows of neighbouring outputs overlap by all but two samples, so the input is split
// once per block into its even and odd samples; every tap is then one unaligned load and an FMA
// per eight outputs instead of a load and a shuffle.
template <size_t kTaps>
VANTREL_TARGET_AVX2 void forward_avx2(const float* base, size_t count, const float* h,
                                      const float* g, size_t runtime_taps, float* approx,
                                      float* details) {
  const size_t taps = kTaps != 0 ? kTaps : runtime_taps;
  const size_t half = taps / 2;
  constexpr size_t kBuffer = 512;
  size_t j = 0;
  if (half + 7 <= kBuffer) {
    alignas(32) float even[kBuffer];
    alignas(32) float odd[kBuffer];
    // Outputs per block: nb outputs read nb + half - 1 sample pairs.
    const size_t block = (kBuffer - (half - 1)) / 8 * 8;
    while (count - j >= 8) {
      const size_t nb = std::min(block, (count - j) / 8 * 8);
      const size_t pairs = nb + half - 1;
      const float* src = base + 2 * j;
      size_t q = 0;
      for (; q + 8 <= pairs; q += 8) {
        const EvenOdd eo = deinterleave8(src + 2 * q);
        _mm256_store_ps(even + q, eo.even);
        _mm256_store_ps(odd + q, eo.odd);
      }
      for (; q < pairs; ++q) {
        even[q] = src[2 * q];
        odd[q] = src[2 * q + 1];
      }
      size_t t = 0;
      for (; t + 32 <= nb; t += 32) {
        forward_block<4>(even + t, odd + t, half, h, g, approx + j + t, details + j + t);
      }
      for (; t < nb; t += 8) {
        forward_block<1>(even + t, odd + t, half, h, g, approx + j + t, details + j + t);
      }
      j += nb;
    }
  }
  if (j < count) {
    forward_loop<kTaps>(base + 2 * j, count - j, h, g, taps, approx + j, details + j);
  }
}

// kVecs * 8 output pairs starting at out[0]; lane l of block v is the pair m = 8v + l.
template <size_t kVecs>
VANTREL_TARGET_AVX2 inline void inverse_block(const float* approx, const float* details,
                                              size_t taps, const float* h, const float* g,
                                              float* out) {
  __m256 even[kVecs];
  __m256 odd[kVecs];
  for (size_t v = 0; v < kVecs; ++v) {
    const EvenOdd y = deinterleave8(out + 16 * v);
    even[v] = y.even;
    odd[v] = y.odd;
  }
  const size_t half = taps / 2;
  for (size_t r = 0; r < half; ++r) {
    const size_t je = taps - 2 - 2 * r;
    const __m256 he = _mm256_set1_ps(h[je]);
    const __m256 ge = _mm256_set1_ps(g[je]);
    const __m256 ho = _mm256_set1_ps(h[je + 1]);
    const __m256 go = _mm256_set1_ps(g[je + 1]);
    for (size_t v = 0; v < kVecs; ++v) {
      const __m256 a = _mm256_loadu_ps(approx + 8 * v + r);
      const __m256 d = _mm256_loadu_ps(details + 8 * v + r);
      even[v] = _mm256_fmadd_ps(he, a, _mm256_fmadd_ps(ge, d, even[v]));
      odd[v] = _mm256_fmadd_ps(ho, a, _mm256_fmadd_ps(go, d, odd[v]));
    }
  }
  for (size_t v = 0; v < kVecs; ++v) interleave8(out + 16 * v, even[v], odd[v]);
}

template <size_t kTaps>
VANTREL_TARGET_AVX2 void inverse_avx2(const float* approx, const float* details, size_t pairs,
                                      const float* h, const float* g, size_t runtime_taps,
                                      float* out) {
  const size_t taps = kTaps != 0 ? kTaps : runtime_taps;
  size_t m = 0;
  for (; m + 32 <= pairs; m += 32) {
    inverse_block<4>(approx + m, details + m, taps, h, g, out + 2 * m);
  }
  for (; m + 8 <= pairs; m += 8) {
    inverse_block<1>(approx + m, details + m, taps, h, g, out + 2 * m);
  }
  if (m < pairs) {
    inverse_loop<kTaps>(approx + m, details + m, pairs - m, h, g, taps, out + 2 * m);
  }
}

template <size_t kTaps>
constexpr ConvForwardFn forward_kernel_avx2() {
  if constexpr (kTaps == 2) {
    return forward_2taps_avx2;
  } else {
    return forward_avx2<kTaps>;
  }
}

template <size_t kTaps>
struct Avx2Kernels {
  static constexpr ConvForwardFn forward = forward_kernel_avx2<kTaps>();
  static constexpr ConvInverseFn inverse = inverse_avx2<kTaps>;
};

}  // namespace

const ConvKernelTable kConvKernelsAvx2 = make_conv_kernel_table<Avx2Kernels>();

}  // namespace vantrel

#endif  // defined(__x86_64__)
