// Argument binding and conversion, shared by the constructor and every method.
// A callable is described by a table of its parameters; binding fills one slot
// per parameter, conversion turns the slots into C values.
#pragma once

#include "py_support.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "kestrin_lib/keyboard.hpp"
#include "kestrin_lib/random.hpp"

namespace kestrin::py {

enum class Kind {
  u32,           // required unsigned 32-bit integer
  optional_u32,  // the same, or None / omitted
  optional_text, // str, or None / omitted
  optional_screen_name,  // an output's name (str without NUL), or None / omitted
  text,          // required str
  key,           // required key: a key code (as u32) or a key name (str)
  keys,          // required keys: a str, or a sequence of key codes and names
  i32,           // required signed 32-bit integer
  optional_i32,  // the same, or None / omitted
  button,        // a button name (str) or code (int); None / omitted: the left button
  optional_region,  // a sequence of four unsigned 32-bit integers (x, y, width, height), or None / omitted
};

struct Parameter {
  const char* name;
  Kind kind;
};

struct Signature {
  const char* callable;  // as named in binding errors: "Kestrin.left_click()"
  std::span<const Parameter> parameters;
  std::size_t required;  // the first `required` parameters have no default
  // An integer beyond C `long` raises the interpreter's own OverflowError
  // ("Python int too large to convert to C long"), as the five first methods
  // have always done; every later one says "out of range integral type
  // conversion attempted" for any integer out of range.
  bool interpreter_overflow = false;
};

inline constexpr std::size_t max_parameters = 9;

// One strong reference per parameter, empty where nothing was passed. Holding
// them keeps every argument (and the UTF-8 text borrowed from it) alive while
// the call runs Python code through the logging bridge.
using Bound = std::array<Ref, max_parameters>;

// Binds the fast calling convention's arguments. False with TypeError set.
bool bind(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& bound);
// Binds a tuple and an optional dict, the way a type's __new__ receives them.
bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, Bound& bound);

// A converted argument. `given` is false for an optional one that was omitted
// or None; `text` borrows from the bound str. A key given as a str sets
// `is_text`; keys given as a sequence land in `keys` as copies, since the
// sequence may change while the call runs Python code.
struct Value {
  bool given = false;
  bool is_text = false;
  std::uint32_t number = 0;  // also a button's code
  std::int32_t signed_number = 0;
  std::string_view text;
  std::vector<KeySpec> keys;

  KeySpec key() const { return is_text ? KeySpec(std::string(text)) : KeySpec(number); }
  std::array<std::uint32_t, 4> region{};

  std::optional<std::string_view> optional_text() const {
    return given ? std::optional<std::string_view>(text) : std::nullopt;
  }
};

using Values = std::array<Value, max_parameters>;

// Converts the bound arguments in parameter order; the first failure ends it
// and is left set.
bool convert(const Signature& signature, const Bound& bound, Values& values);

// A value with an optional maximum: fixed without one, the range from value
// to maximum with one (the bounds are passed on as given).
inline UIntValue uint_value(const Value& value, const Value& maximum) {
  return maximum.given ? UIntValue::range(value.number, maximum.number) : UIntValue::fixed(value.number);
}

}  // namespace kestrin::py
