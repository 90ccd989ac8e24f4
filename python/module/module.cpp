// The extension module `vantrel`: CompressionOptions, compress_signal and decompress_signal.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/module/options.h"
#include "python/module/signal.h"

namespace vantrel {
namespace {

constexpr char kCompressSignalDoc[] =
    "compress_signal(data, options=None)\n--\n\n"
    "Compress a 1-D float32 **or** float64 NumPy array into Vantrel `bytes`.\n\n"
    "float64 input is downcast to float32 before compression (the codec works in\n"
    "f32 internally and always reconstructs f32 on decompress).";

constexpr char kDecompressSignalDoc[] =
    "decompress_signal(data)\n--\n\n"
    "Decompress a Vantrel bytes object into a 1-D float32 NumPy array.";

// Function objects keep a pointer to their entry, so the table lives for the process.
PyMethodDef kFunctions[] = {
    {"compress_signal",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&compress_signal)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kCompressSignalDoc},
    {"decompress_signal",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&decompress_signal)),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC, kDecompressSignalDoc},
};

// Appends `name` to the module's __all__ (creating the list when missing), then sets the
// attribute, so __all__ lists the public names in the order they are added.
int add_public(PyObject* module, PyObject* name, PyObject* value) {
  PyObject* dict = PyModule_GetDict(module);              // borrowed
  PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
  PyRef created;
  if (all == nullptr) {
    created = PyRef(PyList_New(0));
    if (!created || PyDict_SetItemString(dict, "__all__", created.get()) < 0) return -1;
    all = created.get();
  }
  if (!PyList_Check(all)) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  if (PyList_Append(all, name) < 0) return -1;
  return PyObject_SetAttr(module, name, value);
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "vantrel can only be initialised on a module object");
    return -1;
  }
  PyTypeObject* options_type = compression_options_type();  // borrowed, lives for the process
  if (options_type == nullptr) return -1;
  PyRef options_name(PyUnicode_FromString("CompressionOptions"));
  if (!options_name ||
      add_public(module, options_name.get(), reinterpret_cast<PyObject*>(options_type)) < 0) {
    return -1;
  }
  PyRef module_name(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  for (PyMethodDef& def : kFunctions) {
    PyRef function(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!function) return -1;
    PyRef name(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name || add_public(module, name.get(), function.get()) < 0) return -1;
  }
  // The version is an attribute only: __all__ stays the three public names.
  return PyModule_AddStringConstant(module, "__version__", VANTREL_VERSION);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
#if defined(Py_mod_gil)
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "vantrel",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods
    kSlots,     // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
};

}  // namespace
}  // namespace vantrel

PyMODINIT_FUNC PyInit_vantrel(void) { return PyModuleDef_Init(&vantrel::kModule); }
