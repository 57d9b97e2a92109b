#include "capture_object.hpp"

#include <chrono>
#include <optional>
#include <type_traits>
#include <vector>

#include "arguments.hpp"
#include "call_protocol.hpp"
#include "kestrin_lib/capture_session.hpp"
#include "numpy_bridge.hpp"

namespace kestrin::py {
namespace {

// A Capture holds its Kestrin object, so the connection its buffers belong
// to outlives it; and every call takes that object for exclusive use, as the
// Kestrin methods do.
struct CaptureObject {
  PyObject_HEAD
  PyObject* owner;                  // the KestrinObject, a strong reference
  kestrin::CaptureSession* core;    // owned
};

PyTypeObject* capture_type = nullptr;

KestrinObject* owner_of(CaptureObject* capture) { return reinterpret_cast<KestrinObject*>(capture->owner); }

// --- The call sequence of a Capture method -----------------------------------------

// As call_method, with the Capture's Kestrin object borrowed; `action` gets
// the core capture, the session, the values and the bound arguments.
template <class Action, class ToPython>
PyObject* capture_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       const Signature& signature, Action action, ToPython to_python,
                       bool converts = true) noexcept {
  return guarded(
      [&]() -> PyObject* {
        Bound bound;
        if (!bind(signature, args, nargs, kwnames, bound)) return nullptr;
        if (capture_type == nullptr || !PyObject_TypeCheck(self, capture_type)) {
          PyErr_SetString(PyExc_TypeError, "descriptor requires a 'kestrin.Capture' object");
          return nullptr;
        }
        auto* capture = reinterpret_cast<CaptureObject*>(self);
        using Outcome = std::invoke_result_t<Action&, kestrin::CaptureSession&, kestrin::Kestrin&, const Values&,
                                             const Bound&>;
        std::optional<Outcome> outcome;
        {
          Borrow borrow(owner_of(capture));
          if (!borrow) return nullptr;
          Values values;
          if (converts && !convert(signature, bound, values)) return nullptr;
          WaitsOfCall call_waits(Waits::let_others_run);
          outcome.emplace(action(*capture->core, borrow.session(), values, bound));
        }
        return finish_call(*outcome, to_python);
      },
      nullptr);
}

std::optional<PixelRect> region_of(const Value& value) {
  if (!value.given) return std::nullopt;
  return PixelRect{value.region[0], value.region[1], value.region[2], value.region[3]};
}

std::optional<kestrin::Clock::time_point> deadline_of(const Value& timeout_ms) {
  if (!timeout_ms.given) return std::nullopt;
  return kestrin::Clock::now() + std::chrono::milliseconds(timeout_ms.number);
}

// A Python error set here travels as an interrupted error: the exception
// stays the one raised.
Error python_error_set() { return Error::interrupted(); }

// The caller's array as a writable C-contiguous (height, width, 4) uint8
// buffer; false with TypeError or ValueError naming the parameter.
bool writable_frame(PyObject* array, const kestrin::CaptureSession& core, Py_buffer& view) {
  if (PyObject_GetBuffer(array, &view, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE | PyBUF_FORMAT) < 0) {
    if (PyErr_ExceptionMatches(PyExc_BufferError) || PyErr_ExceptionMatches(PyExc_ValueError)) {
      Ref error = Ref::steal(PyErr_GetRaisedException());
      Ref text = Ref::steal(PyObject_Str(error.get()));
      if (text) PyErr_Format(PyExc_ValueError, "argument 'array': %U", text.get());
      return false;
    }
    PyErr_Clear();
    Ref type_name = type_qualname(array);
    if (type_name)
      PyErr_Format(PyExc_TypeError, "argument 'array': '%U' object is not a writable array", type_name.get());
    return false;
  }
  const char* format = view.format != nullptr ? view.format : "B";
  if (view.itemsize != 1 || (std::string_view(format) != "B" && std::string_view(format) != "=B" &&
                             std::string_view(format) != "<B" && std::string_view(format) != "|B")) {
    PyErr_Format(PyExc_TypeError, "argument 'array': expected uint8 items, got format '%s'", format);
    PyBuffer_Release(&view);
    return false;
  }
  if (view.ndim != 3 || view.shape[0] != static_cast<Py_ssize_t>(core.height()) ||
      view.shape[1] != static_cast<Py_ssize_t>(core.width()) || view.shape[2] != 4) {
    Ref shape = Ref::steal(PyTuple_New(view.ndim));
    for (int i = 0; shape && i < view.ndim; ++i) PyTuple_SET_ITEM(shape.get(), i, PyLong_FromSsize_t(view.shape[i]));
    if (shape)
      PyErr_Format(PyExc_ValueError, "argument 'array': expected shape (%u, %u, 4), got %R", core.height(),
                   core.width(), shape.get());
    PyBuffer_Release(&view);
    return false;
  }
  return true;
}

PyObject* frame_array(PixelArray pixels) { return pixels_to_ndarray(std::move(pixels)); }

Result<PixelArray> new_frame(const kestrin::CaptureSession& core) {
  return kestrin::allocate_pixels(core.width(), core.height());
}

// --- Signatures and methods ---------------------------------------------------------

constexpr Signature grab_signature{"Capture.grab()", {}, 0};
constexpr Parameter grab_into_parameters[] = {{"array", Kind::optional_text}};
constexpr Signature grab_into_signature{"Capture.grab_into()", grab_into_parameters, 1};
constexpr Signature close_signature{"Capture.close()", {}, 0};
constexpr Parameter wait_parameters[] = {{"timeout_ms", Kind::optional_u32}, {"region", Kind::optional_region}};
constexpr Signature wait_signature{"Capture.wait_for_change()", wait_parameters, 0};
constexpr Parameter stable_parameters[] = {{"quiet_ms", Kind::u32}, {"timeout_ms", Kind::optional_u32}};
constexpr Signature stable_signature{"Capture.wait_until_stable()", stable_parameters, 1};

PyObject* grab(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return capture_call(
      self, args, nargs, kwnames, grab_signature,
      [](kestrin::CaptureSession& core, kestrin::Kestrin& session, const Values&, const Bound&) {
        return core.grab(session);
      },
      frame_array);
}

PyObject* grab_into(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  // The array is bound by the table but checked by writable_frame.
  return capture_call(
      self, args, nargs, kwnames, grab_into_signature,
      [](kestrin::CaptureSession& core, kestrin::Kestrin& session, const Values&, const Bound& bound) -> Status {
        Py_buffer view;
        if (!writable_frame(bound[0].get(), core, view)) return std::unexpected(python_error_set());
        auto grabbed = core.grab_into(session, static_cast<std::uint8_t*>(view.buf));
        PyBuffer_Release(&view);
        return grabbed;
      },
      ReturnNone{}, false);
}

PyObject* close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return capture_call(
      self, args, nargs, kwnames, close_signature,
      [](kestrin::CaptureSession& core, kestrin::Kestrin& session, const Values&, const Bound&) -> Status {
        core.close(session);
        return {};
      },
      ReturnNone{});
}

PyObject* rectangles(const std::vector<PixelRect>& rects) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(rects.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < rects.size(); ++i) {
    PyObject* rect = Py_BuildValue("(IIII)", rects[i].x, rects[i].y, rects[i].width, rects[i].height);
    if (rect == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), rect);
  }
  return list.release();
}

struct Change {
  PixelArray frame;
  std::optional<std::vector<PixelRect>> damage;
};

PyObject* change_to_python(Change change) {
  if (!change.damage) return Py_NewRef(Py_None);
  Ref rects = Ref::steal(rectangles(*change.damage));
  if (!rects) return nullptr;
  Ref frame = Ref::steal(frame_array(std::move(change.frame)));
  if (!frame) return nullptr;
  return PyTuple_Pack(2, frame.get(), rects.get());
}

Result<Change> wait_once(kestrin::CaptureSession& core, kestrin::Kestrin& session,
                         std::optional<kestrin::Clock::time_point> deadline, std::optional<PixelRect> watch) {
  auto pixels = new_frame(core);
  if (!pixels) return std::unexpected(pixels.error());
  auto damage = core.wait_for_change(session, deadline, watch, pixels->data.get());
  if (!damage) return std::unexpected(damage.error());
  return Change{std::move(*pixels), std::move(*damage)};
}

PyObject* wait_for_change(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return capture_call(
      self, args, nargs, kwnames, wait_signature,
      [](kestrin::CaptureSession& core, kestrin::Kestrin& session, const Values& v, const Bound&) {
        return wait_once(core, session, deadline_of(v[0]), region_of(v[1]));
      },
      change_to_python);
}

// Waits for changes until none came for quiet_ms; then a fresh frame.
Result<std::optional<PixelArray>> wait_stable(kestrin::CaptureSession& core, kestrin::Kestrin& session,
                                              std::uint32_t quiet_ms,
                                              std::optional<kestrin::Clock::time_point> deadline) {
  for (;;) {
    auto quiet_end = kestrin::Clock::now() + std::chrono::milliseconds(quiet_ms);
    const bool quiet_first = !deadline || quiet_end <= *deadline;
    auto change = wait_once(core, session, quiet_first ? quiet_end : *deadline, std::nullopt);
    if (!change) return std::unexpected(change.error());
    if (change->damage) continue;
    if (!quiet_first) return std::optional<PixelArray>();
    auto frame = new_frame(core);
    if (!frame) return std::unexpected(frame.error());
    // A compositor that stopped answering must not outlast the timeout.
    auto grabbed = core.grab_into(session, frame->data.get(), deadline);
    if (!grabbed) return std::unexpected(grabbed.error());
    if (!*grabbed) return std::optional<PixelArray>();
    return std::optional<PixelArray>(std::move(*frame));
  }
}

PyObject* wait_until_stable(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return capture_call(
      self, args, nargs, kwnames, stable_signature,
      [](kestrin::CaptureSession& core, kestrin::Kestrin& session, const Values& v, const Bound&) {
        return wait_stable(core, session, v[0].number, deadline_of(v[1]));
      },
      [](std::optional<PixelArray> frame) -> PyObject* {
        if (!frame) return Py_NewRef(Py_None);
        return frame_array(std::move(*frame));
      });
}

PyObject* enter(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyObject* exit(PyObject* self, PyObject* const* args, Py_ssize_t, PyObject*) noexcept {
  (void)args;
  PyObject* closed = close(self, nullptr, 0, nullptr);
  if (closed == nullptr) return nullptr;
  Py_DECREF(closed);
  return Py_NewRef(Py_False);
}

PyObject* iterate(PyObject* self) noexcept { return Py_NewRef(self); }

// The next frame; a closed capture ends the iteration.
PyObject* next_frame(PyObject* self) noexcept {
  auto* capture = reinterpret_cast<CaptureObject*>(self);
  if (capture->core->closed()) return nullptr;
  return capture_call(
      self, nullptr, 0, nullptr, grab_signature,
      [](kestrin::CaptureSession& core, kestrin::Kestrin& session, const Values&, const Bound&) -> Result<PixelArray> {
        auto pixels = new_frame(core);
        if (!pixels) return pixels;
        if (auto read = core.next_into(session, pixels->data.get()); !read) return std::unexpected(read.error());
        return pixels;
      },
      frame_array);
}

PyObject* get_width(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLong(reinterpret_cast<CaptureObject*>(self)->core->width());
}
PyObject* get_height(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLong(reinterpret_cast<CaptureObject*>(self)->core->height());
}
PyObject* get_closed(PyObject* self, void*) noexcept {
  return PyBool_FromLong(reinterpret_cast<CaptureObject*>(self)->core->closed());
}

void capture_dealloc(PyObject* self) noexcept {
  auto* capture = reinterpret_cast<CaptureObject*>(self);
  PyTypeObject* type = Py_TYPE(self);
  // The owner is alive (held here), so its connection is: the buffers and
  // pools are destroyed on the compositor's side, whatever call is running.
  // A forked child leaves them to the parent, whose connection it is.
  if (capture->core != nullptr && owner_of(capture)->made_here()) {
    capture->core->close(owner_of(capture)->session());
    delete capture->core;
  }
  Py_XDECREF(capture->owner);
  type->tp_free(self);
  Py_DECREF(type);
}

template <auto method>
PyCFunction as_function() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

PyMethodDef capture_methods[] = {
    {"grab", as_function<grab>(), METH_FASTCALL | METH_KEYWORDS,
     "grab($self, /)\n--\n\nThe next frame as a new (height, width, 4) uint8 array, as screenshot() gives it."},
    {"grab_into", as_function<grab_into>(), METH_FASTCALL | METH_KEYWORDS,
     "grab_into($self, array)\n--\n\n"
     "The next frame into a writable C-contiguous (height, width, 4) uint8 array, allocating nothing."},
    {"wait_for_change", as_function<wait_for_change>(), METH_FASTCALL | METH_KEYWORDS,
     "wait_for_change($self, timeout_ms=None, region=None)\n--\n\n"
     "Sleeps until something in region (output pixels; the capture's when None) changed since the last wait, "
     "and returns (frame, [(x, y, width, height), ...]); None once timeout_ms passed."},
    {"wait_until_stable", as_function<wait_until_stable>(), METH_FASTCALL | METH_KEYWORDS,
     "wait_until_stable($self, quiet_ms, timeout_ms=None)\n--\n\n"
     "Returns a frame once nothing changed for quiet_ms; None once timeout_ms passed first."},
    {"close", as_function<close>(), METH_FASTCALL | METH_KEYWORDS,
     "close($self, /)\n--\n\nGives the buffers and pools back to the compositor; later grabs fail."},
    {"__enter__", as_function<enter>(), METH_NOARGS, nullptr},
    {"__exit__", as_function<exit>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef capture_getset[] = {
    {"width", get_width, nullptr, const_cast<char*>("Width of every frame in pixels."), nullptr},
    {"height", get_height, nullptr, const_cast<char*>("Height of every frame in pixels."), nullptr},
    {"closed", get_closed, nullptr, const_cast<char*>("Whether close() has given the buffers back."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot capture_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(capture_dealloc)},
    {Py_tp_methods, capture_methods},
    {Py_tp_getset, capture_getset},
    {Py_tp_iter, reinterpret_cast<void*>(iterate)},
    {Py_tp_iternext, reinterpret_cast<void*>(next_frame)},
    {Py_tp_doc, const_cast<char*>("A lasting capture of one output, made by Kestrin.capture().\n\n"
                                  "Iterating gives one frame per refresh of the output.")},
    {0, nullptr},
};

// Not instantiable from Python; without garbage-collector
// support, as it can only refer to a Kestrin object, which refers to nothing.
PyType_Spec capture_spec = {
    "kestrin.Capture", static_cast<int>(sizeof(CaptureObject)), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, capture_slots,
};

PyObject* wrap_capture(PyObject* owner, kestrin::CaptureSession core) {
  auto* object = PyObject_New(CaptureObject, capture_type);
  if (object == nullptr) {
    Borrow borrow(reinterpret_cast<KestrinObject*>(owner));
    if (borrow) core.close(borrow.session());
    return nullptr;
  }
  object->owner = Py_NewRef(owner);
  object->core = new kestrin::CaptureSession(std::move(core));
  return reinterpret_cast<PyObject*>(object);
}

}  // namespace

bool add_capture_type(PyObject* module) {
  if (capture_type == nullptr) {
    capture_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&capture_spec));
    if (capture_type == nullptr) return false;
  }
  return PyModule_AddObjectRef(module, "Capture", reinterpret_cast<PyObject*>(capture_type)) == 0;
}

PyObject* capture(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return call_method(
      self, args, nargs, kwnames, capture_signature,
      [](kestrin::Kestrin& session, const Values& v) {
        return kestrin::open_capture(session, v[0].optional_text(), region_of(v[1]));
      },
      [self](kestrin::CaptureSession core) { return wrap_capture(self, std::move(core)); });
}

}  // namespace kestrin::py
