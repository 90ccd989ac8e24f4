#include "support/cpu.h"

#include <atomic>
#include <cassert>

namespace vantrel {
namespace {

bool cpu_has_avx2_fma() noexcept {
#if defined(__x86_64__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

constexpr uint8_t kUnset = 0xFF;
std::atomic<uint8_t> g_forced{kUnset};

}  // namespace

bool simd_target_available(SimdTarget target) noexcept {
  switch (target) {
    case SimdTarget::Scalar:
      return true;
    case SimdTarget::Avx2:
      return cpu_has_avx2_fma();
  }
  return false;
}

SimdTarget active_simd_target() noexcept {
  static const SimdTarget best =
      simd_target_available(SimdTarget::Avx2) ? SimdTarget::Avx2 : SimdTarget::Scalar;
  const uint8_t forced = g_forced.load(std::memory_order_relaxed);
  return forced == kUnset ? best : static_cast<SimdTarget>(forced);
}

void force_simd_target(SimdTarget target) noexcept {
  assert(simd_target_available(target));
  g_forced.store(static_cast<uint8_t>(target), std::memory_order_relaxed);
}

void reset_simd_target() noexcept { g_forced.store(kUnset, std::memory_order_relaxed); }

const char* simd_target_name(SimdTarget target) noexcept {
  switch (target) {
    case SimdTarget::Scalar:
      return "scalar";
    case SimdTarget::Avx2:
      return "avx2";
  }
  return "unknown";
}

}  // namespace vantrel
