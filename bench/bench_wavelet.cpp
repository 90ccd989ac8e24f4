// Multi-level forward and inverse wavelet transforms of 2^20 float samples at the codec's level
// count (8 for every method at this length), per wavelet and instruction set, as ratios to a
// memcpy of the same buffer timed in the same run.
//
// The one-level columns time execute_forward / execute_inverse into buffers allocated up front,
// which isolates the kernels from the cost of the fresh result buffers the multi-level calls
// hand out. Those pages are new to the process on every call when the allocator gives memory
// back between calls (glibc's default for blocks of this size); --keep-heap tells glibc to keep
// it, showing the steady state of a process that compresses many signals.
//
//   bench_wavelet [--keep-heap] [repetitions]
#include <malloc.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/cpu.h"
#include "wavelet/factory.h"

namespace {

using vantrel::DwtExecutor;
using vantrel::MultiDwt;
using vantrel::MultiDwtView;
using vantrel::SimdTarget;

constexpr size_t kSamples = size_t{1} << 20;
constexpr size_t kLevels = 8;

// Median wall time of `reps` runs, in milliseconds.
double median_ms(int reps, const std::function<void()>& run) {
  run();  // warm caches, page in buffers
  std::vector<double> times;
  for (int r = 0; r < reps; ++r) {
    const auto start = std::chrono::steady_clock::now();
    run();
    const auto stop = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  std::nth_element(times.begin(), times.begin() + reps / 2, times.end());
  return times[size_t(reps / 2)];
}

struct Method {
  const char* name;
  std::shared_ptr<const DwtExecutor> executor;
};

[[noreturn]] void fail(const char* what, const std::string& why) {
  std::fprintf(stderr, "%s failed: %s\n", what, why.c_str());
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  int reps = 21;
  bool keep_heap = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--keep-heap") == 0) {
      keep_heap = true;
    } else {
      reps = std::max(1, std::atoi(argv[i]));
    }
  }
  if (keep_heap) {
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
  }

  std::vector<float> signal(kSamples);
  std::mt19937 rng(1234);
  std::normal_distribution<float> noise(0.0f, 1.0f);
  float walk = 0.0f;
  for (float& v : signal) v = (walk += 0.05f * noise(rng)) + 0.1f * noise(rng);
  std::vector<float> copy(kSamples);

  const double memcpy_ms = median_ms(reps, [&] {
    std::memcpy(copy.data(), signal.data(), kSamples * sizeof(float));
    asm volatile("" : : "r"(copy.data()) : "memory");
  });

  const std::vector<Method> methods = {
      {"cdf53", vantrel::Osclet::make_cdf53_f32()},
      {"cdf97", vantrel::Osclet::make_cdf97_f32()},
      {"db4", vantrel::Osclet::make_daubechies_f32(vantrel::DaubechiesFamily::Db4,
                                                   vantrel::BorderMode::Wrap)},
      {"sym4",
       vantrel::Osclet::make_symlet_f32(vantrel::SymletFamily::Sym4, vantrel::BorderMode::Wrap)},
  };

  std::vector<SimdTarget> targets;
  for (SimdTarget t : vantrel::kSimdTargets) {
    if (vantrel::simd_target_available(t)) targets.push_back(t);
  }

  std::printf("n = %zu float32 samples, %zu levels, median of %d runs%s\n", kSamples, kLevels, reps,
              keep_heap ? ", heap kept" : "");
  std::printf("memcpy of the signal: %.3f ms; times below are multiples of it\n\n", memcpy_ms);
  std::printf("%-6s %-7s %9s %9s %9s %9s %11s %11s\n", "", "", "multi", "multi", "one-level",
              "one-level", "multi fwd", "one-level");
  std::printf("%-6s %-7s %9s %9s %9s %9s %11s %11s\n", "method", "target", "forward", "inverse",
              "forward", "inverse", "vs scalar", "fwd vs sc.");
  std::vector<float> approx(kSamples - kSamples / 2), details(kSamples / 2), rebuilt(kSamples);
  for (const Method& m : methods) {
    double scalar_forward = 0.0;
    double scalar_one_level = 0.0;
    const auto sizes = m.executor->dwt_size(kSamples);
    approx.resize(sizes.approx);
    details.resize(sizes.details);
    rebuilt.resize(m.executor->idwt_size(sizes.approx, sizes.details));
    for (SimdTarget target : targets) {
      vantrel::force_simd_target(target);
      auto levels = m.executor->multi_dwt(signal, kLevels);
      if (!levels.ok()) fail(m.name, levels.error().to_string());
      const double forward_ms = median_ms(reps, [&] {
        auto result = m.executor->multi_dwt(signal, kLevels);
        if (!result.ok()) fail(m.name, result.error().to_string());
      });
      MultiDwtView view;
      for (const auto& level : *levels) view.details.emplace_back(level.details);
      view.approximation = levels->back().approximations;
      const double inverse_ms = median_ms(reps, [&] {
        auto result = m.executor->multi_idwt(view);
        if (!result.ok()) fail(m.name, result.error().to_string());
      });
      const double one_forward_ms = median_ms(reps, [&] {
        auto status = m.executor->execute_forward(signal, approx, details);
        if (!status.ok()) fail(m.name, status.error().to_string());
      });
      const double one_inverse_ms = median_ms(reps, [&] {
        auto status = m.executor->execute_inverse(approx, details, rebuilt);
        if (!status.ok()) fail(m.name, status.error().to_string());
      });
      if (target == SimdTarget::Scalar) {
        scalar_forward = forward_ms;
        scalar_one_level = one_forward_ms;
      }
      std::printf("%-6s %-7s %9.2f %9.2f %9.2f %9.2f %10.2fx %10.2fx\n", m.name,
                  vantrel::simd_target_name(target), forward_ms / memcpy_ms, inverse_ms / memcpy_ms,
                  one_forward_ms / memcpy_ms, one_inverse_ms / memcpy_ms,
                  scalar_forward / forward_ms, scalar_one_level / one_forward_ms);
    }
  }
  vantrel::reset_simd_target();
  return 0;
}
