// The executor interfaces of the wavelet subsystem and the decomposition types.
//
// One-level executors (lifting or convolution) implement IncompleteDwtExecutor; DwtExecutor adds
// the multi-level operations. Executors are immutable after construction and are shared through
// std::shared_ptr (atomic reference counts), so one executor may serve several threads.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "support/result.h"
#include "wavelet/error.h"

namespace vantrel {

using WaveletStatus = Status<OscletError>;
template <class T>
using WaveletResult = Result<T, OscletError>;

// Band lengths that one decomposition step makes from a signal.
struct DwtSize {
  size_t approx;
  size_t details;
  friend bool operator==(const DwtSize&, const DwtSize&) = default;
};

// One level of a decomposition.
struct Dwt {
  std::vector<float> approximations;
  std::vector<float> details;
};

// All levels, finest (made from the signal itself) first.
using MultiDwt = std::vector<Dwt>;

// Borrowed input of multi_idwt: the details of every level, finest first, and the approximation
// of the deepest level.
struct MultiDwtView {
  std::vector<std::span<const float>> details;
  std::span<const float> approximation;
};

// The bands of multi_idwt_consuming, laid out as in MultiDwtView, but the executor may spend their
// storage as working space: their values are lost.
struct MultiDwtSpentView {
  std::vector<std::span<float>> details;
  std::span<float> approximation;
};

// Working storage of multi_idwt_into that its caller keeps between reconstructions (defined in
// wavelet/levels.h).
struct IdwtBuffers;

// Receives the bands of multi_dwt_streamed one at a time.
using BandSink = std::function<void(std::span<const float> band)>;

class DwtForwardExecutor {
 public:
  virtual ~DwtForwardExecutor() = default;
  virtual WaveletStatus execute_forward(std::span<const float> input, std::span<float> approx,
                                        std::span<float> details) const = 0;
  virtual WaveletStatus execute_forward_with_scratch(std::span<const float> input,
                                                     std::span<float> approx,
                                                     std::span<float> details,
                                                     std::span<float> scratch) const = 0;
  virtual size_t required_scratch_size(size_t input_length) const = 0;
  virtual DwtSize dwt_size(size_t input_length) const = 0;
};

class DwtInverseExecutor {
 public:
  virtual ~DwtInverseExecutor() = default;
  virtual WaveletStatus execute_inverse(std::span<const float> approx,
                                        std::span<const float> details,
                                        std::span<float> output) const = 0;
  virtual size_t idwt_size(size_t approx_length, size_t details_length) const = 0;
};

class IncompleteDwtExecutor : public DwtForwardExecutor, public DwtInverseExecutor {
 public:
  virtual size_t filter_length() const = 0;
};

class DwtExecutor : public IncompleteDwtExecutor {
 public:
  // The last level of an L-level decomposition (L <= 1 gives the first level).
  virtual WaveletResult<Dwt> dwt(std::span<const float> input, size_t levels) const = 0;
  // Every level, finest first (a level count of 0 counts as 1).
  virtual WaveletResult<MultiDwt> multi_dwt(std::span<const float> input, size_t levels) const = 0;
  // One-level reconstruction into a new signal.
  virtual WaveletResult<std::vector<float>> idwt(std::span<const float> approx,
                                                 std::span<const float> details) const = 0;
  // Reconstruction from every level.
  virtual WaveletResult<std::vector<float>> multi_idwt(const MultiDwtView& view) const = 0;

  // multi_dwt that keeps no level: the details D_1 .. D_L (finest first) and then the deepest
  // approximation go to `sink` as soon as each exists. The storage behind a band is reused for
  // the next level, so the sink copies what it keeps, and the input's storage may be used too
  // (its values are lost). Same levels and errors as multi_dwt; the sink may have seen some
  // bands when a deeper level fails.
  virtual WaveletStatus multi_dwt_streamed(std::span<float> input, size_t levels,
                                           const BandSink& sink) const = 0;
  // multi_idwt with the same result, free to work inside the bands it is given.
  virtual WaveletResult<std::vector<float>> multi_idwt_consuming(
      const MultiDwtSpentView& view) const = 0;
  // multi_idwt_consuming into storage the caller keeps: the result lies in `room` when it is long
  // enough, else in `buffers` until the next call with them; a reconstruction no longer than one
  // before allocates nothing. `room` may be the storage of the bands themselves: the finest
  // level's inputs are moved to `buffers` before it is written.
  virtual WaveletResult<std::span<float>> multi_idwt_into(const MultiDwtSpentView& view,
                                                          IdwtBuffers& buffers,
                                                          std::span<float> room = {}) const = 0;
};

// Gives a one-level convolution executor the multi-level operations.
class CompletedDwtExecutor final : public DwtExecutor {
 public:
  explicit CompletedDwtExecutor(std::shared_ptr<const IncompleteDwtExecutor> inner);

  WaveletStatus execute_forward(std::span<const float> input, std::span<float> approx,
                                std::span<float> details) const override;
  WaveletStatus execute_forward_with_scratch(std::span<const float> input, std::span<float> approx,
                                             std::span<float> details,
                                             std::span<float> scratch) const override;
  size_t required_scratch_size(size_t input_length) const override;
  DwtSize dwt_size(size_t input_length) const override;
  WaveletStatus execute_inverse(std::span<const float> approx, std::span<const float> details,
                                std::span<float> output) const override;
  size_t idwt_size(size_t approx_length, size_t details_length) const override;
  size_t filter_length() const override { return filter_length_; }
  WaveletResult<Dwt> dwt(std::span<const float> input, size_t levels) const override;
  WaveletResult<MultiDwt> multi_dwt(std::span<const float> input, size_t levels) const override;
  WaveletResult<std::vector<float>> idwt(std::span<const float> approx,
                                         std::span<const float> details) const override;
  WaveletResult<std::vector<float>> multi_idwt(const MultiDwtView& view) const override;
  WaveletStatus multi_dwt_streamed(std::span<float> input, size_t levels,
                                   const BandSink& sink) const override;
  WaveletResult<std::vector<float>> multi_idwt_consuming(
      const MultiDwtSpentView& view) const override;
  WaveletResult<std::span<float>> multi_idwt_into(const MultiDwtSpentView& view,
                                                  IdwtBuffers& buffers,
                                                  std::span<float> room) const override;

 private:
  std::shared_ptr<const IncompleteDwtExecutor> inner_;
  size_t filter_length_;
};

}  // namespace vantrel
