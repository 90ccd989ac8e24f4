// What the HDF5 filter stores: its parameters (the filter's cd_values) and the record one chunk
// becomes. Nothing here knows HDF5; plugin.cpp is the glue. The layouts are described in
// docs/hdf5_filter.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/result.h"
#include "vantrel/vantrel_c.h"

namespace vantrel::h5 {

// Until The HDF Group assigns vantrel an ID, the filter uses one from the range HDF5 keeps for
// testing (256-511). Files written with it need this plugin to be read.
inline constexpr int kFilterId = 432;

// The latest version of the cd_values and of the chunk record this plugin reads; a reader refuses
// later ones. A dataset's words carry version 2 only when its parameters need it (a quality
// target on integers, which plugins of version 1 refuse), so that such a plugin says plainly that
// it is too old; every other dataset, and every chunk record, carries version 1.
inline constexpr unsigned kFormatVersion = 2;
inline constexpr unsigned kIntegerTargetVersion = 2;
inline constexpr unsigned kRecordVersion = 1;

// cd_values: words 0..8 are the caller's (fewer may be given: the rest keep their defaults),
// words 9.. are written when a dataset is created.
inline constexpr size_t kUserWords = 9;
inline constexpr size_t kLocalWordsBeforeDims = 4;  // type class, size, sign, rank
inline constexpr size_t kMaxRank = 32;
inline constexpr size_t kMaxWords = kUserWords + kLocalWordsBeforeDims + kMaxRank;

enum class Mode : unsigned { Options = 0, Target = 1 };

// HDF5's codes for the type classes and signs the filter records (H5T_INTEGER, H5T_FLOAT;
// H5T_SGN_NONE, H5T_SGN_2); they are part of the stored layout.
inline constexpr unsigned kClassInteger = 0;
inline constexpr unsigned kClassFloat = 1;

struct UserParams {
  Mode mode = Mode::Options;
  unsigned axis = 0;
  vtrl_options options{};          // Mode::Options
  vtrl_metric metric = VTRL_PSNR;  // Mode::Target
  double value = 0.0;
  int method = VTRL_ANY_METHOD;
};

struct ChunkShape {
  vtrl_type type;
  unsigned type_class, type_size, sign;
  std::vector<uint32_t> dims;
};

struct Params {
  UserParams user;
  ChunkShape chunk;
};

// The caller's words (0 to kUserWords of them), checked.
Result<UserParams, std::string> parse_user(std::span<const unsigned> words);

// The type a class, size and sign stand for; nullopt for any the filter does not code.
std::optional<vtrl_type> sample_type(unsigned type_class, unsigned size, unsigned sign);

// The full cd_values of a dataset: the caller's words completed with their defaults, then the
// type and the chunk shape. Refuses what the filter cannot code (an axis beyond the rank, a chunk
// of 4 GiB or more).
Result<std::vector<unsigned>, std::string> local_words(const UserParams& user, unsigned type_class,
                                                       unsigned type_size, unsigned sign,
                                                       std::span<const uint32_t> chunk_dims);

// The full cd_values of a dataset, checked (a later version is refused by name).
Result<Params, std::string> parse_words(std::span<const unsigned> words);

// The chunk's size in bytes, as HDF5 hands it to the filter.
uint64_t raw_size(const ChunkShape& chunk);

// Codes a raw chunk (raw_size bytes, C order) into its record.
Result<std::vector<uint8_t>, std::string> encode_chunk(const Params& params,
                                                       std::span<const uint8_t> raw);

// Decodes a record into `raw` (raw_size bytes). Any disagreement between the record and the
// parameters, and any damage the checksums find, is an error; `raw` may then be partly written.
Status<std::string> decode_chunk(const Params& params, std::span<const uint8_t> record,
                                 std::span<uint8_t> raw);

// A double as two 32-bit words (low word first), as cd_values carry it.
void put_double(double v, unsigned* words);
double get_double(const unsigned* words);

}  // namespace vantrel::h5
