// AVX2+FMA lifting kernels, eight samples per vector. Compiled for baseline x86-64 with the
// vector code in functions of their own target, chosen at run time through the kernel table.
//
// Each output sample sees the same two roundings as in the scalar kernels: the neighbour sum
// (_mm256_add_ps) and the fused multiply-add (_mm256_fmadd_ps). The tails that do not fill a
// vector run the scalar loops, compiled here for the same target, which round identically.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cmath>
#include <cstddef>

#include "wavelet/kernels/lifting_kernels.h"

namespace vantrel {
namespace {

// Splits 16 consecutive samples into their even- and odd-indexed halves, in order.
// _mm256_shuffle_ps works within 128-bit lanes, leaving the 64-bit pairs in the order
// 0 2 1 3; one cross-lane permute restores 0 1 2 3.
VANTREL_TARGET_AVX2 inline __m256 evens(__m256 lo, __m256 hi) {
  const __m256 mixed = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
  return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(mixed), _MM_SHUFFLE(3, 1, 2, 0)));
}

VANTREL_TARGET_AVX2 inline __m256 odds(__m256 lo, __m256 hi) {
  const __m256 mixed = _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(3, 1, 3, 1));
  return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(mixed), _MM_SHUFFLE(3, 1, 2, 0)));
}

VANTREL_TARGET_AVX2 void split_predict_avx2(const float* x, float* s, float* d, size_t count,
                                            float c) {
  const __m256 vc = _mm256_set1_ps(c);
  size_t i = 0;
  // A block of 8 outputs reads x[2i .. 2i+17] (the right neighbours are loaded two samples
  // further on), one sample past what it uses; i + 8 < count keeps that inside x[0 .. 2·count].
  for (; i + 8 < count; i += 8) {
    const float* p = x + 2 * i;
    const __m256 x0 = _mm256_loadu_ps(p);
    const __m256 x1 = _mm256_loadu_ps(p + 8);
    const __m256 y0 = _mm256_loadu_ps(p + 2);
    const __m256 y1 = _mm256_loadu_ps(p + 10);
    const __m256 even = evens(x0, x1);
    const __m256 odd = odds(x0, x1);
    const __m256 next_even = evens(y0, y1);
    _mm256_storeu_ps(s + i, even);
    _mm256_storeu_ps(d + i, _mm256_fmadd_ps(_mm256_add_ps(even, next_even), vc, odd));
  }
  split_predict_loop(x + 2 * i, s + i, d + i, count - i, c);
}

VANTREL_TARGET_AVX2 void lift_avx2(float* t, const float* a, const float* b, size_t count,
                                   float c) {
  const __m256 vc = _mm256_set1_ps(c);
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m256 s0 = _mm256_add_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    const __m256 s1 = _mm256_add_ps(_mm256_loadu_ps(a + i + 8), _mm256_loadu_ps(b + i + 8));
    _mm256_storeu_ps(t + i, _mm256_fmadd_ps(s0, vc, _mm256_loadu_ps(t + i)));
    _mm256_storeu_ps(t + i + 8, _mm256_fmadd_ps(s1, vc, _mm256_loadu_ps(t + i + 8)));
  }
  for (; i + 8 <= count; i += 8) {
    const __m256 sum = _mm256_add_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i));
    _mm256_storeu_ps(t + i, _mm256_fmadd_ps(sum, vc, _mm256_loadu_ps(t + i)));
  }
  lift_loop(t + i, a + i, b + i, count - i, c);
}

VANTREL_TARGET_AVX2 void scale_avx2(float* dst, const float* src, size_t count, float c) {
  const __m256 vc = _mm256_set1_ps(c);
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    _mm256_storeu_ps(dst + i, _mm256_mul_ps(_mm256_loadu_ps(src + i), vc));
    _mm256_storeu_ps(dst + i + 8, _mm256_mul_ps(_mm256_loadu_ps(src + i + 8), vc));
  }
  for (; i + 8 <= count; i += 8) {
    _mm256_storeu_ps(dst + i, _mm256_mul_ps(_mm256_loadu_ps(src + i), vc));
  }
  scale_loop(dst + i, src + i, count - i, c);
}

VANTREL_TARGET_AVX2 void predict_merge_avx2(const float* e, const float* o, float* out,
                                            size_t count, float c) {
  const __m256 vc = _mm256_set1_ps(c);
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 even = _mm256_loadu_ps(e + i);
    const __m256 sum = _mm256_add_ps(even, _mm256_loadu_ps(e + i + 1));
    const __m256 odd = _mm256_fmadd_ps(sum, vc, _mm256_loadu_ps(o + i));
    // unpack interleaves within 128-bit lanes: lo = e0 o0 e1 o1 | e4 o4 e5 o5,
    // hi = e2 o2 e3 o3 | e6 o6 e7 o7; the lane permutes put the halves in order.
    const __m256 lo = _mm256_unpacklo_ps(even, odd);
    const __m256 hi = _mm256_unpackhi_ps(even, odd);
    _mm256_storeu_ps(out + 2 * i, _mm256_permute2f128_ps(lo, hi, 0x20));
    _mm256_storeu_ps(out + 2 * i + 8, _mm256_permute2f128_ps(lo, hi, 0x31));
  }
  predict_merge_loop(e + i, o + i, out + 2 * i, count - i, c);
}

}  // namespace

const LiftingKernels kLiftingKernelsAvx2 = {
    split_predict_avx2,
    lift_avx2,
    scale_avx2,
    predict_merge_avx2,
};

}  // namespace vantrel

#endif  // defined(__x86_64__)
