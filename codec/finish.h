// What a reader returns: decoded (or corrected) values rounded to a declared grid and converted to
// the sample type the signal was given in, in one pass over the values.
//
//   auto type = sample_type_named("int16");           // the trailer's sample type
//   std::vector<uint8_t> out(y.size() * sample_size(*type));
//   auto done = finish_into(y, grid, *type, out);      // y: the base or the corrected values
//
// The arithmetic is double throughout, one IEEE operation at a time: on a grid each value v
// becomes origin + step * c, with c = (v - origin) / step rounded to the nearest whole number
// (ties to even), clamped to the grid's codes; for an integer type the value is then rounded the
// same way, clamped to the type's range and converted. A clamp leaves NaN as it is (a NaN that
// reaches an integer type is an error), and a value beyond float32's range narrows to an infinity.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "codec/error.h"
#include "codec/quality.h"
#include "codec/refine.h"
#include "support/result.h"

namespace vantrel {

enum class SampleType : uint8_t { Float32, Float64, Int8, Int16, Int32, UInt8, UInt16 };

struct SampleTypeInfo {
  std::string_view name;  // NumPy's name of the type
  SampleType type;
  uint8_t size;  // bytes a sample
  bool integer;
  double lowest, highest;  // an integer type's range
};

inline constexpr SampleTypeInfo kSampleTypes[] = {
    {"float32", SampleType::Float32, 4, false, 0, 0},
    {"float64", SampleType::Float64, 8, false, 0, 0},
    {"int8", SampleType::Int8, 1, true, -128, 127},
    {"int16", SampleType::Int16, 2, true, -32768, 32767},
    {"int32", SampleType::Int32, 4, true, -2147483648.0, 2147483647.0},
    {"uint8", SampleType::UInt8, 1, true, 0, 255},
    {"uint16", SampleType::UInt16, 2, true, 0, 65535},
};

const SampleTypeInfo& sample_type_info(SampleType type);
std::optional<SampleType> sample_type_named(std::string_view name);

// `values` as a reader returns them in `type`, written to `out`: values.size() samples of the
// type in native byte order, each as the header describes. An integer sample that is NaN is an
// error; `out` is then unspecified.
Status<FinishError> finish_into(std::span<const double> values,
                                const std::optional<SampleGrid>& grid, SampleType type,
                                std::span<uint8_t> out);
Status<FinishError> finish_into(std::span<const float> values,
                                const std::optional<SampleGrid>& grid, SampleType type,
                                std::span<uint8_t> out);

// Finishes corrected values as finish_into does, a block at a time, each into its place in
// `out`; with correct_blocks it reads a layer without an array of every corrected value:
//
//   FinishInto sink(grid, type, out);
//   auto corrected = correct_blocks(base, refinement, sink);  // the correction's error
//   if (corrected.ok() && sink.error()) ...                    // the finishing's
class FinishInto final : public CorrectedSink {
 public:
  FinishInto(const std::optional<SampleGrid>& grid, SampleType type, std::span<uint8_t> out);

  bool take(size_t first, std::span<const double> values) override;

  const std::optional<FinishError>& error() const { return error_; }

 private:
  std::optional<SampleGrid> grid_;
  SampleType type_;
  size_t size_;
  std::span<uint8_t> out_;
  std::optional<FinishError> error_;
};

}  // namespace vantrel
