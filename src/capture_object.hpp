// Kestrin.capture() and the type kestrin.Capture it returns. lib.cpp puts
// KESTRIN_CAPTURE_METHODS into the class's method table.
#pragma once

#include "py_support.hpp"

namespace kestrin::py {

PyObject* capture(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Adds the type kestrin.Capture to the module (not to __all__). False with
// an exception set.
bool add_capture_type(PyObject* module);

inline constexpr const char capture_doc[] =
    "capture($self, screen_name=None, region=None)\n--\n\n"
    "Opens a Capture of an output, or of its part region=(x, y, width, height) in the picture's pixels.";

}  // namespace kestrin::py

#define KESTRIN_CAPTURE_METHODS \
  {"capture", as_cfunction<capture>(), METH_FASTCALL | METH_KEYWORDS, capture_doc},
