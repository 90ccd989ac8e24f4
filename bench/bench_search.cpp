// What a sample grid costs the quality search: for signals that end up in integer files, the
// search with the grid against the search without it, in the same run.
//
//   bench_search [SAMPLES] [ROUNDS]
//
// For each signal and target, one line: the search time with the grid as a ratio to the time
// without it (thread CPU time, best of ROUNDS, the two alternating), the candidates each decodes,
// the container size with the grid as a ratio to the size without it, and the target's metric
// measured on the grid's values for both containers: without the grid the file written back
// misses targets the container meets.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "codec/quality.h"
#include "codec/vantrel.h"

namespace vantrel {
namespace {

struct Signal {
  const char* name;
  SampleGrid grid;
  std::vector<double> original;
};

double read_back(double y, const SampleGrid& g) {
  return g.origin + g.step * std::clamp(std::rint((y - g.origin) / g.step), g.min_code, g.max_code);
}

// EEG-like, in µV: alpha rhythm, slow waves and 1/f-ish noise, on a 16-bit EDF grid of
// ±3276.8 µV.
Signal eeg(size_t n) {
  const double step = 6553.6 / 65535.0;
  const SampleGrid grid{step, -3276.8 + 32768.0 * step, -32768, 32767};
  std::mt19937 rng(5);
  std::normal_distribution<double> noise(0.0, 1.0);
  std::vector<double> x(n);
  double brown = 0.0;
  for (size_t i = 0; i < n; ++i) {
    brown = 0.995 * brown + noise(rng);
    const double t = static_cast<double>(i) / 256.0;
    x[i] = read_back(20.0 * std::sin(2 * M_PI * 10.0 * t) * (1.0 + 0.5 * std::sin(0.7 * t)) +
                         3.0 * brown + 2.0 * noise(rng),
                     grid);
  }
  return {"eeg on a 16-bit EDF grid", grid, x};
}

Signal ecg(size_t n) {
  const std::vector<float> adc = bench::synthetic_ecg(n, 9);
  return {"ecg on an 11-bit WFDB grid",
          {1.0 / 204.8, 0.0, -1024, 1023},
          std::vector<double>(adc.begin(), adc.end())};
}

// Audio-like floats (a chord with vibrato and noise) written to 16-bit PCM: off the grid.
Signal audio(size_t n) {
  std::mt19937 rng(6);
  std::normal_distribution<double> noise(0.0, 0.01);
  std::vector<double> x(n);
  for (size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / 44100.0;
    x[i] = 0.3 * std::sin(2 * M_PI * 220.0 * t + 0.5 * std::sin(2 * M_PI * 5.0 * t)) +
           0.2 * std::sin(2 * M_PI * 330.0 * t) + 0.1 * std::sin(2 * M_PI * 440.0 * t) + noise(rng);
  }
  return {"audio floats to 16-bit PCM", {0x1p-15, 0.0, -32768, 32767}, x};
}

double metric(const Distortion& d, QualityMetric m) {
  return m == QualityMetric::Psnr   ? d.psnr
         : m == QualityMetric::Prd  ? d.prd
         : m == QualityMetric::Rmse ? d.rmse
                                    : d.max_error;
}

// The target's metric on the values a reader of the grid gets from `container`.
double on_grid_metric(const std::vector<uint8_t>& container, const Signal& s, QualityMetric m) {
  const auto y = decompress(container);
  if (!y) return NAN;
  std::vector<float> back(y->size());
  for (size_t i = 0; i < back.size(); ++i) back[i] = static_cast<float>(read_back((*y)[i], s.grid));
  // The grid values of these signals are exact in float32 except the audio's, whose errors
  // then include float32 rounding below 2^-24 of the range: far under a 16-bit step.
  std::vector<float> original(s.original.begin(), s.original.end());
  return metric(measure_distortion(original, back), m);
}

}  // namespace
}  // namespace vantrel

int main(int argc, char** argv) {
  using namespace vantrel;
  const size_t n = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1u << 16;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
  const Signal signals[] = {eeg(n), ecg(n), audio(n)};
  std::printf("%-28s %-14s %8s %7s %7s %8s %10s %10s\n", "signal", "target", "time", "trials",
              "trials", "size", "no grid", "grid");
  std::printf("%-28s %-14s %8s %7s %7s %8s %10s %10s\n", "", "", "ratio", "nogrid", "grid", "ratio",
              "gets", "gets");
  double time_product = 1.0, size_product = 1.0;
  int rows = 0;
  for (const Signal& s : signals) {
    const std::vector<float> samples(s.original.begin(), s.original.end());
    const double step = s.grid.step;
    const QualityTarget targets[] = {
        {QualityMetric::Psnr, 50.0},
        {QualityMetric::Psnr, 60.0},
        {QualityMetric::Prd, 1.0},
        {QualityMetric::Rmse, 2.0 * step},
        {QualityMetric::MaxError, 4.0 * step},
        {QualityMetric::MaxError, 0.4 * step},
    };
    for (const QualityTarget& target : targets) {
      std::optional<Result<TargetedContainer, VantrelError>> plain, gridded;
      const auto run_plain = [&] {
        plain.emplace(compress_to(samples, s.original, target, SearchOptions{}));
      };
      const auto run_grid = [&] {
        gridded.emplace(
            compress_to(samples, s.original, target, SearchOptions{.method = {}, .grid = s.grid}));
      };
      double t_plain = 1e30, t_grid = 1e30;
      for (int r = 0; r < rounds; ++r) {
        t_plain = std::min(t_plain, bench::best_seconds(1, run_plain));
        t_grid = std::min(t_grid, bench::best_seconds(1, run_grid));
      }
      char label[64];
      std::snprintf(label, sizeof label, "%s %.4g",
                    kQualityMetrics[static_cast<size_t>(target.metric)].name.data(),
                    target.metric == QualityMetric::Psnr || target.metric == QualityMetric::Prd
                        ? target.value
                        : target.value / step);
      if (target.metric == QualityMetric::Rmse || target.metric == QualityMetric::MaxError)
        std::strncat(label, " st", sizeof label - std::strlen(label) - 1);
      if (!plain->ok() || !gridded->ok()) {
        std::printf("%-28s %-14s refused: %s\n", s.name, label,
                    (!gridded->ok() ? gridded->error() : plain->error()).to_string().c_str());
        continue;
      }
      const auto& a = **plain;
      const auto& b = **gridded;
      const double size_ratio =
          static_cast<double>(b.container.size()) / static_cast<double>(a.container.size());
      std::printf("%-28s %-14s %8.3f %7u %7u %8.3f %10.5g %10.5g\n", s.name, label,
                  t_grid / t_plain, a.trials, b.trials, size_ratio,
                  on_grid_metric(a.container, s, target.metric),
                  on_grid_metric(b.container, s, target.metric));
      time_product *= t_grid / t_plain;
      size_product *= size_ratio;
      ++rows;
    }
  }
  if (rows > 0)
    std::printf("geometric mean over %d rows: time ratio %.3f, size ratio %.3f\n", rows,
                std::pow(time_product, 1.0 / rows), std::pow(size_product, 1.0 / rows));
  return 0;
}
