// Runs a check once under every instruction set this machine offers, scalar first, so that a
// vector target can be compared with the scalar results the check kept.
#pragma once

#include <gtest/gtest.h>

#include "support/cpu.h"

namespace vantrel {

// `check(target)` runs with `target` forced; automatic choice returns afterwards, even when an
// assertion inside stops the check.
template <class Check>
void for_each_target(Check&& check) {
  struct Reset {
    ~Reset() { reset_simd_target(); }
  } reset;
  for (const SimdTarget target : kSimdTargets) {
    if (!simd_target_available(target)) continue;
    SCOPED_TRACE(simd_target_name(target));
    force_simd_target(target);
    check(target);
  }
}

}  // namespace vantrel
