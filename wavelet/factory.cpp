#include "wavelet/factory.h"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "wavelet/convolution.h"
#include "wavelet/filters.h"

namespace vantrel {
namespace {

template <size_t N>
std::shared_ptr<const IncompleteDwtExecutor> make_fixed(BorderMode border_mode,
                                                        std::span<const float> low_pass) {
  std::array<float, N> taps;
  std::copy(low_pass.begin(), low_pass.end(), taps.begin());
  return std::make_shared<const FixedTapsWaveletF32<N>>(border_mode, taps);
}

// The kernels specialised by length keep both filters in registers; other lengths take the
// general kernel.
std::shared_ptr<const IncompleteDwtExecutor> make_convolution(BorderMode border_mode,
                                                              std::span<const float> low_pass) {
  switch (low_pass.size()) {
    case 2:
      return make_fixed<2>(border_mode, low_pass);
    case 4:
      return make_fixed<4>(border_mode, low_pass);
    case 6:
      return make_fixed<6>(border_mode, low_pass);
    case 8:
      return make_fixed<8>(border_mode, low_pass);
    case 10:
      return make_fixed<10>(border_mode, low_pass);
    case 12:
      return make_fixed<12>(border_mode, low_pass);
    case 16:
      return make_fixed<16>(border_mode, low_pass);
    default:
      break;
  }
  auto general = DwtFactory::wavelet_n_taps(border_mode, low_pass);
  // Every table has an even, non-zero length; only a member outside the enumeration gets here.
  if (!general.ok()) internal_configuration_error();
  return std::move(general).value();
}

}  // namespace

std::shared_ptr<const DwtExecutor> Osclet::make_daubechies_f32(DaubechiesFamily member,
                                                               BorderMode border_mode) {
  const std::vector<float> low_pass = get_wavelet(member);
  return std::make_shared<const CompletedDwtExecutor>(make_convolution(border_mode, low_pass));
}

std::shared_ptr<const DwtExecutor> Osclet::make_symlet_f32(SymletFamily member,
                                                           BorderMode border_mode) {
  const std::vector<float> low_pass = get_wavelet(member);
  return std::make_shared<const CompletedDwtExecutor>(make_convolution(border_mode, low_pass));
}

}  // namespace vantrel
