#include "python/module/signal.h"

#include <numpy/arrayobject.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "codec/vantrel.h"
#include "python/module/options.h"

namespace vantrel {
namespace {

// --- NumPy's C-API table ----------------------------------------------------------------------

std::atomic<bool> numpy_api_ready{false};
std::mutex numpy_api_mutex;

// Fills NumPy's C-API table on first use. NumPy's loader writes the table without
// synchronisation, so it runs under a mutex; later calls only read it after seeing
// `numpy_api_ready`. The mutex is taken with the interpreter released: importing NumPy runs
// Python code, and the thread doing it may need the interpreter back before it finishes.
bool ensure_numpy_api() {
  if (numpy_api_ready.load(std::memory_order_acquire)) return true;
  PyThreadState* state = PyEval_SaveThread();
  numpy_api_mutex.lock();
  PyEval_RestoreThread(state);
  std::lock_guard<std::mutex> lock(numpy_api_mutex, std::adopt_lock);
  if (numpy_api_ready.load(std::memory_order_relaxed)) return true;
  if (_import_array() < 0) return false;
  numpy_api_ready.store(true, std::memory_order_release);
  return true;
}

// --- Argument binding ---------------------------------------------------------------------------

struct Parameters {
  const char* format;  // PyArg format with the function name after ':'
  const char* const* names;
  Py_ssize_t count;
  Py_ssize_t required;
};

constexpr const char* kCompressNames[] = {"data", "options", nullptr};
constexpr Parameters kCompressParameters = {"O|O:compress_signal", kCompressNames, 2, 1};
constexpr const char* kDecompressNames[] = {"data", nullptr};
constexpr Parameters kDecompressParameters = {"O:decompress_signal", kDecompressNames, 1, 1};

// Lets CPython's own parser word the TypeError for arguments that `bind_arguments` refused, so
// the message reads as for any built-in function of the running interpreter.
void raise_binding_error(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  PyRef positional(PyTuple_New(nargs));
  if (!positional) return;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
  }
  PyRef keywords;
  if (kwnames != nullptr) {
    keywords = PyRef(PyDict_New());
    if (!keywords) return;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      // PyTuple_GET_ITEM returns a borrowed reference.
      if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
        return;
      }
    }
  }
  PyObject* unused[2] = {};  // borrowed if the parser ever fills them
  if (PyArg_ParseTupleAndKeywords(positional.get(), keywords.get(), params.format,
                                  const_cast<char**>(params.names), &unused[0], &unused[1])) {
    PyErr_SetString(PyExc_TypeError, "invalid arguments");
  }
}

// Binds fastcall arguments to the parameters by position or keyword. `bound` receives borrowed
// references (nullptr for an omitted optional parameter). False with TypeError set on failure.
bool bind_arguments(const Parameters& params, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound) {
  bool ok = nargs <= params.count;
  for (Py_ssize_t i = 0; ok && i < nargs; ++i) bound[i] = args[i];
  const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; ok && k < nkw; ++k) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, k);  // borrowed
    Py_ssize_t slot = 0;
    while (slot < params.count && PyUnicode_CompareWithASCIIString(name, params.names[slot]) != 0) {
      ++slot;
    }
    ok = slot < params.count && bound[slot] == nullptr;
    if (ok) bound[slot] = args[nargs + k];
  }
  for (Py_ssize_t i = 0; ok && i < params.required; ++i) ok = bound[i] != nullptr;
  if (!ok) raise_binding_error(params, args, nargs, kwnames);
  return ok;
}

// --- Conversions --------------------------------------------------------------------------------

void raise_codec_error(const VantrelError& error) {
  raise_with_text(PyExc_ValueError, error.to_string());
}

enum class SampleType { Float32, Float64, Unsupported };

// Whether `descr` is equivalent to the native byte order descriptor of `type_num`; a
// byte-swapped array is not.
bool has_native_type(PyArray_Descr* descr, int type_num) {
  // The descriptors of built-in types always exist.
  PyRef native(reinterpret_cast<PyObject*>(PyArray_DescrFromType(type_num)));
  return PyArray_EquivTypes(descr, reinterpret_cast<PyArray_Descr*>(native.get()));
}

SampleType classify(PyObject* data) {
  if (!PyArray_Check(data)) return SampleType::Unsupported;
  auto* array = reinterpret_cast<PyArrayObject*>(data);
  if (PyArray_NDIM(array) != 1) return SampleType::Unsupported;
  PyArray_Descr* descr = PyArray_DESCR(array);  // borrowed from the array
  if (has_native_type(descr, NPY_FLOAT32)) return SampleType::Float32;
  if (has_native_type(descr, NPY_FLOAT64)) return SampleType::Float64;
  return SampleType::Unsupported;
}

// The float32 samples the codec reads: the array's own memory, or a converted copy.
struct SignalSamples {
  std::span<const float> view;
  std::vector<float> converted;
};

// False with an exception set when `data` is not a usable signal.
bool read_signal(PyObject* data, SignalSamples& samples) {
  const SampleType type = classify(data);
  if (type == SampleType::Unsupported) {
    PyErr_SetString(PyExc_ValueError, "expected a 1-D float32 or float64 NumPy array");
    return false;
  }
  auto* array = reinterpret_cast<PyArrayObject*>(data);
  const npy_intp count = PyArray_SIZE(array);
  // An empty array goes to the codec whatever its layout, so the codec's refusal is what the
  // caller sees.
  if (count == 0) return true;
  const bool aligned = PyArray_CHKFLAGS(array, NPY_ARRAY_ALIGNED);
  const bool contiguous = PyArray_CHKFLAGS(array, NPY_ARRAY_C_CONTIGUOUS) ||
                          PyArray_CHKFLAGS(array, NPY_ARRAY_F_CONTIGUOUS);
  if (!aligned || !contiguous) {
    PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
    return false;
  }
  const auto n = static_cast<size_t>(count);
  if (type == SampleType::Float32) {
    samples.view = std::span<const float>(static_cast<const float*>(PyArray_DATA(array)), n);
  } else {
    if (!narrow_samples(std::span<const double>(static_cast<const double*>(PyArray_DATA(array)), n),
                        samples.converted)) {
      return false;
    }
    samples.view = samples.converted;
  }
  return true;
}

constexpr char kSamplesCapsule[] = "vantrel.samples";

void free_samples(PyObject* capsule) {
  delete static_cast<std::vector<float>*>(PyCapsule_GetPointer(capsule, kSamplesCapsule));
}

// Hands the decoded buffer to a new 1-D float32 array without copying it. A capsule owns the
// buffer and is the array's base, so the buffer lives exactly as long as the array needs it.
PyObject* wrap_samples(std::vector<float> samples) {
  // An empty vector may have no buffer at all, and NumPy would then allocate its own.
  if (samples.empty()) samples.reserve(1);
  auto* owned = new (std::nothrow) std::vector<float>(std::move(samples));
  if (owned == nullptr) return PyErr_NoMemory();
  PyRef holder(PyCapsule_New(owned, kSamplesCapsule, &free_samples));
  if (!holder) {
    delete owned;
    return nullptr;
  }
  PyArray_Descr* descr = PyArray_DescrFromType(NPY_FLOAT32);  // stolen by PyArray_NewFromDescr
  if (descr == nullptr) return nullptr;
  npy_intp dims[1] = {static_cast<npy_intp>(owned->size())};
  npy_intp strides[1] = {static_cast<npy_intp>(sizeof(float))};
  PyRef array(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, owned->data(),
                                   NPY_ARRAY_WRITEABLE, nullptr));
  if (!array) return nullptr;
  // PyArray_SetBaseObject takes over the holder's reference, on failure too.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), holder.release()) < 0) {
    return nullptr;
  }
  return array.release();
}

}  // namespace

PyObject* compress_signal(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  PyObject* bound[2] = {};  // borrowed from the caller's arguments
  if (!bind_arguments(kCompressParameters, args, nargs, kwnames, bound)) return nullptr;
  VtrlCompressionOptions options;
  if (!options_from_python(bound[1], &options)) return nullptr;
  if (!ensure_numpy_api()) return nullptr;
  try {
    SignalSamples samples;
    if (!read_signal(bound[0], samples)) return nullptr;
    auto packed = compress(samples.view, options);
    if (!packed.ok()) {
      raise_codec_error(packed.error());
      return nullptr;
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(packed->data()),
                                     static_cast<Py_ssize_t>(packed->size()));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* decompress_signal(PyObject* /*self*/, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  PyObject* bound[1] = {};  // borrowed from the caller's arguments
  if (!bind_arguments(kDecompressParameters, args, nargs, kwnames, bound)) return nullptr;
  PyObject* data = bound[0];  // borrowed
  if (!PyBytes_Check(data)) {
    raise_not_an_instance(data, "bytes", "data");
    return nullptr;
  }
  if (!ensure_numpy_api()) return nullptr;
  const char* bytes = PyBytes_AsString(data);
  const Py_ssize_t size = PyBytes_Size(data);
  if (bytes == nullptr || size < 0) return nullptr;
  try {
    auto decoded = decompress(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes),
                                                       static_cast<size_t>(size)));
    if (!decoded.ok()) {
      raise_codec_error(decoded.error());
      return nullptr;
    }
    return wrap_samples(std::move(decoded).value());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace vantrel
