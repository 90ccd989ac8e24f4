// Per-target forms of the pipeline passes (see passes.h for what each computes). The scalar forms
// define the results; the AVX2 forms reproduce them bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/passes.h"

namespace vantrel::passes {

// The sanitising copy; returns the extremes of the copy (either zero when the extreme is zero).
Extremes sanitize_scalar(const float* in, float* out, size_t n);
float normalize_scalar(float* x, size_t n, float min, float inv);
void subtract_scalar(float* x, size_t n, float mean);
bool quantize_scalar(const float* x, size_t n, float multiplier, int16_t* out);
void dead_zone_scalar(int16_t* v, size_t n, int32_t threshold);
void dequantize_scalar(const int16_t* v, size_t n, float reciprocal, float* out);
void denormalize_scalar(float* x, size_t n, float mean, float range, float min);

#if defined(__x86_64__)
Extremes sanitize_avx2(const float* in, float* out, size_t n);
float normalize_avx2(float* x, size_t n, float min, float inv);
void subtract_avx2(float* x, size_t n, float mean);
bool quantize_avx2(const float* x, size_t n, float multiplier, int16_t* out);
void dead_zone_avx2(int16_t* v, size_t n, int32_t threshold);
void dequantize_avx2(const int16_t* v, size_t n, float reciprocal, float* out);
void denormalize_avx2(float* x, size_t n, float mean, float range, float min);
#endif

}  // namespace vantrel::passes
