// The list of kestrin.Output records that outputs() returns, in kestrin and
// in kestrin.gnome alike.
#pragma once

#include "py_support.hpp"

#include <vector>

#include "kestrin_lib/outputs.hpp"

namespace kestrin::py {

// A new list of records of `type` (kestrin.Output), one per output; null with
// an exception set.
PyObject* output_list(PyTypeObject* type, const std::vector<OutputInfo>& infos);

}  // namespace kestrin::py
