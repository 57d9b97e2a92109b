// The Python module `kestrin`: its entry point, the class `Kestrin` with its
// constructor, and the five methods.

#include "py_support.hpp"

#include <cstdint>
#include <new>
#include <utility>

#include "arguments.hpp"
#include "call_protocol.hpp"
#include "capture_object.hpp"
#include "errors.hpp"
#include "kestrin_lib/helper.hpp"
#include "kestrin_lib/mod.hpp"
#include "kestrin_lib/wayland.hpp"
#include "keyboard_methods.hpp"
#include "kestrin_object.hpp"
#include "logging_bridge.hpp"
#include "module_support.hpp"
#include "method_tables.hpp"
#include "numpy_bridge.hpp"
#include "pointer_methods.hpp"

namespace kestrin::py {
namespace {

// --- Construction and destruction --------------------------------------------

constexpr Parameter new_parameters[] = {{"wayland_display", Kind::optional_text}};
constexpr Signature new_signature{"Kestrin.__new__()", new_parameters, 0};

// Puts a connected session into a new object of `type`; the session is torn
// down (by going out of scope) when the allocation fails.
PyObject* wrap_session(PyTypeObject* type, kestrin::Kestrin session) {
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  reinterpret_cast<KestrinObject*>(self)->hold(std::move(session));
  return self;
}

PyObject* kestrin_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(
      [&]() -> PyObject* {
        Bound bound;
        if (!bind(new_signature, args, kwargs, bound)) return nullptr;
        Values values;
        if (!convert(new_signature, bound, values)) return nullptr;

        Result<kestrin::Kestrin> connected = kestrin::connect(values[0].optional_text());
        if (!connected) {
          raise_error(connected.error());
          return nullptr;
        }
        if (Status named = kestrin::wait_for_output_names(*connected); !named) {
          {
            // Tear the half-built session down before the error reaches Python.
            kestrin::Kestrin dropped = std::move(*connected);
          }
          raise_error(named.error());
          return nullptr;
        }
        return wrap_session(type, std::move(*connected));
      },
      nullptr);
}

void kestrin_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<KestrinObject*>(self)->drop();
  type->tp_free(self);
  // Every instance of a heap type holds a reference to it.
  Py_DECREF(type);
}

// --- Methods -------------------------------------------------------------------

// The five methods keep the interpreter lock while they wait; the methods
// added since let other threads run (see Waits).
template <class Action, class ToPython = ReturnNone>
PyObject* call_holding_lock(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            const Signature& signature, Action action, ToPython to_python = {}) noexcept {
  return call_method<KestrinObject, Waits::hold_the_lock>(self, args, nargs, kwnames, signature, action, to_python);
}

PyObject* move_mouse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_holding_lock(self, args, nargs, kwnames, move_mouse_signature,
                           [](kestrin::Kestrin& session, const Values& v) {
                             return session.move_mouse(uint_value(v[2], v[4]), uint_value(v[3], v[5]), v[0].number,
                                                       v[1].number);
                           });
}

PyObject* left_click(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_holding_lock(self, args, nargs, kwnames, left_click_signature,
                           [](kestrin::Kestrin& session, const Values& v) {
                             return session.left_click(uint_value(v[0], v[1]));
                           });
}

PyObject* right_click(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_holding_lock(self, args, nargs, kwnames, right_click_signature,
                           [](kestrin::Kestrin& session, const Values& v) {
                             return session.right_click(uint_value(v[0], v[1]));
                           });
}

PyObject* key_press(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_holding_lock(self, args, nargs, kwnames, key_press_signature,
                           [](kestrin::Kestrin& session, const Values& v) {
                             return session.key_press(v[0].number, uint_value(v[1], v[2]));
                           });
}

PyObject* screenshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_holding_lock(
      self, args, nargs, kwnames, screenshot_signature,
      [](kestrin::Kestrin& session, const Values& v) {
        return kestrin::screenshot(*session.app_data, session.queue_handle, session.event_queue,
                                   v[0].optional_text());
      },
      [](PixelArray pixels) { return pixels_to_ndarray(std::move(pixels)); });
}

PyMethodDef methods[] = {
    {"move_mouse", as_cfunction<move_mouse>(), METH_FASTCALL | METH_KEYWORDS, move_mouse_doc},
    {"left_click", as_cfunction<left_click>(), METH_FASTCALL | METH_KEYWORDS, left_click_doc},
    {"right_click", as_cfunction<right_click>(), METH_FASTCALL | METH_KEYWORDS, right_click_doc},
    {"key_press", as_cfunction<key_press>(), METH_FASTCALL | METH_KEYWORDS, key_press_doc},
    {"screenshot", as_cfunction<screenshot>(), METH_FASTCALL | METH_KEYWORDS, screenshot_doc},
    KESTRIN_POINTER_METHODS
    KESTRIN_KEYBOARD_METHODS
    KESTRIN_CAPTURE_METHODS
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kestrin_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(kestrin_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kestrin_dealloc)},
    {Py_tp_methods, methods},
    // A text signature with an empty body: __doc__ is "" and inspect sees
    // (wayland_display=None).
    {Py_tp_doc, const_cast<char*>("Kestrin(wayland_display=None)\n--\n\n")},
    {0, nullptr},
};

// "builtins." keeps __module__ at "builtins"; default flags leave the class
// final, without __dict__, weak references or garbage-collector support.
PyType_Spec kestrin_type_description = {
    "builtins.Kestrin", static_cast<int>(sizeof(KestrinObject)), 0, Py_TPFLAGS_DEFAULT, kestrin_slots,
};

// Created once, kept for the process.
PyObject* kestrin_type_object = nullptr;

// --- The module ------------------------------------------------------------------

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kestrin",
    "Drive a Wayland desktop from Python: move and click the pointer, press keys, capture monitors.",
    0,        // no per-module state
    nullptr,  // no module-level functions
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

ModuleHome home;

bool add_to_all(PyObject* module, const char* name) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref entry = Ref::steal(PyUnicode_FromString(name));
  if (!entry) return false;
  Ref appended = Ref::steal(PyObject_CallMethod(all.get(), "append", "O", entry.get()));
  return static_cast<bool>(appended);
}

bool run_body(PyObject* module) {
  if (!install_logging_bridge()) return false;
  set_interrupt_check(run_signal_handlers);
  PyTypeObject* type = kestrin_type();
  if (type == nullptr) return false;
  if (!add_to_all(module, "Kestrin")) return false;
  if (!add_output_type(module)) return false;
  if (!add_capture_type(module)) return false;
  return PyModule_AddObjectRef(module, "Kestrin", reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() { return init_module_once(home, module_definition, run_body); }

}  // namespace

PyTypeObject* kestrin_type() noexcept {
  if (kestrin_type_object == nullptr) kestrin_type_object = PyType_FromSpec(&kestrin_type_description);
  return reinterpret_cast<PyTypeObject*>(kestrin_type_object);
}

}  // namespace kestrin::py

PyMODINIT_FUNC PyInit_kestrin(void) {
  return kestrin::py::guarded([] { return kestrin::py::init_module(); }, nullptr);
}
