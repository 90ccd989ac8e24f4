// vantrel's C++ interface: compress a signal into a container and back.
//
//   VtrlCompressionOptions options;            // cdf97, scale 11, cutoff low, automatic coder
//   options.set_method(WaveletMethod::Db4);    // the enums are in codec/options.h
//   auto packed = vantrel::compress(samples, options);
//   if (!packed) std::puts(packed.error().to_string().c_str());
//   auto signal = vantrel::decompress(*packed); // std::vector<float> of samples.size() values
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "codec/vantrel_error.h"
#include "codec/options.h"
#include "codec/quality.h"
#include "support/result.h"

namespace vantrel {

// Compresses `samples` into one container (header and payload). The samples are not modified.
Result<std::vector<uint8_t>, VantrelError> compress(std::span<const float> samples,
                                                    const VtrlCompressionOptions& options);

// How many threads one compress call may use (the calling thread included). The container is
// the same for every count; the encoder takes a second thread only for signals long enough
// to gain from it, and never more than a few.
struct EncodeThreads {
  unsigned count = 1;
};

// compress, on up to `threads.count` threads.
Result<std::vector<uint8_t>, VantrelError> compress(std::span<const float> samples,
                                                    const VtrlCompressionOptions& options,
                                                    EncodeThreads threads);

// Decodes a container into exactly as many samples as were compressed. Bytes after the
// container's payload are ignored.
Result<std::vector<float>, VantrelError> decompress(std::span<const uint8_t> container);

}  // namespace vantrel
