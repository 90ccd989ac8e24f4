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

// Where level `level` of a reconstruction of `count` levels writes its `length` samples: for the
// finest level the caller's `room` when it is long enough, its inputs (which may lie in the room)
// moved to `buffers` first (the details, and the approximation when it is the view's own); else
// the result buffer (finest level) or the coarser levels' alternating buffer.
template <typename T>
WaveletResult<std::span<float>> level_output(size_t level, size_t count, size_t length,
                                             std::span<float> room, IdwtBuffers& buffers,
                                             std::span<T>& approx, std::span<T>& details) {
  if (level == 0 && room.size() >= length) {
    VANTREL_ASSIGN_OR_RETURN(details, moved(details, buffers.levels[0]));
    if (count == 1) {
      VANTREL_ASSIGN_OR_RETURN(approx, moved(approx, buffers.levels[1]));
    }
    return room.first(length);
  }
  return (level == 0 ? buffers.result : buffers.levels[level % 2]).first(length);
}

}  // namespace vantrel
