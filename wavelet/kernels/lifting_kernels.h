// The inner loops of the lifting transforms, one table per instruction set.
//
// Every lifting step of CDF 5/3 and CDF 9/7 reduces to one of these loops over a run of
// interior samples; the ends of the signal are handled by the callers with the same scalar
// arithmetic on every target. Each kernel computes every sample with exactly the operations
// written beside it (one rounded sum, then one fused multiply-add), so all tables give the same
// bits.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "support/simd.h"

namespace vantrel {

struct LiftingKernels {
  // s[i] = x[2i] and d[i] = fma(x[2i] + x[2i+2], c, x[2i+1]) for i < count.
  // Reads x[0 .. 2·count].
  void (*split_predict)(const float* x, float* s, float* d, size_t count, float c);
  // t[i] = fma(a[i] + b[i], c, t[i]) for i < count. `t` overlaps neither `a` nor `b`.
  void (*lift)(float* t, const float* a, const float* b, size_t count, float c);
  // dst[i] = src[i] · c for i < count. `dst` may equal `src`.
  void (*scale)(float* dst, const float* src, size_t count, float c);
  // out[2i] = e[i] and out[2i+1] = fma(e[i] + e[i+1], c, o[i]) for i < count.
  // Reads e[0 .. count].
  void (*predict_merge)(const float* e, const float* o, float* out, size_t count, float c);
};

extern const LiftingKernels kLiftingKernelsScalar;
extern const LiftingKernels kLiftingKernelsAvx2;  // x86-64 builds only

// The table of the active target.
const LiftingKernels& active_lifting_kernels() noexcept;

// The scalar loops, with the signatures and results of the kernels above. The scalar table is
// made of them; the vector kernels finish the samples that do not fill a vector with them.
VANTREL_ALWAYS_INLINE void split_predict_loop(const float* x, float* s, float* d, size_t count,
                                              float c) {
  for (size_t i = 0; i < count; ++i) {
    s[i] = x[2 * i];
    d[i] = std::fma(x[2 * i] + x[2 * i + 2], c, x[2 * i + 1]);
  }
}

VANTREL_ALWAYS_INLINE void lift_loop(float* t, const float* a, const float* b, size_t count,
                                     float c) {
  for (size_t i = 0; i < count; ++i) t[i] = std::fma(a[i] + b[i], c, t[i]);
}

VANTREL_ALWAYS_INLINE void scale_loop(float* dst, const float* src, size_t count, float c) {
  for (size_t i = 0; i < count; ++i) dst[i] = src[i] * c;
}

VANTREL_ALWAYS_INLINE void predict_merge_loop(const float* e, const float* o, float* out,
                                              size_t count, float c) {
  for (size_t i = 0; i < count; ++i) {
    out[2 * i] = e[i];
    out[2 * i + 1] = std::fma(e[i] + e[i + 1], c, o[i]);
  }
}

// The steps of a lifting transform over index ranges. Every step of CDF 5/3 and CDF 9/7 is one
// of these with its own constant; the ends of the signal are applied here in scalar code, the
// interior through a kernel table. A step that covers [lo, hi) in several calls gives the same
// values as one call over the union, because every target sample reads only samples of the other
// band, never its own band.
//
// Lengths: n samples, approximation A = ceil(n/2), details D = floor(n/2), and
// `interior` = floor((n-1)/2) details whose right even neighbour x[2i+2] lies inside the signal
// (D - 1 for even n, D for odd n).
struct LiftingShape {
  size_t approx;
  size_t details;
  size_t interior;

  static LiftingShape of(size_t n) { return {n - n / 2, n / 2, (n - 1) / 2}; }
};

// First prediction and split for approximation indices [lo, hi):
// s[i] = x[2i]; d[i] = fma(x[2i] + x[2i+2], c, x[2i+1]) inside; for even n the last detail
// mirrors about x[n-2]: d[D-1] = fma(x[n-2] + x[n-2], c, x[n-1]).
inline void split_predict_range(const LiftingKernels& k, const LiftingShape& shape, const float* x,
                                float* s, float* d, size_t lo, size_t hi, float c) {
  const size_t m = shape.interior;
  if (lo < std::min(hi, m)) k.split_predict(x + 2 * lo, s + lo, d + lo, std::min(hi, m) - lo, c);
  if (lo <= m && m < hi) {
    s[m] = x[2 * m];
    if (m < shape.details) d[m] = std::fma(x[2 * m] + x[2 * m], c, x[2 * m + 1]);
  }
}

// Update of the approximation indices [lo, hi): s[i] = fma(d[i-1] + d[i], c, s[i]) for
// 1 <= i < update_end, with the left end mirrored (d[-1] = d[0]) and the right end
// s[A-1] = fma(d[A-2] + d[D-1], c, s[A-1]) (for odd n, d[A-2] is d[D-1]: d[D] = d[D-1]).
// Samples update_end .. A-2 keep their value. s[i] reads d[i-1] and d[i] at most.
inline void update_range(const LiftingKernels& k, const LiftingShape& shape, size_t update_end,
                         float* s, const float* d, size_t lo, size_t hi, float c) {
  if (lo >= hi) return;
  const size_t a = shape.approx;
  if (lo == 0) {
    s[0] = std::fma(d[0] + d[0], c, s[0]);
    lo = 1;
  }
  const size_t end = std::min(hi, update_end);
  if (lo < end) k.lift(s + lo, d + lo - 1, d + lo, end - lo, c);
  if (lo <= a - 1 && a - 1 < hi) {
    s[a - 1] = std::fma(d[a - 2] + d[shape.details - 1], c, s[a - 1]);
  }
}

// Prediction of the detail indices [lo, hi): d[i] = fma(s[i] + s[i+1], c, d[i]) inside; for even
// n the last detail mirrors about the last approximation: fma(s[A-1] + s[A-1], c, d[D-1]).
// d[i] reads s[i] and s[i+1] at most.
inline void predict_range(const LiftingKernels& k, const LiftingShape& shape, float* d,
                          const float* s, size_t lo, size_t hi, float c) {
  const size_t m = shape.interior;
  if (lo < std::min(hi, m)) k.lift(d + lo, s + lo, s + lo + 1, std::min(hi, m) - lo, c);
  if (m < shape.details && lo <= m && m < hi) {
    d[m] = std::fma(s[shape.approx - 1] + s[shape.approx - 1], c, d[m]);
  }
}

// Last prediction of an inverse fused with the interleave, for detail indices [lo, hi):
// out[2i] = e[i], out[2i+1] = fma(e[i] + e[i+1], c, o[i]) (mirrored at the right end as in
// predict_range); the range that reaches D also writes the last even sample of an odd n.
inline void predict_merge_range(const LiftingKernels& k, const LiftingShape& shape, const float* e,
                                const float* o, float* out, size_t lo, size_t hi, float c) {
  const size_t m = shape.interior;
  if (lo < std::min(hi, m)) k.predict_merge(e + lo, o + lo, out + 2 * lo, std::min(hi, m) - lo, c);
  if (lo <= m && m < hi) {
    const size_t last = shape.approx - 1;
    if (m < shape.details) {
      out[2 * m] = e[m];
      out[2 * m + 1] = std::fma(e[last] + e[last], c, o[m]);
    }
  }
  if (hi == shape.details && shape.approx > shape.details) {
    out[2 * shape.details] = e[shape.approx - 1];
  }
}

// Approximation samples per chunk of the wavefront that runs every lifting step over one stretch
// of the signal before moving on, so that the bands stay in the first-level cache between the
// steps instead of making one pass over memory per step. 512 samples (4 KiB of input, 2 KiB per
// band) measured best among 64 .. 16384 on the benchmark. Each step trails the one before by the
// one or two samples it reads ahead.
inline constexpr size_t kLiftingChunk = 512;
// The first chunk must leave the two-sample lag of the last steps something to do.
static_assert(kLiftingChunk >= 2);

}  // namespace vantrel
