// The pointer methods beyond move_mouse and the clicks, and the record type
// that outputs() returns. lib.cpp puts KESTRIN_POINTER_METHODS into the
// class's method table.
#pragma once

#include "py_support.hpp"

#include "method_tables.hpp"

namespace kestrin::py {

PyObject* outputs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* move_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* button_down(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* button_up(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* drag(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* scroll(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* scroll_smooth(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Adds the type kestrin.Output to the module (not to __all__). False with
// an exception set.
bool add_output_type(PyObject* module);


}  // namespace kestrin::py

#define KESTRIN_POINTER_METHODS                                                                              \
  {"outputs", as_cfunction<outputs>(), METH_FASTCALL | METH_KEYWORDS, outputs_doc},                          \
      {"move_to", as_cfunction<move_to>(), METH_FASTCALL | METH_KEYWORDS, move_to_doc},                      \
      {"button_down", as_cfunction<button_down>(), METH_FASTCALL | METH_KEYWORDS, button_down_doc},          \
      {"button_up", as_cfunction<button_up>(), METH_FASTCALL | METH_KEYWORDS, button_up_doc},                \
      {"drag", as_cfunction<drag>(), METH_FASTCALL | METH_KEYWORDS, drag_doc},                               \
      {"scroll", as_cfunction<scroll>(), METH_FASTCALL | METH_KEYWORDS, scroll_doc},                         \
      {"scroll_smooth", as_cfunction<scroll_smooth>(), METH_FASTCALL | METH_KEYWORDS, scroll_smooth_doc},
