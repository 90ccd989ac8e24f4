#include "codec/finish.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <type_traits>

#include "support/cpu.h"
#include "support/simd.h"

namespace vantrel {
namespace {

// The values a pass needs besides the samples: a grid (when `grid`) and an integer type's range
// (when `integer`).
struct Plan {
  bool grid;
  bool integer;
  double origin, step, min_code, max_code;
  double lowest, highest;
};

// A vector of W doubles and its mask. Every operation is one IEEE operation on each lane, so a
// lane computes what a scalar loop would for its sample, whatever the width; the AVX2 form differs
// from the baseline one only in width and instructions. The last samples go through the same
// lanes, padded.
using Lanes2 = double __attribute__((vector_size(16)));
using Bits2 = int64_t __attribute__((vector_size(16)));
using Floats2 = float __attribute__((vector_size(8)));
using Ints2 = int32_t __attribute__((vector_size(8)));
using Lanes4 = double __attribute__((vector_size(32)));
using Bits4 = int64_t __attribute__((vector_size(32)));
using Floats4 = float __attribute__((vector_size(16)));
using Ints4 = int32_t __attribute__((vector_size(16)));

template <size_t W>
struct V {
  using Lanes = std::conditional_t<W == 2, Lanes2, Lanes4>;
  using Bits = std::conditional_t<W == 2, Bits2, Bits4>;
  using Floats = std::conditional_t<W == 2, Floats2, Floats4>;
  using Ints = std::conditional_t<W == 2, Ints2, Ints4>;

  VANTREL_ALWAYS_INLINE static void splat(Lanes& out, double v) {
    for (size_t k = 0; k < W; ++k) out[k] = v;
  }

  // The nearest whole number, ties to even, as nearbyint rounds in the default mode, with NaN
  // and the infinities kept bit for bit: below 2^52 adding and taking away 2^52 rounds the
  // magnitude, at and above it every double is whole; the sign bit is put back as it was.
  VANTREL_ALWAYS_INLINE static void round_even(Lanes& u, const Bits& magnitude, const Lanes& big) {
    // The builtin, not std::bit_cast: a function returning a vector would change the ABI.
    const Bits bits = __builtin_bit_cast(Bits, u);
    const Lanes a = __builtin_bit_cast(Lanes, bits & magnitude);
    const Lanes whole = a < big ? (a + big) - big : a;
    u = __builtin_bit_cast(Lanes, __builtin_bit_cast(Bits, whole) | (bits & ~magnitude));
  }

  // The float32 nearest to each lane, as the conversion instruction rounds it: a magnitude
  // beyond float32's largest value but below halfway to 2^128 is the largest value, one from
  // halfway up an infinity (the largest value's last bit is odd, so the tie goes up too); NaN
  // stays NaN. Clamped first, as converting a double beyond the range is undefined.
  VANTREL_ALWAYS_INLINE static void narrow(const Lanes& v, const Bits& magnitude, float* out) {
    Lanes largest, infinity, overflow;
    splat(largest, std::numeric_limits<float>::max());
    splat(infinity, std::numeric_limits<double>::infinity());
    splat(overflow, 0x1.ffffffp127);
    const Bits bits = __builtin_bit_cast(Bits, v);
    const Lanes a = __builtin_bit_cast(Lanes, bits & magnitude);
    const Lanes held = a > largest ? (a < overflow ? largest : infinity) : a;
    const Lanes w = __builtin_bit_cast(Lanes, __builtin_bit_cast(Bits, held) | (bits & ~magnitude));
    const Floats f = __builtin_convertvector(w, Floats);
    std::memcpy(out, &f, sizeof(f));
  }

  // max(x, lowest) then min(that, highest), each keeping a NaN on its left: NaN stays NaN, and
  // of two equal values (+0 and -0) the bound is taken when the value is not beyond it.
  VANTREL_ALWAYS_INLINE static void clamp(Lanes& x, const Lanes& lowest, const Lanes& highest) {
    Lanes m = x > lowest ? x : lowest;
    m = x == x ? m : x;
    const Lanes r = m < highest ? m : highest;
    x = m == m ? r : m;
  }
};

// One pass of W lanes. The constants are members of a local object, not fields read through a
// pointer: the output's bytes may alias anything, so those would be read again for every group.
template <size_t W, class In, class Out, bool kGrid, bool kInteger>
struct Pass {
  using L = typename V<W>::Lanes;
  using B = typename V<W>::Bits;
  L origin, step, min_code, max_code, lowest, highest, big;
  B magnitude;
  B nan{};

  VANTREL_ALWAYS_INLINE explicit Pass(const Plan& p) {
    V<W>::splat(origin, p.origin);
    V<W>::splat(step, p.step);
    V<W>::splat(min_code, p.min_code);
    V<W>::splat(max_code, p.max_code);
    V<W>::splat(lowest, p.lowest);
    V<W>::splat(highest, p.highest);
    V<W>::splat(big, 0x1p52);
    for (size_t k = 0; k < W; ++k) magnitude[k] = std::numeric_limits<int64_t>::max();
  }

  // Finishes the W samples at `from` into `to`; an integer sample that is NaN is marked.
  VANTREL_ALWAYS_INLINE void group(const In* from, uint8_t* to) {
    L v;
    for (size_t k = 0; k < W; ++k) v[k] = static_cast<double>(from[k]);
    if constexpr (kGrid) {
      L code = (v - origin) / step;
      V<W>::round_even(code, magnitude, big);
      V<W>::clamp(code, min_code, max_code);
      v = code * step + origin;
    }
    if constexpr (kInteger) {
      const B is_nan = v != v;
      nan |= is_nan;
      const L zero{};
      v = is_nan ? zero : v;  // no conversion of a NaN; the call fails
      V<W>::round_even(v, magnitude, big);
      // No NaN is left and the sign of a zero is lost in the conversion: the bounds need no
      // more than a comparison each.
      v = v < lowest ? lowest : v;
      v = v > highest ? highest : v;
    }
    if constexpr (std::is_same_v<Out, float>) {
      float o[W];
      V<W>::narrow(v, magnitude, o);
      std::memcpy(to, o, sizeof(o));
    } else if constexpr (std::is_same_v<Out, double>) {
      std::memcpy(to, &v, sizeof(v));
    } else {
      // Whole and within the type: exact in int32, and in the type.
      const auto whole = __builtin_convertvector(v, typename V<W>::Ints);
      Out o[W];
      for (size_t k = 0; k < W; ++k) o[k] = static_cast<Out>(whole[k]);
      std::memcpy(to, o, sizeof(o));
    }
  }
};

// Finishes `n` samples of `in` into `out`; false when an integer sample is NaN.
template <size_t W, class In, class Out, bool kGrid, bool kInteger>
VANTREL_ALWAYS_INLINE bool finish_run(const In* in, size_t n, const Plan& p, uint8_t* out) {
  Pass<W, In, Out, kGrid, kInteger> pass(p);
  size_t i = 0;
  for (; i + W <= n; i += W) pass.group(in + i, out + i * sizeof(Out));
  if (i < n) {
    In padded[W] = {};
    uint8_t last[W * sizeof(Out)];
    std::copy(in + i, in + n, padded);
    pass.group(padded, last);
    std::memcpy(out + i * sizeof(Out), last, (n - i) * sizeof(Out));
  }
  for (size_t k = 0; k < W; ++k) {
    if (pass.nan[k] != 0) return false;
  }
  return true;
}

template <class In, class Out, bool kGrid, bool kInteger>
bool finish_baseline(const In* in, size_t n, const Plan& p, uint8_t* out) {
  return finish_run<2, In, Out, kGrid, kInteger>(in, n, p, out);
}

#if defined(__x86_64__)
template <class In, class Out, bool kGrid, bool kInteger>
VANTREL_TARGET_AVX2 bool finish_avx2(const In* in, size_t n, const Plan& p, uint8_t* out) {
  return finish_run<4, In, Out, kGrid, kInteger>(in, n, p, out);
}
#endif

template <class In, class Out, bool kGrid>
bool finish_on(const In* in, size_t n, const Plan& p, uint8_t* out) {
  constexpr bool kInteger = !std::is_floating_point_v<Out>;
#if defined(__x86_64__)
  if (active_simd_target() == SimdTarget::Avx2)
    return finish_avx2<In, Out, kGrid, kInteger>(in, n, p, out);
#endif
  return finish_baseline<In, Out, kGrid, kInteger>(in, n, p, out);
}

template <class In, class Out>
bool finish_as(const In* in, size_t n, const Plan& p, uint8_t* out) {
  return p.grid ? finish_on<In, Out, true>(in, n, p, out)
                : finish_on<In, Out, false>(in, n, p, out);
}

template <class In>
Status<FinishError> finish(std::span<const In> values, const std::optional<SampleGrid>& grid,
                           SampleType type, std::span<uint8_t> out) {
  const SampleTypeInfo& info = sample_type_info(type);
  if (out.size() != values.size() * info.size) internal_buffer_error("finish_into's output");
  Plan p{grid.has_value(), info.integer, 0, 0, 0, 0, info.lowest, info.highest};
  if (grid) {
    p.origin = grid->origin;
    p.step = grid->step;
    p.min_code = grid->min_code;
    p.max_code = grid->max_code;
  }
  const In* in = values.data();
  const size_t n = values.size();
  bool ok = true;
  switch (type) {
    case SampleType::Float32:
      ok = finish_as<In, float>(in, n, p, out.data());
      break;
    case SampleType::Float64:
      ok = finish_as<In, double>(in, n, p, out.data());
      break;
    case SampleType::Int8:
      ok = finish_as<In, int8_t>(in, n, p, out.data());
      break;
    case SampleType::Int16:
      ok = finish_as<In, int16_t>(in, n, p, out.data());
      break;
    case SampleType::Int32:
      ok = finish_as<In, int32_t>(in, n, p, out.data());
      break;
    case SampleType::UInt8:
      ok = finish_as<In, uint8_t>(in, n, p, out.data());
      break;
    case SampleType::UInt16:
      ok = finish_as<In, uint16_t>(in, n, p, out.data());
      break;
  }
  if (!ok) return FinishError::IntegerNaN;
  return {};
}

constexpr bool table_follows_enum() {
  for (size_t i = 0; i < std::size(kSampleTypes); ++i) {
    if (static_cast<size_t>(kSampleTypes[i].type) != i) return false;
  }
  return true;
}
static_assert(table_follows_enum(), "kSampleTypes is indexed by SampleType");

}  // namespace

const SampleTypeInfo& sample_type_info(SampleType type) {
  return kSampleTypes[static_cast<size_t>(type)];
}

std::optional<SampleType> sample_type_named(std::string_view name) {
  for (const SampleTypeInfo& t : kSampleTypes) {
    if (t.name == name) return t.type;
  }
  return std::nullopt;
}

Status<FinishError> finish_into(std::span<const double> values,
                                const std::optional<SampleGrid>& grid, SampleType type,
                                std::span<uint8_t> out) {
  return finish(values, grid, type, out);
}

Status<FinishError> finish_into(std::span<const float> values,
                                const std::optional<SampleGrid>& grid, SampleType type,
                                std::span<uint8_t> out) {
  return finish(values, grid, type, out);
}

FinishInto::FinishInto(const std::optional<SampleGrid>& grid, SampleType type,
                       std::span<uint8_t> out)
    : grid_(grid), type_(type), size_(sample_type_info(type).size), out_(out) {}

bool FinishInto::take(size_t first, std::span<const double> values) {
  if (first > out_.size() / size_ || values.size() > out_.size() / size_ - first)
    internal_buffer_error("FinishInto's output");
  auto done =
      finish_into(values, grid_, type_, out_.subspan(first * size_, values.size() * size_));
  if (!done.ok()) error_ = done.error();
  return done.ok();
}

}  // namespace vantrel
