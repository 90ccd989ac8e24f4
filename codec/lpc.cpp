#include "codec/lpc.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "support/cpu.h"
#include "support/simd.h"

namespace vantrel {
namespace {

constexpr int64_t kLimit = (int64_t{1} << 30) - 1;  // the residual range, +-(2^30 - 1)

// Coefficients are quantised to this many bits below the largest one's leading bit (FLAC's
// precision for blocks of a few thousand): finer ones gain nothing measurable and cost header.
constexpr int kPrecision = 14;
// An order is taken when its estimated cost is within this fraction of the cheapest order's.
constexpr double kOrderSlack = 0.003;
// The order search ends this many orders past the cheapest order found.
constexpr int kLookAhead = 12;

int64_t predict_any(const LpcFilter& f, const int32_t* x, size_t i) {
  int64_t sum = 0;
  const size_t known = std::min<size_t>(i, static_cast<size_t>(f.order));
  for (size_t k = 0; k < known; ++k) sum += int64_t{f.coefs[k]} * x[i - 1 - k];
  return sum >> f.shift;
}

// Values beyond the range are caught by an OR of their distance outside it, once at the end.
inline uint64_t outside(int64_t v) {
  return static_cast<uint64_t>(v + kLimit) >> 31 | static_cast<uint64_t>(kLimit - v) >> 63;
}

// A prediction's terms beyond the kNear newest values are summed in double, two lanes at a
// time: every product of a coefficient (below 2^15) and a value (below 2^31) is an integer below
// 2^46, and the sum of at most 31 of them stays below 2^51, so every step is exact and the sum is
// the same integer in any order. The values that far back were stored long enough ago for a
// load of two of them to find them in the cache (a pair just stored would wait on both stores);
// the nearer ones stay in registers.
constexpr int kNear = 8;
using Lanes = double __attribute__((vector_size(16)));
using IntPair = int32_t __attribute__((vector_size(8)));

template <int N>
bool restore_fixed(const int16_t* c, int shift, int32_t* x, size_t from, size_t to) {
  uint64_t beyond = 0;
  if constexpr (N <= kNear) {
    // The newest value stays in a register: only its product is on the chain from one value to
    // the next; the older ones' sum is formed while the newest is still being made.
    int64_t newest = x[from - 1];
    for (size_t i = from; i < to; ++i) {
      int64_t older = 0;
      for (int k = 1; k < N; ++k) older += int64_t{c[k]} * x[i - 1 - static_cast<size_t>(k)];
      const int64_t v = x[i] + ((older + int64_t{c[0]} * newest) >> shift);
      beyond |= outside(v);
      x[i] = static_cast<int32_t>(v);
      newest = static_cast<int32_t>(v);
    }
  } else {
    // The far terms weigh x[i - N + t], t = 0 .. N - kNear - 1, w[t] = c[N - 1 - t]; a pair of
    // lanes per two of them, and one alone when they are odd.
    constexpr int kFar = N - kNear;
    constexpr int kPairs = kFar / 2;
    std::array<Lanes, kPairs + 1> w{};
    for (int t = 0; t < 2 * kPairs; ++t) w[t / 2][t % 2] = c[N - 1 - t];
    const double last = c[kNear];  // the far term nearest the value, when they are odd
    std::array<int64_t, kNear> near{};  // near[k] = x[i - 1 - k]
    for (int k = 0; k < kNear; ++k) near[k] = x[from - 1 - static_cast<size_t>(k)];
    for (size_t i = from; i < to; ++i) {
      const int32_t* const h = x + i - N;
      Lanes sum0 = {0.0, 0.0}, sum1 = {0.0, 0.0};
      for (int t = 0; t < kPairs; ++t) {
        IntPair v;
        std::memcpy(&v, h + 2 * t, sizeof v);
        const Lanes term = w[t] * __builtin_convertvector(v, Lanes);
        if (t % 2) {
          sum1 += term;
        } else {
          sum0 += term;
        }
      }
      const Lanes total = sum0 + sum1;
      double far = total[0] + total[1];
      if constexpr (kFar % 2 != 0) far += last * static_cast<double>(h[kFar - 1]);
      int64_t older = static_cast<int64_t>(far);
      for (int k = 1; k < kNear; ++k) older += int64_t{c[k]} * near[k];
      const int64_t v = x[i] + ((older + int64_t{c[0]} * near[0]) >> shift);
      beyond |= outside(v);
      x[i] = static_cast<int32_t>(v);
      for (int k = kNear - 1; k > 0; --k) near[k] = near[k - 1];
      near[0] = static_cast<int32_t>(v);
    }
  }
  return beyond == 0;
}

// The errors of values with a full history; the OR of their distances outside 32 bits.
template <int N>
uint64_t errors_fixed(const int16_t* c, int shift, const int32_t* x, size_t from, size_t to,
                      int32_t* e) {
  uint64_t beyond = 0;
  for (size_t i = from; i < to; ++i) {
    int64_t sum = 0;
    for (int k = 0; k < N; ++k) sum += int64_t{c[k]} * x[i - 1 - static_cast<size_t>(k)];
    const int64_t d = int64_t{x[i]} - (sum >> shift);
    beyond |= static_cast<uint64_t>(d - std::numeric_limits<int32_t>::min()) >> 32;
    *e++ = static_cast<int32_t>(d);
  }
  return beyond;
}

#if defined(__x86_64__)
// errors_fixed on four lanes of doubles, sixteen values at a time. The sums are exact: every
// product of a coefficient (at most 2^15 in magnitude) and a 32-bit value is an integer of at most
// 2^46, and the sum of at most 32 of them at most 2^51, so no fused step rounds and each lane
// holds the scalar path's integer sum. Scaling by 2^-shift and flooring is the arithmetic shift;
// the error, an integer below 2^52, is tested against 32 bits before it is converted. `xd` holds
// the values as doubles from index from - N on. Returns the index the lanes stopped at (the rest
// is left to the scalar path) and ORs into `beyond` when an error does not fit.
template <int N>
VANTREL_TARGET_AVX2 size_t errors_avx2(const int16_t* c, int shift, const double* xd,
                                       size_t from, size_t to, int32_t* e, uint64_t& beyond) {
  constexpr size_t kGroup = 16;
  __m256d w[N];
  for (int k = 0; k < N; ++k) w[k] = _mm256_set1_pd(static_cast<double>(c[k]));
  const __m256d scale = _mm256_set1_pd(std::ldexp(1.0, -shift));
  const __m256d low = _mm256_set1_pd(static_cast<double>(std::numeric_limits<int32_t>::min()));
  const __m256d high = _mm256_set1_pd(static_cast<double>(std::numeric_limits<int32_t>::max()));
  __m256d outside = _mm256_setzero_pd();
  // xd[j] stands for x[j + from - N]: the value k + 1 before i is at xd[i - from + N - 1 - k].
  const double* const h = xd + N - 1;
  size_t i = from;
  for (; i + kGroup <= to; i += kGroup) {
    const double* const at = h + (i - from);
    __m256d s0 = _mm256_setzero_pd(), s1 = s0, s2 = s0, s3 = s0;
    for (int k = 0; k < N; ++k) {
      s0 = _mm256_fmadd_pd(w[k], _mm256_loadu_pd(at - k), s0);
      s1 = _mm256_fmadd_pd(w[k], _mm256_loadu_pd(at - k + 4), s1);
      s2 = _mm256_fmadd_pd(w[k], _mm256_loadu_pd(at - k + 8), s2);
      s3 = _mm256_fmadd_pd(w[k], _mm256_loadu_pd(at - k + 12), s3);
    }
    const __m256d sums[4] = {s0, s1, s2, s3};
    for (size_t g = 0; g < 4; ++g) {
      const __m256d predicted = _mm256_floor_pd(_mm256_mul_pd(sums[g], scale));
      const __m256d d = _mm256_sub_pd(_mm256_loadu_pd(at + 1 + 4 * g), predicted);
      outside = _mm256_or_pd(outside, _mm256_or_pd(_mm256_cmp_pd(d, low, _CMP_LT_OQ),
                                                   _mm256_cmp_pd(d, high, _CMP_GT_OQ)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(e + (i - from) + 4 * g),
                       _mm256_cvtpd_epi32(d));
    }
  }
  if (_mm256_movemask_pd(outside) != 0) beyond |= 1;
  return i;
}

using ErrorsAvx2Fn = size_t (*)(const int16_t*, int, const double*, size_t, size_t, int32_t*,
                                uint64_t&);
template <size_t... N>
constexpr std::array<ErrorsAvx2Fn, sizeof...(N)> errors_avx2_table(std::index_sequence<N...>) {
  return {&errors_avx2<static_cast<int>(N) + 1>...};
}
constexpr auto kErrorsAvx2 = errors_avx2_table(std::make_index_sequence<kMaxLpcOrder>());
#endif

using RestoreFn = bool (*)(const int16_t*, int, int32_t*, size_t, size_t);
using ErrorsFn = uint64_t (*)(const int16_t*, int, const int32_t*, size_t, size_t, int32_t*);

template <size_t... N>
constexpr std::array<RestoreFn, sizeof...(N)> restore_table(std::index_sequence<N...>) {
  return {&restore_fixed<static_cast<int>(N) + 1>...};
}
template <size_t... N>
constexpr std::array<ErrorsFn, sizeof...(N)> errors_table(std::index_sequence<N...>) {
  return {&errors_fixed<static_cast<int>(N) + 1>...};
}

constexpr auto kRestore = restore_table(std::make_index_sequence<kMaxLpcOrder>());
constexpr auto kErrors = errors_table(std::make_index_sequence<kMaxLpcOrder>());

// The autocorrelation's lags L .. L + 3 of w (n values) over i >= L + 3, as four lanes in reverse
// lag order (lane 3 - j holds lag L + j): w[i] times the four values before it that those lags
// pair it with, which lie next to each other. Two sets of sums, for even and odd i, so that each
// addition need not wait for the one before; the sets are added at the end. Pairs of lanes (the
// width of the baseline's vectors) here; four_lags_avx2 does the same operations on each lane,
// four lanes at once.
void four_lags(const double* w, size_t n, size_t lag, double out[4]) {
  using Pair = double __attribute__((vector_size(16)));
  Pair far0 = {0.0, 0.0}, near0 = {0.0, 0.0}, far1 = {0.0, 0.0}, near1 = {0.0, 0.0};
  size_t i = lag + 3;
  const auto step = [&](size_t at, Pair& far, Pair& near) {
    Pair f, m;
    std::memcpy(&f, &w[at - lag - 3], sizeof f);
    std::memcpy(&m, &w[at - lag - 1], sizeof m);
    const Pair v = {w[at], w[at]};
    far += v * f;
    near += v * m;
  };
  for (; i + 1 < n; i += 2) {
    step(i, far0, near0);
    step(i + 1, far1, near1);
  }
  if (i < n) step(i, far0, near0);
  const Pair far = far0 + far1, near = near0 + near1;
  out[0] = far[0];
  out[1] = far[1];
  out[2] = near[0];
  out[3] = near[1];
}

#if defined(__x86_64__)
// four_lags for the lags L .. L + 3 into out[0 .. 3] and, when `both`, L + 4 .. L + 7 into
// out[4 .. 7]: the same operations on every lane as four_lags, the second group's sums beside
// the first's (its first pairs start four values later, at the same parity), so that the two
// chains of additions overlap.
VANTREL_TARGET_AVX2 void four_lags_avx2(const double* w, size_t n, size_t lag, bool both,
                                        double out[8]) {
  __m256d even = _mm256_setzero_pd(), odd = _mm256_setzero_pd();
  __m256d even2 = _mm256_setzero_pd(), odd2 = _mm256_setzero_pd();
  const size_t second = both ? lag + 7 : n;  // where the second group's pairs start
  size_t i = lag + 3;
  for (; i + 1 < n && i < second; i += 2) {
    const __m256d e = _mm256_mul_pd(_mm256_set1_pd(w[i]), _mm256_loadu_pd(&w[i - lag - 3]));
    const __m256d o = _mm256_mul_pd(_mm256_set1_pd(w[i + 1]), _mm256_loadu_pd(&w[i - lag - 2]));
    even = _mm256_add_pd(even, e);
    odd = _mm256_add_pd(odd, o);
  }
  for (; i + 1 < n; i += 2) {
    const __m256d vi = _mm256_set1_pd(w[i]), vo = _mm256_set1_pd(w[i + 1]);
    even = _mm256_add_pd(even, _mm256_mul_pd(vi, _mm256_loadu_pd(&w[i - lag - 3])));
    odd = _mm256_add_pd(odd, _mm256_mul_pd(vo, _mm256_loadu_pd(&w[i - lag - 2])));
    even2 = _mm256_add_pd(even2, _mm256_mul_pd(vi, _mm256_loadu_pd(&w[i - lag - 7])));
    odd2 = _mm256_add_pd(odd2, _mm256_mul_pd(vo, _mm256_loadu_pd(&w[i - lag - 6])));
  }
  if (i < n) {
    const __m256d vi = _mm256_set1_pd(w[i]);
    even = _mm256_add_pd(even, _mm256_mul_pd(vi, _mm256_loadu_pd(&w[i - lag - 3])));
    if (i >= second) {
      even2 = _mm256_add_pd(even2, _mm256_mul_pd(vi, _mm256_loadu_pd(&w[i - lag - 7])));
    }
  }
  _mm256_storeu_pd(out, _mm256_add_pd(even, odd));
  if (both) _mm256_storeu_pd(out + 4, _mm256_add_pd(even2, odd2));
}
#endif

}  // namespace

size_t windowed_lags(std::span<const double> w, size_t lag, std::span<double, kLpcLags> r) {
  const size_t n = w.size();
  double lanes[8];
  size_t groups = 1;
#if defined(__x86_64__)
  if (active_simd_target() == SimdTarget::Avx2) {
    groups = lag + 8 <= r.size() ? 2 : 1;
    four_lags_avx2(w.data(), n, lag, groups == 2, lanes);
  } else {
    four_lags(w.data(), n, lag, lanes);
  }
#else
  four_lags(w.data(), n, lag, lanes);
#endif
  // The first few products of each lag, which the lanes leave out, are added last.
  for (size_t g = 0; g < groups; ++g) {
    const size_t from = lag + 4 * g;
    for (size_t j = 0; j < 4; ++j) {
      double sum = lanes[4 * g + 3 - j];
      for (size_t i = from + j; i < std::min(n, from + 3); ++i) sum += w[i] * w[i - from - j];
      r[from + j] = sum;
    }
  }
  return 4 * groups;
}

LpcFilter design_lpc(std::span<const int32_t> x) {
  LpcFilter f;
  const size_t n = x.size();
  const int max_order = static_cast<int>(std::min<size_t>(kMaxLpcOrder, n / 4));
  if (max_order < 1) return f;
  // The autocorrelation of the block under a Tukey window (a cosine taper over a quarter of the
  // block at each end), which keeps the block's edges from biasing the filter.
  // The window's weights are kept for the last length asked (blocks mostly have one length).
  thread_local std::vector<double> window, w;
  if (window.size() != n) {
    window.resize(n);
    const size_t taper = std::max<size_t>(1, n / 4);
    std::fill(window.begin(), window.end(), 1.0);
    // cos(pi (edge + 0.5) / taper) by rotation, one step of pi / taper an edge.
    const double step = M_PI / static_cast<double>(taper);
    const double cos_step = std::cos(step), sin_step = std::sin(step);
    double c = std::cos(0.5 * step), s = std::sin(0.5 * step);
    for (size_t edge = 0; edge < taper && edge <= n - 1 - edge; ++edge) {
      window[edge] = window[n - 1 - edge] = 0.5 - 0.5 * c;
      const double next = c * cos_step - s * sin_step;
      s = s * cos_step + c * sin_step;
      c = next;
    }
  }
  w.resize(n);
  for (size_t i = 0; i < n; ++i) w[i] = window[i] * static_cast<double>(x[i]);
  // The autocorrelation's lags are computed as the orders reach them.
  std::array<double, kLpcLags> r{};
  size_t lags_known = 0;
  const auto lags_from = [&](size_t lag) {
    if (lag >= lags_known) lags_known = lag + windowed_lags({w.data(), n}, lag, r);
  };
  lags_from(0);
  if (!(r[0] > 0.0)) return f;
  // A Laplacian error of variance v costs about log2(e sqrt(2 v)) bits a sample; never less than
  // one (the fast code's least).
  const double dn = static_cast<double>(n);
  const auto cost = [&](double energy, int order) {
    const double per = 0.5 * std::log2(std::max(energy / dn, 1e-12)) + 1.94;
    return dn * std::max(per, 1.0) + 16.0 * order;
  };
  std::array<std::array<double, kMaxLpcOrder>, kMaxLpcOrder + 1> by_order{};
  std::array<double, kMaxLpcOrder + 1> costs{};
  std::array<double, kMaxLpcOrder> a{}, previous{};
  double energy = r[0];
  costs[0] = cost(energy, 0);
  int designed = 0, cheapest_order = 0;
  for (int p = 1; p <= max_order; ++p) {
    if (p % 4 == 0) {
      // Orders well past the cheapest so far seldom pay for their coefficients: the search
      // stops after kLookAhead orders without a cheaper one.
      if (p - cheapest_order > kLookAhead) break;
      lags_from(static_cast<size_t>(p));
    }
    double acc = r[static_cast<size_t>(p)];
    for (int j = 0; j < p - 1; ++j) acc -= a[j] * r[static_cast<size_t>(p - 1 - j)];
    const double k = acc / energy;
    if (!std::isfinite(k) || std::fabs(k) >= 1.0) break;
    previous = a;
    for (int j = 0; j < p - 1; ++j) a[j] = previous[j] - k * previous[p - 2 - j];
    a[p - 1] = k;
    energy *= 1.0 - k * k;
    if (!(energy > 0.0)) break;
    by_order[static_cast<size_t>(p)] = a;
    costs[static_cast<size_t>(p)] = cost(energy, p);
    if (costs[static_cast<size_t>(p)] < costs[static_cast<size_t>(cheapest_order)])
      cheapest_order = p;
    designed = p;
  }
  // The lowest order within kOrderSlack of the cheapest: decoding costs a product per
  // coefficient and sample, and the last few orders rarely gain more.
  const double cheapest = *std::min_element(costs.begin(), costs.begin() + designed + 1);
  int best_order = 0;
  while (costs[static_cast<size_t>(best_order)] > cheapest * (1.0 + kOrderSlack)) ++best_order;
  if (best_order == 0) return f;
  const auto& best_a = by_order[static_cast<size_t>(best_order)];
  double largest = 0.0;
  for (int j = 0; j < best_order; ++j) largest = std::max(largest, std::fabs(best_a[j]));
  int exponent;
  std::frexp(largest, &exponent);  // largest < 2^exponent
  const int shift = std::min(kPrecision - exponent, kMaxLpcShift);
  if (shift < 0) return f;
  // Rounding with the error carried to the next coefficient keeps the filter's sum close.
  double carried = 0.0;
  const double scale = std::ldexp(1.0, shift);
  for (int j = 0; j < best_order; ++j) {
    const double v = best_a[j] * scale + carried;
    const double q = std::clamp(std::nearbyint(v), -32767.0, 32767.0);
    carried = v - q;
    f.coefs[j] = static_cast<int16_t>(q);
  }
  f.order = best_order;
  f.shift = shift;
  return f;
}

bool lpc_errors(const LpcFilter& f, const int32_t* x, size_t from, size_t to, int32_t* e) {
  uint64_t beyond = 0;
  // The values with less history than the order take the general path.
  const size_t head = std::min(to, std::max(from, static_cast<size_t>(f.order)));
  if (f.order > 0 && head < to) {
    size_t lanes_end = head;
#if defined(__x86_64__)
    if (to - head >= 16 && active_simd_target() == SimdTarget::Avx2) {
      // The values from head - order on, as doubles, for the lanes' loads.
      thread_local std::vector<double> xd;
      const size_t first = head - static_cast<size_t>(f.order);
      xd.resize(to - first);
      for (size_t j = first; j < to; ++j) xd[j - first] = static_cast<double>(x[j]);
      lanes_end = kErrorsAvx2[static_cast<size_t>(f.order - 1)](
          f.coefs.data(), f.shift, xd.data(), head, to, e + (head - from), beyond);
    }
#endif
    if (lanes_end < to) {
      beyond |= kErrors[static_cast<size_t>(f.order - 1)](f.coefs.data(), f.shift, x, lanes_end,
                                                           to, e + (lanes_end - from));
    }
    to = head;
  }
  for (size_t i = from; i < to; ++i) {
    const int64_t d = int64_t{x[i]} - predict_any(f, x, i);
    beyond |= static_cast<uint64_t>(d - std::numeric_limits<int32_t>::min()) >> 32;
    e[i - from] = static_cast<int32_t>(d);
  }
  return beyond == 0;
}

bool lpc_restore(const LpcFilter& f, int32_t* x, size_t from, size_t to) {
  if (f.order == 0) return true;
  // The first values of the sequence have less history than the order: the general path.
  const size_t head = std::min(to, std::max(from, static_cast<size_t>(f.order)));
  uint64_t beyond = 0;
  for (size_t i = from; i < head; ++i) {
    const int64_t v = int64_t{x[i]} + predict_any(f, x, i);
    beyond |= outside(v);
    x[i] = static_cast<int32_t>(v);
  }
  if (beyond != 0) return false;
  if (head >= to) return true;
  return kRestore[static_cast<size_t>(f.order - 1)](f.coefs.data(), f.shift, x, head, to);
}

}  // namespace vantrel
