// The per-target kernels of the pipeline passes (see passes.h for what each computes). The scalar
// table defines the results; the AVX2 table reproduces them bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/passes.h"

namespace vantrel {

struct PassKernels {
  // The sanitising copy; returns the extremes of the copy (either zero when the extreme is zero).
  Extremes (*sanitize)(const float* in, float* out, size_t n);
  float (*normalize)(float* x, size_t n, float min, float inv);
  void (*subtract)(float* x, size_t n, float mean);
  bool (*quantize)(const float* x, size_t n, float multiplier, int16_t* out);
  void (*dead_zone)(int16_t* v, size_t n, int32_t threshold);
  void (*denormalize)(float* x, size_t n, float mean, float range, float min);
};

extern const PassKernels kPassKernelsScalar;
extern const PassKernels kPassKernelsAvx2;  // x86-64 builds only

// The table of the active target.
const PassKernels& pass_kernels() noexcept;

}  // namespace vantrel
