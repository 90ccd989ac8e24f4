// The module's two functions. Both use the fastcall-with-keywords convention; `self` is unused.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantrel {

// compress_signal(data, options=None) -> bytes
PyObject* compress_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// decompress_signal(data) -> numpy.ndarray of float32
PyObject* decompress_signal(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);

}  // namespace vantrel
