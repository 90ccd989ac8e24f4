// VantrelHeader::from_bytes on arbitrary bytes: reads nothing past byte 51, and what it accepts
// satisfies every check it makes (magic, version, tag, wavelet code, scale, coder, finite floats),
// and the decompressor refuses nothing with a header error that the parser accepted.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "codec/header.h"
#include "codec/methods.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Only the first 52 bytes count: parse a copy cut there, so reading past it trips ASan.
  const size_t head = size < vantrel::kHeaderSize ? size : vantrel::kHeaderSize;
  const std::vector<uint8_t> cut(data, data + head);
  const auto parsed = vantrel::VantrelHeader::from_bytes(cut);
  const auto whole = vantrel::VantrelHeader::from_bytes(std::span<const uint8_t>(data, size));
  check(parsed.ok() == whole.ok());
  if (!parsed.ok()) {
    check(parsed.error().kind() == whole.error().kind());
    check(parsed.error().to_string() == whole.error().to_string());
    check(!parsed.error().to_string().empty());
    return 0;
  }
  const vantrel::VantrelHeader& h = *parsed;
  check(size >= vantrel::kHeaderSize);
  check(std::memcmp(h.magic.data(), "VTRL", 4) == 0);
  check(h.version[0] == 1 && h.version[1] == data[5]);
  check(h.method_tag[0] == 'f' && h.method_tag[1] == '3');
  const auto method = static_cast<uint8_t>(h.method());
  const vantrel::WaveletMethodEntry* entry = vantrel::find_method(method);
  check(entry != nullptr && entry->tag == h.wavelet_code);
  check(h.scale >= 6 && h.scale <= 12);
  check(h.coder <= 2);
  check(std::isfinite(h.signal_min) && std::isfinite(h.signal_max) && std::isfinite(h.norm_mean));
  // Every other field is kept as read.
  uint32_t u32 = 0;
  std::memcpy(&u32, data + 16, 4);
  check(h.sample_count == u32);
  std::memcpy(&u32, data + 32, 4);
  check(h.payload_len == u32);
  check(h.levels == data[12] && h.reserved0 == data[15]);
  check(std::memcmp(h.reserved1.data(), data + 40, 8) == 0);
  check(std::memcmp(h.reserved2.data(), data + 48, 4) == 0);
  return 0;
}
