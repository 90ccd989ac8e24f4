// The HDF5 filter's chunk decoder. The first bytes choose the dataset (sample type, a chunk of at
// most 3 x 40 samples, the axis, options or a quality target); then either the rest is decoded as
// a record, or it is coded as the chunk's samples into a record that one chosen byte of damage
// changes before decoding. No out-of-bounds access either way; a damaged record is never
// accepted, an intact one always.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "hdf5/chunk.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantrel::h5;
  if (size < 7) return 0;
  static constexpr unsigned kTypes[][3] = {{kClassFloat, 4, 0},   {kClassFloat, 8, 0},
                                           {kClassInteger, 1, 0}, {kClassInteger, 2, 1},
                                           {kClassInteger, 4, 1}, {kClassInteger, 4, 0}};
  const auto& type = kTypes[data[0] % 6];
  const std::vector<uint32_t> dims = {1u + data[1] % 40, 1u + data[2] % 3};
  // Options (a method and a scale), or (data[5] bit 1) a quality target: a PSNR of 20 to 83 dB or
  // a bound of 0.5 to 8 (integers are then judged after rounding to their type).
  const bool target = data[5] & 2;
  unsigned words[9] = {1, target, data[3] % 2u, data[4] % 4u, 6u + data[4] % 7u, 0, 255};
  if (target) put_double(data[4] % 4 ? 0.5 + (data[4] % 16) / 2.0 : 20.0 + data[4] / 4, &words[4]);
  const auto user = parse_user(std::span<const unsigned>(words, target ? 9 : 5));
  check(user.ok());
  const auto params = parse_words(*local_words(*user, type[0], type[1], type[2], dims));
  check(params.ok());
  std::vector<uint8_t> raw(raw_size(params->chunk));
  const bool damage = data[5] & 1;
  const std::span<const uint8_t> rest(data + 7, size - 7);
  if (!damage) {
    (void)decode_chunk(*params, rest, raw);
    return 0;
  }
  for (size_t i = 0; i < raw.size(); ++i) raw[i] = rest.empty() ? 0 : rest[i % rest.size()];
  if (type[0] == kClassFloat) {  // finite values: the codec refuses some infinite ranges
    for (size_t i = 0; i + 1 < raw.size(); i += type[1]) raw[i + type[1] - 1] &= 0x3F;
  }
  auto record = encode_chunk(*params, raw);
  if (!record.ok()) return 0;
  std::vector<uint8_t> back(raw.size());
  check(decode_chunk(*params, *record, back).ok());
  (*record)[(size_t{data[6]} * 7919 + rest.size()) % record->size()] ^= uint8_t(1 + data[5] / 2);
  check(!decode_chunk(*params, *record, back).ok());
  return 0;
}
