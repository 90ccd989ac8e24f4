// Residual coder of the correction layer: codes the integer residual between a signal and its
// decoded base, both quantised in bins of one width. Two stream formats:
//
// Adaptive (format 0, the first one written): one stream on the binary rANS engine. Residuals go
// in groups of 16, each whole group led by a flag telling whether it is all zeros (a quiet group
// codes nothing else; a shorter last group has no flag). In the others each residual is predicted
// from the four before it (sign-sign LMS) and the error coded: a zero flag, then for a non-zero
// error a sign, its bit length e (whether it reaches the length s that the errors just before
// suggest, then in unary from s up, or from s - 1 down), and the e - 1 bits below its leading
// one: the top two as decisions, the rest (nearly uniform) as raw chunks of up to 11 bits, one
// rANS step each. Every decision is coded in an adaptive context that both sides know before it:
// the base's local activity (its second difference, in bins) and the magnitudes of the errors
// just before. The residual's spread follows both: a wavelet base misses most where the signal
// bends sharply, and misses come in runs. The stream is a plane stream (u32 final state, then
// 16-bit words), nothing else.
//
// Blocks (format 1): the residuals in blocks of 4096, each with a linear predictor of its own
// (codec/lpc.h, order 0 for none) and one of two codes for the prediction errors, chosen by the
// encoder by size: the adaptive code above (its groups' flags telling whether all 16 errors are
// 0, its contexts carried from one adaptive block to the next) or a fast one, partitioned Rice
// codes. The stream is the length of the adaptive stream (LEB128), that stream (the decisions of
// all adaptive blocks, a plane stream), then the blocks, each
//
//   u8   head: bits 0-5 the predictor's order (0..32), bit 7 the code (1 adaptive, 0 Rice),
//        bit 6 0
//   u8   the predictor's shift (0..15), then `order` coefficients (int16, little-endian); both
//        absent for order 0
//   u16  Rice blocks only: the length of the block's Rice code in bytes (little-endian), then
//        the code, most significant bit first: a 3-bit v, then partitions of 2^(5 + v) errors
//        (the last one shorter), each a 5-bit parameter k, or for v = 7 a parameter per error
//        from the running mean of the values before it; per error u (the error
//        zigzagged: 2e for e >= 0, -2e - 1 below) as u >> k in unary (that many 0s, then a 1)
//        and its k low bits; 24 zeros instead start an escape, u in 32 bits. The last byte is
//        padded with 0s.
//
// The count is the caller's (the container's sample count), and so are the bin width and the
// format; the stream's length is its owner's (a trailer section) and the decoder checks that
// every byte of it is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <vector>

#include "codec/error.h"
#include "codec/residual_format.h"
#include "support/result.h"

namespace vantrel {

// Residuals lie in [-kMaxResidual, kMaxResidual] = +-(2^30 - 1), so that a prediction error
// (a residual less a prediction clamped to the same range) has a magnitude below 2^31. It holds
// lossless codes of any integer within float32's exact range (+-2^24) against any base within
// that range, and bounded residuals of up to 2^30 bins.
inline constexpr int32_t kMaxResidual = (int32_t{1} << 30) - 1;

struct ResidualOptions {
  ResidualFormat format = kNewestResidualFormat;
  // Blocks: a block takes the adaptive code only when its size is below (1 - fast_margin) times
  // the fast one's (1 or more: never; a large negative value: always). The fast code decodes
  // several times faster, so near ties go its way.
  double fast_margin = 0.02;
};

// Codes `residual` against `base` (as many samples) and appends the stream to `out`. `bin` is the
// bin width in the base's units; it only steers contexts, so any value (even 0 or NaN) gives a
// stream that decodes with the same `bin`. Fails with OutOfRange, leaving `out` as it was, if a
// value lies outside +-kMaxResidual.
Status<ResidualError> encode_residual_into(std::span<const int32_t> residual,
                                           std::span<const float> base, float bin,
                                           std::vector<uint8_t>& out,
                                           const ResidualOptions& options = {});

// Decodes exactly out.size() residuals from `data`, the whole stream, with the `base` and `bin`
// the encoder had (base.size() == out.size()). Time and memory are bounded by the sizes given:
// a count the stream cannot back is refused before decoding. On failure `out` holds no
// meaningful values.
Status<ResidualError> decode_residual_into(std::span<const uint8_t> data,
                                           std::span<const float> base, float bin,
                                           std::span<int32_t> out,
                                           ResidualFormat format = kNewestResidualFormat);

// What encode_residual_into would write with the default options, in bits, without coding: the
// fast code's exact size, and for the adaptive code the order-0 entropy of every decision under
// the contexts' adaptive probabilities (the coder's own model, measured as it runs), each block
// taking the smaller as the encoder does. Cheaper than coding for a search that compares
// candidate bases; within a fraction of a percent of the stream's size.
double estimate_residual_bits(std::span<const int32_t> residual, std::span<const float> base,
                              float bin);

struct ResidualWalkState;

// estimate_residual_bits over pieces of a residual taken as one sequence: each piece is priced as
// if it followed the one added before it (blocks run across pieces, the contexts' learning and
// the predictors' history carried over), so that pieces sampled from a long residual cost what
// they would inside it.
class ResidualCostMeter {
 public:
  explicit ResidualCostMeter(float bin);
  ~ResidualCostMeter();
  ResidualCostMeter(const ResidualCostMeter&) = delete;
  ResidualCostMeter& operator=(const ResidualCostMeter&) = delete;

  // Adds a piece (as many base samples as residuals); a value outside +-kMaxResidual makes the
  // total infinite.
  void add(std::span<const int32_t> residual, std::span<const float> base);
  // The pieces so far, a last incomplete block priced as the stream's end.
  double bits() const;
  // The whole blocks so far with the stream's framing, without a last incomplete block: a
  // cheap lower bound of bits() (up to the framing's rounding to whole words).
  double settled_bits() const;

 private:
  float bin_;
  double bits_ = 0.0;  // of the whole blocks so far
  // The incomplete block's price with the framing, while last_priced_.
  mutable double last_bits_ = 0.0;
  mutable bool last_priced_ = false;
  std::unique_ptr<ResidualWalkState> state_;
};

}  // namespace vantrel
