// Wall-clock speed of compress on one thread and on more (EncodeThreads), for an ECG-like signal
// of growing length: where a second thread starts to pay, and how much it gives on long signals.
//
//   bench_encode_threads [--threads 2] [--rounds 7] [--max-log2 22]
//
// Rounds alternate one thread and N threads; each length prints the best time of each, the
// ratio one / N, and whether the containers are identical. The compressor takes the extra threads
// only from kThreadedEncodeMinCoefficients coefficients on; below that both columns run the same
// code (the ratio then shows the noise of the machine).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/bench_util.h"
#include "codec/cmodel.h"
#include "codec/vantrel.h"

namespace {

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

int main(int argc, char** argv) {
  unsigned threads = 2;
  int rounds = 7;
  int max_log2 = 22;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--threads") == 0)
      threads = static_cast<unsigned>(std::atoi(argv[i + 1]));
    if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--max-log2") == 0) max_log2 = std::atoi(argv[i + 1]);
  }
  const vantrel::VtrlCompressionOptions options;
  std::printf("ECG-like signal, default options; threshold %zu coefficients; best of %d rounds\n",
              vantrel::kThreadedEncodeMinCoefficients, rounds);
  std::printf("%10s %12s %12s %8s %s\n", "samples", "1 thr MB/s", "N thr MB/s", "ratio", "same");
  for (int lg = 12; lg <= max_log2; ++lg) {
    const size_t n = size_t{1} << lg;
    const std::vector<float> x = vantrel::bench::synthetic_ecg(n, 7);
    // Short signals run many times per round so that a round is not below the clock's grain.
    const int repeat = static_cast<int>(std::max<size_t>(1, (size_t{1} << 20) / n));
    double best[2] = {1e30, 1e30};
    std::vector<uint8_t> out[2];
    for (int r = 0; r < rounds; ++r) {
      for (int which = 0; which < 2; ++which) {
        const vantrel::EncodeThreads count{which == 0 ? 1u : threads};
        const double t0 = wall_seconds();
        for (int k = 0; k < repeat; ++k) out[which] = vantrel::compress(x, options, count).value();
        best[which] = std::min(best[which], (wall_seconds() - t0) / repeat);
      }
    }
    const double mb = 4.0 * static_cast<double>(n) / 1e6;
    std::printf("%10zu %12.1f %12.1f %8.2f %s\n", n, mb / best[0], mb / best[1], best[0] / best[1],
                out[0] == out[1] ? "yes" : "NO");
  }
  return 0;
}
