// Kestrin.capture() and the type kestrin.Capture it returns. lib.cpp puts
// KESTRIN_CAPTURE_METHODS into the class's method table.
#pragma once

#include "py_support.hpp"

#include "method_tables.hpp"

namespace kestrin::py {

PyObject* capture(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Adds the type kestrin.Capture to the module (not to __all__). False with
// an exception set.
bool add_capture_type(PyObject* module);

}  // namespace kestrin::py

#define KESTRIN_CAPTURE_METHODS \
  {"capture", as_cfunction<capture>(), METH_FASTCALL | METH_KEYWORDS, capture_doc},
