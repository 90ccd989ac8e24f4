// One convolution level, forward and inverse, per kernel and SIMD target. Reports the time per
// sample and the speed-up over the scalar kernel of the same executor, measured in this run.
//
//   bench_convolution [samples]   (default 1 << 16)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "support/cpu.h"
#include "wavelet/convolution.h"
#include "wavelet/factory.h"
#include "wavelet/filters.h"

namespace {

using namespace vantrel;
using Clock = std::chrono::steady_clock;

struct Timing {
  double forward_ns;  // per input sample
  double inverse_ns;
};

// Best of several rounds, each long enough to dwarf the timer.
Timing measure(const IncompleteDwtExecutor& dwt, const std::vector<float>& x) {
  const DwtSize size = dwt.dwt_size(x.size());
  std::vector<float> approx(size.approx), details(size.details);
  std::vector<float> y(dwt.idwt_size(size.approx, size.details));
  const int reps = std::max(1, static_cast<int>(2'000'000 / x.size()));
  Timing best{1e30, 1e30};
  for (int round = 0; round < 7; ++round) {
    auto t0 = Clock::now();
    for (int r = 0; r < reps; ++r) {
      if (!dwt.execute_forward(x, approx, details).ok()) std::abort();
    }
    auto t1 = Clock::now();
    for (int r = 0; r < reps; ++r) {
      std::fill(y.begin(), y.end(), 0.0f);
      if (!dwt.execute_inverse(approx, details, y).ok()) std::abort();
    }
    auto t2 = Clock::now();
    const double per = 1.0 / (static_cast<double>(reps) * static_cast<double>(x.size()));
    best.forward_ns =
        std::min(best.forward_ns, std::chrono::duration<double, std::nano>(t1 - t0).count() * per);
    best.inverse_ns =
        std::min(best.inverse_ns, std::chrono::duration<double, std::nano>(t2 - t1).count() * per);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : size_t{1} << 16;
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
  std::vector<float> x(n);
  for (float& v : x) v = dist(rng);

  struct Case {
    std::string name;
    std::shared_ptr<const IncompleteDwtExecutor> dwt;
  };
  std::vector<Case> cases;
  for (auto member : {DaubechiesFamily::Db1, DaubechiesFamily::Db2, DaubechiesFamily::Db4,
                      DaubechiesFamily::Db6, DaubechiesFamily::Db8}) {
    const auto dwt = Osclet::make_daubechies_f32(member, BorderMode::Wrap);
    cases.push_back({"db" + std::to_string(dwt->filter_length() / 2), dwt});
  }
  for (auto member : {DaubechiesFamily::Db4, DaubechiesFamily::Db12}) {
    auto general = DwtFactory::wavelet_n_taps(BorderMode::Wrap, get_wavelet(member));
    cases.push_back({"db" + std::to_string(general.value()->filter_length() / 2) + " general",
                     general.value()});
  }

  std::printf("%zu samples, Wrap; ns per input sample (speed-up over scalar)\n", n);
  std::printf("%-14s %10s %10s %18s %18s\n", "kernel", "fwd scalar", "inv scalar", "fwd avx2",
              "inv avx2");
  for (const Case& c : cases) {
    force_simd_target(SimdTarget::Scalar);
    const Timing scalar = measure(*c.dwt, x);
    std::printf("%-14s %10.2f %10.2f", c.name.c_str(), scalar.forward_ns, scalar.inverse_ns);
    if (simd_target_available(SimdTarget::Avx2)) {
      force_simd_target(SimdTarget::Avx2);
      const Timing avx2 = measure(*c.dwt, x);
      std::printf(" %9.2f (%5.1fx) %9.2f (%5.1fx)", avx2.forward_ns,
                  scalar.forward_ns / avx2.forward_ns, avx2.inverse_ns,
                  scalar.inverse_ns / avx2.inverse_ns);
    }
    std::printf("\n");
  }
  reset_simd_target();
  return 0;
}
