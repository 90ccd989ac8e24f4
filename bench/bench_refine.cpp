// Size and speed of compress_to with and without the correction layer, on the signals
// bench/refine.py writes. Each .case file holds the sample count (u64), a grid flag (u8) and the
// grid (step, origin, lowest and highest code: f64 each), the originals (f64 each), the samples
// (f32 each), the number of bounds (u32) and the bounds (f64 each). For every bound it prints
//   bound PATH E PLAIN_BYTES LAYER_BYTES LAYERED MAX_ERROR BASE_MAX_ERROR PLAIN_NS LAYER_NS
//         BASE_DECODE_NS LAYER_DECODE_NS
// PLAIN_BYTES is 0 when no plain container reaches the bound; LAYER_BYTES counts the base, the
// section's tag and length and its body. MAX_ERROR is measured here in double on what a reader
// gets back (the base corrected through the section's bytes, or on the grid the base's codes).
// Times are the best of several runs of one thread; a bound exceeded stops the run.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "codec/refine.h"
#include "codec/vantrel.h"

using vantrel::bench::best_seconds;
using vantrel::bench::consume;

namespace {

struct Case {
  std::vector<double> x;
  std::vector<float> samples;
  std::optional<vantrel::SampleGrid> grid;
  std::vector<double> bounds;
};

template <class T>
bool read_into(std::ifstream& in, T* p, size_t count) {
  return static_cast<bool>(in.read(reinterpret_cast<char*>(p), sizeof(T) * count));
}

bool read_case(const std::string& path, Case& c) {
  std::ifstream in(path, std::ios::binary);
  uint64_t n = 0;
  uint8_t has_grid = 0;
  double g[4];
  uint32_t bounds = 0;
  if (!read_into(in, &n, 1) || !read_into(in, &has_grid, 1) || !read_into(in, g, 4)) return false;
  if (has_grid) c.grid = vantrel::SampleGrid{g[0], g[1], g[2], g[3]};
  c.x.resize(n);
  c.samples.resize(n);
  if (!read_into(in, c.x.data(), n) || !read_into(in, c.samples.data(), n)) return false;
  if (!read_into(in, &bounds, 1)) return false;
  c.bounds.resize(bounds);
  return read_into(in, c.bounds.data(), bounds);
}

// What a reader gets back from a container and its refinement, if any.
std::vector<double> read_back(const vantrel::TargetedContainer& out,
                              const std::optional<vantrel::SampleGrid>& g) {
  const auto base = vantrel::decompress(out.container);
  if (!base) std::abort();
  if (out.refinement) {
    std::vector<uint8_t> body;
    vantrel::write_refinement(*out.refinement, body);
    const auto r = vantrel::read_refinement(body, static_cast<uint32_t>(base->size()));
    auto y = r ? vantrel::correct(*base, *r) : vantrel::VantrelError::invalid_header();
    if (!y) std::abort();
    return std::move(y).value();
  }
  std::vector<double> y(base->begin(), base->end());
  if (g) {
    for (double& v : y)
      v = g->origin +
          g->step * std::clamp(std::rint((v - g->origin) / g->step), g->min_code, g->max_code);
  }
  return y;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR (of .case files from bench/refine.py)\n", argv[0]);
    return 2;
  }
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    if (entry.path().extension() == ".case") paths.push_back(entry.path().string());
  }
  std::sort(paths.begin(), paths.end());
  const int reps = 3;
  for (const std::string& path : paths) {
    Case c;
    if (!read_case(path, c)) {
      std::fprintf(stderr, "%s: cannot read\n", path.c_str());
      return 1;
    }
    for (const double e : c.bounds) {
      const vantrel::QualityTarget target{vantrel::QualityMetric::MaxError, e};
      std::optional<vantrel::TargetedContainer> plain, layered;
      const double plain_s = best_seconds(reps, [&] {
        auto out = vantrel::compress_to(c.samples, c.x, target,
                                        vantrel::SearchOptions{.method = {}, .grid = c.grid});
        plain.reset();
        if (out) plain = std::move(out).value();
      });
      const double layer_s = best_seconds(reps, [&] {
        auto out = vantrel::compress_to(
            c.samples, c.x, target,
            vantrel::SearchOptions{.method = {}, .grid = c.grid, .refine = true});
        if (!out) {
          std::fprintf(stderr, "%s e=%g: %s\n", path.c_str(), e, out.error().to_string().c_str());
          std::exit(1);
        }
        layered = std::move(out).value();
      });
      const std::vector<double> y = read_back(*layered, c.grid);
      double largest = 0.0;
      const double margin = c.grid ? vantrel::grid_margin(*c.grid) : 0.0;
      for (size_t i = 0; i < y.size(); ++i)
        if (std::isfinite(c.x[i])) largest = std::max(largest, std::fabs(y[i] - c.x[i]));
      if (largest > e + margin) {
        std::fprintf(stderr, "%s e=%g: a sample is %g off\n", path.c_str(), e, largest);
        return 1;
      }
      size_t layer_bytes = layered->container.size();
      if (layered->refinement)
        layer_bytes += 5 + vantrel::kRefinementHeadSize + layered->refinement->stream.size();
      const double base_dec =
          best_seconds(reps * 3, [&] { consume(vantrel::decompress(layered->container)->size()); });
      const double layer_dec = best_seconds(reps * 3, [&] {
        auto base = vantrel::decompress(layered->container);
        if (layered->refinement) {
          consume(vantrel::correct(*base, *layered->refinement)->size());
        } else {
          consume(base->size());
        }
      });
      std::printf("bound %s %.17g %zu %zu %d %.17g %.17g %.0f %.0f %.0f %.0f\n", path.c_str(), e,
                  plain ? plain->container.size() : size_t{0}, layer_bytes,
                  layered->refinement ? 1 : 0, largest, layered->base_achieved.max_error,
                  plain_s * 1e9, layer_s * 1e9, base_dec * 1e9, layer_dec * 1e9);
      std::fflush(stdout);
    }
  }
  return 0;
}
