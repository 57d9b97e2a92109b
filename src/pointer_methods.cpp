#include "pointer_methods.hpp"

#include <vector>

#include "arguments.hpp"
#include "call_protocol.hpp"
#include "kestrin_lib/mod.hpp"
#include "kestrin_lib/outputs.hpp"
#include "method_tables.hpp"
#include "output_record.hpp"

namespace kestrin::py {
namespace {

// --- The Output record ----------------------------------------------------------

PyStructSequence_Field output_fields[] = {
    {"name", "the output's name (\"DP-1\"), or None when the compositor gives none"},
    {"description", "the compositor's description of the output, or None"},
    {"x", "left edge in the layout, in logical units"},
    {"y", "top edge in the layout, in logical units"},
    {"width", "width of the current mode in pixels: the width of its screenshot"},
    {"height", "height of the current mode in pixels: the height of its screenshot"},
    {"logical_width", "width in the layout, in logical units"},
    {"logical_height", "height in the layout, in logical units"},
    {"scale", "pixels per logical unit"},
    {"transform", "\"normal\", \"90\", \"180\", \"270\", \"flipped\", \"flipped-90\", \"flipped-180\" or \"flipped-270\""},
    {"refresh_mhz", "refresh rate of the current mode in mHz"},
    {nullptr, nullptr},
};

PyStructSequence_Desc output_description = {
    "kestrin.Output",
    "One output as the compositor describes it (read-only).\n\n"
    "Without xdg-output (zxdg_output_manager_v1) x and y are wl_output's position and the logical size is\n"
    "derived from the mode, the scale and the transform.",
    output_fields,
    11,
};

// Created once, kept for the process.
PyTypeObject* output_type = nullptr;

}  // namespace

bool add_output_type(PyObject* module) {
  if (output_type == nullptr) {
    output_type = PyStructSequence_NewType(&output_description);
    if (output_type == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "Output", reinterpret_cast<PyObject*>(output_type)) == 0;
}

PyObject* outputs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_method(
      self, args, nargs, kwnames, outputs_signature,
      [](kestrin::Kestrin& session, const Values&) { return kestrin::list_outputs(session); },
      [](std::vector<OutputInfo> infos) { return output_list(output_type, infos); });
}

PyObject* move_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_method(self, args, nargs, kwnames, move_to_signature, [](kestrin::Kestrin& session, const Values& v) {
    return kestrin::move_to(session, v[0].number, v[1].number, v[2].optional_text());
  });
}

PyObject* button_down(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_method(self, args, nargs, kwnames, button_down_signature,
                     [](kestrin::Kestrin& session, const Values& v) { return kestrin::button_down(session, v[0].number); });
}

PyObject* button_up(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_method(self, args, nargs, kwnames, button_up_signature,
                     [](kestrin::Kestrin& session, const Values& v) { return kestrin::button_up(session, v[0].number); });
}

PyObject* drag(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_method(self, args, nargs, kwnames, drag_signature, [](kestrin::Kestrin& session, const Values& v) {
    const kestrin::DragPath path{v[0].number,          v[1].number, v[2].number,
                                 v[3].number,          v[4].optional_text(), v[5].number,
                                 v[6].given ? v[6].number : default_drag_steps};
    return kestrin::drag(session, path, uint_value(v[7], v[8]));
  });
}

PyObject* scroll(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_method(self, args, nargs, kwnames, scroll_signature, [](kestrin::Kestrin& session, const Values& v) {
    return kestrin::scroll(session, v[0].signed_number, v[1].signed_number);
  });
}

PyObject* scroll_smooth(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_method(self, args, nargs, kwnames, scroll_smooth_signature,
                     [](kestrin::Kestrin& session, const Values& v) {
                       return kestrin::scroll_smooth(session, v[0].signed_number, v[1].signed_number);
                     });
}

}  // namespace kestrin::py
