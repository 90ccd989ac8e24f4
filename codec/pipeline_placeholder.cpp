// Temporary: lets the extension module link while the pipeline is being written.
#include "codec/vantrel.h"

namespace vantrel {

Result<std::vector<uint8_t>, VantrelError> compress(std::span<const float>,
                                                    const VtrlCompressionOptions&) {
  return VantrelError::encoder("pipeline not built yet");
}

Result<std::vector<float>, VantrelError> decompress(std::span<const uint8_t>) {
  return VantrelError::decompression_failed("pipeline not built yet");
}

}  // namespace vantrel
