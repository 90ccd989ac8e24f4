#include "hdf5/chunk.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "support/crc32c.h"
#include "support/format.h"

namespace vantrel::h5 {
namespace {

// Every text the filter reports, in one place.
constexpr std::string_view kTooManyWords = "vantrel filter: {} parameters given, at most 9";
constexpr std::string_view kNewerVersion =
    "vantrel filter: data written with format version {}, newer than this plugin reads ({}); "
    "update vantrel";
constexpr std::string_view kUnknownMode = "vantrel filter: unknown parameter mode {}";
constexpr std::string_view kBadOption = "vantrel filter: {} {} is outside its range";
constexpr std::string_view kBadTarget = "vantrel filter: quality target {} {} is not usable";
constexpr std::string_view kUnsupportedType =
    "vantrel filter: cannot code {} of {} bytes (float32, float64 and 8-, 16- and 32-bit "
    "integers only)";
constexpr std::string_view kUnsupportedClass =
    "vantrel filter: cannot code this type class (float32, float64 and 8-, 16- and 32-bit "
    "integers only)";
constexpr std::string_view kBadRank = "vantrel filter: chunk rank {} is outside 1..32";
constexpr std::string_view kBadAxis = "vantrel filter: axis {} is not an axis of a rank-{} chunk";
constexpr std::string_view kBadDims =
    "vantrel filter: a chunk dimension is 0 or the chunk exceeds "
    "4 GiB";
constexpr std::string_view kMissingLocal =
    "vantrel filter: the dataset's parameters are incomplete ({} words)";
constexpr std::string_view kRawSize = "vantrel filter: chunk of {} bytes, expected {}";
constexpr std::string_view kDamaged = "vantrel filter: chunk record is damaged or truncated: {}";
constexpr std::string_view kCoding = "vantrel filter: {}";

constexpr uint8_t kMagic[4] = {'V', 'T', 'C', 'H'};
constexpr size_t kRecordHead = 16;  // magic, version, type, reserved (2), signal count, length

std::string text(std::string_view tmpl, std::initializer_list<std::string_view> args = {}) {
  return format_template(tmpl, args);
}
std::string num(uint64_t v) { return std::to_string(v); }

uint32_t load_u32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int s = 0; s < 32; s += 8) out.push_back(static_cast<uint8_t>(v >> s));
}

size_t type_size(vtrl_type t) {
  static constexpr size_t kSizes[] = {4, 8, 1, 1, 2, 2, 4, 4};
  return kSizes[t];
}

// Signals run along `axis` of a C-order chunk: signal (o, i) has sample k at element
// (o * length + k) * inner + i. Coding works on the signals laid out one after the other
// ("signal-major": sample k of signal s at s * length + k).
struct Walk {
  uint64_t outer = 1, length = 1, inner = 1;
  uint64_t signals() const { return outer * inner; }
};

Walk walk(const Params& p) {
  Walk w;
  const auto& d = p.chunk.dims;
  for (size_t k = 0; k < d.size(); ++k) {
    if (k < p.user.axis) w.outer *= d[k];
    if (k == p.user.axis) w.length = d[k];
    if (k > p.user.axis) w.inner *= d[k];
  }
  return w;
}

// Copies between the chunk's order and signal-major order in one pass over the chunk in memory
// order (a pass per signal would read the whole chunk once for every signal). Elements of N
// bytes go by fixed-size memcpy: HDF5's buffers need not be aligned for the type.
template <size_t N>
void transpose(const Walk& w, const uint8_t* from, uint8_t* to, bool to_signals) {
  for (uint64_t o = 0; o < w.outer; ++o) {
    for (uint64_t k = 0; k < w.length; ++k) {
      const uint64_t row = (o * w.length + k) * w.inner;
      for (uint64_t i = 0; i < w.inner; ++i) {
        const uint64_t signal = (o * w.inner + i) * w.length + k;
        const uint64_t src = to_signals ? row + i : signal, dst = to_signals ? signal : row + i;
        std::memcpy(to + dst * N, from + src * N, N);
      }
    }
  }
}

void transpose(const Walk& w, size_t size, const uint8_t* from, uint8_t* to, bool to_signals) {
  switch (size) {
    case 1:
      return transpose<1>(w, from, to, to_signals);
    case 2:
      return transpose<2>(w, from, to, to_signals);
    case 4:
      return transpose<4>(w, from, to, to_signals);
    default:
      return transpose<8>(w, from, to, to_signals);
  }
}

Status<std::string> check_user(const UserParams& u) {
  if (u.mode == Mode::Options) {
    const vtrl_options& o = u.options;
    if (o.method < VTRL_CDF53 || o.method > VTRL_SYM4)
      return text(kBadOption, {"method", num(o.method)});
    if (o.scale < 6 || o.scale > 12) return text(kBadOption, {"scale", num(o.scale)});
    if (o.cutoff < VTRL_CUTOFF_LOW || o.cutoff > VTRL_CUTOFF_HIGH)
      return text(kBadOption, {"cutoff", num(o.cutoff)});
    if (o.coder != VTRL_CODER_AUTO && (o.coder < VTRL_CODER_DEFLATE || o.coder > VTRL_CODER_CMODEL))
      return text(kBadOption, {"coder", num(static_cast<unsigned>(o.coder))});
    if (!(o.multiplier >= 0.0) || !std::isfinite(o.multiplier))
      return text(kBadOption, {"multiplier", std::to_string(o.multiplier)});
    return {};
  }
  static constexpr std::string_view kMetricNames[] = {"psnr", "prd", "rmse", "max_error"};
  if (u.metric < VTRL_PSNR || u.metric > VTRL_MAX_ERROR)
    return text(kBadOption, {"metric", num(u.metric)});
  if (!std::isfinite(u.value) || (u.metric != VTRL_PSNR && u.value < 0.0))
    return text(kBadTarget, {kMetricNames[u.metric], std::to_string(u.value)});
  if (u.method != VTRL_ANY_METHOD && (u.method < VTRL_CDF53 || u.method > VTRL_SYM4))
    return text(kBadOption, {"method", num(static_cast<unsigned>(u.method))});
  return {};
}

}  // namespace

void put_double(double v, unsigned* words) {
  const auto bits = std::bit_cast<uint64_t>(v);
  words[0] = static_cast<unsigned>(bits & 0xFFFFFFFFu);
  words[1] = static_cast<unsigned>(bits >> 32);
}

double get_double(const unsigned* words) {
  return std::bit_cast<double>(uint64_t{words[0] & 0xFFFFFFFFu} | uint64_t{words[1]} << 32);
}

// Words: 0 version, 1 mode, 2 axis, then six for the mode:
//   options: 3 method, 4 scale, 5 cutoff, 6 coder (255: automatic), 7-8 multiplier (0: 2^scale)
//   target:  3 metric, 4-5 value, 6 method (255: any), 7-8 zero
Result<UserParams, std::string> parse_user(std::span<const unsigned> words) {
  if (words.size() > kUserWords) return text(kTooManyWords, {num(words.size())});
  // Words not given keep these: the codec's default options, and any method for a target.
  unsigned w[kUserWords] = {1, 0, 0, VTRL_CDF97, 11, VTRL_CUTOFF_LOW, 255, 0, 0};
  std::copy(words.begin(), words.end(), w);
  UserParams u;
  if (w[0] > kFormatVersion) return text(kNewerVersion, {num(w[0]), num(kFormatVersion)});
  if (w[1] > 1) return text(kUnknownMode, {num(w[1])});
  u.mode = static_cast<Mode>(w[1]);
  u.axis = w[2];
  if (u.mode == Mode::Options) {
    u.options.method = static_cast<int>(w[3]);
    u.options.scale = static_cast<int>(w[4]);
    u.options.cutoff = static_cast<int>(w[5]);
    u.options.coder = w[6] == 255 ? VTRL_CODER_AUTO : static_cast<int>(w[6]);
    u.options.multiplier = get_double(&w[7]);
  } else {
    if (w[3] > VTRL_MAX_ERROR) return text(kBadOption, {"metric", num(w[3])});
    u.metric = static_cast<vtrl_metric>(w[3]);
    u.value = get_double(&w[4]);
    u.method = w[6] == 255 ? VTRL_ANY_METHOD : static_cast<int>(w[6]);
  }
  VANTREL_RETURN_IF_ERROR(check_user(u));
  return u;
}

std::optional<vtrl_type> sample_type(unsigned type_class, unsigned size, unsigned sign) {
  if (type_class == kClassFloat) {
    if (size == 4) return VTRL_FLOAT32;
    if (size == 8) return VTRL_FLOAT64;
    return std::nullopt;
  }
  if (type_class != kClassInteger || sign > 1) return std::nullopt;
  switch (size) {
    case 1:
      return sign ? VTRL_INT8 : VTRL_UINT8;
    case 2:
      return sign ? VTRL_INT16 : VTRL_UINT16;
    case 4:
      return sign ? VTRL_INT32 : VTRL_UINT32;
  }
  return std::nullopt;
}

uint64_t raw_size(const ChunkShape& chunk) {
  uint64_t n = chunk.type_size;
  for (uint32_t d : chunk.dims) n *= d;
  return n;
}

Status<std::string> check_shape(const UserParams& u, const ChunkShape& c) {
  if (c.dims.empty() || c.dims.size() > kMaxRank) return text(kBadRank, {num(c.dims.size())});
  if (u.axis >= c.dims.size()) return text(kBadAxis, {num(u.axis), num(c.dims.size())});
  // HDF5 keeps chunks under 4 GiB; the product is checked step by step so that it cannot wrap.
  uint64_t n = c.type_size;
  for (uint32_t d : c.dims) {
    if (d == 0 || n * d > std::numeric_limits<uint32_t>::max()) return text(kBadDims);
    n *= d;
  }
  return {};
}

Result<std::vector<unsigned>, std::string> local_words(const UserParams& u, unsigned type_class,
                                                       unsigned type_size, unsigned sign,
                                                       std::span<const uint32_t> chunk_dims) {
  const auto type = sample_type(type_class, type_size, sign);
  if (!type && type_class != kClassFloat && type_class != kClassInteger) {
    return text(kUnsupportedClass);
  }
  if (!type) {
    return text(kUnsupportedType,
                {type_class == kClassFloat ? "floats" : "integers", num(type_size)});
  }
  const ChunkShape shape{
      *type, type_class, type_size, sign, {chunk_dims.begin(), chunk_dims.end()}};
  VANTREL_RETURN_IF_ERROR(check_shape(u, shape));
  std::vector<unsigned> w(kUserWords, 0);
  w[0] = u.mode == Mode::Target && type_class == kClassInteger ? kIntegerTargetVersion : 1;
  w[1] = static_cast<unsigned>(u.mode);
  w[2] = u.axis;
  if (u.mode == Mode::Options) {
    w[3] = static_cast<unsigned>(u.options.method);
    w[4] = static_cast<unsigned>(u.options.scale);
    w[5] = static_cast<unsigned>(u.options.cutoff);
    w[6] = u.options.coder == VTRL_CODER_AUTO ? 255 : static_cast<unsigned>(u.options.coder);
    put_double(u.options.multiplier, &w[7]);
  } else {
    w[3] = static_cast<unsigned>(u.metric);
    put_double(u.value, &w[4]);
    w[6] = u.method == VTRL_ANY_METHOD ? 255 : static_cast<unsigned>(u.method);
  }
  w.insert(w.end(), {type_class, type_size, sign, static_cast<unsigned>(chunk_dims.size())});
  w.insert(w.end(), chunk_dims.begin(), chunk_dims.end());
  return w;
}

Result<Params, std::string> parse_words(std::span<const unsigned> words) {
  // The version is read first, so that a later layout is named as such whatever else changed.
  if (!words.empty() && words[0] > kFormatVersion) {
    return text(kNewerVersion, {num(words[0]), num(kFormatVersion)});
  }
  const size_t head = kUserWords + kLocalWordsBeforeDims;
  if (words.size() < head || words.size() != head + words[head - 1]) {
    return text(kMissingLocal, {num(words.size())});
  }
  VANTREL_ASSIGN_OR_RETURN(UserParams user, parse_user(words.first(kUserWords)));
  const unsigned type_class = words[kUserWords], type_size = words[kUserWords + 1],
                 sign = words[kUserWords + 2];
  const auto type = sample_type(type_class, type_size, sign);
  if (!type) return text(kUnsupportedType, {"values", num(type_size)});
  Params p{user, {*type, type_class, type_size, sign, {words.begin() + head, words.end()}}};
  VANTREL_RETURN_IF_ERROR(check_shape(p.user, p.chunk));
  return p;
}

Result<std::vector<uint8_t>, std::string> encode_chunk(const Params& p,
                                                       std::span<const uint8_t> raw) {
  if (raw.size() != raw_size(p.chunk))
    return text(kRawSize, {num(raw.size()), num(raw_size(p.chunk))});
  const Walk w = walk(p);
  const size_t size = type_size(p.chunk.type);
  std::vector<uint8_t> record(std::begin(kMagic), std::end(kMagic));
  record.insert(record.end(),
                {static_cast<uint8_t>(kRecordVersion), static_cast<uint8_t>(p.chunk.type), 0, 0});
  put_u32(record, static_cast<uint32_t>(w.signals()));
  put_u32(record, static_cast<uint32_t>(w.length));
  record.resize(kRecordHead + 4 * w.signals());  // the container sizes, filled in below
  put_u32(record, 0);                            // the header's checksum, likewise
  std::vector<uint8_t> signals(raw.size());
  transpose(w, size, raw.data(), signals.data(), true);
  for (uint64_t s = 0; s < w.signals(); ++s) {
    const uint8_t* signal = &signals[s * w.length * size];
    uint8_t* packed = nullptr;
    size_t packed_size = 0;
    const vtrl_status status =
        p.user.mode == Mode::Options
            ? vtrl_compress(signal, w.length, p.chunk.type, &p.user.options, 0, &packed,
                            &packed_size)
            : vtrl_compress_to(signal, w.length, p.chunk.type, p.user.metric, p.user.value,
                               p.user.method, 0, &packed, &packed_size, nullptr);
    if (status != VTRL_OK) return text(kCoding, {vtrl_last_error()});
    record.insert(record.end(), packed, packed + packed_size);
    vtrl_free(packed);
    for (int b = 0; b < 4; ++b)
      record[kRecordHead + 4 * s + b] =
          static_cast<uint8_t>(static_cast<uint32_t>(packed_size) >> (8 * b));
  }
  const size_t crc_at = kRecordHead + 4 * w.signals();
  const uint32_t crc = crc32c(std::span<const uint8_t>(record).first(crc_at));
  for (int b = 0; b < 4; ++b) record[crc_at + b] = static_cast<uint8_t>(crc >> (8 * b));
  return record;
}

Status<std::string> decode_chunk(const Params& p, std::span<const uint8_t> record,
                                 std::span<uint8_t> raw) {
  if (raw.size() != raw_size(p.chunk))
    return text(kRawSize, {num(raw.size()), num(raw_size(p.chunk))});
  const auto damaged = [](std::string_view why) { return text(kDamaged, {why}); };
  if (record.size() < kRecordHead + 4) return damaged("shorter than its header");
  if (std::memcmp(record.data(), kMagic, 4) != 0) return damaged("no record magic");
  if (record[4] > kRecordVersion) return text(kNewerVersion, {num(record[4]), num(kRecordVersion)});
  const Walk w = walk(p);
  const uint64_t count = load_u32(&record[8]), length = load_u32(&record[12]);
  if (record[5] != p.chunk.type || count != w.signals() || length != w.length)
    return damaged("its type or shape disagrees with the dataset's");
  const uint64_t head = kRecordHead + 4 * count;
  if (record.size() < head + 4) return damaged("shorter than its header");
  if (crc32c(record.first(head)) != load_u32(&record[head]))
    return damaged("header checksum mismatch");
  uint64_t total = head + 4;
  for (uint64_t s = 0; s < count; ++s) total += load_u32(&record[kRecordHead + 4 * s]);
  if (total != record.size()) return damaged("its containers do not fill it");

  const size_t size = type_size(p.chunk.type);
  std::vector<uint8_t> signals(raw.size());
  uint64_t at = head + 4;
  for (uint64_t s = 0; s < count; ++s) {
    const uint32_t n = load_u32(&record[kRecordHead + 4 * s]);
    size_t decoded = 0;
    if (vtrl_decompress_into(&record[at], n, p.chunk.type, VTRL_REQUIRE_TRAILER,
                             &signals[s * w.length * size], w.length, &decoded) != VTRL_OK) {
      return text(kCoding, {vtrl_last_error()});
    }
    if (decoded != w.length) return damaged("a signal of the wrong length");
    at += n;
  }
  transpose(w, size, signals.data(), raw.data(), false);
  return {};
}

}  // namespace vantrel::h5
