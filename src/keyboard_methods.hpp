// The keyboard's methods of `Kestrin` beyond key_press: held keys,
// shortcuts and text.
#pragma once

#include "py_support.hpp"

namespace kestrin::py {

PyObject* key_down(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* key_up(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* press_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* type_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

extern const char key_down_doc[];
extern const char key_up_doc[];
extern const char press_keys_doc[];
extern const char type_text_doc[];

}  // namespace kestrin::py

// Their entries in the type's method table.
#define KESTRIN_KEYBOARD_METHOD(name)                                                                    \
  {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&kestrin::py::name)),              \
   METH_FASTCALL | METH_KEYWORDS, kestrin::py::name##_doc}
#define KESTRIN_KEYBOARD_METHODS                                                                         \
  KESTRIN_KEYBOARD_METHOD(key_down), KESTRIN_KEYBOARD_METHOD(key_up), KESTRIN_KEYBOARD_METHOD(press_keys), \
      KESTRIN_KEYBOARD_METHOD(type_text)
