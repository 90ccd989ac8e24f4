// Helpers shared by the orthogonal filter banks.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace vantrel {

// The quadrature-mirror high-pass filter of an orthogonal low-pass filter of N taps:
// g[k] = (-1)^k h[N-1-k], i.e. the low-pass reversed with every odd position negated. For 8 taps
// g = (h7, -h6, h5, -h4, h3, -h2, h1, -h0).
inline std::vector<float> low_pass_to_high(std::span<const float> low_pass) {
  const size_t n = low_pass.size();
  std::vector<float> high(n);
  for (size_t k = 0; k < n; ++k) {
    const float h = low_pass[n - 1 - k];
    high[k] = (k % 2 == 0) ? h : -h;
  }
  return high;
}

template <size_t N>
constexpr std::array<float, N> low_pass_to_high_from_arr(const std::array<float, N>& low_pass) {
  std::array<float, N> high{};
  for (size_t k = 0; k < N; ++k) {
    const float h = low_pass[N - 1 - k];
    high[k] = (k % 2 == 0) ? h : -h;
  }
  return high;
}

}  // namespace vantrel
