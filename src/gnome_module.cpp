// The Python module kestrin.gnome: the class `Kestrin` on a GNOME desktop,
// driven through Mutter's remote-desktop and screen-cast interfaces, with the
// methods, arguments and errors of kestrin.Kestrin. A module of its own so
// that `kestrin` itself never loads libsystemd or libpipewire.

#include "py_support.hpp"

#include <cstdint>
#include <new>
#include <utility>

#include "arguments.hpp"
#include "call_protocol.hpp"
#include "errors.hpp"
#include "kestrin_lib/gnome/actions.hpp"
#include "kestrin_lib/wayland.hpp"
#include "kestrin_object.hpp"
#include "logging_bridge.hpp"
#include "module_support.hpp"
#include "method_tables.hpp"
#include "numpy_bridge.hpp"
#include "output_record.hpp"

namespace kestrin::py {

using GnomeObject = SessionObject<kestrin::gnome::Desktop>;
static_assert(alignof(GnomeObject) <= alignof(std::max_align_t), "CPython's allocator cannot align the object");

PyTypeObject* gnome_type() noexcept;

template <>
PyTypeObject* type_of<GnomeObject>() noexcept {
  return gnome_type();
}

namespace {

using kestrin::gnome::Desktop;

// kestrin.Output, taken from the kestrin module at import.
PyTypeObject* output_type = nullptr;

// --- Construction and destruction --------------------------------------------

constexpr Signature new_signature{"Kestrin.__new__()", {}, 0};

PyObject* gnome_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded(
      [&]() -> PyObject* {
        Bound bound;
        if (!bind(new_signature, args, kwargs, bound)) return nullptr;
        // Opening waits on the bus and PipeWire for a while; other threads
        // run meanwhile, as in every call of this module.
        Result<Desktop> opened = [] {
          WaitsOfCall waits(Waits::let_others_run);
          return Desktop::open();
        }();
        if (!opened) {
          raise_error(opened.error());
          return nullptr;
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        reinterpret_cast<GnomeObject*>(self)->hold(std::move(*opened));
        return self;
      },
      nullptr);
}

void gnome_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<GnomeObject*>(self)->drop();
  type->tp_free(self);
  Py_DECREF(type);
}

// --- Methods -------------------------------------------------------------------

template <class Action, class ToPython = ReturnNone>
PyObject* call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, const Signature& signature,
               Action action, ToPython to_python = {}) noexcept {
  return call_method<GnomeObject>(self, args, nargs, kwnames, signature, action, to_python);
}

PyObject* move_mouse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, move_mouse_signature, [](Desktop& desktop, const Values& v) {
    return desktop.move_mouse(uint_value(v[2], v[4]), uint_value(v[3], v[5]), v[0].number, v[1].number);
  });
}

PyObject* left_click(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, left_click_signature,
              [](Desktop& desktop, const Values& v) { return desktop.left_click(uint_value(v[0], v[1])); });
}

PyObject* right_click(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, right_click_signature,
              [](Desktop& desktop, const Values& v) { return desktop.right_click(uint_value(v[0], v[1])); });
}

PyObject* key_press(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, key_press_signature, [](Desktop& desktop, const Values& v) {
    return desktop.key_press(v[0].number, uint_value(v[1], v[2]));
  });
}

PyObject* screenshot(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(
      self, args, nargs, kwnames, screenshot_signature,
      [](Desktop& desktop, const Values& v) { return desktop.screenshot(v[0].optional_text()); },
      [](PixelArray pixels) { return pixels_to_ndarray(std::move(pixels)); });
}

PyObject* outputs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(
      self, args, nargs, kwnames, outputs_signature, [](Desktop& desktop, const Values&) { return desktop.outputs(); },
      [](std::vector<OutputInfo> infos) { return output_list(output_type, infos); });
}

PyObject* move_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, move_to_signature, [](Desktop& desktop, const Values& v) {
    return desktop.move_to(v[0].number, v[1].number, v[2].optional_text());
  });
}

PyObject* button_down(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, button_down_signature,
              [](Desktop& desktop, const Values& v) { return desktop.button_down(v[0].number); });
}

PyObject* button_up(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, button_up_signature,
              [](Desktop& desktop, const Values& v) { return desktop.button_up(v[0].number); });
}

PyObject* drag(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, drag_signature, [](Desktop& desktop, const Values& v) {
    const kestrin::DragPath path{v[0].number,          v[1].number, v[2].number,
                                 v[3].number,          v[4].optional_text(), v[5].number,
                                 v[6].given ? v[6].number : default_drag_steps};
    return desktop.drag(path, uint_value(v[7], v[8]));
  });
}

PyObject* scroll(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, scroll_signature, [](Desktop& desktop, const Values& v) {
    return desktop.scroll(v[0].signed_number, v[1].signed_number);
  });
}

PyObject* scroll_smooth(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, scroll_smooth_signature, [](Desktop& desktop, const Values& v) {
    return desktop.scroll_smooth(v[0].signed_number, v[1].signed_number);
  });
}

PyObject* key_down(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, key_down_signature,
              [](Desktop& desktop, const Values& v) { return desktop.key_down(v[0].key()); });
}

PyObject* key_up(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, key_up_signature,
              [](Desktop& desktop, const Values& v) { return desktop.key_up(v[0].key()); });
}

PyObject* press_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, press_keys_signature, [](Desktop& desktop, const Values& v) {
    const auto keys = v[0].is_text ? split_key_combination(v[0].text) : v[0].keys;
    return desktop.press_keys(keys, uint_value(v[1], v[2]));
  });
}

PyObject* type_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call(self, args, nargs, kwnames, type_text_signature, [](Desktop& desktop, const Values& v) {
    return desktop.type_text(v[0].text, uint_value(v[1], v[2]));
  });
}

// Arguments are checked as kestrin.Kestrin checks them, then the call says
// what Mutter's session cannot do.
PyObject* capture(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guarded(
      [&]() -> PyObject* {
        Bound bound;
        if (!bind(capture_signature, args, nargs, kwnames, bound)) return nullptr;
        if (receiver<GnomeObject>(self) == nullptr) return nullptr;
        Values values;
        if (!convert(capture_signature, bound, values)) return nullptr;
        PyErr_SetString(PyExc_NotImplementedError,
                        "kestrin.gnome has no capture(): screenshot() already returns the newest frame of Mutter's "
                        "screen cast at once, with no wait for the screen");
        return nullptr;
      },
      nullptr);
}

PyMethodDef methods[] = {
    {"move_mouse", as_cfunction<move_mouse>(), METH_FASTCALL | METH_KEYWORDS, move_mouse_doc},
    {"left_click", as_cfunction<left_click>(), METH_FASTCALL | METH_KEYWORDS, left_click_doc},
    {"right_click", as_cfunction<right_click>(), METH_FASTCALL | METH_KEYWORDS, right_click_doc},
    {"key_press", as_cfunction<key_press>(), METH_FASTCALL | METH_KEYWORDS, key_press_doc},
    {"screenshot", as_cfunction<screenshot>(), METH_FASTCALL | METH_KEYWORDS, screenshot_doc},
    {"outputs", as_cfunction<outputs>(), METH_FASTCALL | METH_KEYWORDS, outputs_doc},
    {"move_to", as_cfunction<move_to>(), METH_FASTCALL | METH_KEYWORDS, move_to_doc},
    {"button_down", as_cfunction<button_down>(), METH_FASTCALL | METH_KEYWORDS, button_down_doc},
    {"button_up", as_cfunction<button_up>(), METH_FASTCALL | METH_KEYWORDS, button_up_doc},
    {"drag", as_cfunction<drag>(), METH_FASTCALL | METH_KEYWORDS, drag_doc},
    {"scroll", as_cfunction<scroll>(), METH_FASTCALL | METH_KEYWORDS, scroll_doc},
    {"scroll_smooth", as_cfunction<scroll_smooth>(), METH_FASTCALL | METH_KEYWORDS, scroll_smooth_doc},
    {"key_down", as_cfunction<key_down>(), METH_FASTCALL | METH_KEYWORDS, key_down_doc},
    {"key_up", as_cfunction<key_up>(), METH_FASTCALL | METH_KEYWORDS, key_up_doc},
    {"press_keys", as_cfunction<press_keys>(), METH_FASTCALL | METH_KEYWORDS, press_keys_doc},
    {"type_text", as_cfunction<type_text>(), METH_FASTCALL | METH_KEYWORDS, gnome_type_text_doc},
    {"capture", as_cfunction<capture>(), METH_FASTCALL | METH_KEYWORDS, gnome_capture_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot gnome_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(gnome_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(gnome_dealloc)},
    {Py_tp_methods, methods},
    {Py_tp_doc, const_cast<char*>(
                    "Kestrin()\n--\n\n"
                    "A session on the GNOME desktop of this user's session bus (DBUS_SESSION_BUS_ADDRESS), through "
                    "Mutter's remote-desktop and screen-cast interfaces and PipeWire.")},
    {0, nullptr},
};

PyType_Spec gnome_type_description = {
    "kestrin.gnome.Kestrin", static_cast<int>(sizeof(GnomeObject)), 0, Py_TPFLAGS_DEFAULT, gnome_slots,
};

PyObject* gnome_type_object = nullptr;

// --- The module ------------------------------------------------------------------

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "kestrin.gnome",
    "Drive a GNOME desktop from Python through Mutter's remote-desktop and screen-cast interfaces: the methods "
    "of kestrin.Kestrin, with no wlroots protocols needed.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

ModuleHome home;

bool run_body(PyObject* module) {
  Ref kestrin_module = Ref::steal(PyImport_ImportModule("kestrin"));
  if (!kestrin_module) return false;
  Ref output = Ref::steal(PyObject_GetAttrString(kestrin_module.get(), "Output"));
  if (!output) return false;
  if (!PyType_Check(output.get())) {
    PyErr_SetString(PyExc_ImportError, "kestrin.Output is not a type");
    return false;
  }
  output_type = reinterpret_cast<PyTypeObject*>(output.release());
  // The exception type of kestrin's internal faults, made here if kestrin
  // has not made it yet, so that both modules raise the same class.
  if (internal_fault_type() == nullptr) return false;
  if (!install_logging_bridge()) return false;
  set_interrupt_check(run_signal_handlers);
  PyTypeObject* type = gnome_type();
  if (type == nullptr) return false;
  Ref all = Ref::steal(Py_BuildValue("[s]", "Kestrin"));
  if (!all || PyModule_AddObjectRef(module, "__all__", all.get()) < 0) return false;
  return PyModule_AddObjectRef(module, "Kestrin", reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() { return init_module_once(home, module_definition, run_body); }

}  // namespace

PyTypeObject* gnome_type() noexcept {
  if (gnome_type_object == nullptr) gnome_type_object = PyType_FromSpec(&gnome_type_description);
  return reinterpret_cast<PyTypeObject*>(gnome_type_object);
}

}  // namespace kestrin::py

PyMODINIT_FUNC PyInit_gnome(void) {
  return kestrin::py::guarded([] { return kestrin::py::init_module(); }, nullptr);
}
