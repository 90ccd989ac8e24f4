// Linear prediction of integer sequences for the residual coder's blocks: a filter of order 0..32
// with 16-bit coefficients and a right shift, designed in floating point (Levinson-Durbin on the
// block's autocorrelation) but applied in integers with 64-bit sums, so that both sides predict
// exactly alike.
//
//   prediction(i) = (sum over k < order of coefs[k] * x[i - 1 - k]) >> shift
//
// The shift rounds down (an arithmetic shift) and values before the sequence's first read as 0.
// The sum is below 32 * 2^15 * 2^30 = 2^50 for values within +-(2^30 - 1); an error x[i] -
// prediction(i) need not fit in 32 bits, and a filter whose errors do not is not used.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vantrel {

inline constexpr int kMaxLpcOrder = 32;
inline constexpr int kMaxLpcShift = 15;

struct LpcFilter {
  int order = 0;
  int shift = 0;
  std::array<int16_t, kMaxLpcOrder> coefs{};  // coefs[k] weighs the value k + 1 before
};

// The autocorrelation's lags that design_lpc computes, 0 .. kMaxLpcOrder + 3 (four at a time).
inline constexpr size_t kLpcLags = kMaxLpcOrder + 4;

// The sums of w[i] * w[i - l] over i for the lags l = lag .. lag + 3 (a multiple of 4 below
// kLpcLags) into r[l], each in a fixed order that every target keeps, and, where the target
// computes them in the same pass, those of lag + 4 .. lag + 7 too; returns how many lags it
// wrote (4 or 8).
size_t windowed_lags(std::span<const double> w, size_t lag, std::span<double, kLpcLags> r);

// A filter for `x`: of the orders searched, the lowest whose estimated cost (the prediction
// error's entropy under a Laplacian model, from Levinson-Durbin's own error, plus 16 bits a
// coefficient) is within 0.3% of the cheapest's; the search ends twelve orders past the cheapest
// found. Order 0 when no order pays or the design fails (a silent block, a singular
// autocorrelation).
LpcFilter design_lpc(std::span<const int32_t> x);

// The prediction errors x[i] - prediction(i) for i in [from, to) into e[i - from]; x[j] for j <
// from are the history (at least min(from, order) of them are read; below index 0 nothing is).
// Every x must lie within +-(2^30 - 1). False when an error does not fit in 32 bits (the filter
// is then not to be used, and the errors written are meaningless).
bool lpc_errors(const LpcFilter& f, const int32_t* x, size_t from, size_t to, int32_t* e);

// The inverse, in place: x[i] holds the error on entry and the value on return, for i in
// [from, to) in order, x[j] for j < from being values already restored. False when a value leaves
// +-(2^30 - 1) (the errors were not made by this filter), the rest then meaningless.
bool lpc_restore(const LpcFilter& f, int32_t* x, size_t from, size_t to);

}  // namespace vantrel
