#include "codec/executors.h"

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

}  // namespace vantrel
