// AVX2 + FMA forms of the pipeline passes. Each lane performs exactly the scalar operations of
// passes.cpp in the same order, so results are identical bit for bit; what the vector loops leave
// over runs the scalar kernel.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cmath>

#include "codec/passes_kernels.h"
#include "support/simd.h"

namespace vantrel {
namespace {

VANTREL_TARGET_AVX2 Extremes sanitize_avx2(const float* in, float* out, size_t n) {
  const __m256 abs_mask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
  const __m256 inf = _mm256_set1_ps(INFINITY);
  const __m256 zero = _mm256_setzero_ps();
  const __m256 one = _mm256_set1_ps(1.0f);
  if (n < 8) return kPassKernelsScalar.sanitize(in, out, n);
  __m256 mn = _mm256_set1_ps(INFINITY);
  __m256 mx = _mm256_set1_ps(-INFINITY);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 x = _mm256_loadu_ps(in + i);
    // |x| < inf is false for infinities and NaN.
    const __m256 finite = _mm256_cmp_ps(_mm256_and_ps(x, abs_mask), inf, _CMP_LT_OQ);
    const __m256 positive = _mm256_cmp_ps(x, zero, _CMP_GT_OQ);
    const __m256 replacement = _mm256_and_ps(positive, one);
    const __m256 v = _mm256_blendv_ps(replacement, x, finite);
    _mm256_storeu_ps(out + i, v);
    mn = _mm256_min_ps(v, mn);
    mx = _mm256_max_ps(v, mx);
  }
  alignas(32) float lo[8], hi[8];
  _mm256_store_ps(lo, mn);
  _mm256_store_ps(hi, mx);
  Extremes e{lo[0], hi[0]};
  for (int k = 1; k < 8; ++k) {
    e.min = lo[k] < e.min ? lo[k] : e.min;
    e.max = hi[k] > e.max ? hi[k] : e.max;
  }
  if (i < n) {
    const Extremes tail = kPassKernelsScalar.sanitize(in + i, out + i, n - i);
    e.min = tail.min < e.min ? tail.min : e.min;
    e.max = tail.max > e.max ? tail.max : e.max;
  }
  return e;
}

VANTREL_TARGET_AVX2 float normalize_avx2(float* x, size_t n, float min, float inv) {
  const __m256 vmin = _mm256_set1_ps(min);
  const __m256 vinv = _mm256_set1_ps(inv);
  float sum = 0.0f;
  size_t i = 0;
  alignas(32) float lanes[8];
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_mul_ps(_mm256_sub_ps(_mm256_loadu_ps(x + i), vmin), vinv);
    _mm256_storeu_ps(x + i, v);
    _mm256_store_ps(lanes, v);
    // The sum stays strictly in index order.
    for (int k = 0; k < 8; ++k) sum += lanes[k];
  }
  for (; i < n; ++i) {
    x[i] = (x[i] - min) * inv;
    sum += x[i];
  }
  return sum;
}

VANTREL_TARGET_AVX2 void subtract_avx2(float* x, size_t n, float mean) {
  const __m256 vmean = _mm256_set1_ps(mean);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(x + i, _mm256_sub_ps(_mm256_loadu_ps(x + i), vmean));
  kPassKernelsScalar.subtract(x + i, n - i, mean);
}

VANTREL_TARGET_AVX2 bool quantize_avx2(const float* x, size_t n, float multiplier, int16_t* out) {
  const __m256 vm = _mm256_set1_ps(multiplier);
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256 sign_mask = _mm256_set1_ps(-0.0f);
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 hi = _mm256_set1_ps(32767.0f);
  const __m256 lo = _mm256_set1_ps(-32768.0f);
  __m256 out_of_range = _mm256_setzero_ps();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 p = _mm256_mul_ps(_mm256_loadu_ps(x + i), vm);
    // Round half away from zero: truncate, then step away from zero when the dropped fraction
    // (exact: p - trunc(p)) is at least one half.
    const __m256 t = _mm256_round_ps(p, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256 frac = _mm256_andnot_ps(sign_mask, _mm256_sub_ps(p, t));
    const __m256 step = _mm256_or_ps(_mm256_and_ps(p, sign_mask), one);
    const __m256 r = _mm256_add_ps(t, _mm256_and_ps(_mm256_cmp_ps(frac, half, _CMP_GE_OQ), step));
    // In range unless below -32768, above 32767 or NaN.
    const __m256 inside =
        _mm256_and_ps(_mm256_cmp_ps(r, lo, _CMP_GE_OQ), _mm256_cmp_ps(r, hi, _CMP_LE_OQ));
    out_of_range = _mm256_or_ps(out_of_range,
                                _mm256_xor_ps(inside, _mm256_castsi256_ps(_mm256_set1_epi32(-1))));
    // min(r, 32767) yields 32767 for NaN r (the second operand), as minNum does.
    const __m256 c = _mm256_max_ps(_mm256_min_ps(r, hi), lo);
    const __m256i w = _mm256_cvttps_epi32(c);
    const __m128i packed =
        _mm_packs_epi32(_mm256_castsi256_si128(w), _mm256_extracti128_si256(w, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
  }
  const bool tail_ok = kPassKernelsScalar.quantize(x + i, n - i, multiplier, out + i);
  return tail_ok && _mm256_movemask_ps(out_of_range) == 0;
}

VANTREL_TARGET_AVX2 void dead_zone_avx2(int16_t* v, size_t n, int32_t threshold) {
  if (threshold > 32768) threshold = 32769;  // every value lies below it
  size_t i = 0;
  if (threshold <= 32767) {
    // |v| < T  <=>  -T < v < T, compared in 16 bits since T <= 32767.
    const __m256i t = _mm256_set1_epi16(static_cast<int16_t>(threshold));
    const __m256i neg_t = _mm256_set1_epi16(static_cast<int16_t>(-threshold));
    for (; i + 16 <= n; i += 16) {
      const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + i));
      const __m256i small =
          _mm256_and_si256(_mm256_cmpgt_epi16(t, x), _mm256_cmpgt_epi16(x, neg_t));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(v + i), _mm256_andnot_si256(small, x));
    }
  }
  kPassKernelsScalar.dead_zone(v + i, n - i, threshold);
}

VANTREL_TARGET_AVX2 void denormalize_avx2(float* x, size_t n, float mean, float range, float min) {
  const __m256 vmean = _mm256_set1_ps(mean);
  const __m256 vrange = _mm256_set1_ps(range);
  const __m256 vmin = _mm256_set1_ps(min);
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(x + i,
                     _mm256_fmadd_ps(_mm256_add_ps(_mm256_loadu_ps(x + i), vmean), vrange, vmin));
  kPassKernelsScalar.denormalize(x + i, n - i, mean, range, min);
}

}  // namespace

const PassKernels kPassKernelsAvx2 = {
    sanitize_avx2, normalize_avx2, subtract_avx2, quantize_avx2, dead_zone_avx2, denormalize_avx2,
};

}  // namespace vantrel

#endif
