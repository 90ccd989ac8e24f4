// Timing helpers and test signals shared by the C++ benchmarks.
#pragma once

#include <time.h>

#include <algorithm>
#include <cmath>
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

// ECG-like: 360 Hz, beats of Gaussian P, Q, R, S and T waves at a varying rate, baseline wander,
// mains hum and noise, stored as 11-bit ADC values over 10 mV like common ECG databases.
inline std::vector<float> synthetic_ecg(size_t n, uint32_t seed) {
  constexpr double kRate = 360.0;
  struct Wave {
    double at, width, height;  // seconds after the beat start, seconds, mV
  };
  constexpr Wave kWaves[] = {{0.10, 0.025, 0.15},
                             {0.20, 0.010, -0.12},
                             {0.225, 0.012, 1.3},
                             {0.25, 0.010, -0.25},
                             {0.48, 0.045, 0.3}};
  std::mt19937 rng(seed);
  std::normal_distribution<double> noise(0.0, 0.012);
  std::uniform_real_distribution<double> jitter(0.75, 0.95);
  std::vector<float> out(n);
  double beat_start = 0.0, beat_len = 0.85;
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / kRate;
    if (t > beat_start + beat_len) {
      beat_start += beat_len;
      beat_len = jitter(rng);
    }
    const double u = t - beat_start;
    double v = 0.15 * std::sin(2 * M_PI * 0.3 * t) + 0.02 * std::sin(2 * M_PI * 60.0 * t);
    for (const Wave& w : kWaves) {
      const double z = (u - w.at) / w.width;
      v += w.height * std::exp(-0.5 * z * z);
    }
    v += noise(rng);
    out[i] = static_cast<float>(std::round(v * 204.8) / 204.8);  // 2048 steps over 10 mV
  }
  return out;
}

}  // namespace vantrel::bench
