// The whole decompressor on arbitrary bytes: header, payload bounds, every entropy decoder, the
// inverse transforms and the final length. Never reads or writes out of bounds; a container it
// accepts yields exactly the header's sample count and decodes the same way twice, with or
// without bytes after the payload; a refusal carries a message. Run with -malloc_limit_mb=64 and
// inputs of at most 1 KiB, no allocation may exceed 64 MiB whatever the header claims.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "codec/header.h"
#include "codec/vantrel.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  const auto decoded = vantrel::decompress(in);
  const auto header = vantrel::VantrelHeader::from_bytes(in);
  if (!decoded.ok()) {
    check(!decoded.error().to_string().empty());
    // A header the parser refuses is refused by the decompressor with the same error.
    if (!header.ok()) check(header.error().to_string() == decoded.error().to_string());
    return 0;
  }
  check(header.ok());
  check(decoded->size() == header->sample_count);
  check(size - vantrel::kHeaderSize >= header->payload_len);

  // Deterministic, and blind to anything after the payload.
  std::vector<uint8_t> longer(data, data + vantrel::kHeaderSize + header->payload_len);
  longer.insert(longer.end(), {0xFF, 0x00, 0x5A});
  const auto again = vantrel::decompress(longer);
  check(again.ok());
  check(again->size() == decoded->size());
  check(decoded->empty() || std::memcmp(again->data(), decoded->data(), 4 * decoded->size()) == 0);
  return 0;
}
