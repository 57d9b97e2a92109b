// The pointer methods beyond move_mouse and the clicks, and the record type
// that outputs() returns. lib.cpp puts KESTRIN_POINTER_METHODS into the
// class's method table.
#pragma once

#include "py_support.hpp"

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

inline constexpr const char outputs_doc[] =
    "outputs($self, /)\n--\n\n"
    "The outputs in the order the compositor announced them, one Output each.";
inline constexpr const char move_to_doc[] =
    "move_to($self, x, y, screen_name=None)\n--\n\n"
    "Puts the pointer on pixel (x, y) of an output's picture: screenshot(screen_name)[y, x].";
inline constexpr const char button_down_doc[] =
    "button_down($self, button='left')\n--\n\n"
    "Presses a button and keeps it held.";
inline constexpr const char button_up_doc[] =
    "button_up($self, button='left')\n--\n\n"
    "Releases a button that button_down holds.";
inline constexpr const char drag_doc[] =
    "drag($self, x1, y1, x2, y2, screen_name=None, button='left', steps=10, duration_ms=0, "
    "duration_ms_max=None)\n--\n\n"
    "Presses a button on pixel (x1, y1), moves in even steps to (x2, y2) and releases it there.";
inline constexpr const char scroll_doc[] =
    "scroll($self, dy, dx=0)\n--\n\n"
    "Turns the wheel by whole steps: positive down and right.";
inline constexpr const char scroll_smooth_doc[] =
    "scroll_smooth($self, dy, dx=0)\n--\n\n"
    "Scrolls by pixels as a finger on a touchpad does: positive down and right.";

}  // namespace kestrin::py

#define KESTRIN_POINTER_METHODS                                                                              \
  {"outputs", as_cfunction<outputs>(), METH_FASTCALL | METH_KEYWORDS, outputs_doc},                          \
      {"move_to", as_cfunction<move_to>(), METH_FASTCALL | METH_KEYWORDS, move_to_doc},                      \
      {"button_down", as_cfunction<button_down>(), METH_FASTCALL | METH_KEYWORDS, button_down_doc},          \
      {"button_up", as_cfunction<button_up>(), METH_FASTCALL | METH_KEYWORDS, button_up_doc},                \
      {"drag", as_cfunction<drag>(), METH_FASTCALL | METH_KEYWORDS, drag_doc},                               \
      {"scroll", as_cfunction<scroll>(), METH_FASTCALL | METH_KEYWORDS, scroll_doc},                         \
      {"scroll_smooth", as_cfunction<scroll_smooth>(), METH_FASTCALL | METH_KEYWORDS, scroll_smooth_doc},
