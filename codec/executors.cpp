#include "codec/executors.h"

#include <algorithm>

#include "codec/methods.h"

namespace vantrel {

std::shared_ptr<const DwtExecutor> make_executor(WaveletMethod method) {
  const WaveletMethodEntry* entry = find_method(static_cast<uint8_t>(method));
  return entry != nullptr ? entry->make_executor() : nullptr;
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
