// Run-time choice of the vector instruction set. Every kernel has a scalar form that defines its
// result; vector forms reproduce it bit for bit. The best target the CPU offers is detected once;
// tests may force any available target to compare the paths.
#pragma once

#include <cstdint>

namespace vantrel {

enum class SimdTarget : uint8_t {
  Scalar = 0,
  Avx2 = 1,  // x86-64 with AVX2 and FMA
  Neon = 2,  // aarch64
};

// Whether this build and this CPU can run the target.
bool simd_target_available(SimdTarget target) noexcept;

// The target kernels use now: the forced one if set, else the best available.
SimdTarget active_simd_target() noexcept;

// Forces a target (must be available) for the whole process; used by tests and benchmarks.
void force_simd_target(SimdTarget target) noexcept;

// Returns to automatic choice.
void reset_simd_target() noexcept;

const char* simd_target_name(SimdTarget target) noexcept;

}  // namespace vantrel
