#include "py_support.hpp"

namespace kestrin::py {

Ref text_to_str(std::string_view text) noexcept {
  return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

Ref type_qualname(PyObject* object) noexcept { return Ref::steal(PyType_GetQualName(Py_TYPE(object))); }

namespace {

// The UTF-8 text of str(object), or a stand-in when that fails; never leaves
// an exception set.
std::string str_of(PyObject* object) {
  Ref text = Ref::steal(PyObject_Str(object));
  if (!text) {
    PyErr_Clear();
    return "<unprintable>";
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    return "<unprintable>";
  }
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::string describe_exception(PyObject* exception) {
  if (exception == nullptr) return "unknown error";
  Ref name = type_qualname(exception);
  std::string out = name ? str_of(name.get()) : (PyErr_Clear(), std::string("<unknown>"));
  std::string message = str_of(exception);
  if (!message.empty()) {
    out += ": ";
    out += message;
  }
  return out;
}

}  // namespace kestrin::py
