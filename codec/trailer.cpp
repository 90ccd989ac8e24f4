#include "codec/trailer.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>

#include "codec/header.h"
#include "codec/refine.h"
#include "support/crc32c.h"

namespace vantrel {
namespace {

constexpr uint8_t kMagic[4] = {'V', 'T', 'R', 'T'};
constexpr uint8_t kSectionGaps = 1;
constexpr uint8_t kSectionRefinement = 3;
constexpr uint8_t kSectionGrid = 5;  // step, origin, lowest and highest code: four float64
constexpr size_t kGridSize = 32;
constexpr size_t kSectionHead = 5;  // tag (1 byte), body length (4 bytes)
constexpr size_t kRunSize = 9;      // start (4), length (4), kind (1): packed
constexpr size_t kCrcSize = 4;
constexpr size_t kPrefixSize = kTrailerMinSize - kCrcSize;

uint32_t load_u32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void append_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

template <class T>
int gap_kind(T v) {
  if (std::isnan(v)) return static_cast<int>(GapKind::Nan);
  if (std::isinf(v)) return static_cast<int>(v > 0 ? GapKind::PosInf : GapKind::NegInf);
  return -1;
}

Result<std::vector<GapRun>, TrailerError> read_gaps(std::span<const uint8_t> body,
                                                    uint32_t sample_count) {
  if (body.size() < 4) return TrailerError::gap_section_cut_short();
  const uint64_t count = load_u32(body.data());
  if (body.size() != 4 + count * kRunSize) return TrailerError::gap_count_disagrees();
  std::vector<GapRun> runs(count);
  uint64_t previous_end = 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = body.data() + 4 + i * kRunSize;
    const uint32_t start = load_u32(p), length = load_u32(p + 4);
    const uint8_t kind = p[8];
    const uint64_t end = uint64_t{start} + length;
    // Not empty, a known kind, in order without overlap, within the signal.
    if (length == 0 || kind > static_cast<uint8_t>(GapKind::NegInf) || start < previous_end ||
        end > sample_count) {
      return TrailerError::gap_runs_do_not_fit();
    }
    runs[i] = {start, length, static_cast<GapKind>(kind)};
    previous_end = end;
  }
  return runs;
}

double load_f64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = v << 8 | p[i];
  return std::bit_cast<double>(v);
}

Result<SampleGrid, TrailerError> read_grid(std::span<const uint8_t> body) {
  if (body.size() != kGridSize) return TrailerError::no_grid();
  const SampleGrid g{load_f64(body.data()), load_f64(body.data() + 8), load_f64(body.data() + 16),
                     load_f64(body.data() + 24)};
  if (!is_valid_grid(g)) return TrailerError::no_grid();
  return g;
}

}  // namespace

double round_to_grid(double v, const SampleGrid& g) {
  const double u = (v - g.origin) / g.step;
  const double code = std::isnan(u) ? 0.0 : std::nearbyint(u);
  return g.origin + g.step * std::clamp(code, g.min_code, g.max_code);
}

template <class T>
std::vector<GapRun> find_gaps(std::span<const T> samples) {
  assert(samples.size() <= std::numeric_limits<uint32_t>::max());
  std::vector<GapRun> runs;
  size_t i = 0;
  while (i < samples.size()) {
    const int kind = gap_kind(samples[i]);
    if (kind < 0) {
      ++i;
      continue;
    }
    size_t end = i + 1;
    while (end < samples.size() && gap_kind(samples[end]) == kind) ++end;
    runs.push_back(
        {static_cast<uint32_t>(i), static_cast<uint32_t>(end - i), static_cast<GapKind>(kind)});
    i = end;
  }
  return runs;
}

template <class T>
void fill_gaps(std::span<T> samples) {
  constexpr double kLimit = std::numeric_limits<float>::max();
  const auto put = [&](size_t i, double v) {
    samples[i] = static_cast<T>(std::clamp(v, -kLimit, kLimit));
  };
  const size_t n = samples.size();
  size_t first = 0;
  while (first < n && !std::isfinite(samples[first])) ++first;
  if (first == n) {
    std::fill(samples.begin(), samples.end(), T{0});
    return;
  }
  const double head = static_cast<double>(samples[first]);
  for (size_t i = 0; i < first; ++i) put(i, head);
  size_t a = first;  // the last finite sample so far
  for (size_t b = first + 1; b < n; ++b) {
    if (!std::isfinite(samples[b])) continue;
    if (b > a + 1) {
      // Linear interpolation between (a, ya) and (b, yb) with the operations and order of
      // numpy.interp, so that both fill a gap with the same bits: y = slope * (x - a) + ya, and
      // from the other end when that is NaN.
      const double ya = static_cast<double>(samples[a]), yb = static_cast<double>(samples[b]);
      const double slope = (yb - ya) / (static_cast<double>(b) - static_cast<double>(a));
      for (size_t x = a + 1; x < b; ++x) {
        double y = slope * (static_cast<double>(x) - static_cast<double>(a)) + ya;
        if (std::isnan(y)) {
          y = slope * (static_cast<double>(x) - static_cast<double>(b)) + yb;
          if (std::isnan(y) && ya == yb) y = ya;
        }
        put(x, y);
      }
    }
    a = b;
  }
  const double tail = static_cast<double>(samples[a]);
  for (size_t i = a + 1; i < n; ++i) put(i, tail);
}

template std::vector<GapRun> find_gaps<float>(std::span<const float>);
template std::vector<GapRun> find_gaps<double>(std::span<const double>);
template void fill_gaps<float>(std::span<float>);
template void fill_gaps<double>(std::span<double>);

void restore_gaps(std::span<float> samples, std::span<const GapRun> runs) {
  static constexpr float kValues[] = {std::numeric_limits<float>::quiet_NaN(),
                                      std::numeric_limits<float>::infinity(),
                                      -std::numeric_limits<float>::infinity()};
  for (const GapRun& run : runs) {
    assert(uint64_t{run.start} + run.length <= samples.size());
    std::fill_n(samples.begin() + run.start, run.length, kValues[static_cast<size_t>(run.kind)]);
  }
}

Status<TrailerError> seal(std::vector<uint8_t>& container, std::span<const GapRun> runs,
                          const Refinement* refinement) {
  auto header = VantrelHeader::from_bytes(container);
  if (!header) return TrailerError::header(header.error());
  const uint64_t end = kHeaderSize + uint64_t{header->payload_len};
  if (container.size() < end) return TrailerError::shorter_than_header();
  container.resize(end);
  container[kTrailerFlagOffset] |= kTrailerFlag;

  std::vector<uint8_t> refined;
  if (refinement != nullptr) write_refinement(*refinement, refined);
  const uint64_t body = 4 + runs.size() * kRunSize;
  const uint64_t length = kPrefixSize + kSectionHead + body +
                          (refinement ? kSectionHead + refined.size() : 0) + kCrcSize;
  assert(length <= std::numeric_limits<uint32_t>::max());
  container.reserve(end + length);
  container.insert(container.end(), std::begin(kMagic), std::end(kMagic));
  const uint8_t version = refinement ? kTrailerVersionRefined : kTrailerVersion;
  container.insert(container.end(), {version, 0, 0, 0});
  append_u32(container, static_cast<uint32_t>(length));
  container.push_back(kSectionGaps);
  append_u32(container, static_cast<uint32_t>(body));
  append_u32(container, static_cast<uint32_t>(runs.size()));
  for (const GapRun& run : runs) {
    append_u32(container, run.start);
    append_u32(container, run.length);
    container.push_back(static_cast<uint8_t>(run.kind));
  }
  if (refinement != nullptr) {
    container.push_back(kSectionRefinement);
    append_u32(container, static_cast<uint32_t>(refined.size()));
    container.insert(container.end(), refined.begin(), refined.end());
  }
  append_u32(container, crc32c(container));
  return {};
}

Result<Unsealed, TrailerError> unseal(std::span<const uint8_t> data) {
  auto header = VantrelHeader::from_bytes(data);
  if (!header) return TrailerError::header(header.error());
  const uint64_t end = kHeaderSize + uint64_t{header->payload_len};
  const bool flagged = (data[kTrailerFlagOffset] & kTrailerFlag) != 0;
  const bool has_magic =
      data.size() >= end + sizeof kMagic && std::memcmp(data.data() + end, kMagic, 4) == 0;
  if (!flagged && !has_magic) return Unsealed{};
  if (data.size() < end + kTrailerMinSize) return TrailerError::ends_before_trailer(data.size());
  const uint8_t* trailer = data.data() + end;
  if (!has_magic) return TrailerError::trailer_missing();
  const uint64_t length = load_u32(trailer + 8);
  const uint64_t left = data.size() - end;
  if (length < kTrailerMinSize) return TrailerError::length_below_minimum(length);
  if (length > left) return TrailerError::length_does_not_fit(length, left);
  const size_t stop = static_cast<size_t>(end + length);
  if (crc32c(data.first(stop - kCrcSize)) != load_u32(data.data() + stop - kCrcSize)) {
    return TrailerError::checksum_mismatch();
  }
  // No writer has ever made a version below the first.
  if (trailer[4] == 0) return TrailerError::no_such_version(trailer[4]);
  if (trailer[4] > kLatestTrailerVersion) return TrailerError::too_new(trailer[4]);

  Unsealed out;
  out.has_trailer = true;
  std::span<const uint8_t> sections =
      data.subspan(static_cast<size_t>(end) + kPrefixSize, length - kTrailerMinSize);
  bool seen_gaps = false;
  while (!sections.empty()) {
    if (sections.size() < kSectionHead) return TrailerError::section_cut_short();
    const uint8_t tag = sections[0];
    const uint64_t size = load_u32(sections.data() + 1);
    sections = sections.subspan(kSectionHead);
    if (size > sections.size()) return TrailerError::section_cut_short();
    if (tag == kSectionGaps) {
      if (seen_gaps) return TrailerError::two_gap_sections();
      seen_gaps = true;
      auto runs = read_gaps(sections.first(size), header->sample_count);
      if (!runs) return std::move(runs).error();
      out.runs = std::move(*runs);
    } else if (tag == kSectionRefinement) {
      auto refinement = read_refinement(sections.first(size), header->sample_count);
      if (!refinement) return TrailerError::refinement_unreadable(refinement.error());
      out.refinement = std::move(*refinement);
    } else if (tag == kSectionGrid) {
      auto grid = read_grid(sections.first(size));
      if (!grid) return std::move(grid).error();
      out.grid = *grid;
    }
    sections = sections.subspan(size);  // sections of other kinds are skipped
  }
  return out;
}

}  // namespace vantrel
