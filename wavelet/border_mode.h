// Border extension of the convolution transforms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "support/result.h"
#include "wavelet/error.h"
#include "wavelet/fast_divide.h"

namespace vantrel {

// How a signal x[0..n-1] continues past its ends.
enum class BorderMode : uint32_t {
  Clamp = 0,          // x[0] on the left, x[n-1] on the right
  Wrap = 1,           // periodic: x[v mod n]
  Reflect = 2,        // mirror that repeats the edge sample: x[-v-1], x[2n-1-v]
  ReflectNoEdge = 3,  // mirror about the edge sample: x[-v], x[2n-2-v]
  Zero = 4,           // zeros
};

// A border mode together with what folding an outside position back into the signal needs.
//
// The mirror modes are periodic too: Reflect repeats with period 2n (x0..x(n-1), x(n-1)..x0) and
// ReflectNoEdge with period 2(n-1) (x0..x(n-1), x(n-2)..x1), so one remainder folds a position of
// any distance. Within one signal length of the edges that gives the mirror formulas of the enum.
struct BorderInterpolation {
  // Divides by the period of the mode (trivial, divisor 1, for Clamp and Zero).
  DividerI64 divider;
  // What Zero writes outside the signal (and every mode writes around an empty signal).
  int64_t value;
  int64_t length;
  BorderMode mode;

  BorderInterpolation(BorderMode mode, int64_t value, int64_t length);

  // The sample at position v (any v, inside or outside 0 .. length-1) of the extended signal.
  // `signal` holds `length` samples.
  float sample(std::span<const float> signal, int64_t v) const;
};

// Copies src (n samples) into arena[left .. left+n-1] and fills arena[0 .. left-1] and
// arena[left+n .. left+n+right-1] with the samples of `mode` at positions -left .. -1 and
// n .. n+right-1. left + n + right must equal the arena length; anything else is a programming
// error and stops the process.
Status<OscletError> write_arena_1d_impl(std::span<const float> src, std::span<float> arena,
                                        size_t left, size_t right, BorderMode mode);

using ArenaWriter1d = Status<OscletError> (*)(std::span<const float> src, std::span<float> arena,
                                              size_t left, size_t right, BorderMode mode);

// The padding routine for single precision, chosen once per process.
ArenaWriter1d make_arena_writer_1d_executor();

// Stops the process on a broken internal invariant.
[[noreturn]] void internal_configuration_error();

}  // namespace vantrel
