// The one sequence every method call follows: bind, check the receiver, take
// the object for exclusive use, convert, run the core action, give the object
// back, map the result. A method supplies its parameter table, the action and,
// for a non-empty result, how that becomes a Python object.
#pragma once

#include "py_support.hpp"

#include <optional>
#include <type_traits>
#include <utility>

#include "arguments.hpp"
#include "errors.hpp"
#include "kestrin_lib/wayland.hpp"
#include "kestrin_object.hpp"

namespace kestrin::py {

// The object a method was called on, or null with TypeError set. The
// interpreter's method descriptors normally rule out a foreign receiver first.
template <class Object = KestrinObject>
Object* receiver(PyObject* self) noexcept {
  PyTypeObject* type = type_of<Object>();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(self, type)) {
    Ref type_name = type_qualname(self);
    if (type_name) PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Kestrin'", type_name.get());
    return nullptr;
  }
  return reinterpret_cast<Object*>(self);
}

// The interpreter lock, given up while a call blocks in a wait (for the
// compositor, the bus or a pause) so that other threads run meanwhile, and
// taken back before the interruption check, log records and the result.
// The object stays borrowed throughout: another thread's call on it is
// refused with "Already borrowed", not run alongside.
class InterpreterLockRelease final : public kestrin::WaitRelease {
 public:
  void let_go() noexcept override { saved_ = PyEval_SaveThread(); }
  void take_back() noexcept override { PyEval_RestoreThread(saved_); }

 private:
  PyThreadState* saved_ = nullptr;
};

// Whether a call lets other threads run while it waits. The five methods
// the module began with keep the lock from start to end, as their callers
// may rely on; every later one lets go.
enum class Waits { let_others_run, hold_the_lock };

// For the life of the scope, the calling thread's waits follow `waits`.
class WaitsOfCall {
 public:
  explicit WaitsOfCall(Waits waits) noexcept
      : scope_(waits == Waits::let_others_run ? &release_ : nullptr) {}

 private:
  InterpreterLockRelease release_;
  kestrin::ReleaseWhileWaiting scope_;
};

struct ReturnNone {
  PyObject* operator()() const noexcept { return Py_NewRef(Py_None); }
};

// The end of every call, once the object has been given back: the error
// raised, or the result (nothing, or a T) made into the object returned.
template <class Outcome, class ToPython>
PyObject* finish_call(Outcome& outcome, ToPython& to_python) {
  if (!outcome.has_value()) {
    raise_error(outcome.error());
    return nullptr;
  }
  if constexpr (std::is_void_v<typename Outcome::value_type>) {
    return to_python();
  } else {
    return to_python(std::move(*outcome));
  }
}

// `action(session, values)` returns a Result<T> (or Status); `to_python` turns
// the T (or nothing) into the new reference the method returns. It runs after
// the object has been given back, so it may run any Python code.
// `Object` is the kind of session object the method belongs to.
template <class Object = KestrinObject, Waits waits = Waits::let_others_run, class Action,
          class ToPython = ReturnNone>
PyObject* call_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      const Signature& signature, Action action, ToPython to_python = {}) noexcept {
  return guarded(
      [&]() -> PyObject* {
        Bound bound;
        if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
        Object* object = receiver<Object>(self);
        if (object == nullptr) return nullptr;

        using Outcome = std::invoke_result_t<Action&, decltype(object->session()), const Values&>;
        std::optional<Outcome> outcome;
        {
          BorrowOf<Object> borrow(object);
          if (!borrow) return nullptr;
          Values values;
          if (!convert(signature, bound, values)) return nullptr;
          WaitsOfCall call_waits(waits);
          outcome.emplace(action(borrow.session(), values));
        }
        return finish_call(*outcome, to_python);
      },
      nullptr);
}

}  // namespace kestrin::py
