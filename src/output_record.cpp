#include "output_record.hpp"

#include <iterator>

namespace kestrin::py {
namespace {

Ref optional_text(const std::optional<std::string>& text) {
  return text ? text_to_str(*text) : Ref::borrow(Py_None);
}

Ref output_record(PyTypeObject* type, const OutputInfo& info) {
  Ref record = Ref::steal(PyStructSequence_New(type));
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

}  // namespace

PyObject* output_list(PyTypeObject* type, const std::vector<OutputInfo>& infos) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(infos.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < infos.size(); ++i) {
    Ref record = output_record(type, infos[i]);
    if (!record) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), record.release());
  }
  return list.release();
}

}  // namespace kestrin::py
