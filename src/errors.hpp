// How failures leave the module: core error values become RuntimeError, failed
// invariants become InternalFault, and no C++ exception ever reaches CPython.
#pragma once

#include "py_support.hpp"

#include <source_location>
#include <string>
#include <type_traits>

#include "kestrin_lib/error.hpp"

namespace kestrin::py {

// The InternalFault type, made on first use and kept for the process.
// Returns a borrowed reference, or null with the creation's error set.
PyObject* internal_fault_type() noexcept;

// Raises the Python form of a core error: RuntimeError with the report text for
// an ordinary error, ValueError for an argument the core refused, InternalFault (and a diagnostic on stderr naming where it
// failed) for a fatal one. An interrupted wait keeps the exception that the
// interpreter's signal handler raised.
void raise_error(const Error& error) noexcept;

// Raises InternalFault for an invariant that failed in this module itself.
void raise_internal_fault(const std::string& text,
                          std::source_location where = std::source_location::current()) noexcept;

// Turns the C++ exception being handled into a Python one: MemoryError for an
// allocation failure, InternalFault for anything else. Call only in a catch.
void raise_from_cpp_exception() noexcept;

// Runs `body` at the boundary to CPython: a C++ exception that escapes it is
// raised in Python instead, and `failure` (null, or -1) is returned.
template <class Body>
auto guarded(Body&& body, std::invoke_result_t<Body&> failure) noexcept -> std::invoke_result_t<Body&> {
  try {
    return body();
  } catch (...) {
    raise_from_cpp_exception();
    return failure;
  }
}

}  // namespace kestrin::py
