// The C interface over the codec (capi/vantrel/vantrel_c.h). Each entry point converts plain C
// values into the codec's, runs it, and turns every failure, std::bad_alloc included, into a
// status and the calling thread's error text: nothing is thrown across the boundary.
#include "vantrel/vantrel_c.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "codec/header.h"
#include "codec/options.h"
#include "codec/quality.h"
#include "codec/refine.h"
#include "codec/trailer.h"
#include "codec/vantrel.h"
#include "support/format.h"

#ifndef VANTREL_VERSION
#error "VANTREL_VERSION must be defined by the build"
#endif

namespace vantrel {
namespace {

thread_local std::string t_last_error;

// The interface's own texts; the codec's and the trailer's come with their errors.
constexpr const char* kStatusTexts[] = {
    "success",
    "invalid argument",
    "refused by the codec",
    "damaged or not a container",
    "written by a later version",
    "out of memory",
    "internal error",
};
constexpr std::string_view kNullArgument = "{} is NULL";
constexpr std::string_view kUnknownType = "unknown sample type {}";
constexpr std::string_view kUnknownFlags = "unknown flags {}";
constexpr std::string_view kUnknownCode = "{} {} is not a known code";
constexpr std::string_view kOutsideFloat32 =
    "sample {} ({}) is outside the float32 range; the codec works in 32-bit floats";
constexpr std::string_view kNoTrailer =
    "container is damaged or truncated: it has no trailer, which this reader requires";
constexpr std::string_view kTooSmall = "the container holds {} samples but the buffer only {}";
constexpr std::string_view kGapInInteger =
    "sample {} is not finite and has no value in an integer type";
constexpr std::string_view kOutOfMemory = "out of memory";
constexpr std::string_view kInternal = "internal error: {}";

struct Failure {
  vtrl_status status;
  std::string text;
};

template <class T>
using Outcome = Result<T, Failure>;

vtrl_status record(const Failure& f) noexcept {
  try {
    t_last_error = f.text;
  } catch (...) {  // no memory left even for the text: the status still says what happened
    t_last_error.clear();
  }
  return f.status;
}

Failure failure(vtrl_status status, std::string_view tmpl,
                std::initializer_list<std::string_view> args = {}) {
  return Failure{status, format_template(tmpl, args)};
}

Failure null_argument(const char* name) {
  return failure(VTRL_INVALID_ARGUMENT, kNullArgument, {name});
}

Failure from_codec(const VantrelError& e, vtrl_status status) {
  if (e.kind() == VantrelError::Kind::OutOfMemory) return Failure{VTRL_NO_MEMORY, e.to_string()};
  return Failure{status, e.to_string()};
}

Failure from_trailer(const TrailerError& e) {
  return Failure{e.kind() == TrailerError::Kind::TooNew ? VTRL_TOO_NEW : VTRL_DAMAGED, e.text()};
}

// A status for an exception caught at the boundary; its text is kept when memory allows.
vtrl_status caught(vtrl_status status, const char* what) noexcept {
  try {
    return record(failure(status, status == VTRL_NO_MEMORY ? kOutOfMemory : kInternal, {what}));
  } catch (...) {
    t_last_error.clear();
    return status;
  }
}

// Runs an entry point's body, turning exceptions into statuses.
template <class Body>
vtrl_status guarded(Body body) noexcept {
  try {
    t_last_error.clear();
    Status<Failure> done = body();
    return done ? VTRL_OK : record(done.error());
  } catch (const std::bad_alloc&) {
    return caught(VTRL_NO_MEMORY, "");
  } catch (const std::exception& e) {
    return caught(VTRL_INTERNAL, e.what());
  } catch (...) {
    return caught(VTRL_INTERNAL, "unknown exception");
  }
}

bool is_integer(vtrl_type type) { return type >= VTRL_INT8 && type <= VTRL_UINT32; }

// The grid a reader of integer samples gets values back on: whole numbers within the type's
// range, as `store` rounds and clips them.
SampleGrid integer_grid(vtrl_type type) {
  static constexpr double kLimits[][2] = {
      {-128.0, 127.0},    {0.0, 255.0},           {-32768.0, 32767.0},
      {0.0, 65535.0},     {-2147483648.0, 2147483647.0}, {0.0, 4294967295.0},
  };
  const auto& limits = kLimits[type - VTRL_INT8];
  return SampleGrid{1.0, 0.0, limits[0], limits[1]};
}

// The sample type a caller's code names (any int may arrive from C).
Outcome<vtrl_type> check_type(int code) {
  if (code < VTRL_FLOAT32 || code > VTRL_UINT32) {
    return failure(VTRL_INVALID_ARGUMENT, kUnknownType, {std::to_string(code)});
  }
  return static_cast<vtrl_type>(code);
}

Status<Failure> check_flags(unsigned flags, unsigned allowed) {
  if ((flags & ~allowed) != 0) {
    return failure(VTRL_INVALID_ARGUMENT, kUnknownFlags, {std::to_string(flags)});
  }
  return {};
}

template <class F>
void for_each_sample(const void* samples, size_t count, vtrl_type type, F f) {
  const auto each = [&](auto const* p) {
    for (size_t i = 0; i < count; ++i) f(i, p[i]);
  };
  switch (type) {
    case VTRL_FLOAT32:
      return each(static_cast<const float*>(samples));
    case VTRL_FLOAT64:
      return each(static_cast<const double*>(samples));
    case VTRL_INT8:
      return each(static_cast<const int8_t*>(samples));
    case VTRL_UINT8:
      return each(static_cast<const uint8_t*>(samples));
    case VTRL_INT16:
      return each(static_cast<const int16_t*>(samples));
    case VTRL_UINT16:
      return each(static_cast<const uint16_t*>(samples));
    case VTRL_INT32:
      return each(static_cast<const int32_t*>(samples));
    case VTRL_UINT32:
      return each(static_cast<const uint32_t*>(samples));
  }
}

// What the codec codes: float32 samples with the gaps filled, the gap runs, and (for float64 and
// integer samples, when a search measures quality) the values themselves.
struct Prepared {
  std::vector<float> floats;
  std::vector<double> reference;
  std::vector<GapRun> runs;
};

Outcome<Prepared> prepare(const void* samples, size_t count, vtrl_type type, bool fill,
                          bool want_reference) {
  Prepared p;
  // The codec refuses these counts itself; the gap runs could not describe them.
  if (count > uint64_t{std::numeric_limits<int32_t>::max()}) {
    return Failure{VTRL_REFUSED, VantrelError::too_many_samples(count).to_string()};
  }
  if (type == VTRL_FLOAT32) {
    const auto* in = static_cast<const float*>(samples);
    p.floats.assign(in, in + count);
    if (fill) {
      p.runs = find_gaps<float>(p.floats);
      if (!p.runs.empty()) fill_gaps<float>(p.floats);
    }
    return p;
  }
  if (type == VTRL_FLOAT64) {
    const auto* in = static_cast<const double*>(samples);
    std::vector<double> values(in, in + count);
    if (fill) {
      p.runs = find_gaps<double>(values);
      if (!p.runs.empty()) fill_gaps<double>(values);
    }
    p.floats.resize(count);
    for (size_t i = 0; i < count; ++i) {
      p.floats[i] = static_cast<float>(values[i]);  // IEEE 754: nearest, overflow to infinity
      if (std::isinf(p.floats[i]) && std::isfinite(values[i])) {
        char text[32];
        std::snprintf(text, sizeof text, "%.17g", values[i]);
        return failure(VTRL_REFUSED, kOutsideFloat32, {std::to_string(i), text});
      }
    }
    if (want_reference) p.reference = std::move(values);
    return p;
  }
  p.floats.resize(count);
  if (want_reference) p.reference.resize(count);
  for_each_sample(samples, count, type, [&](size_t i, auto v) {
    p.floats[i] = static_cast<float>(v);
    if (want_reference) p.reference[i] = static_cast<double>(v);
  });
  return p;
}

// The container in a buffer the caller owns (sealed unless `plain`).
Status<Failure> hand_over(std::vector<uint8_t>& packed, std::span<const GapRun> runs, bool plain,
                          uint8_t** container, size_t* size) {
  if (!plain) {
    if (auto sealed = seal(packed, runs); !sealed) return from_trailer(sealed.error());
  }
  auto* out = static_cast<uint8_t*>(std::malloc(packed.empty() ? 1 : packed.size()));
  if (out == nullptr) throw std::bad_alloc();
  std::memcpy(out, packed.data(), packed.size());
  *container = out;
  *size = packed.size();
  return {};
}

Status<Failure> check_code(int value, int low, int high, const char* what) {
  if (value < low || value > high) {
    return failure(VTRL_INVALID_ARGUMENT, kUnknownCode, {what, std::to_string(value)});
  }
  return {};
}

Outcome<VtrlCompressionOptions> convert(const vtrl_options& in) {
  VtrlCompressionOptions out;
  // Codes within a byte reach the codec, which refuses those no enumerator has with its texts.
  VANTREL_RETURN_IF_ERROR(check_code(in.method, 0, 255, "method"));
  VANTREL_RETURN_IF_ERROR(check_code(in.scale, 0, 255, "scale"));
  VANTREL_RETURN_IF_ERROR(check_code(in.cutoff, 0, 255, "cutoff"));
  VANTREL_RETURN_IF_ERROR(check_code(in.coder, VTRL_CODER_AUTO, 254, "coder"));
  out.method = static_cast<uint8_t>(in.method);
  out.scale = static_cast<uint8_t>(in.scale);
  out.cutoff = static_cast<uint8_t>(in.cutoff);
  out.coder = in.coder == VTRL_CODER_AUTO ? kCoderAuto : static_cast<uint8_t>(in.coder);
  if (in.multiplier != 0.0) out.quant_multiplier = static_cast<float>(in.multiplier);
  return out;
}

template <class T>
T rounded_clipped(float v) {
  const double r = std::nearbyint(static_cast<double>(v));  // halves to even
  return static_cast<T>(std::clamp(r, static_cast<double>(std::numeric_limits<T>::min()),
                                   static_cast<double>(std::numeric_limits<T>::max())));
}

// Writes decoded samples as `type`.
Status<Failure> store(std::span<const float> decoded, vtrl_type type, void* out) {
  const auto integers = [&](auto* p) -> Status<Failure> {
    using T = std::remove_pointer_t<decltype(p)>;
    for (size_t i = 0; i < decoded.size(); ++i) {
      if (!std::isfinite(decoded[i])) {
        return failure(VTRL_INVALID_ARGUMENT, kGapInInteger, {std::to_string(i)});
      }
      p[i] = rounded_clipped<T>(decoded[i]);
    }
    return {};
  };
  switch (type) {
    case VTRL_FLOAT32:
      if (!decoded.empty()) std::memcpy(out, decoded.data(), decoded.size() * sizeof(float));
      return {};
    case VTRL_FLOAT64:
      for (size_t i = 0; i < decoded.size(); ++i) static_cast<double*>(out)[i] = decoded[i];
      return {};
    case VTRL_INT8:
      return integers(static_cast<int8_t*>(out));
    case VTRL_UINT8:
      return integers(static_cast<uint8_t*>(out));
    case VTRL_INT16:
      return integers(static_cast<int16_t*>(out));
    case VTRL_UINT16:
      return integers(static_cast<uint16_t*>(out));
    case VTRL_INT32:
      return integers(static_cast<int32_t*>(out));
    case VTRL_UINT32:
      return integers(static_cast<uint32_t*>(out));
  }
  return {};
}

size_t type_size(vtrl_type type) {
  static constexpr size_t kSizes[] = {4, 8, 1, 1, 2, 2, 4, 4};
  return kSizes[type];
}

Outcome<VantrelHeader> read_header(const uint8_t* container, size_t size) {
  if (container == nullptr) return null_argument("container");
  auto header = VantrelHeader::from_bytes({container, size});
  if (!header) return from_codec(header.error(), VTRL_DAMAGED);
  return *header;
}

// The decoded samples of a container, its correction applied and rounded to its declared grid (as
// float32), its gaps restored.
Outcome<std::vector<float>> decode(const uint8_t* container, size_t size, unsigned flags) {
  const std::span<const uint8_t> bytes(container, size);
  auto opened = unseal(bytes);
  if (!opened) return from_trailer(opened.error());
  if ((flags & VTRL_REQUIRE_TRAILER) && !opened->has_trailer) {
    return Failure{VTRL_DAMAGED, std::string(kNoTrailer)};
  }
  auto decoded = decompress(bytes);
  if (!decoded) return from_codec(decoded.error(), VTRL_DAMAGED);
  if (opened->refinement || opened->grid) {
    std::vector<double> values(decoded->begin(), decoded->end());
    if (opened->refinement) {
      auto corrected = correct(*decoded, *opened->refinement);
      if (!corrected) return from_codec(corrected.error(), VTRL_DAMAGED);
      values = std::move(*corrected);
    }
    const auto& grid = opened->grid;
    std::transform(values.begin(), values.end(), decoded->begin(), [&](double v) {
      return static_cast<float>(grid ? round_to_grid(v, *grid) : v);
    });
  }
  restore_gaps(*decoded, opened->runs);
  return std::move(*decoded);
}

void clear(void** p, size_t* n) {
  if (p != nullptr) *p = nullptr;
  if (n != nullptr) *n = 0;
}

}  // namespace
}  // namespace vantrel

using namespace vantrel;

extern "C" {

uint32_t vtrl_api_version(void) { return VTRL_API_VERSION; }

const char* vtrl_version(void) { return VANTREL_VERSION; }

const char* vtrl_last_error(void) { return t_last_error.c_str(); }

const char* vtrl_status_text(int status) {
  const int i = status;
  if (i < 0 || i >= static_cast<int>(std::size(kStatusTexts))) return "unknown status";
  return kStatusTexts[i];
}

void vtrl_options_init(vtrl_options* options) {
  if (options == nullptr) return;
  const VtrlCompressionOptions defaults;
  options->method = defaults.method;
  options->scale = defaults.scale;
  options->cutoff = defaults.cutoff;
  options->coder = VTRL_CODER_AUTO;
  options->multiplier = 0.0;
}

vtrl_status vtrl_compress(const void* samples, size_t count, int type_code,
                          const vtrl_options* options, unsigned flags, uint8_t** container,
                          size_t* size) {
  clear(reinterpret_cast<void**>(container), size);
  return guarded([&]() -> Status<Failure> {
    if (container == nullptr) return null_argument("container");
    if (size == nullptr) return null_argument("size");
    if (samples == nullptr && count != 0) return null_argument("samples");
    VANTREL_ASSIGN_OR_RETURN(const vtrl_type type, check_type(type_code));
    VANTREL_RETURN_IF_ERROR(check_flags(flags, VTRL_PLAIN));
    vtrl_options given;
    vtrl_options_init(&given);
    if (options != nullptr) given = *options;
    VANTREL_ASSIGN_OR_RETURN(const VtrlCompressionOptions codec_options, convert(given));
    const bool plain = (flags & VTRL_PLAIN) != 0;
    VANTREL_ASSIGN_OR_RETURN(Prepared p, prepare(samples, count, type, !plain, false));
    auto packed = compress(p.floats, codec_options);
    if (!packed) return from_codec(packed.error(), VTRL_REFUSED);
    return hand_over(*packed, p.runs, plain, container, size);
  });
}

vtrl_status vtrl_compress_to(const void* samples, size_t count, int type_code, int metric,
                             double value, int method, unsigned flags, uint8_t** container,
                             size_t* size, vtrl_quality* achieved) {
  clear(reinterpret_cast<void**>(container), size);
  return guarded([&]() -> Status<Failure> {
    if (container == nullptr) return null_argument("container");
    if (size == nullptr) return null_argument("size");
    if (samples == nullptr && count != 0) return null_argument("samples");
    VANTREL_ASSIGN_OR_RETURN(const vtrl_type type, check_type(type_code));
    VANTREL_RETURN_IF_ERROR(check_flags(flags, VTRL_PLAIN));
    VANTREL_RETURN_IF_ERROR(check_code(metric, VTRL_PSNR, VTRL_MAX_ERROR, "metric"));
    VANTREL_RETURN_IF_ERROR(check_code(method, VTRL_ANY_METHOD, VTRL_SYM4, "method"));
    const bool plain = (flags & VTRL_PLAIN) != 0;
    VANTREL_ASSIGN_OR_RETURN(Prepared p, prepare(samples, count, type, !plain, true));
    const QualityTarget target{static_cast<QualityMetric>(metric), value};
    const std::optional<WaveletMethod> fixed =
        method == VTRL_ANY_METHOD
            ? std::nullopt
            : std::optional<WaveletMethod>(static_cast<WaveletMethod>(method));
    // Integer samples are measured as a reader gets them back: rounded and clipped to the type.
    SearchOptions search;
    search.method = fixed;
    if (is_integer(type)) search.grid = integer_grid(type);
    auto found = compress_to(p.floats, p.reference, target, search);
    if (!found) return from_codec(found.error(), VTRL_REFUSED);
    VANTREL_RETURN_IF_ERROR(hand_over(found->container, p.runs, plain, container, size));
    if (achieved != nullptr) {
      *achieved = {found->achieved.psnr, found->achieved.prd, found->achieved.rmse,
                   found->achieved.max_error};
    }
    return {};
  });
}

vtrl_status vtrl_sample_count(const uint8_t* container, size_t size, size_t* count) {
  if (count != nullptr) *count = 0;
  return guarded([&]() -> Status<Failure> {
    if (count == nullptr) return null_argument("count");
    VANTREL_ASSIGN_OR_RETURN(const VantrelHeader header, read_header(container, size));
    *count = header.sample_count;
    return {};
  });
}

vtrl_status vtrl_decompress(const uint8_t* container, size_t size, int type_code, unsigned flags,
                            void** samples, size_t* count) {
  clear(samples, count);
  return guarded([&]() -> Status<Failure> {
    if (samples == nullptr) return null_argument("samples");
    if (count == nullptr) return null_argument("count");
    VANTREL_ASSIGN_OR_RETURN(const vtrl_type type, check_type(type_code));
    VANTREL_RETURN_IF_ERROR(check_flags(flags, VTRL_REQUIRE_TRAILER));
    VANTREL_RETURN_IF_ERROR(read_header(container, size));
    VANTREL_ASSIGN_OR_RETURN(const std::vector<float> decoded, decode(container, size, flags));
    void* out = std::malloc(decoded.empty() ? 1 : decoded.size() * type_size(type));
    if (out == nullptr) throw std::bad_alloc();
    if (auto stored = store(decoded, type, out); !stored) {
      std::free(out);
      return std::move(stored).error();
    }
    *samples = out;
    *count = decoded.size();
    return {};
  });
}

vtrl_status vtrl_decompress_into(const uint8_t* container, size_t size, int type_code,
                                 unsigned flags, void* samples, size_t capacity, size_t* count) {
  if (count != nullptr) *count = 0;
  return guarded([&]() -> Status<Failure> {
    if (samples == nullptr && capacity != 0) return null_argument("samples");
    if (count == nullptr) return null_argument("count");
    VANTREL_ASSIGN_OR_RETURN(const vtrl_type type, check_type(type_code));
    VANTREL_RETURN_IF_ERROR(check_flags(flags, VTRL_REQUIRE_TRAILER));
    VANTREL_ASSIGN_OR_RETURN(const VantrelHeader header, read_header(container, size));
    if (header.sample_count > capacity) {
      return failure(VTRL_INVALID_ARGUMENT, kTooSmall,
                     {std::to_string(header.sample_count), std::to_string(capacity)});
    }
    VANTREL_ASSIGN_OR_RETURN(const std::vector<float> decoded, decode(container, size, flags));
    VANTREL_RETURN_IF_ERROR(store(decoded, type, samples));
    *count = decoded.size();
    return {};
  });
}

void vtrl_free(void* buffer) { std::free(buffer); }

}  // extern "C"
