// The trailer reader on arbitrary bytes. Never reads out of bounds; runs it accepts are in
// order, not empty and within the header's sample count; a refinement it accepts is written back
// to the same fields and applies to a base of the header's length without fault; a grid it
// accepts is valid and rounds to finite values; sealing a whole container again with the runs
// and the refinement gives a trailer that reads back to them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <cmath>

#include "codec/header.h"
#include "codec/refine.h"
#include "codec/trailer.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// Bases longer than this are not built: the corrector's time and memory follow the sample count.
constexpr uint32_t kMaxCorrected = 1 << 16;

void check_refinement(const vantrel::Refinement& r, uint32_t sample_count) {
  std::vector<uint8_t> body;
  vantrel::write_refinement(r, body);
  const auto again = vantrel::read_refinement(body, sample_count);
  check(again.ok() && again->stream == r.stream && again->bin_codes == r.bin_codes &&
        again->grid.has_value() == r.grid.has_value());
  if (sample_count > kMaxCorrected) return;
  const std::vector<float> base(sample_count, 0.5f);
  const auto corrected = vantrel::correct(base, r);
  check(!corrected.ok() || corrected->size() == sample_count);
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
  if (opened->refinement) check_refinement(*opened->refinement, header->sample_count);
  if (opened->grid) {
    check(vantrel::is_valid_grid(*opened->grid));
    check(std::isfinite(vantrel::round_to_grid(NAN, *opened->grid)));
    check(std::isfinite(vantrel::round_to_grid(1e300, *opened->grid)));
  }
  if (size < vantrel::kHeaderSize + uint64_t{header->payload_len}) return 0;  // no room to seal
  std::vector<uint8_t> container(data, data + size);
  const vantrel::Refinement* refinement = opened->refinement ? &*opened->refinement : nullptr;
  check(vantrel::seal(container, opened->runs, refinement).ok());
  const auto again = vantrel::unseal(container);
  check(again.ok() && again->has_trailer && again->runs == opened->runs &&
        again->refinement.has_value() == opened->refinement.has_value());
  return 0;
}
