#include "codec/executors.h"

#include <algorithm>

#include "wavelet/factory.h"

namespace vantrel {

std::shared_ptr<const DwtExecutor> make_executor(WaveletMethod method) {
  switch (method) {
    case WaveletMethod::Cdf53:
      return Osclet::make_cdf53_f32();
    case WaveletMethod::Cdf97:
      return Osclet::make_cdf97_f32();
    case WaveletMethod::Db4:
      return Osclet::make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap);
    case WaveletMethod::Sym4:
      return Osclet::make_symlet_f32(SymletFamily::Sym4, BorderMode::Wrap);
  }
  return nullptr;
}

std::vector<size_t> band_lengths(const DwtExecutor& executor, uint64_t levels,
                                 uint64_t sample_count) {
  std::vector<size_t> lengths(levels + 1);
  size_t length = std::max<uint64_t>(sample_count, executor.filter_length());
  for (uint64_t level = 0; level < levels; ++level) {
    const DwtSize size = executor.dwt_size(length);
    lengths[level + 1] = size.details;
    length = size.approx;
  }
  lengths[0] = length;
  return lengths;
}

}  // namespace vantrel
