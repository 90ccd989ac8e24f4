// The trailer reader on arbitrary bytes. Never reads out of bounds; runs it accepts are in
// order, not empty and within the header's sample count; sealing a whole container again with
// them gives a trailer that reads back to the same runs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codec/header.h"
#include "codec/trailer.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> in(data, size);
  const auto opened = vantrel::unseal(in);
  if (!opened.ok()) {
    check(!opened.error().text().empty());
    return 0;
  }
  const auto header = vantrel::VantrelHeader::from_bytes(in);
  check(header.ok());
  uint64_t end = 0;
  for (const auto& run : opened->runs) {
    check(run.length > 0 && run.start >= end);
    end = uint64_t{run.start} + run.length;
    check(end <= header->sample_count);
  }
  if (size < vantrel::kHeaderSize + uint64_t{header->payload_len}) return 0;  // no room to seal
  std::vector<uint8_t> container(data, data + size);
  check(vantrel::seal(container, opened->runs).ok());
  const auto again = vantrel::unseal(container);
  check(again.ok() && again->has_trailer && again->runs == opened->runs);
  return 0;
}
