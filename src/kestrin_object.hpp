// The Python object behind `Kestrin`: the core session held in place, and the
// word that marks the object as in use by a call; the same for kestrin.gnome's.
#pragma once

#include "py_support.hpp"

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include <unistd.h>

#include "kestrin_lib/mod.hpp"

namespace kestrin::py {

// A Python object that holds a core session of type `Session` in place: the
// `Kestrin` of this module and of kestrin.gnome.
template <class Session>
struct SessionObject {
  PyObject_HEAD
  // Constructed by placement new once the session is connected, destroyed in
  // tp_dealloc; raw storage because CPython allocates the object, not C++.
  alignas(Session) unsigned char session_storage[sizeof(Session)];
  // 0 while free, every bit set while a call uses the object. Only touched
  // with the interpreter lock held (a call that lets other threads run
  // while it waits keeps it set meanwhile), so a plain word suffices.
  std::uintptr_t borrow_flag;
  // The process that connected the session. A forked child shares the
  // connection with it: the child must neither speak on it nor read the
  // parent's answers.
  pid_t made_in;

  Session& session() noexcept { return *std::launder(reinterpret_cast<Session*>(session_storage)); }
  bool made_here() const noexcept { return made_in == ::getpid(); }
  // Puts a connected session into the object, which CPython has just made.
  void hold(Session&& session) {
    new (session_storage) Session(std::move(session));
    borrow_flag = 0;
    made_in = ::getpid();
  }
  // For tp_dealloc. In a forked child only this process's copy of the
  // connection is closed: the destructor would release keys and buttons,
  // stop sessions and join threads on the parent's behalf.
  void drop() noexcept {
    if (made_here()) {
      session().~Session();
    } else {
      session().abandon_after_fork();
    }
  }
};

using KestrinObject = SessionObject<kestrin::Kestrin>;

static_assert(alignof(KestrinObject) <= alignof(std::max_align_t), "CPython's allocator cannot align the object");

inline constexpr std::uintptr_t borrowed = ~std::uintptr_t{0};

// The Kestrin type, made on first use and kept for the process. Borrowed, or
// null with the creation's error set.
PyTypeObject* kestrin_type() noexcept;

// The type of each kind of session object, for the receiver check.
template <class Object>
PyTypeObject* type_of() noexcept;
template <>
inline PyTypeObject* type_of<KestrinObject>() noexcept {
  return kestrin_type();
}

// Exclusive use of an object for one call: taken on construction (or
// RuntimeError "Already borrowed" when another call has it), given back on
// every way out, together with the reference the call holds meanwhile.
template <class Object>
class BorrowOf {
 public:
  explicit BorrowOf(Object* object) noexcept {
    if (!object->made_here()) {
      PyErr_Format(PyExc_RuntimeError, "made in process %ld; make a new Kestrin after fork",
                   static_cast<long>(object->made_in));
      return;
    }
    if (object->borrow_flag != 0) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      return;
    }
    object->borrow_flag = borrowed;
    object_ = reinterpret_cast<Object*>(Py_NewRef(reinterpret_cast<PyObject*>(object)));
  }
  BorrowOf(const BorrowOf&) = delete;
  BorrowOf& operator=(const BorrowOf&) = delete;
  ~BorrowOf() {
    if (object_ == nullptr) return;
    object_->borrow_flag = 0;
    Py_DECREF(reinterpret_cast<PyObject*>(object_));
  }

  explicit operator bool() const noexcept { return object_ != nullptr; }
  auto& session() const noexcept { return object_->session(); }

 private:
  Object* object_ = nullptr;
};

using Borrow = BorrowOf<KestrinObject>;

}  // namespace kestrin::py
