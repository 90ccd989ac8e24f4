// Timing helpers and test signals shared by the C++ benchmarks.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace vantrel::bench {

// Keeps a result alive so the compiler cannot drop the work that made it.
inline volatile uint64_t g_sink = 0;
inline void consume(uint64_t v) { g_sink = g_sink + v; }

// CPU time of this thread: on a shared machine it excludes the time other processes run.
inline double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Best of `reps` runs, in seconds of thread CPU time.
template <class F>
double best_seconds(int reps, F&& f) {
  double best = 1e30;
  for (int i = 0; i < reps; ++i) {
    const double t0 = thread_seconds();
    f();
    best = std::min(best, thread_seconds() - t0);
  }
  return best;
}

// Seeded Gaussian white noise of unit variance.
inline std::vector<float> white_noise(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  std::vector<float> out(n);
  for (float& v : out) v = noise(rng);
  return out;
}

}  // namespace vantrel::bench
