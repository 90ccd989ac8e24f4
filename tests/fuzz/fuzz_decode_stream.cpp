// decode_stream on arbitrary bytes: never reads or writes out of bounds, and whatever it accepts
// has the length the stream's header announces. Inputs that decode are re-encoded and must
// decode again to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "codec/arans.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  auto decoded = vantrel::decode_stream(in);
  if (!decoded.ok()) return 0;
  if (size <= 5) {
    if (decoded->size() != size) std::abort();
    return 0;
  }
  const auto again = vantrel::decode_stream(vantrel::encode_stream(*decoded));
  if (!again.ok() || *again != *decoded) std::abort();
  return 0;
}
