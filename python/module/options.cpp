#include "python/module/options.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>
#include <type_traits>

#include "codec/vantrel.h"

namespace vantrel {
namespace {

// The instance layout: the object header followed by the record. The record is trivially
// destructible, so freeing the object releases everything it holds.
struct OptionsObject {
  PyObject ob_base;  // what PyObject_HEAD declares
  VtrlCompressionOptions options;
};
static_assert(std::is_trivially_destructible_v<VtrlCompressionOptions>);

constexpr char kOverflowText[] = "out of range integral type conversion attempted";

constexpr VtrlCompressionOptions kDefaults{};

// The coder option's name for kCoderAuto; the coders' own names are in their table.
constexpr std::string_view kAutoCoderName = "auto";

std::string_view default_method_name() { return wavelet_method_infos()[kDefaults.method].name; }

std::optional<uint8_t> find_cutoff(std::string_view name) {
  for (size_t i = 0; i < std::size(kCutoffNames); ++i) {
    if (kCutoffNames[i] == name) return static_cast<uint8_t>(i);
  }
  return std::nullopt;
}

// Appends `separator` (unless `out` is empty) and `name` in single quotes.
void append_choice(std::string& out, std::string_view separator, std::string_view name) {
  if (!out.empty()) out += separator;
  out += '\'';
  out += name;
  out += '\'';
}

// The choices a rejection message lists: the default method first, then the others by code.
std::string method_choices() {
  std::string out;
  append_choice(out, " or ", default_method_name());
  for (const WaveletMethodInfo& entry : wavelet_method_infos()) {
    if (entry.code != kDefaults.method) append_choice(out, " or ", entry.name);
  }
  return out;
}

std::string cutoff_choices() {
  std::string out;
  for (const std::string_view name : kCutoffNames) append_choice(out, " or ", name);
  return out;
}

std::string coder_choices() {
  std::string out;
  append_choice(out, ", ", kAutoCoderName);
  for (const EntropyCoderInfo& entry : entropy_coder_infos()) {
    if (entry.listed) append_choice(out, ", ", entry.name);
  }
  return out;
}

// Reads a `str` argument as UTF-8; the view lives as long as the string object.
std::optional<std::string_view> text_argument(PyObject* obj, const char* parameter) {
  if (!PyUnicode_Check(obj)) {
    raise_not_an_instance(obj, "str", parameter);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) {
    add_processing_note(parameter);
    return std::nullopt;
  }
  return std::string_view(utf8, static_cast<size_t>(size));
}

std::optional<uint8_t> scale_argument(PyObject* obj) {
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) {
    add_processing_note("scale");
    return std::nullopt;
  }
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, kOverflowText);
    add_processing_note("scale");
    return std::nullopt;
  }
  return static_cast<uint8_t>(value);
}

// Holds the converted quant_multiplier: `ok` is false when conversion raised.
struct MultiplierArgument {
  bool ok;
  std::optional<float> value;
};

MultiplierArgument multiplier_argument(PyObject* obj) {
  if (obj == Py_None) return {true, std::nullopt};
  double value;
  if (PyFloat_CheckExact(obj)) {
    value = PyFloat_AS_DOUBLE(obj);
  } else {
    value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) {
      add_processing_note("quant_multiplier");
      return {false, std::nullopt};
    }
  }
  return {true, narrow_to_float(value)};
}

PyObject* options_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* const kKeywords[] = {"method",           "scale", "cutoff", "coder",
                                          "quant_multiplier", nullptr};
  // All borrowed from `args` / `kwargs`, which the caller keeps alive for the call.
  PyObject* method_obj = nullptr;
  PyObject* scale_obj = nullptr;
  PyObject* cutoff_obj = nullptr;
  PyObject* coder_obj = nullptr;
  PyObject* multiplier_obj = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOO:CompressionOptions.__new__",
                                   const_cast<char**>(kKeywords), &method_obj, &scale_obj,
                                   &cutoff_obj, &coder_obj, &multiplier_obj)) {
    return nullptr;
  }

  std::string_view method = default_method_name();
  if (method_obj != nullptr) {
    const auto text = text_argument(method_obj, "method");
    if (!text) return nullptr;
    method = *text;
  }
  uint8_t scale = kDefaults.scale;
  if (scale_obj != nullptr) {
    const auto value = scale_argument(scale_obj);
    if (!value) return nullptr;
    scale = *value;
  }
  std::string_view cutoff = kCutoffNames[kDefaults.cutoff];
  if (cutoff_obj != nullptr) {
    const auto text = text_argument(cutoff_obj, "cutoff");
    if (!text) return nullptr;
    cutoff = *text;
  }
  std::optional<std::string_view> coder;
  if (coder_obj != nullptr && coder_obj != Py_None) {
    coder = text_argument(coder_obj, "coder");
    if (!coder) return nullptr;
  }
  const MultiplierArgument multiplier = multiplier_argument(multiplier_obj);
  if (!multiplier.ok) return nullptr;

  auto record = make_options(method, scale, cutoff, coder, multiplier.value);
  if (!record.ok()) {
    raise_with_text(PyExc_ValueError, record.error());
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);  // new reference, handed to the caller
  if (self == nullptr) return nullptr;
  new (&reinterpret_cast<OptionsObject*>(self)->options) VtrlCompressionOptions(*record);
  return self;
}

void options_dealloc(PyObject* self) {
  // Instances of a heap type hold a reference to their type.
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

// CPython derives __text_signature__ from the part before "--"; the docstring proper is empty.
constexpr char kOptionsDoc[] =
    "CompressionOptions(method=\"cdf97\", scale=11, cutoff=\"low\", coder=None, "
    "quant_multiplier=None)\n--\n\n";

PyType_Slot kOptionsSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&options_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&options_dealloc)},
    {Py_tp_doc, const_cast<char*>(kOptionsDoc)},
    {0, nullptr},
};

constexpr char kOptionsName[] = "CompressionOptions";

PyType_Spec kOptionsType = {
    "builtins.CompressionOptions",
    static_cast<int>(sizeof(OptionsObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE,
    kOptionsSlots,
};

std::atomic<PyTypeObject*> options_type{nullptr};

}  // namespace

void add_processing_note(const char* parameter) {
  // `exc` owns the exception until it is raised again below, which takes the reference.
#if PY_VERSION_HEX >= 0x030C0000
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return;
#else
  PyObject* type = nullptr;
  PyObject* exc = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &exc, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &exc, &traceback);
  if (traceback != nullptr) PyException_SetTraceback(exc, traceback);
  Py_XDECREF(traceback);
  Py_DECREF(type);
#endif
  PyRef note(PyUnicode_FromFormat("while processing '%s'", parameter));
  PyRef added(note ? PyObject_CallMethod(exc, "add_note", "O", note.get()) : nullptr);
  // A failure to attach the note must not replace the exception it was meant for.
  if (!added) PyErr_Clear();
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc))), exc,
                PyException_GetTraceback(exc));
#endif
}

void raise_not_an_instance(PyObject* obj, const char* expected, const char* parameter) {
  PyRef name(PyType_GetName(Py_TYPE(obj)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
  add_processing_note(parameter);
}

void raise_with_text(PyObject* type, std::string_view message) {
  PyRef text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;
  PyErr_SetObject(type, text.get());
}

std::string quote_text(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    unsigned code_point;
    if (byte < 0x20 || byte == 0x7F) {
      code_point = byte;
    } else if (byte == 0xC2 && i + 1 < text.size() &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      // U+0080..U+009F (C1 controls) are the two-byte sequences C2 80..C2 9F.
      code_point = static_cast<unsigned char>(text[++i]);
    } else {
      if (byte == '"' || byte == '\\') out.push_back('\\');
      out.push_back(static_cast<char>(byte));
      continue;
    }
    switch (code_point) {
      case 0x00:
        out += "\\0";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += "\\u{";
        if (code_point >= 0x10) out.push_back(kHex[code_point >> 4]);
        out.push_back(kHex[code_point & 0xF]);
        out.push_back('}');
    }
  }
  out.push_back('"');
  return out;
}

namespace {

template <class Info>
const Info* named(std::span<const Info> infos, std::string_view name) {
  const auto it =
      std::find_if(infos.begin(), infos.end(), [&](const Info& info) { return info.name == name; });
  return it == infos.end() ? nullptr : &*it;
}

}  // namespace

const WaveletMethodInfo* method_named(std::string_view name) {
  return named(wavelet_method_infos(), name);
}

const EntropyCoderInfo* coder_named(std::string_view name) {
  return named(entropy_coder_infos(), name);
}

Result<VtrlCompressionOptions, std::string> make_options(std::string_view method, uint8_t scale,
                                                         std::string_view cutoff,
                                                         std::optional<std::string_view> coder,
                                                         std::optional<float> quant_multiplier) {
  VtrlCompressionOptions options;
  const WaveletMethodInfo* method_entry = method_named(method);
  if (method_entry == nullptr)
    return "Unknown method " + quote_text(method) + ", expected " + method_choices();
  options.method = method_entry->code;
  const auto cutoff_code = find_cutoff(cutoff);
  if (!cutoff_code)
    return "Unknown cutoff level " + quote_text(cutoff) + ", expected " + cutoff_choices();
  options.cutoff = *cutoff_code;
  if (!is_valid_scale(scale)) return VantrelError::invalid_scale(scale).to_string();
  options.scale = scale;
  options.coder = kCoderAuto;
  if (coder && *coder != kAutoCoderName) {
    const EntropyCoderInfo* coder_entry = coder_named(*coder);
    if (coder_entry == nullptr)
      return "Unknown coder " + quote_text(*coder) + ", expected " + coder_choices();
    options.coder = coder_entry->code;
  }
  options.quant_multiplier = quant_multiplier;
  return options;
}

float narrow_to_float(double value) {
  // IEEE 754 conversion rounds to nearest and overflows to infinity.
  static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);
  return static_cast<float>(value);
}

namespace {

// False with ValueError naming sample i, whose finite value leaves the float32 range.
bool refuse_outside_float(size_t i, double value) {
  char* text = PyOS_double_to_string(value, 'r', 0, 0, nullptr);
  if (text == nullptr) return false;
  PyErr_Format(PyExc_ValueError,
               "sample %zu (%s) is outside the float32 range; the codec works in 32-bit floats", i,
               text);
  PyMem_Free(text);
  return false;
}

}  // namespace

bool narrow_samples(std::span<const double> samples, std::vector<float>& out) {
  out.resize(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) {
    out[i] = narrow_to_float(samples[i]);
    if (std::isinf(out[i]) && std::isfinite(samples[i]))
      return refuse_outside_float(i, samples[i]);
  }
  return true;
}

bool check_narrowable(std::span<const double> samples) {
  for (size_t i = 0; i < samples.size(); ++i) {
    if (std::isinf(narrow_to_float(samples[i])) && std::isfinite(samples[i]))
      return refuse_outside_float(i, samples[i]);
  }
  return true;
}

PyTypeObject* compression_options_type() {
  if (PyTypeObject* type = options_type.load(std::memory_order_acquire)) return type;
  PyRef candidate(PyType_FromSpec(&kOptionsType));
  if (!candidate) return nullptr;
  auto* type = reinterpret_cast<PyTypeObject*>(candidate.get());
  // The dotted type name above makes CPython set __module__ to "builtins" (a dotless name leaves it
  // unset, which warns at creation and breaks help()); the type's own name is then the bare
  // class name, as for CPython's built-in types. tp_name is a plain pointer that CPython itself
  // repoints when a heap type is renamed.
  type->tp_name = kOptionsName;
  // Racing threads may each build a candidate; the first one stored wins and the others are
  // dropped. The stored reference is kept for the life of the process.
  PyTypeObject* expected = nullptr;
  if (options_type.compare_exchange_strong(expected, type, std::memory_order_acq_rel,
                                           std::memory_order_acquire)) {
    (void)candidate.release();
    return type;
  }
  return expected;
}

bool options_from_python(PyObject* obj, VtrlCompressionOptions* out) {
  if (obj == nullptr || obj == Py_None) {
    *out = VtrlCompressionOptions{};
    return true;
  }
  PyTypeObject* type = compression_options_type();  // borrowed
  if (type == nullptr) return false;
  return options_of_type(obj, type, out);
}

bool options_of_type(PyObject* obj, PyTypeObject* type, VtrlCompressionOptions* out) {
  if (type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(OptionsObject)) ||
      !PyObject_TypeCheck(obj, type)) {
    raise_not_an_instance(obj, "CompressionOptions", "options");
    return false;
  }
  *out = reinterpret_cast<const OptionsObject*>(obj)->options;
  return true;
}

}  // namespace vantrel
