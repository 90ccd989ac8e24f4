// The extension module `vantrel_tools._native`: the codec's registries as Python values, so the
// companion package names methods, coders and option ranges exactly as the codec does.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <iterator>
#include <string_view>

#include "codec/coders.h"
#include "codec/methods.h"
#include "codec/options.h"

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
  return tuple_of(wavelet_methods(), [](const WaveletMethodEntry& e) {
    return Py_BuildValue("(s#iy#)", e.name.data(), static_cast<Py_ssize_t>(e.name.size()),
                         int{e.code}, reinterpret_cast<const char*>(e.tag.data()),
                         static_cast<Py_ssize_t>(e.tag.size()));
  });
}

PyObject* entropy_coders_py(PyObject*, PyObject*) {
  return tuple_of(entropy_coders(), [](const EntropyCoderEntry& e) {
    return Py_BuildValue("(s#i)", e.name.data(), static_cast<Py_ssize_t>(e.name.size()),
                         int{e.code});
  });
}

PyObject* cutoff_levels_py(PyObject*, PyObject*) { return tuple_of(kCutoffNames, text); }

PyObject* scale_range_py(PyObject*, PyObject*) {
  return Py_BuildValue("(ii)", int{kMinScale}, int{kMaxScale});
}

PyMethodDef kFunctions[] = {
    {"wavelet_methods", &wavelet_methods_py, METH_NOARGS,
     "wavelet_methods()\n--\n\nThe wavelet methods as (name, code, container tag), by code."},
    {"entropy_coders", &entropy_coders_py, METH_NOARGS,
     "entropy_coders()\n--\n\nThe entropy coders as (name, code), by code."},
    {"cutoff_levels", &cutoff_levels_py, METH_NOARGS,
     "cutoff_levels()\n--\n\nThe dead-zone level names, by code."},
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
};

}  // namespace
}  // namespace vantrel

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vantrel::kModule); }
