// The multi-level operations shared by the lifting executors.
#include "wavelet/lifting.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>

namespace vantrel {
namespace {

// A level keeps ceil(n/2) of its n >= 3 samples, so a decomposition has fewer levels than a
// size_t has bits. Reserving that many up front means
// appending a level never allocates (nor throws).
constexpr size_t kMaxLevels = std::numeric_limits<size_t>::digits;

}  // namespace

WaveletResult<std::vector<float>> allocate_samples(size_t length) {
  std::vector<float> samples;
  try {
    samples.resize(length);
  } catch (const std::bad_alloc&) {
    return OscletError::allocation_failed(sample_bytes(length));
  } catch (const std::length_error&) {
    return OscletError::allocation_failed(sample_bytes(length));
  }
  return samples;
}

WaveletStatus LiftingDwtExecutor::execute_forward_with_scratch(std::span<const float> input,
                                                               std::span<float> approx,
                                                               std::span<float> details,
                                                               std::span<float> /*scratch*/) const {
  return execute_forward(input, approx, details);
}

size_t LiftingDwtExecutor::required_scratch_size(size_t /*input_length*/) const { return 0; }

WaveletStatus LiftingDwtExecutor::check_forward_sizes(size_t input_length, size_t approx_length,
                                                      size_t details_length) const {
  const size_t min_length = min_input_length();
  if (input_length < min_length) return OscletError::input_too_small(input_length, min_length);
  const size_t required_approx = input_length - input_length / 2;
  const size_t required_details = input_length / 2;
  if (approx_length != required_approx) {
    return OscletError::approx_size_mismatch(approx_length, required_approx);
  }
  if (details_length != required_details) {
    return OscletError::details_size_mismatch(details_length, required_details);
  }
  return {};
}

WaveletStatus LiftingDwtExecutor::check_inverse_sizes(size_t approx_length, size_t details_length,
                                                      size_t output_length) const {
  if (approx_length + details_length != output_length) {
    return OscletError::output_size_mismatch(approx_length + details_length, output_length);
  }
  const DwtSize required = dwt_size(output_length);
  if (approx_length != required.approx) {
    return OscletError::approx_size_mismatch(approx_length, required.approx);
  }
  if (details_length != required.details) {
    return OscletError::details_size_mismatch(details_length, required.details);
  }
  return {};
}

// Runs the levels of a decomposition, each on the approximation of the level before, in new
// bands: `keep` takes each level's bands and returns where it put the approximation.
template <class Keep>
WaveletStatus LiftingDwtExecutor::forward_levels(std::span<const float> input, size_t levels,
                                                 Keep keep) const {
  const size_t min_length = min_input_length();
  std::span<const float> current = input;
  for (size_t level = 0; level < std::max<size_t>(levels, 1); ++level) {
    if (current.size() < min_length) return OscletError::buffer_too_small_for_level();
    const size_t n = current.size();
    VANTREL_ASSIGN_OR_RETURN(std::vector<float> approx, allocate_samples(n - n / 2));
    VANTREL_ASSIGN_OR_RETURN(std::vector<float> details, allocate_samples(n / 2));
    VANTREL_RETURN_IF_ERROR(execute_forward(current, approx, details));
    current = keep(Dwt{std::move(approx), std::move(details)});
  }
  return {};
}

WaveletResult<MultiDwt> LiftingDwtExecutor::multi_dwt(std::span<const float> input,
                                                      size_t levels) const {
  const size_t num_levels = std::max<size_t>(levels, 1);
  MultiDwt result;
  try {
    result.reserve(std::min(num_levels, kMaxLevels));
  } catch (const std::bad_alloc&) {
    return OscletError::allocation_failed(std::min(num_levels, kMaxLevels) * sizeof(Dwt));
  }
  // A vector's buffer stays where it is when the vector moves, so the next level may read the
  // approximation stored in `result`.
  VANTREL_RETURN_IF_ERROR(forward_levels(input, levels, [&](Dwt&& level) {
    result.push_back(std::move(level));
    return std::span<const float>(result.back().approximations);
  }));
  return result;
}

WaveletStatus LiftingDwtExecutor::multi_dwt_streamed(std::span<float> input, size_t levels,
                                                     const BandSink& sink) const {
  const size_t min_length = min_input_length();
  SampleBuffer details_buffer;  // shared by every level
  std::span<float> current = input;
  for (size_t level = 0; level < std::max<size_t>(levels, 1); ++level) {
    const size_t n = current.size();
    if (n < min_length) return OscletError::buffer_too_small_for_level();
    VANTREL_ASSIGN_OR_RETURN(const std::span<float> details, details_buffer.first(n / 2));
    const std::span<float> approx = current.first(n - n / 2);
    VANTREL_RETURN_IF_ERROR(execute_forward(current, approx, details));
    sink(details);
    current = approx;
  }
  sink(current);
  return {};
}

WaveletResult<Dwt> LiftingDwtExecutor::dwt(std::span<const float> input, size_t levels) const {
  Dwt last;
  VANTREL_RETURN_IF_ERROR(forward_levels(input, levels, [&](Dwt&& level) {
    last = std::move(level);
    return std::span<const float>(last.approximations);
  }));
  return last;
}

WaveletResult<std::vector<float>> LiftingDwtExecutor::idwt(std::span<const float> approx,
                                                           std::span<const float> details) const {
  VANTREL_ASSIGN_OR_RETURN(std::vector<float> output,
                           allocate_samples(approx.size() + details.size()));
  VANTREL_RETURN_IF_ERROR(execute_inverse(approx, details, output));
  return output;
}

WaveletResult<std::vector<float>> LiftingDwtExecutor::multi_idwt(const MultiDwtView& view) const {
  if (view.details.empty() || view.approximation.empty()) {
    return OscletError::zero_sized_input();
  }
  // Levels rebuild from the deepest up; each output is exactly the next level's approximation.
  VANTREL_ASSIGN_OR_RETURN(std::vector<float> current,
                           idwt(view.approximation, view.details.back()));
  for (size_t level = view.details.size() - 1; level-- > 0;) {
    VANTREL_ASSIGN_OR_RETURN(current, idwt(current, view.details[level]));
  }
  return current;
}

WaveletResult<std::vector<float>> LiftingDwtExecutor::multi_idwt_consuming(
    const MultiDwtSpentView& view) const {
  if (view.details.empty() || view.approximation.empty()) {
    return OscletError::zero_sized_input();
  }
  // Levels rebuild from the deepest up, each lifting inside its own bands; the coarser outputs
  // alternate between two buffers (a level reads the one the level below wrote), the finest is
  // the result.
  SampleBuffer outputs[2];
  std::vector<float> result;
  std::span<float> current = view.approximation;
  for (size_t level = view.details.size(); level-- > 0;) {
    const std::span<float> details = view.details[level];
    const size_t length = current.size() + details.size();
    std::span<float> output;
    if (level == 0) {
      VANTREL_ASSIGN_OR_RETURN(result, allocate_samples(length));
      output = result;
    } else {
      VANTREL_ASSIGN_OR_RETURN(output, outputs[level % 2].first(length));
    }
    VANTREL_RETURN_IF_ERROR(execute_inverse_in_place(current, details, output));
    current = output;
  }
  return result;
}

WaveletResult<std::span<float>> LiftingDwtExecutor::multi_idwt_into(const MultiDwtSpentView& view,
                                                                    IdwtBuffers& buffers,
                                                                    std::span<float> room) const {
  if (view.details.empty() || view.approximation.empty()) {
    return OscletError::zero_sized_input();
  }
  // Level l writes levels[l % 2] (the finest, level 0, the result or the room).
  std::span<float> current = view.approximation;
  for (size_t level = view.details.size(); level-- > 0;) {
    std::span<float> details = view.details[level];
    const size_t length = current.size() + details.size();
    VANTREL_ASSIGN_OR_RETURN(
        std::span<float> output,
        level_output(level, view.details.size(), length, room, buffers, current, details));
    VANTREL_RETURN_IF_ERROR(execute_inverse_in_place(current, details, output));
    current = output;
  }
  return current;
}

}  // namespace vantrel
