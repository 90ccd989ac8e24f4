// Scalar convolution kernels, the reference every vector table reproduces, and the choice of
// table.
#include <algorithm>
#include <cassert>
#include <iterator>

#include "wavelet/kernels/conv_kernels.h"

namespace vantrel {
namespace {

template <size_t kTaps>
struct ScalarKernels {
  static constexpr ConvForwardFn forward = forward_loop<kTaps>;
  static constexpr ConvInverseFn inverse = inverse_loop<kTaps>;
};

}  // namespace

const ConvKernelTable kConvKernelsScalar = make_conv_kernel_table<ScalarKernels>();

const ConvKernelTable& active_conv_kernels() noexcept {
  static const TargetTables<ConvKernelTable> tables(kConvKernelsScalar,
                                                    VANTREL_AVX2_KERNELS(kConvKernelsAvx2));
  return tables.active();
}

ConvKernels conv_kernels(size_t fixed_taps) noexcept {
  const auto slot = std::find(std::begin(kConvKernelTaps), std::end(kConvKernelTaps), fixed_taps);
  assert(slot != std::end(kConvKernelTaps));
  return active_conv_kernels()[static_cast<size_t>(slot - std::begin(kConvKernelTaps))];
}

}  // namespace vantrel
