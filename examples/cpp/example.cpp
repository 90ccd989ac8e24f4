// Compresses a synthetic sensor signal with the installed vantrel core, decodes it again and
// prints the size, ratio and worst error. Exits non-zero if anything fails.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

#include "codec/vantrel.h"

int main() {
  constexpr int kNumSamples = 100000;
  std::vector<float> samples(kNumSamples);
  for (int i = 0; i < kNumSamples; ++i) {
    const double t = i / 1000.0;  // 1 kHz sampling
    samples[i] = static_cast<float>(std::sin(2 * std::numbers::pi * 5 * t) +
                                    0.3 * std::sin(2 * std::numbers::pi * 50 * t));
  }

  vantrel::VtrlCompressionOptions options;  // cdf97, scale 11, cutoff low, automatic coder
  options.scale = 12;
  options.set_method(vantrel::WaveletMethod::Sym4);
  auto packed = vantrel::compress(samples, options);
  if (!packed) {
    std::fprintf(stderr, "compress failed: %s\n", packed.error().to_string().c_str());
    return 1;
  }
  auto decoded = vantrel::decompress(*packed);
  if (!decoded) {
    std::fprintf(stderr, "decompress failed: %s\n", decoded.error().to_string().c_str());
    return 1;
  }
  if (decoded->size() != samples.size()) {
    std::fprintf(stderr, "decoded %zu samples, expected %zu\n", decoded->size(), samples.size());
    return 1;
  }
  double worst = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    worst = std::max(worst, std::abs(static_cast<double>((*decoded)[i]) - samples[i]));
  }
  const double ratio = 4.0 * kNumSamples / static_cast<double>(packed->size());
  std::printf("%d samples -> %zu bytes (ratio %.2f vs float32), max error %.6f\n", kNumSamples,
              packed->size(), ratio, worst);
  // The signal spans about 2.6; scale 12 keeps the error far below 1% of that.
  if (worst >= 0.026) return 1;

  // Or ask for a quality: the smallest container found whose decoded samples reach 70 dB.
  auto targeted = vantrel::compress_to(samples, {vantrel::QualityMetric::Psnr, 70.0});
  if (!targeted) {
    std::fprintf(stderr, "compress_to failed: %s\n", targeted.error().to_string().c_str());
    return 1;
  }
  std::printf("at PSNR 70 dB: %zu bytes (ratio %.2f), reached %.2f dB\n",
              targeted->container.size(), 4.0 * kNumSamples / targeted->container.size(),
              targeted->achieved.psnr);
  return targeted->achieved.psnr >= 70.0 ? 0 : 1;
}
