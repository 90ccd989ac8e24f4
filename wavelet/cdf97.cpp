// CDF 9/7 by lifting: two prediction and two update steps and a final scaling,
//
//   d1[i] = x[2i+1] + alpha·(x[2i] + x[2i+2])     s1[i] = x[2i] + beta·(d1[i-1] + d1[i])
//   d2[i] = d1[i]   + gamma·(s1[i] + s1[i+1])     s2[i] = s1[i] + delta·(d2[i-1] + d2[i])
//   s[i]  = K·s2[i]                               d[i]  = (1/K)·d2[i]
//
// each product-sum one fused multiply-add on the rounded neighbour sum, with whole-sample
// symmetric extension at both ends. The constants are fixed by their single-precision bits.
// The inverse runs the same steps backwards with the negated constants.
#include <algorithm>
#include <bit>
#include <cassert>
#include <cstdint>
#include <memory>

#include "wavelet/factory.h"
#include "wavelet/kernels/lifting_kernels.h"
#include "wavelet/lifting.h"

namespace vantrel {
namespace {

const float kAlpha = std::bit_cast<float>(0xBFCB0673u);     // -1.5861343145370483
const float kBeta = std::bit_cast<float>(0xBD5901AEu);      // -0.05298011749982834
const float kGamma = std::bit_cast<float>(0x3F620676u);     //  0.8829110860824585
const float kDelta = std::bit_cast<float>(0x3EE31355u);     //  0.4435068666934967
const float kScale = std::bit_cast<float>(0x3F93263Du);     //  K = 1.1496044397354126
const float kInvScale = std::bit_cast<float>(0x3F5EAF70u);  // 1/K = 0.8698644638061523

// Where the interior of an update (s[i] += c·(d[i-1] + d[i]), i >= 1) stops. The update walks its
// targets s[1 .. A-2] (P = A-2 samples), left neighbours d[0 .. D-1] (Q = D) and right neighbours
// d[1 .. D-1] (R = D-1) in runs of 16: the k = min(P/16, Q/16, R/16) whole runs update
// s[1 .. 16k], then t = min(P%16, Q%16, R%16) more updates continue each sequence from the start
// of its own last partial run. The stored format depends on exactly this.
//
// With A = D or A = D+1 the three runs are aligned (equal P/16, Q/16, R/16) unless a multiple of
// 16 falls between P and Q, and then one of the remainders is 0: A = D with D%16 = 0 gives
// Q%16 = 0, with D%16 = 1 gives R%16 = 0; A = D+1 with D%16 = 0 gives Q%16 = 0. So the t extra
// updates, when there are any, are the ordinary s[16k+1 .. 16k+t], and the interior is the
// contiguous s[1 .. 16k+t]; s[16k+t+1 .. A-2] keep their value (e.g. all of s[1 .. 15] for
// n = 34).
size_t run16_update_end(const LiftingShape& shape) {
  const size_t p = shape.approx - 2;
  const size_t q = shape.details;
  const size_t r = shape.details - 1;
  const size_t runs = std::min({p / 16, q / 16, r / 16});
  const size_t tail = std::min({p % 16, q % 16, r % 16});
  assert(tail == 0 || (p / 16 == q / 16 && q / 16 == r / 16));
  return 16 * runs + tail + 1;
}

// Where a step that trails the chunk frontier `h` by `lag` samples may advance to.
size_t trailing(size_t h, size_t lag) { return h > lag ? h - lag : 0; }

}  // namespace

WaveletStatus Cdf97::execute_forward(std::span<const float> input, std::span<float> approx,
                                     std::span<float> details) const {
  const size_t n = input.size();
  VANTREL_RETURN_IF_ERROR(check_forward_sizes(n, approx.size(), details.size()));
  const LiftingShape shape = LiftingShape::of(n);

  const LiftingKernels& k = active_lifting_kernels();
  const size_t update_end = run16_update_end(shape);
  const size_t a = shape.approx;
  const size_t dn = shape.details;
  const float* x = input.data();
  float* s = approx.data();
  float* d = details.data();

  // Wavefront over chunks of the approximation. An update of s[i] reads d up to index i and a
  // prediction of d[i] reads s[i+1], so after the chunk [lo, hi) the first two steps are complete
  // below hi, the second prediction and update below hi-1, and d[j] may be scaled once s[j+1]
  // has had its last update (below hi-2). The last chunk finishes everything.
  size_t predicted = 0;  // d2 done below
  size_t updated = 0;    // s2 (and its scaling) done below
  size_t scaled = 0;     // d scaled below
  for (size_t lo = 0; lo < a;) {
    const size_t hi = std::min(lo + kLiftingChunk, a);
    const bool last = hi == a;
    split_predict_range(k, shape, x, s, d, lo, hi, kAlpha);
    update_range(k, shape, update_end, s, d, lo, hi, kBeta);

    const size_t predict_end = last ? dn : trailing(hi, 1);
    predict_range(k, shape, d, s, predicted, predict_end, kGamma);
    const size_t update2_end = last ? a : trailing(hi, 1);
    update_range(k, shape, update_end, s, d, updated, update2_end, kDelta);
    k.scale(s + updated, s + updated, update2_end - updated, kScale);
    const size_t scale_end = last ? dn : trailing(hi, 2);
    k.scale(d + scaled, d + scaled, scale_end - scaled, kInvScale);

    predicted = predict_end;
    updated = update2_end;
    scaled = scale_end;
    lo = hi;
  }
  return {};
}

DwtSize Cdf97::dwt_size(size_t input_length) const {
  return {std::max<size_t>(input_length - input_length / 2, 2),
          std::max<size_t>(input_length / 2, 2)};
}

WaveletStatus Cdf97::execute_inverse(std::span<const float> approx, std::span<const float> details,
                                     std::span<float> output) const {
  VANTREL_RETURN_IF_ERROR(check_inverse_sizes(approx.size(), details.size(), output.size()));
  SampleBuffer even, odd;
  VANTREL_ASSIGN_OR_RETURN(const std::span<float> e, even.first(approx.size()));
  VANTREL_ASSIGN_OR_RETURN(const std::span<float> o, odd.first(details.size()));
  inverse(approx.data(), details.data(), e.data(), o.data(), output);
  return {};
}

WaveletStatus Cdf97::execute_inverse_in_place(std::span<float> approx, std::span<float> details,
                                              std::span<float> output) const {
  VANTREL_RETURN_IF_ERROR(check_inverse_sizes(approx.size(), details.size(), output.size()));
  inverse(approx.data(), details.data(), approx.data(), details.data(), output);
  return {};
}

void Cdf97::inverse(const float* approx, const float* details, float* even, float* odd,
                    std::span<float> output) const {
  // The sizes passed only for n >= 4, where they are ceil(n/2) and floor(n/2).
  const LiftingShape shape = LiftingShape::of(output.size());
  const size_t a = shape.approx;
  const size_t dn = shape.details;
  const LiftingKernels& k = active_lifting_kernels();
  const size_t update_end = run16_update_end(shape);
  float* e = even;
  float* o = odd;
  float* out = output.data();

  // The forward wavefront backwards: unscale, undo the delta update (e[i] reads o up to i), undo
  // the gamma prediction (o[i] reads e[i+1]), undo the beta update, then undo the alpha
  // prediction straight into the interleaved output, each stage one sample behind the one before.
  size_t predicted = 0;
  size_t updated = 0;
  size_t merged = 0;
  for (size_t lo = 0; lo < a;) {
    const size_t hi = std::min(lo + kLiftingChunk, a);
    const bool last = hi == a;
    k.scale(e + lo, approx + lo, hi - lo, kInvScale);
    const size_t odd_hi = std::min(hi, dn);
    if (lo < odd_hi) k.scale(o + lo, details + lo, odd_hi - lo, kScale);
    update_range(k, shape, update_end, e, o, lo, hi, -kDelta);

    const size_t predict_end = last ? dn : trailing(hi, 1);
    predict_range(k, shape, o, e, predicted, predict_end, -kGamma);
    const size_t update2_end = last ? a : trailing(hi, 1);
    update_range(k, shape, update_end, e, o, updated, update2_end, -kBeta);
    const size_t merge_end = last ? dn : trailing(hi, 2);
    predict_merge_range(k, shape, e, o, out, merged, merge_end, -kAlpha);

    predicted = predict_end;
    updated = update2_end;
    merged = merge_end;
    lo = hi;
  }
}

size_t Cdf97::idwt_size(size_t approx_length, size_t details_length) const {
  return std::max<size_t>(approx_length + details_length, 4);
}

std::shared_ptr<const DwtExecutor> Osclet::make_cdf97_f32() {
  return std::make_shared<const Cdf97>();
}

}  // namespace vantrel
