// The trailer after a container: a CRC-32C of the whole container and the runs of samples that
// were not finite, so that damage is found instead of decoded and gaps come back as they were.
// The byte layout is described in docs/trailer.md; decoders that do not know the trailer ignore
// it, as they ignore every byte after the payload.
//
//   std::vector<float> x = ...;                     // may hold NaN and infinities
//   auto runs = find_gaps<float>(x);
//   fill_gaps<float>(x);                            // what the codec then codes
//   auto packed = compress(x, options);
//   if (packed && seal(*packed, runs)) store(*packed);
//   ...
//   auto opened = unseal(bytes);                    // checks the checksum, reads the runs
//   auto y = decompress(bytes);
//   if (opened && y) restore_gaps(*y, opened->runs);
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/error.h"
#include "codec/quality.h"
#include "codec/vantrel_error.h"
#include "support/result.h"

namespace vantrel {

// Header byte 15 is reserved and never read by the decoder; bit 0 says that a trailer follows.
inline constexpr size_t kTrailerFlagOffset = 15;
inline constexpr uint8_t kTrailerFlag = 0x01;
// Trailers without a correction layer are written as version 1, so that every reader opens them;
// one that holds a refinement section as version 2, so that a reader that cannot apply it
// refuses the container instead of returning the base as if it were the signal.
inline constexpr uint8_t kTrailerVersion = 1;
inline constexpr uint8_t kTrailerVersionRefined = 2;
inline constexpr uint8_t kLatestTrailerVersion = kTrailerVersionRefined;
// Magic, version, reserved bytes and length (12), then the checksum (4): a trailer without
// sections.
inline constexpr size_t kTrailerMinSize = 16;

enum class GapKind : uint8_t { Nan = 0, PosInf = 1, NegInf = 2 };

// `length` samples from `start` on were all of one non-finite kind.
struct GapRun {
  uint32_t start;
  uint32_t length;
  GapKind kind;
  friend bool operator==(const GapRun&, const GapRun&) = default;
};

// Why a trailer could not be written or read. Its texts are written in error.cpp.
class TrailerError {
 public:
  enum class Kind : uint8_t {
    Header = 0,   // the bytes do not start with a readable container header
    Damaged = 1,  // the trailer or its flag show that the bytes are not the ones written
    TooNew = 2,   // a trailer of a later version
    Short = 3,    // sealing: fewer bytes than the header's payload length
  };

  static TrailerError header(const VantrelError& e);
  static TrailerError ends_before_trailer(uint64_t size);
  static TrailerError trailer_missing();
  static TrailerError length_does_not_fit(uint64_t length, uint64_t left);
  static TrailerError length_below_minimum(uint64_t length);
  static TrailerError checksum_mismatch();
  static TrailerError section_cut_short();
  static TrailerError gap_section_cut_short();
  static TrailerError gap_count_disagrees();
  static TrailerError gap_runs_do_not_fit();
  static TrailerError refinement_unreadable(RefinementError e);
  static TrailerError no_grid();
  static TrailerError no_such_version(uint8_t version);
  static TrailerError two_gap_sections();
  static TrailerError too_new(uint8_t version);
  static TrailerError shorter_than_header();

  Kind kind() const noexcept { return kind_; }
  const std::string& text() const noexcept { return text_; }

 private:
  TrailerError(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_;
  std::string text_;
};

// The runs of equal non-finite kind in `samples`, in order (none for a finite signal). The
// samples are fewer than 2^32.
template <class T>
std::vector<GapRun> find_gaps(std::span<const T> samples);

// Replaces every non-finite sample by the straight line between its nearest finite neighbours,
// or by the nearest finite sample before the first and after the last one; a signal without any
// finite sample becomes zeros. The line is computed in double and kept within the float32 range,
// so the filled signal spans no more than the finite samples do.
template <class T>
void fill_gaps(std::span<T> samples);

// Puts the value of each run's kind back at its samples (NaN as the quiet NaN 0x7FC00000). The
// runs lie within `samples`, as unseal guarantees for the container's sample count.
void restore_gaps(std::span<float> samples, std::span<const GapRun> runs);

// Appends a trailer holding `runs`, the refinement when given, and the checksum to `container` (a
// container without one; bytes after its payload are dropped) and sets the header's trailer flag.
Status<TrailerError> seal(std::vector<uint8_t>& container, std::span<const GapRun> runs,
                          const Refinement* refinement = nullptr);

struct Unsealed {
  bool has_trailer = false;
  std::vector<GapRun> runs;               // none without a trailer
  std::optional<Refinement> refinement;  // the correction a reader applies (see codec/refine.h)
  // The grid float samples were declared to lie on: a reader rounds every decoded (and
  // corrected) value to it, as SampleGrid describes.
  std::optional<SampleGrid> grid;
};

// The value of the grid nearest `v` (codes clamped to the grid's range), as a reader of a
// container declared on `g` returns it.
double round_to_grid(double v, const SampleGrid& g);

// Checks the trailer of `data`, if it has one, and reads its gap runs, refinement and grid. A trailer
// is looked for also when the flag is clear, so that a damaged flag cannot hide one. Sections of
// kinds this version does not know are skipped.
Result<Unsealed, TrailerError> unseal(std::span<const uint8_t> data);

}  // namespace vantrel
