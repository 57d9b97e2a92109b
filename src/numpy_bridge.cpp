#include "numpy_bridge.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

#include <cstdlib>
#include <string>

#include "errors.hpp"

namespace kestrin::py {
namespace {

constexpr const char pixels_capsule_name[] = "kestrin.pixels";

// The capsule that carries NumPy's API table, held for the process once the
// table passed the checks below; PyArray_API points into it.
PyObject* api_capsule = nullptr;

Ref import_multiarray() {
  // NumPy 2 moved the module; its old name still works there but warns.
  Ref module = Ref::steal(PyImport_ImportModule("numpy._core.multiarray"));
  if (!module && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
    PyErr_Clear();
    module = Ref::steal(PyImport_ImportModule("numpy.core.multiarray"));
  }
  return module;
}

// The checks NumPy's own import_array() makes before the table is used: the
// running NumPy must be ABI compatible with the headers we were built with
// and offer at least their feature level.
bool check_api() {
  if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
    PyErr_Format(PyExc_RuntimeError, "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                 static_cast<unsigned>(NPY_VERSION), static_cast<unsigned>(PyArray_GetNDArrayCVersion()));
    return false;
  }
  const int feature_version = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
  if (NPY_FEATURE_VERSION > feature_version) {
    PyErr_Format(PyExc_RuntimeError, "module compiled against NumPy C-API version 0x%x but the running NumPy has 0x%x",
                 static_cast<unsigned>(NPY_FEATURE_VERSION), static_cast<unsigned>(feature_version));
    return false;
  }
#if NPY_ABI_VERSION >= 0x02000000
  // NumPy 2 headers choose between old and new struct layouts by this.
  PyArray_RUNTIME_VERSION = feature_version;
#endif
  const int endianness = PyArray_GetEndianness();
#if NPY_BYTE_ORDER == NPY_BIG_ENDIAN
  const bool matches = endianness == NPY_CPU_BIG;
#else
  const bool matches = endianness == NPY_CPU_LITTLE;
#endif
  if (!matches) {
    PyErr_SetString(PyExc_RuntimeError, "the running NumPy has another byte order than this module");
    return false;
  }
  return true;
}

// Loads and checks the table. False with the reason set as a Python error.
bool load_api() {
  Ref module = import_multiarray();
  if (!module) return false;
  Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
  if (!capsule) return false;
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not a capsule");
    return false;
  }
  auto* table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (table == nullptr) return false;
  PyArray_API = table;
  if (!check_api()) {
    PyArray_API = nullptr;
    return false;
  }
  api_capsule = capsule.release();
  return true;
}

bool ensure_api() {
  if (api_capsule != nullptr) return true;
  if (load_api()) return true;
  // Ctrl-C or an exit during the import is the caller's, not a broken NumPy:
  // it goes on unchanged, and the next capture tries the import again.
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
  Ref error = Ref::steal(PyErr_GetRaisedException());
  raise_internal_fault("Failed to access NumPy array API capsule: " + describe_exception(error.get()));
  return false;
}

void free_pixels(PyObject* capsule) noexcept { std::free(PyCapsule_GetPointer(capsule, pixels_capsule_name)); }

}  // namespace

PyObject* pixels_to_ndarray(PixelArray pixels) {
  if (!ensure_api()) return nullptr;
  npy_intp dims[3] = {static_cast<npy_intp>(pixels.height), static_cast<npy_intp>(pixels.width), 4};
  npy_intp strides[3] = {static_cast<npy_intp>(pixels.width) * 4, 4, 1};

  Ref owner = Ref::steal(PyCapsule_New(pixels.data.get(), pixels_capsule_name, free_pixels));
  if (!owner) return nullptr;
  std::uint8_t* data = pixels.data.release();  // the capsule frees it from here on

  Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(NPY_UINT8), 3, dims, strides, data,
                                              NPY_ARRAY_CARRAY, nullptr));
  if (!array) return nullptr;
  // Steals the owner even when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0) return nullptr;
  return array.release();
}

}  // namespace kestrin::py
