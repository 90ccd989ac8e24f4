// The compression options record and the small codes shared by the options, the pipeline and
// the container.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantrel {

enum class WaveletMethod : uint8_t { Cdf53 = 0, Cdf97 = 1, Db4 = 2, Sym4 = 3 };
// The width of the dead zone that zeroes small detail coefficients (not a frequency cutoff).
enum class CutoffLevel : uint8_t { Low = 0, Medium = 1, High = 2 };
enum class EntropyCoder : uint8_t { Deflate = 0, Arans = 1, CModel = 2 };

// The options' coder field: an EntropyCoder code, or kCoderAuto for the automatic choice (which
// is always the context model).
inline constexpr uint8_t kCoderAuto = 255;

// The scales the options and the container accept; the default multiplier is 2^scale.
inline constexpr uint8_t kMinScale = 6;
inline constexpr uint8_t kMaxScale = 12;
constexpr bool is_valid_scale(uint8_t scale) { return scale >= kMinScale && scale <= kMaxScale; }

// The options' names of the cutoff levels, indexed by CutoffLevel.
inline constexpr std::string_view kCutoffNames[] = {"low", "medium", "high"};

// The fields hold the 8-bit codes of the enums above; the setters take the enums:
//
//   VtrlCompressionOptions options;  // cdf97, scale 11, cutoff low, automatic coder
//   options.set_method(WaveletMethod::Db4);
//   options.set_coder(EntropyCoder::Deflate);
//
// compress refuses a code that no enumerator has (and a scale outside kMinScale..kMaxScale).
struct VtrlCompressionOptions {
  std::optional<float> quant_multiplier;  // unset: 2^scale
  uint8_t cutoff = static_cast<uint8_t>(CutoffLevel::Low);
  uint8_t method = static_cast<uint8_t>(WaveletMethod::Cdf97);
  uint8_t coder = kCoderAuto;
  uint8_t scale = 11;

  void set_method(WaveletMethod m) { method = static_cast<uint8_t>(m); }
  void set_cutoff(CutoffLevel c) { cutoff = static_cast<uint8_t>(c); }
  void set_coder(EntropyCoder c) { coder = static_cast<uint8_t>(c); }
  void set_automatic_coder() { coder = kCoderAuto; }

  friend bool operator==(const VtrlCompressionOptions&, const VtrlCompressionOptions&) = default;
};

}  // namespace vantrel
