// The extension module `vantrel_tools._native`: the companion package's native part. It hands
// the codec's registries to Python, so the package names methods, coders and option ranges exactly
// as the codec does, and runs the codec with the interpreter released: each call takes a private
// copy of what it codes first, so other threads may run Python (and change the caller's array)
// meanwhile.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "codec/finish.h"
#include "codec/options.h"
#include "codec/quality.h"
#include "codec/refine.h"
#include "codec/vantrel.h"
#include "python/module/options.h"
#include "support/big_buffer.h"

namespace vantrel {
namespace {

PyObject* text(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// A new tuple of `make(entry)` for every entry; nullptr with the exception set on failure.
template <class Entries, class Make>
PyObject* tuple_of(const Entries& entries, Make make) {
  PyObject* out = PyTuple_New(static_cast<Py_ssize_t>(std::size(entries)));
  if (out == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& entry : entries) {
    PyObject* item = make(entry);
    if (item == nullptr) {
      Py_DECREF(out);
      return nullptr;
    }
    PyTuple_SET_ITEM(out, i++, item);  // steals `item`
  }
  return out;
}

PyObject* wavelet_methods_py(PyObject*, PyObject*) {
  return tuple_of(wavelet_method_infos(), [](const WaveletMethodInfo& e) {
    return Py_BuildValue("(s#iy#)", e.name.data(), static_cast<Py_ssize_t>(e.name.size()),
                         int{e.code}, reinterpret_cast<const char*>(e.tag.data()),
                         static_cast<Py_ssize_t>(e.tag.size()));
  });
}

PyObject* entropy_coders_py(PyObject*, PyObject*) {
  return tuple_of(entropy_coder_infos(), [](const EntropyCoderInfo& e) {
    return Py_BuildValue("(s#i)", e.name.data(), static_cast<Py_ssize_t>(e.name.size()),
                         int{e.code});
  });
}

PyObject* cutoff_levels_py(PyObject*, PyObject*) { return tuple_of(kCutoffNames, text); }

// Each metric as (name, code, higher_is_better, metavar, help), by code.
PyObject* quality_metrics_py(PyObject*, PyObject*) {
  return tuple_of(kQualityMetrics, [](const QualityMetricEntry& e) {
    return Py_BuildValue("(s#iOs#s#)", e.name.data(), static_cast<Py_ssize_t>(e.name.size()),
                         static_cast<int>(e.metric), e.higher_is_better ? Py_True : Py_False,
                         e.metavar.data(), static_cast<Py_ssize_t>(e.metavar.size()), e.help.data(),
                         static_cast<Py_ssize_t>(e.help.size()));
  });
}

PyObject* header_size_py(PyObject*, PyObject*) { return PyLong_FromSize_t(kHeaderSize); }

PyObject* scale_range_py(PyObject*, PyObject*) {
  return Py_BuildValue("(ii)", int{kMinScale}, int{kMaxScale});
}

// A buffer view released when it goes out of scope.
struct BufferView {
  Py_buffer view{};
  bool held = false;
  ~BufferView() {
    if (held) PyBuffer_Release(&view);
  }
};

// The one-letter struct format of a native-order buffer ('f', 'd', 'B', ...), or 0.
char native_format(const Py_buffer& view) {
  const char* f = view.format == nullptr ? "B" : view.format;
  constexpr char kNativeOrder = std::endian::native == std::endian::little ? '<' : '>';
  if (*f == '@' || *f == '=' || *f == kNativeOrder) ++f;
  return f[0] != 0 && f[1] == 0 ? f[0] : 0;
}

// Runs `work` (which must not touch Python) with the interpreter released. False with
// MemoryError set when it ran out of memory.
template <class Work>
bool without_interpreter(Work work) {
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS try { work(); } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS if (out_of_memory) PyErr_NoMemory();
  return !out_of_memory;
}

// A private copy of a 1-D float32/float64 buffer, so that the codec can run on it without the
// interpreter: float32 samples in storage that is neither zeroed first nor faulted in 4 KiB at a
// time, float64 ones narrowed, or kept as given instead when asked (the codec narrows them as
// it goes: `samples` is then empty).
struct SampleCopy {
  BigBuffer<float> floats;
  std::vector<float> narrowed;
  std::vector<double> doubles;
  std::span<const float> samples;

  // False with an exception set; may throw std::bad_alloc.
  bool take(PyObject* source, bool keep_doubles) {
    BufferView in;
    if (PyObject_GetBuffer(source, &in.view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return false;
    in.held = true;
    const char format = native_format(in.view);
    if (in.view.ndim != 1 || (format != 'f' && format != 'd')) {
      PyErr_SetString(PyExc_ValueError, "expected a 1-D float32 or float64 NumPy array");
      return false;
    }
    const auto n = static_cast<size_t>(in.view.shape[0]);
    if (format == 'f') {
      floats = BigBuffer<float>(n);
      if (n != 0) std::memcpy(floats.get(), in.view.buf, n * sizeof(float));
      samples = {floats.get(), n};
      return true;
    }
    std::span<const double> values(static_cast<const double*>(in.view.buf), n);
    if (keep_doubles) {
      doubles.assign(values.begin(), values.end());
      return check_narrowable(doubles);
    }
    if (!narrow_samples(values, narrowed)) return false;
    samples = narrowed;
    return true;
  }
};

// The options record of the texts and values a caller gave, as vantrel.CompressionOptions takes
// them; nullopt with ValueError (the options' own text) set when they name nothing.
std::optional<VtrlCompressionOptions> options_of(std::string_view method, unsigned char scale,
                                                 std::string_view cutoff, const char* coder,
                                                 Py_ssize_t coder_len, PyObject* multiplier) {
  std::optional<float> quant_multiplier;
  if (multiplier != Py_None) {
    const double value = PyFloat_AsDouble(multiplier);
    if (value == -1.0 && PyErr_Occurred()) return std::nullopt;
    quant_multiplier = narrow_to_float(value);
  }
  const auto coder_name = coder == nullptr
                              ? std::nullopt
                              : std::optional<std::string_view>(std::string_view(coder, coder_len));
  auto options = make_options(method, scale, cutoff, coder_name, quant_multiplier);
  if (!options.ok()) {
    raise_with_text(PyExc_ValueError, options.error());
    return std::nullopt;
  }
  return *options;
}

// check_options(method, scale, cutoff, coder, quant_multiplier, /) -> None
// Refuses, with the codec's text, options that no signal could be compressed with.
PyObject* check_options_py(PyObject*, PyObject* args) {
  PyObject* multiplier = nullptr;  // borrowed
  const char *method = nullptr, *cutoff = nullptr, *coder = nullptr;
  Py_ssize_t method_len = 0, cutoff_len = 0, coder_len = 0;
  unsigned char scale = 0;
  if (!PyArg_ParseTuple(args, "s#bs#z#O:check_options", &method, &method_len, &scale, &cutoff,
                        &cutoff_len, &coder, &coder_len, &multiplier))
    return nullptr;
  const auto options =
      options_of(std::string_view(method, method_len), scale, std::string_view(cutoff, cutoff_len),
                 coder, coder_len, multiplier);
  if (!options) return nullptr;
  if (auto checked = check_options(*options); !checked.ok()) {
    raise_with_text(PyExc_ValueError, checked.error().to_string());
    return nullptr;
  }
  Py_RETURN_NONE;
}

// compress(samples, method, scale, cutoff, coder, quant_multiplier, /, threads=1) -> bytes
PyObject* compress_py(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* samples = nullptr;     // borrowed
  PyObject* multiplier = nullptr;  // borrowed
  const char* method = nullptr;
  const char* cutoff = nullptr;
  const char* coder = nullptr;
  Py_ssize_t method_len = 0, cutoff_len = 0, coder_len = 0;
  unsigned char scale = 0;
  Py_ssize_t threads = 1;
  static const char* const kKeywords[] = {"", "", "", "", "", "", "threads", nullptr};
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "Os#bs#z#O|n:compress", const_cast<char**>(kKeywords), &samples, &method,
          &method_len, &scale, &cutoff, &cutoff_len, &coder, &coder_len, &multiplier, &threads)) {
    return nullptr;
  }
  if (threads < 1) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return nullptr;
  }
  const auto options =
      options_of(std::string_view(method, method_len), scale, std::string_view(cutoff, cutoff_len),
                 coder, coder_len, multiplier);
  if (!options) return nullptr;

  const auto count = static_cast<unsigned>(std::min<Py_ssize_t>(threads, kMaxEncodeThreads));
  std::optional<Result<std::vector<uint8_t>, VantrelError>> packed;
  try {
    // The copy is made while the interpreter is held: the only part of the call that runs one
    // thread at a time.
    SampleCopy copy;
    if (!copy.take(samples, false)) return nullptr;
    if (!without_interpreter(
            [&] { packed.emplace(compress(copy.samples, *options, EncodeThreads{count})); }))
      return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!packed->ok()) {
    raise_with_text(PyExc_ValueError, packed->error().to_string());
    return nullptr;
  }
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>((*packed)->data()),
                                   static_cast<Py_ssize_t>((*packed)->size()));
}

// A private copy of the `reference` argument of compress_to, a 1-D float64 buffer.
bool take_reference(PyObject* source, std::vector<double>& out) {
  BufferView in;
  if (PyObject_GetBuffer(source, &in.view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return false;
  in.held = true;
  if (in.view.ndim != 1 || native_format(in.view) != 'd') {
    PyErr_SetString(PyExc_ValueError, "reference must be a 1-D float64 NumPy array");
    return false;
  }
  const auto* values = static_cast<const double*>(in.view.buf);
  out.assign(values, values + in.view.shape[0]);
  return true;
}

// The `grid` argument of compress_to: None, or (step, origin, min_code, max_code).
bool take_grid(PyObject* source, std::optional<SampleGrid>& out) {
  if (source == nullptr || source == Py_None) return true;
  SampleGrid g{};
  if (!PyTuple_Check(source) ||
      !PyArg_ParseTuple(source, "dddd", &g.step, &g.origin, &g.min_code, &g.max_code)) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError,
                    "grid must be a tuple of four numbers (step, origin, min_code, max_code)");
    return false;
  }
  out = g;
  return true;
}

// Each metric's measurement of `d`, in the table's order.
PyObject* distortion_tuple(const Distortion& d) {
  return tuple_of(kQualityMetrics,
                  [&](const QualityMetricEntry& e) { return PyFloat_FromDouble(d.*e.measured); });
}

// compress_to(samples, metric, value, method, /, *, reference=None, grid=None, refine=False,
//             corrected=False)
//   -> (container, distortion by metric code, multiplier, method, trials, encodes)
// With refine=True three more: the refinement section's body (None without one), the
// distortion of the base alone, and with corrected=True and a refinement on a grid the
// corrected samples (a bytearray of native float64, what correct() returns for them; else
// None).
PyObject* compress_to_py(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject* samples = nullptr;    // borrowed
  PyObject* reference = nullptr;  // borrowed
  PyObject* grid = nullptr;       // borrowed
  const char* metric = nullptr;
  const char* method = nullptr;
  Py_ssize_t metric_len = 0, method_len = 0;
  double value = 0.0;
  int refine = 0;
  int keep_corrected = 0;
  static const char* const kKeywords[] = {"",     "",     "",       "",          "reference",
                                          "grid", "refine", "corrected", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Os#dz#|$OOpp:compress_to",
                                   const_cast<char**>(kKeywords), &samples, &metric, &metric_len,
                                   &value, &method, &method_len, &reference, &grid, &refine,
                                   &keep_corrected)) {
    return nullptr;
  }
  const std::string_view metric_name(metric, metric_len);
  const auto* metric_entry =
      std::find_if(std::begin(kQualityMetrics), std::end(kQualityMetrics),
                   [&](const QualityMetricEntry& e) { return e.name == metric_name; });
  if (metric_entry == std::end(kQualityMetrics)) {
    PyErr_Format(PyExc_ValueError, "unknown quality metric '%s'", metric);
    return nullptr;
  }
  const QualityTarget target{metric_entry->metric, value};
  SearchOptions options;
  if (method != nullptr) {
    const WaveletMethodInfo* entry = method_named(std::string_view(method, method_len));
    if (entry == nullptr) {
      PyErr_Format(PyExc_ValueError, "unknown wavelet method '%s'", method);
      return nullptr;
    }
    options.method = static_cast<WaveletMethod>(entry->code);
  }
  if (!take_grid(grid, options.grid)) return nullptr;
  options.refine = refine != 0;
  options.keep_corrected = keep_corrected != 0;
  std::optional<Result<TargetedContainer, VantrelError>> packed;
  try {
    // Float64 samples are their own reference unless one is given; without either, the float32
    // samples are (non-finite samples are gaps in every case).
    const bool referenced = reference != nullptr && reference != Py_None;
    SampleCopy copy;
    if (!copy.take(samples, !referenced)) return nullptr;
    if (referenced) {
      if (!take_reference(reference, copy.doubles)) return nullptr;
      if (copy.doubles.size() != copy.samples.size()) {
        raise_with_text(PyExc_ValueError, VantrelError::reference_length_mismatch(
                                              copy.doubles.size(), copy.samples.size())
                                              .to_string());
        return nullptr;
      }
    }
    // Float64 samples without a reference are narrowed by the search as it goes.
    const bool narrow_later = !referenced && !copy.doubles.empty();
    if (!without_interpreter([&] {
          packed.emplace(narrow_later ? compress_to(copy.doubles, target, options)
                                      : compress_to(copy.samples, copy.doubles, target, options));
        }))
      return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!packed->ok()) {
    raise_with_text(PyExc_ValueError, packed->error().to_string());
    return nullptr;
  }
  const TargetedContainer& out = **packed;
  const std::string_view chosen = wavelet_method_infos()[static_cast<size_t>(out.method)].name;
  PyRef achieved(distortion_tuple(out.achieved));
  if (!achieved) return nullptr;
  if (!refine) {
    return Py_BuildValue("(y#Ods#II)", reinterpret_cast<const char*>(out.container.data()),
                         static_cast<Py_ssize_t>(out.container.size()), achieved.get(),
                         static_cast<double>(out.quant_multiplier), chosen.data(),
                         static_cast<Py_ssize_t>(chosen.size()), out.trials, out.encodes);
  }
  PyRef base(distortion_tuple(out.base_achieved));
  if (!base) return nullptr;
  PyRef body;
  if (out.refinement) {
    std::vector<uint8_t> bytes;
    try {
      write_refinement(*out.refinement, bytes);
    } catch (const std::bad_alloc&) {
      return PyErr_NoMemory();
    }
    body = PyRef(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                           static_cast<Py_ssize_t>(bytes.size())));
  } else {
    body = PyRef(Py_NewRef(Py_None));
  }
  if (!body) return nullptr;
  PyRef corrected;
  if (out.refinement && !out.corrected.empty()) {
    corrected = PyRef(PyByteArray_FromStringAndSize(
        reinterpret_cast<const char*>(out.corrected.data()),
        static_cast<Py_ssize_t>(out.corrected.size() * sizeof(double))));
  } else {
    corrected = PyRef(Py_NewRef(Py_None));
  }
  if (!corrected) return nullptr;
  return Py_BuildValue("(y#Ods#IIOOO)", reinterpret_cast<const char*>(out.container.data()),
                       static_cast<Py_ssize_t>(out.container.size()), achieved.get(),
                       static_cast<double>(out.quant_multiplier), chosen.data(),
                       static_cast<Py_ssize_t>(chosen.size()), out.trials, out.encodes,
                       body.get(), base.get(), corrected.get());
}

// The refinement section `body` read for the decoded base `samples` (1-D float32), which is
// copied into `base` so that the correction can run without the interpreter; nullopt with an
// exception set. May throw std::bad_alloc.
std::optional<Refinement> base_and_layer(PyObject* samples, PyObject* body, SampleCopy& base) {
  if (!base.take(samples, false)) return std::nullopt;
  BufferView in;
  if (PyObject_GetBuffer(body, &in.view, PyBUF_C_CONTIGUOUS) < 0) return std::nullopt;
  in.held = true;
  auto read = read_refinement(
      std::span(static_cast<const uint8_t*>(in.view.buf), static_cast<size_t>(in.view.len)),
      static_cast<uint32_t>(std::min<size_t>(base.samples.size(), UINT32_MAX)));
  if (!read) {
    raise_with_text(PyExc_ValueError, to_string(read.error()));
    return std::nullopt;
  }
  return std::move(read).value();
}

// A new bytearray of `bytes` bytes in `out`, and where its bytes are (empty with an exception set
// when it could not be made).
std::span<uint8_t> new_bytearray(size_t bytes, PyRef& out) {
  out = PyRef(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes)));
  if (!out) return {};
  return {reinterpret_cast<uint8_t*>(PyByteArray_AsString(out.get())), bytes};
}

// correct(samples, body, /) -> bytearray of native float64
// The samples a reader returns for the decoded base `samples` (1-D float32) and the body of a
// refinement section written for them, computed without holding the interpreter.
PyObject* correct_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "correct() takes the base's samples and a section body");
    return nullptr;
  }
  std::optional<Status<VantrelError>> corrected;
  PyRef out;
  try {
    SampleCopy base;
    const auto read = base_and_layer(args[0], args[1], base);
    if (!read) return nullptr;
    // The values go straight into the bytearray returned.
    const size_t n = base.samples.size();
    const std::span<uint8_t> bytes = new_bytearray(n * sizeof(double), out);
    if (!out) return nullptr;
    const std::span<double> y(reinterpret_cast<double*>(bytes.data()), n);
    if (!without_interpreter([&] { corrected.emplace(correct_into(base.samples, *read, y)); }))
      return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!corrected->ok()) {
    raise_with_text(PyExc_ValueError, corrected->error().to_string());
    return nullptr;
  }
  return out.release();
}

// finish(samples, grid, sample_type, refinement, /) -> bytearray of the sample type
// The samples a reader returns, in native byte order: `samples` (1-D float32, or float64 values
// already corrected), first corrected by `refinement` (the body of a refinement section written
// for this float32 base, or None), rounded to `grid` (None, or (step, origin, min_code,
// max_code) as the trailer holds it) and converted to `sample_type` (float32, float64, int8,
// int16, int32, uint8 or uint16). A correction runs without holding the interpreter, on a private
// copy of the base; the rest is one pass over the samples.
PyObject* finish_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError,
                    "finish() takes the samples, a grid, a sample type and a refinement body");
    return nullptr;
  }
  Py_ssize_t name_len = 0;
  const char* name = PyUnicode_Check(args[2]) ? PyUnicode_AsUTF8AndSize(args[2], &name_len)
                                              : nullptr;
  if (name == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "sample_type must be a str");
    return nullptr;
  }
  const auto type = sample_type_named(std::string_view(name, static_cast<size_t>(name_len)));
  if (!type) {
    PyErr_Format(PyExc_ValueError, "unknown sample type '%s'", name);
    return nullptr;
  }
  std::optional<SampleGrid> grid;
  if (!take_grid(args[1], grid)) return nullptr;
  const size_t size = sample_type_info(*type).size;
  std::optional<Status<FinishError>> finished;
  std::optional<Status<VantrelError>> corrected;
  PyRef out;
  try {
    if (args[3] == Py_None) {
      BufferView in;
      if (PyObject_GetBuffer(args[0], &in.view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0)
        return nullptr;
      in.held = true;
      const char format = native_format(in.view);
      if (in.view.ndim != 1 || (format != 'f' && format != 'd')) {
        PyErr_SetString(PyExc_ValueError, "expected a 1-D float32 or float64 NumPy array");
        return nullptr;
      }
      const auto n = static_cast<size_t>(in.view.shape[0]);
      const std::span<uint8_t> y = new_bytearray(n * size, out);
      if (!out) return nullptr;
      finished = format == 'f'
                     ? finish_into(std::span(static_cast<const float*>(in.view.buf), n), grid,
                                   *type, y)
                     : finish_into(std::span(static_cast<const double*>(in.view.buf), n), grid,
                                   *type, y);
    } else {
      SampleCopy base;
      const auto read = base_and_layer(args[0], args[3], base);
      if (!read) return nullptr;
      const size_t n = base.samples.size();
      const std::span<uint8_t> y = new_bytearray(n * size, out);
      if (!out) return nullptr;
      FinishInto sink(grid, *type, y);
      if (!without_interpreter(
              [&] { corrected.emplace(correct_blocks(base.samples, *read, sink)); }))
        return nullptr;
      if (sink.error()) finished.emplace(*sink.error());
    }
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (corrected && !corrected->ok()) {
    raise_with_text(PyExc_ValueError, corrected->error().to_string());
    return nullptr;
  }
  if (finished && !finished->ok()) {
    raise_with_text(PyExc_ValueError, to_string(finished->error()));
    return nullptr;
  }
  return out.release();
}

// options_fields(options, options_type, /) -> (method, scale, cutoff, coder, quant_multiplier)
// The texts and values an instance of vantrel.CompressionOptions (`options_type`) was built
// with; coder is None for the automatic choice, quant_multiplier None when unset.
PyObject* options_fields_py(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyType_Check(args[1])) {
    PyErr_SetString(PyExc_TypeError, "options_fields() takes an options object and its class");
    return nullptr;
  }
  VtrlCompressionOptions options;
  if (!options_of_type(args[0], reinterpret_cast<PyTypeObject*>(args[1]), &options)) return nullptr;
  const std::string_view method = wavelet_method_infos()[options.method].name;
  const std::string_view cutoff = kCutoffNames[options.cutoff];
  PyRef coder(options.coder == kCoderAuto ? Py_NewRef(Py_None)
                                          : text(entropy_coder_infos()[options.coder].name));
  PyRef multiplier(options.quant_multiplier ? PyFloat_FromDouble(*options.quant_multiplier)
                                            : Py_NewRef(Py_None));
  if (!coder || !multiplier) return nullptr;
  return Py_BuildValue("(s#is#OO)", method.data(), static_cast<Py_ssize_t>(method.size()),
                       int{options.scale}, cutoff.data(), static_cast<Py_ssize_t>(cutoff.size()),
                       coder.get(), multiplier.get());
}

// unpack_header(data, /) -> (magic, (major, minor), method_tag, wavelet_code, levels, scale, coder,
//                           sample_count, signal_min, signal_max, norm_mean, payload_len,
//                           quant_multiplier, reserved)
// Every field of the first 52 bytes as stored, nothing checked; `reserved` is byte 15 followed by
// bytes 40..51.
PyObject* unpack_header_py(PyObject*, PyObject* data) {
  BufferView in;
  if (PyObject_GetBuffer(data, &in.view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
  in.held = true;
  if (in.view.len < static_cast<Py_ssize_t>(kHeaderSize)) {
    PyErr_Format(PyExc_ValueError, "a container header takes %d bytes, not %zd",
                 static_cast<int>(kHeaderSize), in.view.len);
    return nullptr;
  }
  const auto h = VantrelHeader::unpack(
      std::span<const uint8_t, kHeaderSize>(static_cast<const uint8_t*>(in.view.buf), kHeaderSize));
  uint8_t reserved[13];
  reserved[0] = h.reserved0;
  std::memcpy(reserved + 1, h.reserved1.data(), h.reserved1.size());
  std::memcpy(reserved + 1 + h.reserved1.size(), h.reserved2.data(), h.reserved2.size());
  const auto bytes = [](const auto& a) { return reinterpret_cast<const char*>(a.data()); };
  return Py_BuildValue("(y#(ii)y#y#iiiIdddIdy#)", bytes(h.magic), Py_ssize_t{4}, h.version[0],
                       h.version[1], bytes(h.method_tag), Py_ssize_t{2}, bytes(h.wavelet_code),
                       Py_ssize_t{4}, h.levels, h.scale, h.coder, h.sample_count,
                       double{h.signal_min}, double{h.signal_max}, double{h.norm_mean},
                       h.payload_len, double{h.quant_multiplier},
                       reinterpret_cast<const char*>(reserved), Py_ssize_t{13});
}

// pack_header(magic, version, method_tag, wavelet_code, levels, scale, coder, sample_count,
//             signal_min, signal_max, norm_mean, payload_len, quant_multiplier, reserved, /)
// The 52 bytes of the fields as unpack_header gives them, written as they are (floats through
// binary32).
PyObject* pack_header_py(PyObject*, PyObject* args) {
  Py_buffer magic{}, tag{}, code{}, reserved{};
  int major = 0, minor = 0;
  unsigned char levels = 0, scale = 0, coder = 0;
  long long sample_count = 0, payload_len = 0;
  double lo = 0, hi = 0, mean = 0, multiplier = 0;
  if (!PyArg_ParseTuple(args, "y*(ii)y*y*bbbLdddLdy*:pack_header", &magic, &major, &minor, &tag,
                        &code, &levels, &scale, &coder, &sample_count, &lo, &hi, &mean,
                        &payload_len, &multiplier, &reserved))
    return nullptr;
  const BufferView views[] = {{magic, true}, {tag, true}, {code, true}, {reserved, true}};
  const Py_ssize_t sizes[] = {4, 2, 4, 13};
  for (size_t i = 0; i < std::size(sizes); ++i) {
    if (views[i].view.len != sizes[i]) {
      PyErr_Format(PyExc_ValueError, "header field %zu holds %zd bytes, not %zd", i, sizes[i],
                   views[i].view.len);
      return nullptr;
    }
  }
  if (major < 0 || major > 255 || minor < 0 || minor > 255) {
    PyErr_SetString(PyExc_OverflowError, "version numbers are bytes");
    return nullptr;
  }
  if (sample_count < 0 || sample_count > UINT32_MAX || payload_len < 0 ||
      payload_len > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "sample_count and payload_len are 32-bit counts");
    return nullptr;
  }
  VantrelHeader h{};
  const auto* r = static_cast<const uint8_t*>(reserved.buf);
  std::memcpy(h.magic.data(), magic.buf, 4);
  h.version = {static_cast<uint8_t>(major), static_cast<uint8_t>(minor)};
  std::memcpy(h.method_tag.data(), tag.buf, 2);
  std::memcpy(h.wavelet_code.data(), code.buf, 4);
  h.levels = levels;
  h.scale = scale;
  h.coder = coder;
  h.reserved0 = r[0];
  std::memcpy(h.reserved1.data(), r + 1, h.reserved1.size());
  std::memcpy(h.reserved2.data(), r + 1 + h.reserved1.size(), h.reserved2.size());
  h.sample_count = static_cast<uint32_t>(sample_count);
  h.signal_min = narrow_to_float(lo);
  h.signal_max = narrow_to_float(hi);
  h.norm_mean = narrow_to_float(mean);
  h.payload_len = static_cast<uint32_t>(payload_len);
  h.quant_multiplier = narrow_to_float(multiplier);
  const auto out = h.to_bytes();
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), kHeaderSize);
}

// decompress(container, /) -> bytearray of native float32 samples
PyObject* decompress_py(PyObject*, PyObject* container) {
  BufferView in;
  if (PyObject_GetBuffer(container, &in.view, PyBUF_C_CONTIGUOUS) < 0) return nullptr;
  in.held = true;
  std::optional<Result<std::vector<float>, VantrelError>> decoded;
  try {
    // Bytes cannot change under the decoder; any other buffer is copied first.
    std::vector<uint8_t> copy;
    std::span<const uint8_t> bytes(static_cast<const uint8_t*>(in.view.buf),
                                   static_cast<size_t>(in.view.len));
    if (!PyBytes_Check(container)) {
      copy.assign(bytes.begin(), bytes.end());
      bytes = copy;
    }
    if (!without_interpreter([&] { decoded.emplace(decompress(bytes)); })) return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!decoded->ok()) {
    raise_with_text(PyExc_ValueError, decoded->error().to_string());
    return nullptr;
  }
  const std::vector<float>& samples = **decoded;
  return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(samples.data()),
                                       static_cast<Py_ssize_t>(samples.size() * sizeof(float)));
}

PyMethodDef kFunctions[] = {
    {"compress", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&compress_py)),
     METH_VARARGS | METH_KEYWORDS,
     "compress(samples, method, scale, cutoff, coder, quant_multiplier, /, threads=1)\n--\n\n"
     "A container of a 1-D float32/float64 buffer, coded without holding the interpreter. The\n"
     "options are those of vantrel.CompressionOptions, with its texts when refused. The coder\n"
     "may use up to `threads` threads on a long signal; the container is the same for any count."},
    {"check_options", &check_options_py, METH_VARARGS,
     "check_options(method, scale, cutoff, coder, quant_multiplier, /)\n--\n\n"
     "Refuses, with the codec's text, options that no signal could be compressed with."},
    {"compress_to", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&compress_to_py)),
     METH_VARARGS | METH_KEYWORDS,
     "compress_to(samples, metric, value, method, /, *, reference=None, grid=None,\n"
     "            refine=False, corrected=False)\n--\n\n"
     "The smallest container found whose decoded samples meet a quality target (a metric of\n"
     "quality_metrics()), coded without holding the interpreter; method None lets the\n"
     "search choose. The target is measured against `reference` (float64, as long as the\n"
     "samples; float64 samples by default, else the samples), skipping NaN and infinite values\n"
     "(gaps), on the values a reader of `grid` (step, origin, min_code, max_code) gets back when\n"
     "given. Returns (container, the distortion by metric code, multiplier, method, trials,\n"
     "encodes); with refine=True a max_error target may be met by the container as a base\n"
     "plus a refinement, whichever is smaller, and three more items follow: the refinement\n"
     "section's body (None without one), the distortion of the base alone, and the\n"
     "corrected samples as correct() returns them (with corrected=True and a refinement\n"
     "on a grid; else None)."},
    {"correct", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&correct_py)),
     METH_FASTCALL,
     "correct(samples, body, /)\n--\n\n"
     "The samples a reader returns, as a bytearray of native float64: the decoded base\n"
     "`samples` (1-D float32) corrected by the body of a refinement section written for them.\n"
     "A body that is damaged or belongs to other samples raises ValueError."},
    {"finish", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&finish_py)),
     METH_FASTCALL,
     "finish(samples, grid, sample_type, refinement, /)\n--\n\n"
     "The samples a reader returns, as a bytearray of `sample_type` (a NumPy type name) in\n"
     "native byte order: `samples` (1-D float32, or float64 values already corrected),\n"
     "corrected by the body of a refinement section (`refinement`, or None), rounded to `grid`\n"
     "(None or (step, origin, min_code, max_code)) and to the type, clamped to its range. A\n"
     "body that is damaged or belongs to other samples, and an integer sample that is NaN,\n"
     "raise ValueError."},
    {"options_fields",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&options_fields_py)), METH_FASTCALL,
     "options_fields(options, options_type, /)\n--\n\n"
     "(method, scale, cutoff, coder, quant_multiplier) of a vantrel.CompressionOptions; coder and\n"
     "quant_multiplier are None when not set."},
    {"decompress", &decompress_py, METH_O,
     "decompress(container, /)\n--\n\n"
     "The samples of a container as a bytearray of native float32, decoded without holding the\n"
     "interpreter."},
    {"unpack_header", &unpack_header_py, METH_O,
     "unpack_header(data, /)\n--\n\n"
     "Every field of a container header (the first 52 bytes of `data`), unchecked."},
    {"pack_header", &pack_header_py, METH_VARARGS,
     "pack_header(magic, version, method_tag, wavelet_code, levels, scale, coder,\n"
     "            sample_count, signal_min, signal_max, norm_mean, payload_len,\n"
     "            quant_multiplier, reserved, /)\n--\n\n"
     "The 52 header bytes of these fields, written as they are."},
    {"quality_metrics", &quality_metrics_py, METH_NOARGS,
     "quality_metrics()\n--\n\nThe quality metrics as (name, code, higher_is_better, metavar,\n"
     "help), by code."},
    {"wavelet_methods", &wavelet_methods_py, METH_NOARGS,
     "wavelet_methods()\n--\n\nThe wavelet methods as (name, code, container tag), by code."},
    {"entropy_coders", &entropy_coders_py, METH_NOARGS,
     "entropy_coders()\n--\n\nThe entropy coders as (name, code), by code."},
    {"cutoff_levels", &cutoff_levels_py, METH_NOARGS,
     "cutoff_levels()\n--\n\nThe dead-zone level names, by code."},
    {"header_size", &header_size_py, METH_NOARGS,
     "header_size()\n--\n\nThe bytes of a container header, which the payload follows."},
    {"scale_range", &scale_range_py, METH_NOARGS,
     "scale_range()\n--\n\nThe smallest and largest quantisation scale, (low, high)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
#if defined(Py_mod_gil)
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vantrel_tools._native",
    .m_doc = "The vantrel codec's methods, coders and option ranges.",
    .m_size = 0,
    .m_methods = kFunctions,
    .m_slots = kSlots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace vantrel

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vantrel::kModule); }
