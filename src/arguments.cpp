#include "arguments.hpp"

#include <limits>
#include <string>

#include "kestrin_lib/mod.hpp"

namespace kestrin::py {
namespace {

bool check_positional_count(const Signature& signature, Py_ssize_t nargs) {
  const std::size_t count = signature.parameters.size();
  if (static_cast<std::size_t>(nargs) <= count) return true;
  const char* verb = nargs == 1 ? "was" : "were";
  if (signature.required == count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", signature.callable, count,
                 nargs, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 signature.callable, signature.required, count, nargs, verb);
  }
  return false;
}

void bind_positional(PyObject* const* args, Py_ssize_t nargs, Bound& bound) {
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = Ref::borrow(args[i]);
}

bool bind_keyword(const Signature& signature, PyObject* key, PyObject* value, Bound& bound) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s keywords must be strings", signature.callable);
    return false;
  }
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, signature.parameters[i].name) != 0) continue;
    if (bound[i]) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", signature.callable, key);
      return false;
    }
    bound[i] = Ref::borrow(value);
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", signature.callable, key);
  return false;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string quoted_list(const std::array<const char*, max_parameters>& names, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      if (count > 2) out += ',';
      out += i + 1 == count ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool check_required(const Signature& signature, const Bound& bound) {
  std::array<const char*, max_parameters> missing{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (!bound[i]) missing[count++] = signature.parameters[i].name;
  }
  if (count == 0) return true;
  std::string list = quoted_list(missing, count);
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", signature.callable, count,
               count == 1 ? "" : "s", list.c_str());
  return false;
}

// A conversion that failed with exactly TypeError is re-raised naming the
// parameter, as if by `raise TypeError(...) from error.__cause__`, so that the
// cause a user's __index__ gave stays visible. Anything else passes unchanged.
void name_parameter_in_type_error(const char* name) {
  Ref error = Ref::steal(PyErr_GetRaisedException());
  if (!error || !Py_IS_TYPE(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(error.release());
    return;
  }
  Ref text = Ref::steal(PyObject_Str(error.get()));
  if (!text) return;
  Ref cause = Ref::steal(PyException_GetCause(error.get()));
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
  Ref renamed = Ref::steal(PyErr_GetRaisedException());
  if (!renamed) return;
  PyException_SetCause(renamed.get(), cause.release());
  PyErr_SetRaisedException(renamed.release());
}

constexpr const char out_of_range[] = "out of range integral type conversion attempted";

// An integer within T's range; beyond it, OverflowError as for any integral
// conversion.
template <class T>
bool convert_integer(const Signature& signature, const Parameter& parameter, PyObject* argument, T& out) {
  const long value = PyLong_AsLong(argument);
  if (value == -1 && PyErr_Occurred()) {
    if (!signature.interpreter_overflow && PyErr_ExceptionMatches(PyExc_OverflowError)) {
      // An integer beyond 64 bits is out of range like any other.
      PyErr_SetString(PyExc_OverflowError, out_of_range);
      return false;
    }
    name_parameter_in_type_error(parameter.name);
    return false;
  }
  if (value < std::numeric_limits<T>::min() || value > static_cast<long>(std::numeric_limits<T>::max())) {
    PyErr_SetString(PyExc_OverflowError, out_of_range);
    return false;
  }
  out = static_cast<T>(value);
  return true;
}

bool convert_u32(const Signature& signature, const Parameter& parameter, PyObject* argument, std::uint32_t& out) {
  return convert_integer(signature, parameter, argument, out);
}

bool convert_text(const Parameter& parameter, PyObject* argument, std::string_view& out) {
  if (!PyUnicode_Check(argument)) {
    Ref type_name = type_qualname(argument);
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyString'", type_name.get());
    name_parameter_in_type_error(parameter.name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(argument, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

// A name with a NUL in it names nothing, and the C libraries the name goes
// to would read it only up to the NUL ("Return\0junk" as Return): a
// ValueError naming it, before anything is sent.
bool refuse_nul(const char* what, std::string_view name) {
  if (name.find('\0') == std::string_view::npos) return true;
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
  if (!text) return false;
  PyErr_Format(PyExc_ValueError, "%s %R contains a NUL character", what, text.get());
  return false;
}

bool convert_name(const char* what, const Parameter& parameter, PyObject* argument, std::string_view& out) {
  return convert_text(parameter, argument, out) && refuse_nul(what, out);
}

// A key: a name (str) or a code (int), as the buttons take theirs.
bool convert_key(const Signature& signature, const Parameter& parameter, PyObject* argument, Value& value) {
  value.is_text = PyUnicode_Check(argument);
  if (value.is_text) return convert_name("key name", parameter, argument, value.text);
  if (PyLong_Check(argument) || PyIndex_Check(argument)) return convert_u32(signature, parameter, argument, value.number);
  Ref type_name = type_qualname(argument);
  if (!type_name) return false;
  PyErr_Format(PyExc_TypeError, "'%U' object is neither a key name (str) nor a key code (int)", type_name.get());
  name_parameter_in_type_error(parameter.name);
  return false;
}

// A str is one combination ("ctrl+t"), kept as text; any other sequence
// (but bytes, whose items would pass for key codes) lists the keys.
bool convert_keys(const Signature& signature, const Parameter& parameter, PyObject* argument, Value& value) {
  if (PyUnicode_Check(argument)) {
    value.is_text = true;
    if (!convert_text(parameter, argument, value.text)) return false;
    for (const KeySpec& key : kestrin::split_key_combination(value.text)) {
      if (!refuse_nul("key name", std::get<std::string>(key))) return false;
    }
    return true;
  }
  if (PyBytes_Check(argument) || PyByteArray_Check(argument) || !PySequence_Check(argument)) {
    Ref type_name = type_qualname(argument);
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'str | Sequence[str | int]'", type_name.get());
    name_parameter_in_type_error(parameter.name);
    return false;
  }
  Ref items = Ref::steal(PySequence_Tuple(argument));
  if (!items) return false;
  const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    // Copied: the sequence may change while the call runs Python code.
    Value item;
    if (!convert_key(signature, parameter, PyTuple_GET_ITEM(items.get(), i), item)) return false;
    value.keys.push_back(item.key());
  }
  return true;
}

// A name converts to its code; anything not a str goes the way of a code.
bool convert_button(const Signature& signature, const Parameter& parameter, PyObject* argument, std::uint32_t& out) {
  if (!PyUnicode_Check(argument)) {
    if (PyLong_Check(argument) || PyIndex_Check(argument)) return convert_u32(signature, parameter, argument, out);
    Ref type_name = type_qualname(argument);
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object is neither a button name (str) nor a button code (int)",
                 type_name.get());
    name_parameter_in_type_error(parameter.name);
    return false;
  }
  std::string_view name;
  if (!convert_name("button name", parameter, argument, name)) return false;
  if (auto code = kestrin::button_code(name)) {
    out = *code;
    return true;
  }
  PyErr_Format(PyExc_ValueError,
               "unknown button %R: expected \"left\", \"right\", \"middle\", \"side\", \"extra\" or a Linux "
               "button code",
               argument);
  return false;
}

// Any sequence of four integers but a text: a tuple, a list, an array's row.
bool convert_region(const Signature& signature, const Parameter& parameter, PyObject* argument,
                    std::array<std::uint32_t, 4>& out) {
  if (PyUnicode_Check(argument) || PyBytes_Check(argument) || !PySequence_Check(argument)) {
    Ref type_name = type_qualname(argument);
    if (!type_name) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object is not a sequence (x, y, width, height)", type_name.get());
    name_parameter_in_type_error(parameter.name);
    return false;
  }
  Ref items = Ref::steal(PySequence_Tuple(argument));
  if (!items) return false;
  if (PyTuple_GET_SIZE(items.get()) != 4) {
    PyErr_Format(PyExc_ValueError, "%s must have 4 items (x, y, width, height), not %zd", parameter.name,
                 PyTuple_GET_SIZE(items.get()));
    return false;
  }
  for (Py_ssize_t i = 0; i < 4; ++i) {
    if (!convert_u32(signature, parameter, PyTuple_GET_ITEM(items.get(), i), out[static_cast<std::size_t>(i)]))
      return false;
  }
  return true;
}

bool convert_one(const Signature& signature, const Parameter& parameter, PyObject* argument, Value& value) {
  switch (parameter.kind) {
    case Kind::optional_text:
    case Kind::text:
      return convert_text(parameter, argument, value.text);
    case Kind::optional_screen_name:
      return convert_name("screen name", parameter, argument, value.text);
    case Kind::key:
      return convert_key(signature, parameter, argument, value);
    case Kind::keys:
      return convert_keys(signature, parameter, argument, value);
    case Kind::i32:
    case Kind::optional_i32:
      return convert_integer(signature, parameter, argument, value.signed_number);
    case Kind::button:
      return convert_button(signature, parameter, argument, value.number);
    case Kind::optional_region:
      return convert_region(signature, parameter, argument, value.region);
    case Kind::u32:
    case Kind::optional_u32:
      break;
  }
  return convert_u32(signature, parameter, argument, value.number);
}

bool required(Kind kind) {
  return kind == Kind::u32 || kind == Kind::i32 || kind == Kind::text || kind == Kind::key || kind == Kind::keys;
}

}  // namespace

bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& bound) {
  if (!check_positional_count(signature, nargs)) return false;
  bind_positional(args, nargs, bound);
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], bound)) return false;
    }
  }
  return check_required(signature, bound);
}

bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, Bound& bound) {
  const Py_ssize_t nargs = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  if (!check_positional_count(signature, nargs)) return false;
  if (nargs > 0) bind_positional(PySequence_Fast_ITEMS(args), nargs, bound);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    // A dict iterates in insertion order, which is the order the keywords were given.
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!bind_keyword(signature, key, value, bound)) return false;
    }
  }
  return check_required(signature, bound);
}

bool convert(const Signature& signature, const Bound& bound, Values& values) {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    const Parameter& parameter = signature.parameters[i];
    PyObject* argument = bound[i].get();
    Value& value = values[i];
    if (!required(parameter.kind) && (argument == nullptr || argument == Py_None)) {
      if (parameter.kind == Kind::button) value.number = kestrin::left_button;
      continue;
    }
    value.given = true;
    if (!convert_one(signature, parameter, argument, value)) return false;
  }
  return true;
}

}  // namespace kestrin::py
