// Working storage and loops shared by the multi-level operations of both executor families.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "wavelet/executor.h"

namespace vantrel {

// The byte count of `length` samples, saturated (for allocation errors).
inline uint64_t sample_bytes(size_t length) {
  return length > std::numeric_limits<uint64_t>::max() / sizeof(float)
             ? std::numeric_limits<uint64_t>::max()
             : uint64_t{length} * sizeof(float);
}

// A zero-filled vector of `length` samples, or AllocationFailed with the bytes it needed.
WaveletResult<std::vector<float>> allocate_samples(size_t length);

// Uninitialised samples that grow on demand (growing keeps nothing), so that successive levels
// reuse the same memory instead of touching fresh pages. Not copyable.
class SampleBuffer {
 public:
  WaveletResult<std::span<float>> first(size_t length) {
    if (length > capacity_) {
      data_.reset();
      capacity_ = 0;
      data_.reset(new (std::nothrow) float[length]);
      if (!data_) return OscletError::allocation_failed(sample_bytes(length));
      capacity_ = length;
    }
    return std::span<float>(data_.get(), length);
  }

 private:
  std::unique_ptr<float[]> data_;
  size_t capacity_ = 0;
};

struct IdwtBuffers {
  SampleBuffer result;     // the finest level: the reconstruction, when no room is given for it
  SampleBuffer levels[2];  // the coarser levels' outputs, alternating, then the finest's inputs
};

// `values` copied to the start of `to`.
inline WaveletResult<std::span<float>> moved(std::span<const float> values, SampleBuffer& to) {
  auto out = to.first(values.size());
  if (out.ok()) std::copy(values.begin(), values.end(), out->begin());
  return out;
}


}  // namespace vantrel
