#include "codec/error.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "codec/trailer.h"
#include "support/format.h"

namespace vantrel {
namespace {

// Outer templates, in kind order.
constexpr std::string_view kTemplates[] = {
    "Invalid compression method '{}'",
    "Magic should be 'VTRL' but it was '{}'",
    "Invalid compression method '{}'",
    "Invalid header version '{}'",
    "{}",
    "{}",
    "Out of memory, can't allocate additional {}",
    "Header is invalid",
    "Unsupported compression configuration '{}'",
    "Can't decompress data, reason: {}",
    "Only scaled 6..12 is supported, but it was {}",
    "Unknown entropy coder {}",
};

constexpr std::string_view kStreamTruncated = "Stream truncated";

// Whether `bytes` is well-formed UTF-8 (no overlongs, surrogates or code points above U+10FFFF).
bool is_valid_utf8(const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    const uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
      len = 2;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000))
      return false;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

// Shortest decimal text that reads back as the same float.
std::string float_text(float v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  for (int precision = 1; precision <= 9; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, static_cast<double>(v));
    if (std::strtof(buf, nullptr) == v) break;
  }
  return buf;
}

// A double as %.10g does (targets and measured qualities as a person reads them).
std::string double_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.10g", v);
  return buf;
}

}  // namespace

void render(AransError e, std::string& out) {
  out.append(e == AransError::Truncated
                 ? kStreamTruncated
                 : std::string_view("Inconsistent or oversized length in stream"));
}

void render(CModelError e, std::string& out) {
  out.append(e == CModelError::Truncated
                 ? kStreamTruncated
                 : std::string_view("Inconsistent length in coefficient stream"));
}

void render(ResidualError e, std::string& out) {
  switch (e) {
    case ResidualError::Truncated:
      out.append(kStreamTruncated);
      return;
    case ResidualError::Corrupt:
      out.append("Residual stream does not end where its bytes do");
      return;
    case ResidualError::OutOfRange:
      out.append("Residual outside the coder's range of -1073741823 to 1073741823");
      return;
  }
}

std::string to_string(AransError e) {
  std::string out;
  render(e, out);
  return out;
}

std::string to_string(CModelError e) {
  std::string out;
  render(e, out);
  return out;
}

void render(RefinementError e, std::string& out) {
  switch (e) {
    case RefinementError::CutShort:
      out.append("the refinement section is cut short");
      return;
    case RefinementError::UnknownKind:
      out.append("the refinement section's quantisation is of an unknown kind");
      return;
    case RefinementError::BadQuantisation:
      out.append("the refinement section's quantisation is invalid");
      return;
    case RefinementError::CountDisagrees:
      out.append("the refinement section's sample count disagrees with the container's");
      return;
  }
}

std::string to_string(RefinementError e) {
  std::string out;
  render(e, out);
  return out;
}

void render(FinishError e, std::string& out) {
  switch (e) {
    case FinishError::IntegerNaN:
      out.append("an integer sample decodes to NaN");
      return;
  }
}

std::string to_string(FinishError e) {
  std::string out;
  render(e, out);
  return out;
}

std::string to_string(ResidualError e) {
  std::string out;
  render(e, out);
  return out;
}

VantrelError VantrelError::invalid_method(std::array<uint8_t, 4> code) {
  return VantrelError(Kind::InvalidMethod, code, 4);
}

VantrelError VantrelError::invalid_magic(std::array<uint8_t, 4> magic) {
  return VantrelError(Kind::InvalidMagic, magic, 4);
}

VantrelError VantrelError::invalid_method_tag(std::array<uint8_t, 2> tag) {
  return VantrelError(Kind::InvalidMethodTag, std::array<uint8_t, 4>{tag[0], tag[1], 0, 0}, 2);
}

VantrelError VantrelError::invalid_version(std::array<uint8_t, 2> version) {
  return VantrelError(Kind::InvalidVersion, std::array<uint8_t, 4>{version[0], version[1], 0, 0},
                      2);
}

VantrelError VantrelError::invalid_header() { return VantrelError(Kind::InvalidHeader); }

VantrelError VantrelError::invalid_scale(uint8_t scale) {
  return VantrelError(Kind::InvalidScale, scale);
}

VantrelError VantrelError::unknown_coder(uint8_t coder) {
  return VantrelError(Kind::UnknownCoder, coder);
}

VantrelError VantrelError::wavelet(std::string text) {
  return VantrelError(Kind::WaveletError, std::move(text));
}

VantrelError VantrelError::wavelet(const OscletError& inner) { return wavelet(inner.to_string()); }

VantrelError VantrelError::encoder(std::string text) {
  return VantrelError(Kind::EncoderError, std::move(text));
}

VantrelError VantrelError::out_of_memory(uint64_t count) {
  return VantrelError(Kind::OutOfMemory, count);
}

VantrelError VantrelError::unsupported_configuration(std::string text) {
  return VantrelError(Kind::UnsupportedConfiguration, std::move(text));
}

VantrelError VantrelError::decompression_failed(std::string text) {
  return VantrelError(Kind::DecompressionFailed, std::move(text));
}

VantrelError VantrelError::decompression_failed(AransError inner) {
  return decompression_failed(vantrel::to_string(inner));
}

VantrelError VantrelError::decompression_failed(CModelError inner) {
  return decompression_failed(vantrel::to_string(inner));
}

VantrelError VantrelError::decompression_failed(ResidualError inner) {
  return decompression_failed(vantrel::to_string(inner));
}

VantrelError VantrelError::empty_input() {
  return unsupported_configuration("Can't compress empty data");
}

VantrelError VantrelError::too_many_samples(uint64_t n) {
  return unsupported_configuration(format_template(
      "Can't compress data bigger than {}, but data was {}", {"2147483647", std::to_string(n)}));
}

VantrelError VantrelError::zero_levels() {
  return wavelet("Internal DWT returned zero levels, what shouldn't happen");
}

VantrelError VantrelError::invalid_multiplier(float multiplier) {
  return unsupported_configuration(format_template(
      "Quantisation multiplier must be positive and finite with a finite reciprocal, but it was {}",
      {float_text(multiplier)}));
}

VantrelError VantrelError::range_not_representable(float signal_min, float signal_max) {
  return unsupported_configuration(
      format_template("Signal range from {} to {} is too large to normalise in 32-bit floats",
                      {float_text(signal_min), float_text(signal_max)}));
}

VantrelError VantrelError::quantiser_overflow(uint8_t scale, float multiplier) {
  return unsupported_configuration(format_template(
      "Quantised coefficients exceed the 16-bit range at scale {} (multiplier {}); use a lower "
      "scale or multiplier",
      {std::to_string(scale), float_text(multiplier)}));
}

VantrelError VantrelError::coder_capacity_exceeded(std::string_view coder, uint64_t limit,
                                                   uint64_t count) {
  return unsupported_configuration(format_template(
      "The {} coder holds at most {} coefficients, but this signal has {}; use the cmodel coder",
      {std::string(coder), std::to_string(limit), std::to_string(count)}));
}

VantrelError VantrelError::invalid_quality_target(std::string_view metric, double value) {
  return unsupported_configuration(format_template(
      "Quality target {} must be finite{}, but it was {}",
      {std::string(metric), metric == "psnr" ? "" : " and not negative", double_text(value)}));
}

VantrelError VantrelError::quality_unreachable(std::string_view metric, double target,
                                               double reachable) {
  return unsupported_configuration(format_template(
      "No container reaches {} {} for this signal; the closest one reaches {} {}",
      {std::string(metric), double_text(target), std::string(metric), double_text(reachable)}));
}

VantrelError VantrelError::reference_length_mismatch(uint64_t reference, uint64_t samples) {
  return unsupported_configuration(
      format_template("Reference has {} values but the signal has {}",
                      {std::to_string(reference), std::to_string(samples)}));
}

VantrelError VantrelError::sample_outside_float_range(uint64_t index, double value) {
  return unsupported_configuration(
      format_template("Sample {} ({}) is outside the float32 range the codec works in",
                      {std::to_string(index), double_text(value)}));
}

VantrelError VantrelError::invalid_sample_grid(double step, double origin, double min_code,
                                               double max_code) {
  return unsupported_configuration(format_template(
      "Sample grid with step {}, origin {} and codes {} to {} is invalid: the step must be "
      "positive, the codes whole numbers within 2^53 of 0, the lowest first, and every value "
      "origin + step * code finite",
      {double_text(step), double_text(origin), double_text(min_code), double_text(max_code)}));
}

VantrelError VantrelError::payload_too_large(uint64_t payload_len) {
  return unsupported_configuration(
      format_template("Payload of {} bytes does not fit the container's 32-bit length field",
                      {std::to_string(payload_len)}));
}

VantrelError VantrelError::unknown_option_code(std::string_view option, uint64_t code) {
  return unsupported_configuration(
      format_template("Unknown {} code {}", {option, std::to_string(code)}));
}

VantrelError VantrelError::container_too_short(uint64_t needed, uint64_t actual) {
  return decompression_failed(format_template("Minimum data size is {}, but it was {}",
                                              {std::to_string(needed), std::to_string(actual)}));
}

VantrelError VantrelError::decoded_too_many_samples(uint64_t sample_count) {
  return decompression_failed(
      format_template("Can't decompress data bigger than {}, but data was {}",
                      {"2147483647", std::to_string(sample_count)}));
}

VantrelError VantrelError::too_many_levels(uint64_t levels) {
  return decompression_failed(
      format_template("Max supported level is 10 but it was {}", {std::to_string(levels)}));
}

VantrelError VantrelError::too_few_levels(uint64_t levels) {
  return decompression_failed(
      format_template("Min supported level is 1 but it was {}", {std::to_string(levels)}));
}

VantrelError VantrelError::unsupported_scale(uint64_t scale) {
  return decompression_failed(
      format_template("Supported scales only [6, 12] but it was {}", {std::to_string(scale)}));
}

VantrelError VantrelError::coefficients_missing() {
  return decompression_failed(std::string(kStreamTruncated));
}

void VantrelError::render(std::string& out) const {
  const std::string_view tmpl = kTemplates[static_cast<size_t>(kind_)];
  switch (kind_) {
    case Kind::InvalidMethod:
    case Kind::InvalidMagic:
    case Kind::InvalidMethodTag:
    case Kind::InvalidVersion: {
      // Valid UTF-8 is shown as it is, control characters included; anything else as question
      // marks of the same width.
      const bool valid = is_valid_utf8(bytes_.data(), byte_count_);
      const std::string payload =
          valid ? std::string(reinterpret_cast<const char*>(bytes_.data()), byte_count_)
                : std::string(byte_count_, '?');
      fill_template(out, tmpl, {payload});
      return;
    }
    case Kind::WaveletError:
    case Kind::EncoderError:
    case Kind::UnsupportedConfiguration:
    case Kind::DecompressionFailed:
      fill_template(out, tmpl, {text_});
      return;
    case Kind::OutOfMemory:
    case Kind::InvalidScale:
    case Kind::UnknownCoder:
      fill_template(out, tmpl, {std::to_string(number_)});
      return;
    case Kind::InvalidHeader:
      out.append(tmpl);
      return;
  }
}

std::string VantrelError::to_string() const {
  std::string out;
  render(out);
  return out;
}

void internal_buffer_error(const char* what) {
  std::fprintf(stderr, "internal error: %s given room past its end. Please, report it.\n", what);
  std::abort();
}

// The trailer's texts (the companion package words them the same way).
namespace {

std::string damaged_text(std::string_view reason) {
  return format_template("container is damaged or truncated: {}", {std::string(reason)});
}

}  // namespace

TrailerError TrailerError::header(const VantrelError& e) {
  return TrailerError(Kind::Header, e.to_string());
}

TrailerError TrailerError::ends_before_trailer(uint64_t size) {
  return TrailerError(Kind::Damaged,
                      damaged_text(format_template("{} bytes end before the trailer does",
                                                   {std::to_string(size)})));
}

TrailerError TrailerError::trailer_missing() {
  return TrailerError(Kind::Damaged, damaged_text("the trailer is missing"));
}

TrailerError TrailerError::length_does_not_fit(uint64_t length, uint64_t left) {
  return TrailerError(Kind::Damaged, damaged_text(format_template(
                                         "trailer length {} does not fit the {} bytes left",
                                         {std::to_string(length), std::to_string(left)})));
}

TrailerError TrailerError::length_below_minimum(uint64_t length) {
  return TrailerError(Kind::Damaged, damaged_text(format_template(
                                         "trailer length {} is below the {} bytes of an empty "
                                         "trailer",
                                         {std::to_string(length), std::to_string(kTrailerMinSize)})));
}

TrailerError TrailerError::checksum_mismatch() {
  return TrailerError(Kind::Damaged, damaged_text("checksum mismatch"));
}

TrailerError TrailerError::section_cut_short() {
  return TrailerError(Kind::Damaged, damaged_text("a trailer section is cut short"));
}

TrailerError TrailerError::gap_section_cut_short() {
  return TrailerError(Kind::Damaged, damaged_text("the gap section is cut short"));
}

TrailerError TrailerError::gap_count_disagrees() {
  return TrailerError(Kind::Damaged,
                      damaged_text("the gap section's length disagrees with its run count"));
}

TrailerError TrailerError::gap_runs_do_not_fit() {
  return TrailerError(Kind::Damaged, damaged_text("the gap runs do not fit the signal"));
}

TrailerError TrailerError::refinement_unreadable(RefinementError e) {
  return TrailerError(Kind::Damaged, damaged_text(to_string(e)));
}

TrailerError TrailerError::no_grid() {
  return TrailerError(Kind::Damaged, damaged_text("the grid section holds no grid"));
}

TrailerError TrailerError::no_such_version(uint8_t version) {
  return TrailerError(Kind::Damaged,
                      damaged_text(format_template("trailer version {} does not exist",
                                                   {std::to_string(version)})));
}

TrailerError TrailerError::two_gap_sections() {
  return TrailerError(Kind::Damaged, damaged_text("the trailer holds two gap sections"));
}

TrailerError TrailerError::too_new(uint8_t version) {
  return TrailerError(Kind::TooNew,
                      format_template("trailer version {} is newer than this reader ({})",
                                      {std::to_string(version), std::to_string(kLatestTrailerVersion)}));
}

TrailerError TrailerError::shorter_than_header() {
  return TrailerError(Kind::Short, "container is shorter than its header says");
}

}  // namespace vantrel
