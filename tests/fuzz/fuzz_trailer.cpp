// The trailer reader on arbitrary bytes, as they come and with the trailer's checksum made right
// (so that mutations reach the sections). Never reads out of bounds; runs it accepts are in
// order, not empty and within the header's sample count; a refinement it accepts is written back
// to the same fields and applies to a base of the header's length without fault; a grid it
// accepts is valid and rounds to finite values; sealing a whole container again with the runs
// and the refinement gives a trailer that reads back to them.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codec/header.h"
#include "codec/refine.h"
#include "codec/trailer.h"
#include "support/crc32c.h"

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

void check_opened(std::span<const uint8_t> in) {
  const auto opened = vantrel::unseal(in);
  if (!opened.ok()) {
    check(!opened.error().text().empty());
    return;
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
  if (in.size() < vantrel::kHeaderSize + uint64_t{header->payload_len}) return;  // no room
  std::vector<uint8_t> container(in.begin(), in.end());
  const vantrel::Refinement* refinement = opened->refinement ? &*opened->refinement : nullptr;
  check(vantrel::seal(container, opened->runs, refinement).ok());
  const auto again = vantrel::unseal(container);
  check(again.ok() && again->has_trailer && again->runs == opened->runs &&
        again->refinement.has_value() == opened->refinement.has_value());
}

// A copy of `in` with its trailer's checksum made right, or nothing when the bytes after the
// payload leave no room for a trailer of the length they give.
std::vector<uint8_t> with_checksum_fixed(std::span<const uint8_t> in) {
  const auto header = vantrel::VantrelHeader::from_bytes(in);
  if (!header.ok()) return {};
  const uint64_t end = vantrel::kHeaderSize + uint64_t{header->payload_len};
  if (in.size() < end + vantrel::kTrailerMinSize) return {};
  const uint8_t* p = in.data() + end + 8;
  const uint64_t length =
      uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  if (length < vantrel::kTrailerMinSize || length > in.size() - end) return {};
  std::vector<uint8_t> out(in.begin(), in.end());
  const size_t stop = static_cast<size_t>(end + length) - 4;
  const uint32_t crc = vantrel::crc32c(std::span<const uint8_t>(out).first(stop));
  for (int i = 0; i < 4; ++i) out[stop + i] = static_cast<uint8_t>(crc >> (8 * i));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_opened({data, size});
  const auto fixed = with_checksum_fixed({data, size});
  if (!fixed.empty()) check_opened(fixed);
  return 0;
}
