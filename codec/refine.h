// The correction layer: what a refinement holds for a bound, how it is built from a decoded base
// and the original, how a reader applies it, and the bytes of its trailer section.
//
//   auto bins = plan_refinement(reference, max_error, grid);  // or the finest bound it holds
//   auto base = decompress(container);
//   auto corrected = build_refinement(*base, reference, max_error, *bins);  // codes bins->stream
//   write_refinement(*bins, body);                            // the section's body
//   ...
//   auto r = read_refinement(body, header.sample_count);
//   auto y = correct(*decompress(container), *r);             // what a reader returns
//
// Off a grid the corrected sample is the float32 nearest to base + bin_width * residual; on a
// grid it is origin + step * code, with code the base's code plus bin_codes * residual, clamped
// to the grid's codes. The builder checks every corrected sample in double against the bound in
// that same arithmetic.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "codec/error.h"
#include "codec/quality.h"
#include "codec/vantrel_error.h"
#include "support/result.h"

namespace vantrel {

// The refinement section's fixed fields; the residual stream follows them.
inline constexpr size_t kRefinementHeadSize = 44;

// The bins that hold every measured sample (finite in `reference`) within `max_error`, without a
// stream: on `grid`, bins of 2k + 1 codes with k the whole steps that fit into the bound beside
// the originals' own distance to the grid, both allowing the grid's margin for a reader's own
// rounding (grid_margin), so that a bound of k steps is k steps; off a grid, bins of 2 max_error
// less the spacing u of float32 values at the largest magnitude a corrected sample can have, so
// that rounding to float32 stays inside. When no bins can hold the bound, the error is the finest
// bound they can: the largest distance of an original to the grid, or u.
Result<Refinement, double> plan_refinement(std::span<const double> reference, double max_error,
                                           const std::optional<SampleGrid>& grid);

// The bin width the residual coder steers its contexts by, in the base's units.
float coder_bin(const Refinement& r);

// The residual of `base` against `reference` in the bins of `r`: the nearest whole number of
// bins between the base's value (its code, on a grid) and the original's; 0 at a gap. False when
// a residual leaves the coder's range (the bins are too fine for this base).
bool form_residual(std::span<const float> base, std::span<const double> reference,
                   const Refinement& r, std::span<int32_t> out);

// form_residual of many bases against one reference, for a search that prices candidates: what
// depends on the reference alone (its codes on a grid, its gaps) is worked out once, and the
// rounding needs no library call. The same residuals as form_residual, bit for bit. Keeps a view
// of `reference`, which must outlive it.
class ResidualFormer {
 public:
  ResidualFormer(std::span<const double> reference, const Refinement& r);

  // form_residual(base, reference.subspan(from, base.size()), r, out).
  bool form(std::span<const float> base, size_t from, std::span<int32_t> out) const;

 private:
  std::span<const double> reference_;
  std::optional<SampleGrid> grid_;
  uint32_t bin_codes_;
  double bin_width_;
  std::vector<int64_t> codes_;  // on a grid: the originals' codes, kGapCode at a gap
};

// Forms the residual, moves every sample whose corrected value misses `max_error` to the
// neighbouring bin that meets it (off a grid, rounding to float32 can push a sample at a bin's
// edge out; a sample no bin holds narrows the bins and starts again), and codes it into r.stream.
// Returns the corrected values, as `correct` computes them. Fails as unreachable when the bins
// cannot hold the bound, or when a residual leaves the coder's range.
Result<std::vector<double>, VantrelError> build_refinement(std::span<const float> base,
                                                           std::span<const double> reference,
                                                           double max_error, Refinement& r);

// The corrected samples a reader returns: off a grid float32 values (widened to double), on a
// grid origin + step * code. Time and memory are bounded by the sample count; a stream that does
// not decode to exactly r.sample_count residuals against this base is an error.
Result<std::vector<double>, VantrelError> correct(std::span<const float> base, const Refinement& r);

// `correct` into `out`, as many values as base samples, which need not be initialised; on an error
// its contents are unspecified.
Status<VantrelError> correct_into(std::span<const float> base, const Refinement& r,
                                  std::span<double> out);

// Takes corrected values a block at a time (see correct_blocks).
class CorrectedSink {
 public:
  // The corrected values of samples [first, first + values.size()); false stops the correction.
  virtual bool take(size_t first, std::span<const double> values) = 0;

 protected:
  ~CorrectedSink() = default;
};

// `correct_into`, the values handed to `sink` in order, a block of a few thousand at a time,
// instead of stored whole: a reader that converts them on the way needs no array of them all.
// The error is the decoding's; a sink that stops the correction has its own reason.
Status<VantrelError> correct_blocks(std::span<const float> base, const Refinement& r,
                                    CorrectedSink& sink);

// The section body: the fixed fields, then the stream (appended to `body`).
void write_refinement(const Refinement& r, std::vector<uint8_t>& body);

// Reads a section body from untrusted bytes for a container of `sample_count` samples, checking
// every field; the stream itself is checked when `correct` decodes it.
Result<Refinement, RefinementError> read_refinement(std::span<const uint8_t> body,
                                                    uint32_t sample_count);

}  // namespace vantrel
