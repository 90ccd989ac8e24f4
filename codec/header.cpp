#include "codec/header.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

#include "codec/coders.h"
#include "codec/methods.h"

namespace vantrel {
namespace {

constexpr std::array<uint8_t, 4> kMagic = {'V', 'T', 'R', 'L'};
constexpr std::array<uint8_t, 2> kMethodTag = {'f', '3'};

uint32_t load_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

float load_f32(const uint8_t* p) { return std::bit_cast<float>(load_u32(p)); }

void store_u32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

void store_f32(uint8_t* p, float v) { store_u32(p, std::bit_cast<uint32_t>(v)); }

// Finite means neither infinite nor NaN: the bits without the sign lie below those of +inf.
bool is_finite(float v) { return (std::bit_cast<uint32_t>(v) & 0x7FFFFFFFu) < 0x7F800000u; }

template <size_t N>
std::array<uint8_t, N> take(const uint8_t* p) {
  std::array<uint8_t, N> out;
  std::memcpy(out.data(), p, N);
  return out;
}

}  // namespace

VantrelHeader VantrelHeader::unpack(std::span<const uint8_t, kHeaderSize> bytes) {
  const uint8_t* p = bytes.data();
  VantrelHeader h;
  h.magic = take<4>(p);
  h.version = take<2>(p + 4);
  h.method_tag = take<2>(p + 6);
  h.wavelet_code = take<4>(p + 8);
  h.levels = p[12];
  h.scale = p[13];
  h.coder = p[14];
  h.reserved0 = p[15];
  h.sample_count = load_u32(p + 16);
  h.signal_min = load_f32(p + 20);
  h.signal_max = load_f32(p + 24);
  h.norm_mean = load_f32(p + 28);
  h.payload_len = load_u32(p + 32);
  h.quant_multiplier = load_f32(p + 36);
  h.reserved1 = take<8>(p + 40);
  h.reserved2 = take<4>(p + 48);
  return h;
}

std::array<uint8_t, kHeaderSize> VantrelHeader::to_bytes() const {
  std::array<uint8_t, kHeaderSize> out;
  uint8_t* p = out.data();
  std::memcpy(p, magic.data(), 4);
  std::memcpy(p + 4, version.data(), 2);
  std::memcpy(p + 6, method_tag.data(), 2);
  std::memcpy(p + 8, wavelet_code.data(), 4);
  p[12] = levels;
  p[13] = scale;
  p[14] = coder;
  p[15] = reserved0;
  store_u32(p + 16, sample_count);
  store_f32(p + 20, signal_min);
  store_f32(p + 24, signal_max);
  store_f32(p + 28, norm_mean);
  store_u32(p + 32, payload_len);
  store_f32(p + 36, quant_multiplier);
  std::memcpy(p + 40, reserved1.data(), 8);
  std::memcpy(p + 48, reserved2.data(), 4);
  return out;
}

Result<VantrelHeader, VantrelError> VantrelHeader::from_bytes(std::span<const uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) return VantrelError::invalid_header();
  const VantrelHeader h = unpack(bytes.first<kHeaderSize>());
  if (h.magic != kMagic) return VantrelError::invalid_magic(h.magic);
  if (h.version[0] != 1) return VantrelError::invalid_version(h.version);
  if (h.method_tag != kMethodTag) return VantrelError::invalid_method_tag(h.method_tag);
  if (find_method_by_tag(h.wavelet_code) == nullptr)
    return VantrelError::invalid_method(h.wavelet_code);
  if (!is_valid_scale(h.scale)) return VantrelError::invalid_scale(h.scale);
  if (find_coder(h.coder) == nullptr) return VantrelError::unknown_coder(h.coder);
  if (!is_finite(h.signal_min) || !is_finite(h.signal_max) || !is_finite(h.norm_mean))
    return VantrelError::invalid_header();
  return h;
}

WaveletMethod VantrelHeader::method() const {
  return static_cast<WaveletMethod>(find_method_by_tag(wavelet_code)->code);
}

namespace {

// The header's codes, refused when no method or coder has them.
Status<VantrelError> check_codes(const ContainerFields& fields) {
  if (find_method(fields.method) == nullptr)
    return VantrelError::unknown_option_code("method", fields.method);
  if (find_coder(fields.coder) == nullptr) return VantrelError::unknown_coder(fields.coder);
  return {};
}

}  // namespace

Status<VantrelError> write_header_in_place(const ContainerFields& fields,
                                           std::span<uint8_t> container) {
  assert(container.size() >= kHeaderSize);
  const size_t payload_size = container.size() - kHeaderSize;
  VANTREL_RETURN_IF_ERROR(check_codes(fields));
  if (payload_size > UINT32_MAX) return VantrelError::payload_too_large(payload_size);
  VantrelHeader h{};
  h.magic = kMagic;
  h.version = {1, 2};
  h.method_tag = kMethodTag;
  h.wavelet_code = find_method(fields.method)->tag;
  h.levels = fields.levels;
  h.scale = fields.scale;
  h.coder = fields.coder;
  h.sample_count = fields.sample_count;
  h.signal_min = fields.signal_min;
  h.signal_max = fields.signal_max;
  h.norm_mean = fields.norm_mean;
  h.payload_len = static_cast<uint32_t>(payload_size);
  h.quant_multiplier = fields.quant_multiplier;
  // The reserved bytes stay zero.
  const auto bytes = h.to_bytes();
  std::memcpy(container.data(), bytes.data(), kHeaderSize);
  return {};
}

Result<std::vector<uint8_t>, VantrelError> write_container(const ContainerFields& fields,
                                                           std::span<const uint8_t> payload) {
  VANTREL_RETURN_IF_ERROR(check_codes(fields));
  if (payload.size() > UINT32_MAX) return VantrelError::payload_too_large(payload.size());
  std::vector<uint8_t> out(kHeaderSize + payload.size());
  if (!payload.empty()) std::memcpy(out.data() + kHeaderSize, payload.data(), payload.size());
  VANTREL_RETURN_IF_ERROR(write_header_in_place(fields, out));
  return out;
}

}  // namespace vantrel
