// How vector kernels are built and chosen. Each kernel family (the per-sample passes, the lifting
// steps, the convolution kernels) is a table of function pointers, one table per target. A family
// gathers its tables once, at first use, and every call takes the table of the active target, so
// a target forced by a test takes effect at the next call.
#pragma once

#include <array>
#include <cstddef>

#include "support/cpu.h"

// Compiles one function for AVX2 with FMA inside a file built for baseline x86-64.
#define VANTREL_TARGET_AVX2 __attribute__((target("avx2,fma")))

// A scalar helper shared with the vector kernels: inlined into them, it is compiled for their
// target (std::fma becomes one instruction) while doing exactly the same arithmetic.
#define VANTREL_ALWAYS_INLINE inline __attribute__((always_inline))

// The address of a family's AVX2 table where this build has AVX2 kernels, else null (the table's
// name is then not even looked up).
#if defined(__x86_64__)
#define VANTREL_AVX2_KERNELS(table) (&(table))
#else
#define VANTREL_AVX2_KERNELS(table) nullptr
#endif

namespace vantrel {

// The tables of one kernel family by target. A target this machine cannot run holds the scalar
// table, so even a wrongly forced target computes the scalar results.
template <class Table>
class TargetTables {
 public:
  TargetTables(const Table& scalar, const Table* avx2) noexcept {
    tables_.fill(&scalar);
    if (avx2 != nullptr && simd_target_available(SimdTarget::Avx2)) {
      tables_[static_cast<size_t>(SimdTarget::Avx2)] = avx2;
    }
  }

  const Table& active() const noexcept {
    return *tables_[static_cast<size_t>(active_simd_target())];
  }

 private:
  std::array<const Table*, kSimdTargetCount> tables_;
};

}  // namespace vantrel
