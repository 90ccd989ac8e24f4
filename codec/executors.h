// The wavelet executor of each method. Compressor and decompressor ask for the same one.
#pragma once

#include <memory>

#include "codec/options.h"
#include "wavelet/executor.h"

namespace vantrel {

// cdf53 and cdf97 by lifting; db4 and sym4 by convolution with periodic extension.
std::shared_ptr<const DwtExecutor> make_executor(WaveletMethod method);

}  // namespace vantrel
