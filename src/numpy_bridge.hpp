// Hands a captured picture to Python as a NumPy array without copying it.
// NumPy is reached only here and only on first use, so importing the module
// does not need NumPy.
#pragma once

#include "py_support.hpp"

#include "kestrin_lib/helper.hpp"

namespace kestrin::py {

// A new uint8 array of shape (height, width, 4), C-contiguous and writeable,
// whose base object owns (and eventually frees) the pixel buffer. Null with
// an exception set on failure; InternalFault when NumPy's C API cannot be
// reached. The pixels are discarded on every failure.
PyObject* pixels_to_ndarray(PixelArray pixels);

}  // namespace kestrin::py
