// The CompressionOptions class and the small pieces of Python plumbing that the module's
// functions share: an owning reference, the "while processing" note and the type-mismatch error.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/options.h"
#include "codec/vantrel.h"
#include "support/result.h"

namespace vantrel {

// Owns one strong reference; releases it when it goes out of scope.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* owned) : p_(owned) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = p_;
    p_ = other.release();
    Py_XDECREF(old);
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  PyObject* p_ = nullptr;
};

// The method or coder of an options name, nullptr when none has it.
const WaveletMethodInfo* method_named(std::string_view name);
const EntropyCoderInfo* coder_named(std::string_view name);

// Attaches the note "while processing '<parameter>'" to the exception being raised.
void add_processing_note(const char* parameter);

// Raises TypeError "'<type of obj>' object is not an instance of '<expected>'" with the
// "while processing" note naming `parameter`.
void raise_not_an_instance(PyObject* obj, const char* expected, const char* parameter);

// Raises `type` with `message` (UTF-8; may hold any character, NUL included).
void raise_with_text(PyObject* type, std::string_view message);

// Writes `text` between double quotes, escaping `"`, `\` and control characters (\0, \n, \t,
// \r, others as \u{hex}). `text` is valid UTF-8.
std::string quote_text(std::string_view text);

// Validates the converted constructor arguments in their fixed order (method, cutoff, scale,
// coder) and builds the record; the error is the ValueError message.
Result<VtrlCompressionOptions, std::string> make_options(std::string_view method, uint8_t scale,
                                                         std::string_view cutoff,
                                                         std::optional<std::string_view> coder,
                                                         std::optional<float> quant_multiplier);

// Nearest binary32 value of `value`; magnitudes beyond the binary32 range become infinities.
float narrow_to_float(double value);

// Narrows float64 samples to the float32 the codec works in. A finite sample beyond the float32
// range would become an infinity there, and sanitising would then code a different signal: it is
// refused (false with ValueError naming the sample) instead.
bool narrow_samples(std::span<const double> samples, std::vector<float>& out);

// The same check without the narrowed copy, for a caller that narrows later.
bool check_narrowable(std::span<const double> samples);

// The CompressionOptions type, created on first use and kept for the life of the process.
// Borrowed; nullptr with an exception set if it cannot be created.
PyTypeObject* compression_options_type();

// Reads the `options` argument of compress_signal: nullptr (absent) or None gives the defaults,
// a CompressionOptions (or subtype) instance gives its record. False with TypeError set otherwise.
bool options_from_python(PyObject* obj, VtrlCompressionOptions* out);

// The record of `obj`, an instance of `type`: a CompressionOptions class built from this source by
// another module (the vantrel module's class, read by the companion package). False with
// TypeError set when `obj` is no instance of it or the class has another layout.
bool options_of_type(PyObject* obj, PyTypeObject* type, VtrlCompressionOptions* out);

}  // namespace vantrel
