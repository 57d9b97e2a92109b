#include "pointer_methods.hpp"

#include <vector>

#include "arguments.hpp"
#include "call_protocol.hpp"
#include "kestrin_lib/mod.hpp"
#include "kestrin_lib/outputs.hpp"

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

Ref optional_text(const std::optional<std::string>& text) {
  return text ? text_to_str(*text) : Ref::borrow(Py_None);
}

Ref output_record(const OutputInfo& info) {
  Ref record = Ref::steal(PyStructSequence_New(output_type));
  if (!record) return record;
  PyObject* values[] = {
      optional_text(info.name).release(),
      optional_text(info.description).release(),
      PyLong_FromLong(info.x),
      PyLong_FromLong(info.y),
      PyLong_FromLong(info.width),
      PyLong_FromLong(info.height),
      PyLong_FromLong(info.logical_width),
      PyLong_FromLong(info.logical_height),
      PyFloat_FromDouble(info.scale),
      PyUnicode_FromStringAndSize(info.transform.data(), static_cast<Py_ssize_t>(info.transform.size())),
      PyLong_FromLong(info.refresh_mhz),
  };
  bool complete = true;
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(std::size(values)); ++i) {
    complete = complete && values[i] != nullptr;
    // The record owns every value from here; a missing one fails it below.
    PyStructSequence_SetItem(record.get(), i, values[i]);
  }
  if (!complete) return {};
  return record;
}

PyObject* output_list(std::vector<OutputInfo> infos) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(infos.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < infos.size(); ++i) {
    Ref record = output_record(infos[i]);
    if (!record) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record.release());
  }
  return list.release();
}

// --- Signatures --------------------------------------------------------------------

constexpr Signature outputs_signature{"Kestrin.outputs()", {}, 0};

constexpr Parameter move_to_parameters[] = {{"x", Kind::u32}, {"y", Kind::u32}, {"screen_name", Kind::optional_text}};
constexpr Signature move_to_signature{"Kestrin.move_to()", move_to_parameters, 2};

constexpr Parameter button_parameters[] = {{"button", Kind::button}};
constexpr Signature button_down_signature{"Kestrin.button_down()", button_parameters, 0};
constexpr Signature button_up_signature{"Kestrin.button_up()", button_parameters, 0};

constexpr Parameter drag_parameters[] = {
    {"x1", Kind::u32},           {"y1", Kind::u32},           {"x2", Kind::u32},
    {"y2", Kind::u32},           {"screen_name", Kind::optional_text}, {"button", Kind::button},
    {"steps", Kind::optional_u32}, {"duration_ms", Kind::optional_u32}, {"duration_ms_max", Kind::optional_u32}};
constexpr Signature drag_signature{"Kestrin.drag()", drag_parameters, 4};
constexpr std::uint32_t default_steps = 10;

constexpr Parameter scroll_parameters[] = {{"dy", Kind::i32}, {"dx", Kind::optional_i32}};
constexpr Signature scroll_signature{"Kestrin.scroll()", scroll_parameters, 1};
constexpr Signature scroll_smooth_signature{"Kestrin.scroll_smooth()", scroll_parameters, 1};

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
      [](kestrin::Kestrin& session, const Values&) { return kestrin::list_outputs(session); }, output_list);
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
                                 v[6].given ? v[6].number : default_steps};
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
