// The lifting executors: the biorthogonal CDF 5/3 and CDF 9/7 wavelets.
//
// A signal of n samples splits into the lifted even samples (approximation, ceil(n/2)) and the
// lifted odd samples (details, floor(n/2)). Both ends use whole-sample symmetric extension:
// x[-1] = x[1], x[n] = x[n-2]. The coefficients are part of the stored format: every step is
// one rounded neighbour sum followed by one fused multiply-add, on every instruction set.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "wavelet/executor.h"
#include "wavelet/levels.h"

namespace vantrel {

// The multi-level operations of both lifting executors. Each level transforms the whole
// approximation of the level before; nothing is truncated between levels.
class LiftingDwtExecutor : public DwtExecutor {
 public:
  WaveletResult<Dwt> dwt(std::span<const float> input, size_t levels) const final;
  WaveletResult<MultiDwt> multi_dwt(std::span<const float> input, size_t levels) const final;
  WaveletResult<std::vector<float>> idwt(std::span<const float> approx,
                                         std::span<const float> details) const final;
  WaveletResult<std::vector<float>> multi_idwt(const MultiDwtView& view) const final;
  // Each approximation overwrites the start of the signal it is made from: a level writes sample
  // i of its approximation only after reading every input sample below 2i + 2.
  WaveletStatus multi_dwt_streamed(std::span<float> input, size_t levels,
                                   const BandSink& sink) const final;
  WaveletResult<std::vector<float>> multi_idwt_consuming(const MultiDwtSpentView& view) const final;
  WaveletResult<std::span<float>> multi_idwt_into(const MultiDwtSpentView& view,
                                                  IdwtBuffers& buffers,
                                                  std::span<float> room) const final;

  // Lifting needs no scratch: these ignore it.
  WaveletStatus execute_forward_with_scratch(std::span<const float> input, std::span<float> approx,
                                             std::span<float> details,
                                             std::span<float> scratch) const final;
  size_t required_scratch_size(size_t input_length) const final;

 protected:
  // The shortest signal execute_forward accepts.
  virtual size_t min_input_length() const = 0;

  // execute_inverse (same checks, same result) lifting inside the bands themselves, whose values
  // it spends, instead of in working copies.
  virtual WaveletStatus execute_inverse_in_place(std::span<float> approx, std::span<float> details,
                                                 std::span<float> output) const = 0;

  // The size checks of execute_forward, in order: input length, approximation, details.
  WaveletStatus check_forward_sizes(size_t input_length, size_t approx_length,
                                    size_t details_length) const;
  // The size checks of execute_inverse, in order: sum of the bands, then each band against
  // dwt_size of the output length.
  WaveletStatus check_inverse_sizes(size_t approx_length, size_t details_length,
                                    size_t output_length) const;

 private:
  template <class Keep>
  WaveletStatus forward_levels(std::span<const float> input, size_t levels, Keep keep) const;
};

class Cdf53 final : public LiftingDwtExecutor {
 public:
  WaveletStatus execute_forward(std::span<const float> input, std::span<float> approx,
                                std::span<float> details) const override;
  DwtSize dwt_size(size_t input_length) const override;
  WaveletStatus execute_inverse(std::span<const float> approx, std::span<const float> details,
                                std::span<float> output) const override;
  size_t idwt_size(size_t approx_length, size_t details_length) const override;
  size_t filter_length() const override { return 6; }

 protected:
  size_t min_input_length() const override { return 3; }
  WaveletStatus execute_inverse_in_place(std::span<float> approx, std::span<float> details,
                                         std::span<float> output) const override;

 private:
  // The inverse of checked sizes, rebuilding the even samples in `even`: `approx` is read chunk
  // by chunk before `even` is written there, so `even` may be `approx` itself.
  void inverse(const float* approx, const float* details, float* even,
               std::span<float> output) const;
};

class Cdf97 final : public LiftingDwtExecutor {
 public:
  WaveletStatus execute_forward(std::span<const float> input, std::span<float> approx,
                                std::span<float> details) const override;
  DwtSize dwt_size(size_t input_length) const override;
  WaveletStatus execute_inverse(std::span<const float> approx, std::span<const float> details,
                                std::span<float> output) const override;
  size_t idwt_size(size_t approx_length, size_t details_length) const override;
  size_t filter_length() const override { return 10; }

 protected:
  size_t min_input_length() const override { return 4; }
  WaveletStatus execute_inverse_in_place(std::span<float> approx, std::span<float> details,
                                         std::span<float> output) const override;

 private:
  // The inverse from the bands into the working arrays `even` and `odd` (each band is read once,
  // chunk by chunk, before its working array is written there, so they may be the bands
  // themselves), then merged into `output`.
  void inverse(const float* approx, const float* details, float* even, float* odd,
               std::span<float> output) const;
};

}  // namespace vantrel
