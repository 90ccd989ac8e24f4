// Speed of the entropy coders on wavelet-like coefficient bands: nanoseconds per coded bit for
// the context model and the byte-plane rANS coder, MB/s for the deflate back end, and memcpy
// MB/s measured in the same run as the baseline that makes figures comparable across machines.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <span>
#include <vector>

#include "bench/bench_util.h"
#include "codec/arans.h"
#include "codec/cmodel.h"
#include "codec/deflate.h"

using vantrel::bench::best_seconds;
using vantrel::bench::consume;
using vantrel::bench::g_sink;
using vantrel::bench::thread_seconds;
using vantrel::bench::white_noise;

namespace {

using Band = std::vector<int16_t>;




// A Haar-like pyramid of `levels` levels over `signal`, quantised with `multiplier` after min-max
// normalisation; details below `dead_zone` (in quantised units) become zero. Bands come out in
// payload order: approximation, then details finest first.
std::vector<Band> quantised_bands(std::vector<float> signal, int levels, float multiplier,
                                  int dead_zone) {
  const auto [lo, hi] = std::minmax_element(signal.begin(), signal.end());
  const float min = *lo;
  const float range = *hi - *lo;
  for (float& v : signal) v = (v - min) / range - 0.5f;
  const auto quantise = [multiplier](float v) {
    return static_cast<int16_t>(std::clamp(std::lround(v * multiplier), -32768L, 32767L));
  };
  std::vector<Band> details;
  for (int l = 0; l < levels; ++l) {
    std::vector<float> approx(signal.size() / 2);
    Band detail(signal.size() / 2);
    for (size_t i = 0; i < approx.size(); ++i) {
      approx[i] = (signal[2 * i] + signal[2 * i + 1]) * 0.70710678f;
      const int16_t d = quantise((signal[2 * i] - signal[2 * i + 1]) * 0.70710678f);
      detail[i] = std::abs(d) < dead_zone ? 0 : d;
    }
    details.push_back(std::move(detail));
    signal = std::move(approx);
  }
  std::vector<Band> bands;
  Band a;
  for (float v : signal) a.push_back(quantise(v));
  bands.push_back(std::move(a));
  for (auto& d : details) bands.push_back(std::move(d));
  return bands;
}

std::vector<float> smooth_signal(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> step(0.0f, 1.0f);
  std::vector<float> out(n);
  float walk = 0;
  for (size_t i = 0; i < n; ++i) {
    walk += step(rng) * 0.05f;
    const float t = static_cast<float>(i);
    out[i] =
        walk + 3.0f * std::sin(t * 0.0007f) + std::sin(t * 0.013f) + 0.3f * std::sin(t * 0.11f);
  }
  return out;
}

uint64_t coded_bits(const std::vector<Band>& bands) {
  uint64_t bits = 0;
  for (const auto& band : bands) {
    uint32_t max_mag = 0;
    uint64_t nonzero = 0;
    for (int16_t v : band) {
      max_mag = std::max<uint32_t>(max_mag, static_cast<uint32_t>(std::abs(int32_t{v})));
      nonzero += v != 0;
    }
    const uint32_t width = max_mag == 0 ? 1 : static_cast<uint32_t>(std::bit_width(max_mag));
    bits += band.size() + nonzero * (1 + width);
  }
  return bits;
}

void run_case(const char* name, const std::vector<Band>& bands, double memcpy_mbps) {
  std::vector<std::span<const int16_t>> spans(bands.begin(), bands.end());
  std::vector<size_t> lengths;
  std::vector<uint8_t> bytes;
  for (const auto& band : bands) {
    lengths.push_back(band.size());
    for (int16_t v : band) {
      bytes.push_back(static_cast<uint8_t>(v));
      bytes.push_back(static_cast<uint8_t>(static_cast<uint16_t>(v) >> 8));
    }
  }
  const size_t num_coeffs = bytes.size() / 2;
  const int reps = 5;

  // Context model.
  const uint64_t bits = coded_bits(bands);
  std::vector<uint8_t> cm;
  const double cm_enc = best_seconds(reps, [&] { cm = vantrel::encode_coeffs(spans); });
  std::vector<int16_t> flat(num_coeffs);
  const double cm_dec = best_seconds(reps, [&] {
    const auto s = vantrel::decode_coeffs_into(cm, lengths, flat);
    consume(s.ok() + static_cast<uint64_t>(flat[num_coeffs / 2]));
  });

  // Byte-plane rANS: eight coded bits per byte.
  const uint64_t plane_bits = 8ull * (bytes.size() & ~size_t{1});
  std::vector<uint8_t> ar;
  const double ar_enc = best_seconds(reps, [&] { ar = vantrel::encode_stream(bytes); });
  const double ar_dec = best_seconds(reps, [&] {
    const auto r = vantrel::decode_stream(ar);
    consume(r.ok() ? r->size() : 0);
  });

  // Deflate.
  std::vector<uint8_t> df;
  const double df_enc = best_seconds(reps, [&] { df = *vantrel::deflate_payload(bytes); });
  const double df_dec = best_seconds(reps, [&] {
    const auto r = vantrel::inflate_payload(df, bytes.size());
    consume(r.ok() ? r->size() : 0);
  });

  const double mb = static_cast<double>(bytes.size()) / 1e6;
  std::printf("%s: %zu coefficients in %zu bands\n", name, num_coeffs, bands.size());
  std::printf(
      "  cmodel   %10llu bits -> %9zu bytes  encode %5.2f ns/bit  decode %5.2f ns/bit"
      "  (%.0f / %.0f MB/s of coefficients)\n",
      static_cast<unsigned long long>(bits), cm.size(), cm_enc * 1e9 / bits, cm_dec * 1e9 / bits,
      mb / cm_enc, mb / cm_dec);
  std::printf(
      "  arans    %10llu bits -> %9zu bytes  encode %5.2f ns/bit  decode %5.2f ns/bit"
      "  (%.0f / %.0f MB/s)\n",
      static_cast<unsigned long long>(plane_bits), ar.size(), ar_enc * 1e9 / plane_bits,
      ar_dec * 1e9 / plane_bits, mb / ar_enc, mb / ar_dec);
  std::printf("  deflate                 -> %9zu bytes  deflate %7.1f MB/s  inflate %7.1f MB/s\n",
              df.size(), mb / df_enc, mb / df_dec);
  std::printf("  ratios to memcpy: cmodel decode %.4f, arans decode %.4f, inflate %.4f\n",
              (mb / cm_dec) / memcpy_mbps, (mb / ar_dec) / memcpy_mbps,
              (mb / df_dec) / memcpy_mbps);
}

}  // namespace

int main() {
  // Baseline: memcpy of 64 MiB, best of several runs.
  std::vector<uint8_t> src(size_t{64} << 20, 1);
  std::vector<uint8_t> dst(src.size());
  const double copy = best_seconds(7, [&] {
    std::memcpy(dst.data(), src.data(), src.size());
    consume(dst[src.size() / 3]);
  });
  const double memcpy_mbps = static_cast<double>(src.size()) / 1e6 / copy;
  std::printf("baseline memcpy: %.0f MB/s\n", memcpy_mbps);

  const size_t n = size_t{1} << 21;
  run_case("smooth signal, scale 11, 8 levels", quantised_bands(smooth_signal(n, 1), 8, 2048.0f, 2),
           memcpy_mbps);
  run_case("smooth signal, scale 6, 8 levels", quantised_bands(smooth_signal(n, 2), 8, 64.0f, 1),
           memcpy_mbps);
  run_case("white noise, scale 11, 8 levels", quantised_bands(white_noise(n, 3), 8, 2048.0f, 2),
           memcpy_mbps);
  return g_sink == 42 ? 1 : 0;
}
