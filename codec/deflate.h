// The deflate back end: raw deflate streams (RFC 1951, no zlib or gzip wrapper) through zlib.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "support/result.h"

namespace vantrel {

struct DeflateError {
  std::string message;
};

// Raw deflate at level 6 with a 32 KiB window.
Result<std::vector<uint8_t>, DeflateError> deflate_payload(std::span<const uint8_t> data);

// Inflates one raw deflate stream, keeping at most `max_output` bytes; the rest of the stream is
// still checked (inflated into a small reused buffer), so the result is the unbounded one cut to
// `max_output`. A stream cut short yields what it produced; bytes after the end of the stream are
// ignored; a damaged stream is "corrupt deflate stream". Output memory grows with the output,
// never ahead of it by more than a factor of two.
Result<std::vector<uint8_t>, DeflateError> inflate_payload(std::span<const uint8_t> payload,
                                                           size_t max_output);

}  // namespace vantrel
