// The border samples written straight from the mirror and wrap formulas: the reference the
// padding routine and the convolution kernels are checked against.
#pragma once

#include <cstdint>
#include <vector>

#include "wavelet/border_mode.h"

namespace vantrel::testing_reference {

// x[v] inside the signal, the mode's sample outside it.
inline float padded(const std::vector<float>& x, int64_t v, BorderMode mode) {
  const int64_t n = static_cast<int64_t>(x.size());
  if (v >= 0 && v < n) return x[static_cast<size_t>(v)];
  switch (mode) {
    case BorderMode::Clamp:
      return v < 0 ? x.front() : x.back();
    case BorderMode::Wrap:
      return x[static_cast<size_t>(((v % n) + n) % n)];
    case BorderMode::Reflect:
      return x[static_cast<size_t>(v < 0 ? -v - 1 : 2 * n - 1 - v)];
    case BorderMode::ReflectNoEdge:
      if (n == 1) return x[0];
      return x[static_cast<size_t>(v < 0 ? -v : 2 * n - 2 - v)];
    case BorderMode::Zero:
      break;
  }
  return 0.0f;
}

}  // namespace vantrel::testing_reference
