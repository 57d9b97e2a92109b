// The keyboard's methods of `Kestrin` beyond key_press: held keys,
// shortcuts and text.
#pragma once

#include "py_support.hpp"

#include "method_tables.hpp"

namespace kestrin::py {

PyObject* key_down(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* key_up(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* press_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* type_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace kestrin::py

// Their entries in the type's method table; lib.cpp puts them there, where
// as_cfunction is.
#define KESTRIN_KEYBOARD_METHODS                                                                     \
  {"key_down", as_cfunction<key_down>(), METH_FASTCALL | METH_KEYWORDS, key_down_doc},               \
      {"key_up", as_cfunction<key_up>(), METH_FASTCALL | METH_KEYWORDS, key_up_doc},                 \
      {"press_keys", as_cfunction<press_keys>(), METH_FASTCALL | METH_KEYWORDS, press_keys_doc},     \
      {"type_text", as_cfunction<type_text>(), METH_FASTCALL | METH_KEYWORDS, type_text_doc},
