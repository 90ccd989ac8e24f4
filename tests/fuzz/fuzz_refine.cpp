// The refinement section reader and the corrector, both ways. Byte 0 picks the mode; bytes 1-2
// give the count n.
//   read (even): n base samples (1 byte each), then a section body. Reading never looks past the
//     body; a body that reads is either refused by correct or gives n samples: float32 values
//     off a grid, values of the grid's codes on it.
//   build (odd): a bound byte, then per sample a base byte and an original byte (0xFF a gap).
//     When the bins hold the bound, the layer is built, written, read back, and corrects every
//     original within the bound.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "codec/refine.h"

namespace {

float base_of(uint8_t b) { return static_cast<float>(static_cast<int8_t>(b)) * 0.75f; }

void check_read(std::span<const float> base, std::span<const uint8_t> body) {
  const auto r = vantrel::read_refinement(body, static_cast<uint32_t>(base.size()));
  if (!r.ok()) return;
  const auto y = vantrel::correct(base, *r);
  if (!y.ok()) return;
  if (y->size() != base.size()) std::abort();
  for (const double v : *y) {
    if (r->grid) {
      const double lo = r->grid->origin + r->grid->step * r->grid->min_code;
      const double hi = r->grid->origin + r->grid->step * r->grid->max_code;
      if (!(v >= std::min(lo, hi) && v <= std::max(lo, hi))) std::abort();
    } else if (!std::isnan(v) && static_cast<double>(static_cast<float>(v)) != v) {
      std::abort();
    }
  }
}

void check_build(std::span<const float> base, std::span<const double> x, uint8_t bound) {
  // Bounds over many octaves; a grid of quarter steps for the top half of the byte.
  const double e = std::ldexp(static_cast<double>(bound & 7), (bound >> 3 & 15) - 10);
  std::optional<vantrel::SampleGrid> grid;
  if (bound & 0x80) grid = vantrel::SampleGrid{0.25, -3.0, -1000.0, 1000.0};
  auto plan = vantrel::plan_refinement(x, e, grid);
  if (!plan.ok()) return;
  vantrel::Refinement r = std::move(plan).value();
  if (!vantrel::build_refinement(base, x, e, r).ok()) return;
  std::vector<uint8_t> body;
  vantrel::write_refinement(r, body);
  const auto read = vantrel::read_refinement(body, static_cast<uint32_t>(base.size()));
  if (!read.ok()) std::abort();
  const auto y = vantrel::correct(base, *read);
  if (!y.ok()) std::abort();
  const double margin = grid ? vantrel::grid_margin(*grid) : 0.0;
  for (size_t i = 0; i < x.size(); ++i) {
    if (std::isfinite(x[i]) && !(std::fabs((*y)[i] - x[i]) <= e + margin)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool build = data[0] & 1;
  const size_t count = data[1] | (size_t{data[2]} << 8);
  data += 3;
  size -= 3;
  if (!build) {
    if (size < count) return 0;
    std::vector<float> base(count);
    for (size_t i = 0; i < count; ++i) base[i] = base_of(data[i]);
    check_read(base, {data + count, size - count});
    return 0;
  }
  if (size < 1) return 0;
  const uint8_t bound = data[0];
  const size_t n = std::min(count, (size - 1) / 2);
  std::vector<float> base(n);
  std::vector<double> x(n);
  for (size_t i = 0; i < n; ++i) {
    base[i] = base_of(data[1 + 2 * i]);
    const uint8_t o = data[2 + 2 * i];
    x[i] = o == 0xFF ? NAN : static_cast<double>(static_cast<int8_t>(o)) * 0.5 + 0.125 * (o & 1);
  }
  check_build(base, x, bound);
  return 0;
}
