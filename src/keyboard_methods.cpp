#include "keyboard_methods.hpp"

#include "arguments.hpp"
#include "call_protocol.hpp"
#include "kestrin_lib/keyboard.hpp"
#include "kestrin_lib/mod.hpp"

namespace kestrin::py {
namespace {

constexpr Parameter key_parameters[] = {{"key", Kind::key}};
constexpr Signature key_down_signature{"Kestrin.key_down()", key_parameters, 1};
constexpr Signature key_up_signature{"Kestrin.key_up()", key_parameters, 1};

constexpr Parameter press_keys_parameters[] = {
    {"keys", Kind::keys}, {"duration_ms", Kind::optional_u32}, {"duration_ms_max", Kind::optional_u32}};
constexpr Signature press_keys_signature{"Kestrin.press_keys()", press_keys_parameters, 1};

constexpr Parameter type_text_parameters[] = {
    {"text", Kind::text}, {"interval_ms", Kind::optional_u32}, {"interval_ms_max", Kind::optional_u32}};
constexpr Signature type_text_signature{"Kestrin.type_text()", type_text_parameters, 1};

}  // namespace

const char key_down_doc[] =
    "key_down($self, key)\n--\n\n"
    "Presses a key and keeps it held until key_up. `key` is a Linux key code or a key name: an XKB keysym name "
    "of the seat's keymap (\"a\", \"Return\", \"F5\") or ctrl, shift, alt, altgr, super (meta, logo).";
const char key_up_doc[] =
    "key_up($self, key)\n--\n\n"
    "Releases a key that key_down holds; a key not held is a ValueError.";
const char press_keys_doc[] =
    "press_keys($self, keys, duration_ms=0, duration_ms_max=None)\n--\n\n"
    "Presses keys in order, holds them and releases them in reverse order: a shortcut such as "
    "\"ctrl+shift+t\" (a literal plus is \"plus\"), or a sequence of key names and codes.";
const char type_text_doc[] =
    "type_text($self, text, interval_ms=0, interval_ms_max=None)\n--\n\n"
    "Types `text` with the seat's own keyboard layout, pausing interval_ms between characters. A character "
    "the layout cannot type is a ValueError, and then nothing is typed.";

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
