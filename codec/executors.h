// The wavelet executor of each method. Compressor and decompressor ask for the same one.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "codec/options.h"
#include "wavelet/executor.h"

namespace vantrel {

// A new executor of the method; nullptr for a code no method has.
std::shared_ptr<const DwtExecutor> make_executor(WaveletMethod method);

// The band lengths of a container in payload order (the approximation of the deepest level, then
// the details of levels 1 .. L), rebuilt with the executor's dwt_size from the transformed length:
// the sample count, or the filter length when that is larger (shorter signals are extended).
std::vector<size_t> band_lengths(const DwtExecutor& executor, uint64_t levels,
                                 uint64_t sample_count);

}  // namespace vantrel
