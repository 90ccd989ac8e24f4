#include "wavelet/border_mode.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>

namespace vantrel {
namespace {

int64_t period_of(BorderMode mode, int64_t length) {
  switch (mode) {
    case BorderMode::Wrap:
      return length;
    case BorderMode::Reflect:
      return 2 * length;
    case BorderMode::ReflectNoEdge:
      return 2 * (length - 1);
    case BorderMode::Clamp:
    case BorderMode::Zero:
      break;
  }
  return 1;
}

// A one-sample signal has no ReflectNoEdge period (every outside sample is x[0]) and an empty
// signal has nothing to fold; both get the trivial divisor.
DividerI64 divider_for(BorderMode mode, int64_t length) {
  const int64_t period = period_of(mode, length);
  return DividerI64(period > 0 ? period : 1);
}

}  // namespace

BorderInterpolation::BorderInterpolation(BorderMode mode, int64_t value, int64_t length)
    : divider(divider_for(mode, length)), value(value), length(length), mode(mode) {
  assert(length >= 0);
}

float BorderInterpolation::sample(std::span<const float> signal, int64_t v) const {
  assert(static_cast<int64_t>(signal.size()) == length);
  if (v >= 0 && v < length) return signal[static_cast<size_t>(v)];
  if (length == 0) return static_cast<float>(value);
  // Remainder of the truncating quotient, moved into 0 .. period-1.
  const auto fold = [this](int64_t pos) {
    const int64_t period = divider.divisor();
    int64_t r = pos - divider.divide(pos) * period;
    if (r < 0) r += period;
    return r;
  };
  int64_t index = 0;
  switch (mode) {
    case BorderMode::Clamp:
      index = v < 0 ? 0 : length - 1;
      break;
    case BorderMode::Wrap:
      index = fold(v);
      break;
    case BorderMode::Reflect: {
      const int64_t r = fold(v);
      index = r < length ? r : 2 * length - 1 - r;
      break;
    }
    case BorderMode::ReflectNoEdge: {
      if (length == 1) return signal[0];
      const int64_t r = fold(v);
      index = r < length ? r : 2 * (length - 1) - r;
      break;
    }
    case BorderMode::Zero:
      return static_cast<float>(value);
  }
  return signal[static_cast<size_t>(index)];
}

Status<OscletError> write_arena_1d_impl(std::span<const float> src, std::span<float> arena,
                                        size_t left, size_t right, BorderMode mode) {
  const size_t n = src.size();
  if (left > arena.size() || right > arena.size() - left || n != arena.size() - left - right) {
    internal_configuration_error();
  }
  for (size_t i = 0; i < n; ++i) arena[left + i] = src[i];
  const BorderInterpolation border(mode, 0, static_cast<int64_t>(n));
  const int64_t origin = static_cast<int64_t>(left);
  for (size_t i = 0; i < left; ++i) {
    arena[i] = border.sample(src, static_cast<int64_t>(i) - origin);
  }
  for (size_t i = left + n; i < arena.size(); ++i) {
    arena[i] = border.sample(src, static_cast<int64_t>(i) - origin);
  }
  return Status<OscletError>::success();
}

ArenaWriter1d make_arena_writer_1d_executor() {
  // Initialised once, thread-safely, on first use; the one place where a processor-specific
  // routine would be chosen.
  static const ArenaWriter1d MAKE_ARENA_1D_DISPATCH = &write_arena_1d_impl;
  return MAKE_ARENA_1D_DISPATCH;
}

void internal_configuration_error() {
  std::fputs(
      "internal error: entered unreachable code: This is an internal configuration error. "
      "Please, report it.\n",
      stderr);
  std::abort();
}

}  // namespace vantrel
