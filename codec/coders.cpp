#include "codec/coders.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <new>

#include "codec/arans.h"
#include "codec/cmodel.h"
#include "codec/deflate.h"
#include "codec/options.h"

namespace vantrel {
namespace {

// Storage the decoder fills completely before anything reads it, so it starts uninitialised
// rather than paying a zeroing pass over fresh pages.
Result<std::unique_ptr<float[]>, VantrelError> allocate_values(size_t total) {
  std::unique_ptr<float[]> values(new (std::nothrow) float[total]);
  if (!values) return VantrelError::out_of_memory(total);
  return values;
}

// Little-endian bytes of the coefficients, as deflate and the byte-plane coder take them.
std::span<const uint8_t> coefficient_bytes(std::span<const int16_t> values,
                                           std::vector<uint8_t>& scratch) {
  if constexpr (std::endian::native == std::endian::little) {
    return {reinterpret_cast<const uint8_t*>(values.data()), values.size() * 2};
  } else {
    scratch.resize(values.size() * 2);
    for (size_t i = 0; i < values.size(); ++i) {
      const auto u = static_cast<uint16_t>(values[i]);
      scratch[2 * i] = static_cast<uint8_t>(u);
      scratch[2 * i + 1] = static_cast<uint8_t>(u >> 8);
    }
    return scratch;
  }
}

// The byte-oriented coders hold the little-endian bytes of the coefficients; a stream that ends
// before every band is complete is refused before any value is made. De-quantises the pairs
// straight from the decoded bytes, exactly as from integers (one rounded product each).
Result<std::unique_ptr<float[]>, VantrelError> dequantize_bytes(std::span<const uint8_t> bytes,
                                                                size_t total, float reciprocal) {
  if (bytes.size() / 2 < total) return VantrelError::coefficients_missing();
  VANTREL_ASSIGN_OR_RETURN(auto values, allocate_values(total));
  for (size_t i = 0; i < total; ++i) {
    const auto v = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    values[i] = static_cast<float>(v) * reciprocal;
  }
  return values;
}

Status<VantrelError> check_nothing(std::span<const uint8_t>, std::span<const size_t>) { return {}; }

// deflate: one raw deflate stream of the coefficient bytes.

Result<std::vector<uint8_t>, VantrelError> encode_deflate(std::span<const int16_t> values,
                                                          std::span<const size_t>, size_t room,
                                                          unsigned) {
  std::vector<uint8_t> scratch;
  auto deflated = deflate_payload(coefficient_bytes(values, scratch));
  if (!deflated) return VantrelError::encoder(std::move(deflated.error().message));
  std::vector<uint8_t> coded = std::move(deflated).value();
  if (room != 0) coded.insert(coded.begin(), room, 0);
  return coded;
}

Result<std::unique_ptr<float[]>, VantrelError> decode_deflate(std::span<const uint8_t> payload,
                                                              std::span<const size_t>, size_t total,
                                                              float reciprocal) {
  // Nothing past 2 * total bytes can be used, so inflating stops there.
  auto inflated = inflate_payload(payload, 2 * total + 1);
  if (!inflated) return VantrelError::decompression_failed(std::move(inflated.error().message));
  return dequantize_bytes(*inflated, total, reciprocal);
}

// arans: the byte-plane coder over the coefficient bytes.

Result<std::vector<uint8_t>, VantrelError> encode_arans(std::span<const int16_t> values,
                                                        std::span<const size_t>, size_t room,
                                                        unsigned) {
  std::vector<uint8_t> scratch;
  std::vector<uint8_t> coded = encode_stream(coefficient_bytes(values, scratch));
  if (room != 0) coded.insert(coded.begin(), room, 0);
  return coded;
}

Result<std::unique_ptr<float[]>, VantrelError> decode_arans(std::span<const uint8_t> payload,
                                                            std::span<const size_t>, size_t total,
                                                            float reciprocal) {
  auto decoded = decode_stream(payload);
  if (!decoded) return VantrelError::decompression_failed(decoded.error());
  return dequantize_bytes(*decoded, total, reciprocal);
}

// cmodel: the coefficient context model, band by band.

Result<std::vector<uint8_t>, VantrelError> encode_cmodel(std::span<const int16_t> values,
                                                         std::span<const size_t> lengths,
                                                         size_t room, unsigned threads) {
  std::vector<std::span<const int16_t>> spans;
  spans.reserve(lengths.size());
  size_t offset = 0;
  for (const size_t len : lengths) {
    spans.push_back(values.subspan(offset, len));
    offset += len;
  }
  std::vector<uint8_t> out(room);
  // Below this many coefficients a second thread costs more than it saves.
  encode_coeffs_into(spans, out, values.size() < kThreadedEncodeMinCoefficients ? 1 : threads);
  return out;
}

Status<VantrelError> check_cmodel(std::span<const uint8_t> payload,
                                  std::span<const size_t> lengths) {
  if (auto fits = check_coeffs(payload, lengths); !fits)
    return VantrelError::decompression_failed(fits.error());
  return {};
}

Result<std::unique_ptr<float[]>, VantrelError> decode_cmodel(std::span<const uint8_t> payload,
                                                             std::span<const size_t> lengths,
                                                             size_t total, float reciprocal) {
  VANTREL_ASSIGN_OR_RETURN(auto values, allocate_values(total));
  if (auto decoded = decode_dequantized_into(payload, lengths, reciprocal, {values.get(), total});
      !decoded)
    return VantrelError::decompression_failed(decoded.error());
  return values;
}

constexpr uint8_t code(EntropyCoder coder) { return static_cast<uint8_t>(coder); }

// deflate and cmodel decode every band count the compressor makes (below 2^31 samples).
constexpr uint64_t kNoLimit = UINT64_MAX;

constexpr EntropyCoderEntry kCoders[] = {
    {{code(EntropyCoder::Deflate), "deflate", true},
     kNoLimit,
     &encode_deflate,
     &check_nothing,
     &decode_deflate},
    {{code(EntropyCoder::Arans), "arans", true},
     kMaxStreamPairs,
     &encode_arans,
     &check_nothing,
     &decode_arans},
    {{code(EntropyCoder::CModel), "cmodel", false},
     kNoLimit,
     &encode_cmodel,
     &check_cmodel,
     &decode_cmodel},
};

// What callers see of each row, in the same order.
constexpr auto kCoderInfos = [] {
  std::array<EntropyCoderInfo, std::size(kCoders)> out{};
  for (size_t i = 0; i < out.size(); ++i) out[i] = kCoders[i];
  return out;
}();

constexpr bool codes_are_indices() {
  for (size_t i = 0; i < std::size(kCoders); ++i) {
    if (kCoders[i].code != i) return false;
  }
  return true;
}
static_assert(codes_are_indices());
static_assert(std::size(kCoders) <= kCoderAuto);

}  // namespace

std::span<const EntropyCoderEntry> entropy_coders() { return kCoders; }

std::span<const EntropyCoderInfo> entropy_coder_infos() { return kCoderInfos; }

const EntropyCoderEntry* find_coder(uint8_t code) {
  return code < std::size(kCoders) ? &kCoders[code] : nullptr;
}

const EntropyCoderEntry* find_coder_by_name(std::string_view name) {
  const auto* it = std::find_if(std::begin(kCoders), std::end(kCoders),
                                [&](const EntropyCoderEntry& e) { return e.name == name; });
  return it == std::end(kCoders) ? nullptr : it;
}

const EntropyCoderEntry& automatic_coder() { return kCoders[code(EntropyCoder::CModel)]; }

}  // namespace vantrel
