#include "errors.hpp"

#include <cstdio>
#include <exception>
#include <new>

namespace kestrin::py {
namespace {

constexpr const char internal_fault_doc[] =
    "Raised when an internal invariant of kestrin fails (for example, the compositor\n"
    "lacks something the session cannot work without).\n"
    "\n"
    "It derives from BaseException, not Exception, so that `except Exception` does\n"
    "not swallow it and it normally ends the program. Catch it as BaseException if\n"
    "you must; the object whose call raised it stays usable.";

// Created once and never released: the type has to outlive every exception
// object of it, and those can live as long as the interpreter.
PyObject* internal_fault = nullptr;

void write_diagnostic(const std::string& text, const std::source_location& where) noexcept {
  const char* file = where.file_name();
  std::fprintf(stderr, "kestrin: internal fault at %s:%u: %s\n", file != nullptr && *file != '\0' ? file : "<unknown>",
               static_cast<unsigned>(where.line()), text.c_str());
  std::fflush(stderr);
}

}  // namespace

PyObject* internal_fault_type() noexcept {
  if (internal_fault != nullptr) return internal_fault;
  // kestrin and kestrin.gnome are separate libraries, each with this file;
  // the interpreter's shared dictionary gives both the one type.
  PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (shared == nullptr) return nullptr;
  PyObject* found = PyDict_GetItemString(shared, "kestrin.InternalFault");
  if (found != nullptr) {
    internal_fault = Py_NewRef(found);
    return internal_fault;
  }
  PyObject* made = PyErr_NewExceptionWithDoc("kestrin.InternalFault", internal_fault_doc, PyExc_BaseException, nullptr);
  if (made == nullptr) return nullptr;
  if (PyDict_SetItemString(shared, "kestrin.InternalFault", made) < 0) {
    Py_DECREF(made);
    return nullptr;
  }
  internal_fault = made;
  return internal_fault;
}

void raise_internal_fault(const std::string& text, std::source_location where) noexcept {
  write_diagnostic(text, where);
  PyObject* type = internal_fault_type();
  if (type == nullptr) return;
  Ref message = text_to_str(text);
  if (!message) return;
  PyErr_SetObject(type, message.get());
}

void raise_error(const Error& error) noexcept {
  try {
    if (error.is_fatal()) {
      raise_internal_fault(error.message, error.where);
      return;
    }
    // The signal handler that ended the wait has raised already.
    if (error.is_interrupted() && PyErr_Occurred() != nullptr) return;
    Ref message = text_to_str(report_text(error));
    if (message) PyErr_SetObject(error.is_invalid_value() ? PyExc_ValueError : PyExc_RuntimeError, message.get());
  } catch (...) {
    raise_from_cpp_exception();
  }
}

void raise_from_cpp_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& exception) {
    try {
      raise_internal_fault(std::string("unexpected C++ exception: ") + exception.what());
    } catch (...) {
      PyErr_NoMemory();
    }
  } catch (...) {
    try {
      raise_internal_fault("unexpected C++ exception");
    } catch (...) {
      PyErr_NoMemory();
    }
  }
}

}  // namespace kestrin::py
