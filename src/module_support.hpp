// What every extension module of the package does alike: the method table's
// function type, the signal check of the core's waits, and running the
// module's body once, in the interpreter that imported it first.
#pragma once

#include "py_support.hpp"

#include <atomic>
#include <cstdint>
#include <string>

namespace kestrin::py {

template <auto method>
PyCFunction as_cfunction() {
  // The method table stores every calling convention under one pointer type.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// Before a wait on the compositor, and when a signal interrupted one: the
// interpreter runs the handlers of signals it has noted now rather than when
// the call returns (with none noted this costs nothing), so that Ctrl-C ends a call
// stuck on a compositor that does not answer. A handler that raises
// (SIGINT's raises KeyboardInterrupt) ends the call with its exception; one
// that returns lets the wait go on. Waits happen only inside calls, which
// hold the interpreter lock.
inline bool run_signal_handlers() { return PyErr_CheckSignals() != 0; }

// One module's state across imports.
struct ModuleHome {
  // Kept so that initialising again (after the module left sys.modules) hands
  // back the same object instead of running the body a second time.
  PyObject* module = nullptr;
  // The interpreter that imported the module first; -1 before that.
  std::atomic<std::int64_t> interpreter{-1};
};

// The module of `definition`, its body run by `run_body` on first import.
inline PyObject* init_module_once(ModuleHome& home, PyModuleDef& definition, bool (*run_body)(PyObject*)) {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return nullptr;
  std::int64_t first = -1;
  if (!home.interpreter.compare_exchange_strong(first, interpreter) && first != interpreter) {
    PyErr_Format(PyExc_ImportError,
                 "%s does not support sub-interpreters: it can only be imported by the interpreter that imported it "
                 "first",
                 definition.m_name);
    return nullptr;
  }
  if (home.module != nullptr) return Py_NewRef(home.module);

  Ref module = Ref::steal(PyModule_Create2(&definition, 1013));
  if (!module || !run_body(module.get())) return nullptr;
  home.module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace kestrin::py
