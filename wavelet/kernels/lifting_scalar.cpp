// Scalar lifting kernels: the reference every vector table reproduces bit for bit.
#include <cmath>
#include <cstddef>

#include "wavelet/kernels/lifting_kernels.h"

namespace vantrel {
namespace {

void split_predict_scalar(const float* x, float* s, float* d, size_t count, float c) {
  for (size_t i = 0; i < count; ++i) {
    s[i] = x[2 * i];
    d[i] = std::fma(x[2 * i] + x[2 * i + 2], c, x[2 * i + 1]);
  }
}

void lift_scalar(float* t, const float* a, const float* b, size_t count, float c) {
  for (size_t i = 0; i < count; ++i) t[i] = std::fma(a[i] + b[i], c, t[i]);
}

void scale_scalar(float* dst, const float* src, size_t count, float c) {
  for (size_t i = 0; i < count; ++i) dst[i] = src[i] * c;
}

void predict_merge_scalar(const float* e, const float* o, float* out, size_t count, float c) {
  for (size_t i = 0; i < count; ++i) {
    out[2 * i] = e[i];
    out[2 * i + 1] = std::fma(e[i] + e[i + 1], c, o[i]);
  }
}

}  // namespace

const LiftingKernels kLiftingKernelsScalar = {
    split_predict_scalar,
    lift_scalar,
    scale_scalar,
    predict_merge_scalar,
};

}  // namespace vantrel
