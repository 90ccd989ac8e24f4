// Multi-level operations for a one-level convolution executor.
//
// A convolution level of n samples and an N-tap filter makes two bands of floor((n + N - 1)/2)
// samples, and its inverse gives back 2·len - N + 2 samples: n for even n, n + 1 for odd n. The
// reconstruction therefore drops the surplus last sample wherever a level's approximation had an
// odd length, which it recognises by the length of the next finer details.
#include <algorithm>
#include <cassert>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "wavelet/executor.h"
#include "wavelet/levels.h"

namespace vantrel {
namespace {

// A level runs on at least N samples and leaves floor((n + N - 1)/2) < n of them, roughly halving
// the excess over N - 1, so a decomposition of anything that fits in memory has fewer levels than
// a size_t has bits. Reserving that many up front means appending a level does not allocate.
constexpr size_t kMaxLevels = std::numeric_limits<size_t>::digits;

}  // namespace

CompletedDwtExecutor::CompletedDwtExecutor(std::shared_ptr<const IncompleteDwtExecutor> inner)
    : inner_(std::move(inner)), filter_length_(inner_ ? inner_->filter_length() : 0) {
  assert(inner_ != nullptr);
}

WaveletStatus CompletedDwtExecutor::execute_forward(std::span<const float> input,
                                                    std::span<float> approx,
                                                    std::span<float> details) const {
  return inner_->execute_forward(input, approx, details);
}

WaveletStatus CompletedDwtExecutor::execute_forward_with_scratch(std::span<const float> input,
                                                                 std::span<float> approx,
                                                                 std::span<float> details,
                                                                 std::span<float> scratch) const {
  return inner_->execute_forward_with_scratch(input, approx, details, scratch);
}

size_t CompletedDwtExecutor::required_scratch_size(size_t input_length) const {
  return inner_->required_scratch_size(input_length);
}

DwtSize CompletedDwtExecutor::dwt_size(size_t input_length) const {
  return inner_->dwt_size(input_length);
}

WaveletStatus CompletedDwtExecutor::execute_inverse(std::span<const float> approx,
                                                    std::span<const float> details,
                                                    std::span<float> output) const {
  return inner_->execute_inverse(approx, details, output);
}

size_t CompletedDwtExecutor::idwt_size(size_t approx_length, size_t details_length) const {
  return inner_->idwt_size(approx_length, details_length);
}

WaveletResult<MultiDwt> CompletedDwtExecutor::multi_dwt(std::span<const float> input,
                                                        size_t levels) const {
  MultiDwt result;
  if (levels <= 1) {
    // One level: the inner executor's own checks decide, with no filter-length test here.
    const DwtSize size = inner_->dwt_size(input.size());
    VANTREL_ASSIGN_OR_RETURN(std::vector<float> approx, allocate_samples(size.approx));
    VANTREL_ASSIGN_OR_RETURN(std::vector<float> details, allocate_samples(size.details));
    VANTREL_RETURN_IF_ERROR(inner_->execute_forward(input, approx, details));
    result.push_back(Dwt{std::move(approx), std::move(details)});
    return result;
  }
  try {
    result.reserve(std::min(levels, kMaxLevels));
  } catch (const std::bad_alloc&) {
    return OscletError::allocation_failed(std::min(levels, kMaxLevels) * sizeof(Dwt));
  }
  // Each level reads the approximation the level before stored in `result` (a vector's buffer
  // stays where it is when the vector moves).
  std::span<const float> current = input;
  for (size_t level = 0; level < levels; ++level) {
    if (current.size() < filter_length_) return OscletError::buffer_too_small_for_level();
    const DwtSize size = inner_->dwt_size(current.size());
    VANTREL_ASSIGN_OR_RETURN(std::vector<float> approx, allocate_samples(size.approx));
    VANTREL_ASSIGN_OR_RETURN(std::vector<float> details, allocate_samples(size.details));
    VANTREL_RETURN_IF_ERROR(inner_->execute_forward(current, approx, details));
    result.push_back(Dwt{std::move(approx), std::move(details)});
    current = result.back().approximations;
  }
  return result;
}

WaveletStatus CompletedDwtExecutor::multi_dwt_streamed(std::span<float> input, size_t levels,
                                                       const BandSink& sink) const {
  // The approximations alternate between two buffers (a level reads the one the level before
  // wrote) and every level writes its details into a third. As in multi_dwt, a single level
  // leaves every check to the inner executor.
  SampleBuffer approximations[2];
  SampleBuffer details_buffer;
  std::span<const float> current = input;
  for (size_t level = 0; level < std::max<size_t>(levels, 1); ++level) {
    if (levels > 1 && current.size() < filter_length_) {
      return OscletError::buffer_too_small_for_level();
    }
    const DwtSize size = inner_->dwt_size(current.size());
    VANTREL_ASSIGN_OR_RETURN(const std::span<float> approx,
                             approximations[level % 2].first(size.approx));
    VANTREL_ASSIGN_OR_RETURN(const std::span<float> details, details_buffer.first(size.details));
    VANTREL_RETURN_IF_ERROR(inner_->execute_forward(current, approx, details));
    sink(details);
    current = approx;
  }
  sink(current);
  return {};
}

WaveletResult<std::vector<float>> CompletedDwtExecutor::multi_idwt_consuming(
    const MultiDwtSpentView& view) const {
  MultiDwtView borrowed;
  borrowed.details.assign(view.details.begin(), view.details.end());
  borrowed.approximation = view.approximation;
  return multi_idwt(borrowed);
}

WaveletResult<std::span<float>> CompletedDwtExecutor::multi_idwt_into(
    const MultiDwtSpentView& view, IdwtBuffers& buffers, std::span<float> room) const {
  if (view.details.empty() || view.approximation.empty()) {
    return OscletError::zero_sized_input();
  }
  // As multi_idwt, each level into the buffers instead of a new vector.
  std::span<const float> approx = view.approximation;
  std::span<float> current;
  for (size_t level = view.details.size(); level-- > 0;) {
    std::span<const float> details = view.details[level];
    if (level + 1 < view.details.size()) {
      if (current.size() < details.size()) {
        return OscletError::approx_details_mismatch(current.size(), details.size());
      }
      approx = current.first(details.size());
    } else if (approx.size() != details.size()) {
      return OscletError::approx_details_mismatch(approx.size(), details.size());
    }
    const size_t length = inner_->idwt_size(approx.size(), details.size());
    VANTREL_ASSIGN_OR_RETURN(
        current, level_output(level, view.details.size(), length, room, buffers, approx, details));
    std::fill(current.begin(), current.end(), 0.0f);  // the synthesis adds into its output
    VANTREL_RETURN_IF_ERROR(inner_->execute_inverse(approx, details, current));
  }
  return current;
}

WaveletResult<Dwt> CompletedDwtExecutor::dwt(std::span<const float> input, size_t levels) const {
  const size_t num_levels = std::max<size_t>(levels, 1);
  Dwt last;
  std::span<const float> current = input;
  for (size_t level = 0; level < num_levels; ++level) {
    if (num_levels > 1 && current.size() < filter_length_) {
      return OscletError::buffer_too_small_for_level();
    }
    const DwtSize size = inner_->dwt_size(current.size());
    VANTREL_ASSIGN_OR_RETURN(std::vector<float> approx, allocate_samples(size.approx));
    VANTREL_ASSIGN_OR_RETURN(std::vector<float> details, allocate_samples(size.details));
    VANTREL_RETURN_IF_ERROR(inner_->execute_forward(current, approx, details));
    last = Dwt{std::move(approx), std::move(details)};
    current = last.approximations;
  }
  return last;
}

WaveletResult<std::vector<float>> CompletedDwtExecutor::idwt(std::span<const float> approx,
                                                             std::span<const float> details) const {
  if (approx.size() != details.size()) {
    return OscletError::approx_details_mismatch(approx.size(), details.size());
  }
  VANTREL_ASSIGN_OR_RETURN(std::vector<float> output,
                           allocate_samples(inner_->idwt_size(approx.size(), details.size())));
  VANTREL_RETURN_IF_ERROR(inner_->execute_inverse(approx, details, output));
  return output;
}

WaveletResult<std::vector<float>> CompletedDwtExecutor::multi_idwt(const MultiDwtView& view) const {
  if (view.details.empty() || view.approximation.empty()) {
    return OscletError::zero_sized_input();
  }
  VANTREL_ASSIGN_OR_RETURN(std::vector<float> current,
                           idwt(view.approximation, view.details.back()));
  for (size_t level = view.details.size() - 1; level-- > 0;) {
    const std::span<const float> details = view.details[level];
    if (current.size() < details.size()) {
      return OscletError::approx_details_mismatch(current.size(), details.size());
    }
    // The inverse of the coarser level may carry one surplus sample past this level's
    // approximation; the band length of the details says where the approximation ends.
    const std::span<const float> approx(current.data(), details.size());
    VANTREL_ASSIGN_OR_RETURN(current, idwt(approx, details));
  }
  return current;
}

}  // namespace vantrel
