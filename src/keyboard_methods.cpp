#include "keyboard_methods.hpp"

#include "arguments.hpp"
#include "call_protocol.hpp"
#include "kestrin_lib/keyboard.hpp"
#include "kestrin_lib/mod.hpp"
#include "method_tables.hpp"

namespace kestrin::py {
PyObject* key_down(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_method(self, args, nargs, kwnames, key_down_signature, [](kestrin::Kestrin& session, const Values& v) {
    return kestrin::key_down(session, v[0].key());
  });
}

PyObject* key_up(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_method(self, args, nargs, kwnames, key_up_signature, [](kestrin::Kestrin& session, const Values& v) {
    return kestrin::key_up(session, v[0].key());
  });
}

PyObject* press_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_method(self, args, nargs, kwnames, press_keys_signature, [](kestrin::Kestrin& session, const Values& v) {
    const auto keys = v[0].is_text ? split_key_combination(v[0].text) : v[0].keys;
    return kestrin::press_keys(session, keys, uint_value(v[1], v[2]));
  });
}

PyObject* type_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_method(self, args, nargs, kwnames, type_text_signature, [](kestrin::Kestrin& session, const Values& v) {
    return kestrin::type_text(session, v[0].text, uint_value(v[1], v[2]));
  });
}

}  // namespace kestrin::py
