// Owning wrappers of Python references and the interpreter lock, and the few
// helpers every part of the module surface needs. Nothing here knows about
// Wayland.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <utility>

namespace kestrin::py {

// One strong reference, released when the wrapper goes. Empty means the
// call that produced it failed (and left a Python exception set).
class Ref {
 public:
  Ref() noexcept = default;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref dropped(std::move(*this));
    object_ = std::exchange(other.object_, nullptr);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  // Takes over a new reference (as returned by most of the C API).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Takes a new reference to an object owned elsewhere.
  static Ref borrow(PyObject* object) noexcept { return Ref(Py_XNewRef(object)); }

  PyObject* get() const noexcept { return object_; }
  // Hands the reference over to the caller (for returning it to CPython).
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Holds the interpreter lock for its lifetime, whether or not the thread held
// it already.
class GilState {
 public:
  GilState() noexcept : state_(PyGILState_Ensure()) {}
  GilState(const GilState&) = delete;
  GilState& operator=(const GilState&) = delete;
  ~GilState() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

// Moves an exception that is already being raised out of the way for its
// lifetime and raises it again at the end; whatever was raised meanwhile is
// discarded. Code that runs Python on behalf of someone else (a log record
// emitted while a destructor unwinds an error) must not disturb that error.
class ExceptionStash {
 public:
  ExceptionStash() noexcept : stashed_(PyErr_GetRaisedException()) {}
  ExceptionStash(const ExceptionStash&) = delete;
  ExceptionStash& operator=(const ExceptionStash&) = delete;
  ~ExceptionStash() { PyErr_SetRaisedException(stashed_); }

 private:
  PyObject* stashed_;
};

// A str from text that should be UTF-8; bytes that are not become U+FFFD, so
// that a message from the compositor can always be shown.
Ref text_to_str(std::string_view text) noexcept;

// The qualified name of an object's type, as shown in TypeErrors ("int").
Ref type_qualname(PyObject* object) noexcept;

// "TypeName: message" for an exception object, for texts that have to carry
// a Python failure inside another message.
std::string describe_exception(PyObject* exception);

}  // namespace kestrin::py
