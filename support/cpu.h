// Run-time choice of the vector instruction set. Every kernel has a scalar form that defines its
// result; vector forms reproduce it bit for bit. The best target the CPU offers is detected once;
// tests may force any available target to compare the paths. Only targets this code has kernels
// for are listed: other CPUs (aarch64 among them) run the scalar kernels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

enum class SimdTarget : uint8_t {
  Scalar = 0,
  Avx2 = 1,  // x86-64 with AVX2 and FMA
};

// Every target, scalar first; simd_target_available says which of them this machine runs.
inline constexpr SimdTarget kSimdTargets[] = {SimdTarget::Scalar, SimdTarget::Avx2};
inline constexpr size_t kSimdTargetCount = sizeof(kSimdTargets) / sizeof(kSimdTargets[0]);

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
