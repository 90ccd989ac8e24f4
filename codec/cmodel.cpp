#include "codec/cmodel.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <limits>

#include "codec/arans.h"

namespace vantrel {
namespace {

constexpr uint32_t kMaxWidth = 16;
constexpr size_t kSignSlot = 2;
constexpr size_t kTreeSlot = 3;

// How many coefficients a coded part of `coded_bytes` bytes can hold at most.
//
// Before each bit the decoder's state x is at least 2^16. Writing x = 4096 h + slot (h >= 16),
// the bit leaves x' = freq h + u with u = slot - start in [0, freq), and x = 4096 h + start + u.
// With freq <= 4081 and start >= 0,
//   x / x' >= (4096 h + u) / (4081 h + u) >= (4096 h + 4080) / (4081 h + 4080)
//          >= (4096 * 16 + 4080) / (4081 * 16 + 4080) = 69616 / 69376 =: R,
// the middle bound falling in u and rising in h. x' >= 15 * 16 = 240, so a renormalisation word w
// multiplies the state by at most (x' 2^16 + w) / x' < 2^16 * 241 / 240 =: G. The initial state
// is below 2^32 and the state before the last of B bits is at least 2^16, so after K words
//   2^16 <= 2^32 G^K / R^(B - 1),   i.e.   R^(B - 1) <= 2^16 G^K < G^(K + 1).
// S = 3213 is the least integer with R^S >= G (exact rational check), hence B - 1 < S (K + 1) and
// B <= S (K + 1). Each coefficient costs at least its zero flag, so at most S (K + 1)
// coefficients. A run of zeros at the saturated probability 4081 costs 3023 flags per word, below
// the bound as it must be.
uint64_t max_coefficients(size_t coded_bytes) {
  const uint64_t words = (coded_bytes - 4) / 2;
  if (words + 1 > std::numeric_limits<uint64_t>::max() / kMaxBitsPerWord) {
    return std::numeric_limits<uint64_t>::max();
  }
  return kMaxBitsPerWord * (words + 1);
}

uint32_t band_width(std::span<const int16_t> band) {
  uint32_t max_mag = 0;
  for (const int16_t v : band) {
    const int32_t w = v;
    max_mag = std::max(max_mag, static_cast<uint32_t>(w < 0 ? -w : w));
  }
  return max_mag == 0 ? 1 : static_cast<uint32_t>(std::bit_width(max_mag));
}

size_t count_nonzero(std::span<const int16_t> band) {
  return static_cast<size_t>(
      std::count_if(band.begin(), band.end(), [](int16_t v) { return v != 0; }));
}

BitRecorder encode_band(BitRecorder rec, uint16_t* probs, std::span<const int16_t> band,
                        uint32_t width) {
  uint16_t* const tree = probs + kTreeSlot;
  // The zero-flag and sign contexts belong to this band alone: keep them in registers.
  uint32_t p_after_zero = probs[0];
  uint32_t p_after_nonzero = probs[1];
  uint32_t p_sign = probs[kSignSlot];
  uint32_t prev_nonzero = 0;
  for (const int16_t v : band) {
    const uint32_t nonzero = v != 0;
    const uint32_t p = rec.record(prev_nonzero ? p_after_nonzero : p_after_zero, nonzero);
    if (prev_nonzero) {
      p_after_nonzero = p;
    } else {
      p_after_zero = p;
    }
    if (nonzero) {
      p_sign = rec.record(p_sign, v < 0);
      const int32_t w = v;
      const uint32_t m = static_cast<uint32_t>(w < 0 ? -w : w) - 1;
      uint32_t node = 1;
      for (uint32_t k = width; k-- > 0;) {
        const uint32_t bit = (m >> k) & 1;
        tree[node] = static_cast<uint16_t>(rec.record(tree[node], bit));
        node = 2 * node + bit;
      }
    }
    prev_nonzero = nonzero;
  }
  probs[0] = static_cast<uint16_t>(p_after_zero);
  probs[1] = static_cast<uint16_t>(p_after_nonzero);
  probs[kSignSlot] = static_cast<uint16_t>(p_sign);
  return rec;
}

// Decodes one band into `out`. Returns false once the coded bytes ran out.
bool decode_band(BinDec& dec, size_t o, uint32_t width, std::span<int16_t> out) {
  uint16_t* const group = dec.probs() + o;
  uint16_t* const tree = group + kTreeSlot;
  const uint32_t half = (1u << width) >> 1;  // first node of the tree's last level
  uint32_t p_after_zero = group[0];
  uint32_t p_after_nonzero = group[1];
  uint32_t p_sign = group[kSignSlot];
  RansReader r = dec.reader();
  uint32_t prev_nonzero = 0;
  for (int16_t& coeff : out) {
    const uint32_t pz = prev_nonzero ? p_after_nonzero : p_after_zero;
    uint32_t pz_next;
    const uint32_t nonzero = r.decode(pz, pz_next);
    if (prev_nonzero) {
      p_after_nonzero = pz_next;
    } else {
      p_after_zero = pz_next;
    }
    prev_nonzero = nonzero;
    int32_t value = 0;
    if (nonzero) {
      const uint32_t negative = r.decode(p_sign, p_sign);
      if (width != 0) {
        // Inner levels: both children's probabilities are loaded before the bit picks one.
        uint32_t node = 1;
        uint32_t p = tree[1];
        while (node < half) {
          uint32_t adapted, p_next;
          const uint32_t bit =
              r.decode_and_pick(p, adapted, p_next, tree[2 * node], tree[2 * node + 1]);
          tree[node] = static_cast<uint16_t>(adapted);
          p = p_next;
          node = 2 * node + bit;
        }
        uint32_t adapted;
        const uint32_t bit = r.decode(p, adapted);
        tree[node] = static_cast<uint16_t>(adapted);
        node = 2 * node + bit;
        value = static_cast<int32_t>(node - 2 * half);
      }
      // Magnitude m + 1, negated when the sign bit is 1: (v ^ -s) + s.
      value = ((value + 1) ^ -static_cast<int32_t>(negative)) + static_cast<int32_t>(negative);
    }
    // Width 16 allows the magnitude 65536; the stored value is its low 16 bits.
    coeff = static_cast<int16_t>(static_cast<uint16_t>(value));
    if (r.truncated()) return false;
  }
  dec.set_reader(r);
  group[0] = static_cast<uint16_t>(p_after_zero);
  group[1] = static_cast<uint16_t>(p_after_nonzero);
  group[kSignSlot] = static_cast<uint16_t>(p_sign);
  return true;
}

struct Parsed {
  Layout model;
  std::span<const uint8_t> coded;
};

Result<Parsed, CModelError> parse(std::span<const uint8_t> data,
                                  std::span<const size_t> band_lengths) {
  const size_t n = data.size();
  const size_t num_bands = band_lengths.size();
  if (n == 0) return CModelError::Truncated;
  if (data[0] != num_bands) return CModelError::BadLength;
  if (n <= num_bands) return CModelError::Truncated;
  std::vector<uint32_t> widths(num_bands);
  for (size_t i = 0; i < num_bands; ++i) {
    widths[i] = data[1 + i];
    if (widths[i] > kMaxWidth) return CModelError::BadLength;
  }
  Parsed parsed{layout(widths), data.subspan(num_bands + 1)};
  if (parsed.coded.size() < 4) return CModelError::Truncated;
  uint64_t total = 0;
  for (const size_t len : band_lengths) {
    total = len > std::numeric_limits<uint64_t>::max() - total
                ? std::numeric_limits<uint64_t>::max()
                : total + len;
  }
  if (total > max_coefficients(parsed.coded.size())) return CModelError::Truncated;
  return parsed;
}

}  // namespace

Layout layout(std::span<const uint32_t> widths) {
  Layout out;
  out.offsets.reserve(widths.size());
  out.bits.assign(widths.begin(), widths.end());
  size_t next = 0;
  for (const uint32_t b : widths) {
    out.offsets.push_back(next);
    next += (size_t{1} << b) + 3;
  }
  out.total = next;
  return out;
}

std::vector<uint8_t> encode_coeffs(std::span<const std::span<const int16_t>> bands) {
  std::vector<uint32_t> widths;
  widths.reserve(bands.size());
  size_t num_bits = 0;
  for (const auto band : bands) {
    const uint32_t width = band_width(band);
    widths.push_back(width);
    num_bits += band.size() + count_nonzero(band) * (1 + width);
  }
  const Layout model = layout(widths);
  BinEnc enc(std::max<size_t>(model.total, 1));
  BitRecorder rec = enc.recorder(num_bits);
  for (size_t i = 0; i < bands.size(); ++i) {
    rec = encode_band(rec, enc.probs() + model.offsets[i], bands[i], model.bits[i]);
  }
  enc.commit(rec);
  std::vector<uint8_t> out;
  out.reserve(1 + bands.size() + 4 + num_bits / 4);
  out.push_back(static_cast<uint8_t>(bands.size()));
  for (const uint32_t w : widths) out.push_back(static_cast<uint8_t>(w));
  enc.finish_into(out);
  return out;
}

Status<CModelError> check_coeffs(std::span<const uint8_t> data,
                                 std::span<const size_t> band_lengths) {
  VANTREL_RETURN_IF_ERROR(parse(data, band_lengths));
  return {};
}

Status<CModelError> decode_coeffs_into(std::span<const uint8_t> data,
                                       std::span<const size_t> band_lengths,
                                       std::span<int16_t> out) {
  size_t total = 0;
  for (const size_t len : band_lengths) total += len;
  assert(out.size() == total);
  (void)total;
  VANTREL_ASSIGN_OR_RETURN(const Parsed parsed, parse(data, band_lengths));
  auto dec = BinDec::create(parsed.coded, std::max<size_t>(parsed.model.total, 1));
  if (!dec.ok()) return CModelError::Truncated;
  size_t at = 0;
  for (size_t i = 0; i < band_lengths.size(); ++i) {
    const std::span<int16_t> band = out.subspan(at, band_lengths[i]);
    if (!decode_band(*dec, parsed.model.offsets[i], parsed.model.bits[i], band)) {
      return CModelError::Truncated;
    }
    at += band_lengths[i];
  }
  return {};
}

Result<std::vector<std::vector<int16_t>>, CModelError> decode_coeffs(
    std::span<const uint8_t> data, std::span<const size_t> band_lengths) {
  VANTREL_ASSIGN_OR_RETURN(const Parsed parsed, parse(data, band_lengths));
  auto dec = BinDec::create(parsed.coded, std::max<size_t>(parsed.model.total, 1));
  if (!dec.ok()) return CModelError::Truncated;
  std::vector<std::vector<int16_t>> bands(band_lengths.size());
  for (size_t i = 0; i < band_lengths.size(); ++i) {
    bands[i].resize(band_lengths[i]);
    if (!decode_band(*dec, parsed.model.offsets[i], parsed.model.bits[i], bands[i])) {
      return CModelError::Truncated;
    }
  }
  return bands;
}

}  // namespace vantrel
