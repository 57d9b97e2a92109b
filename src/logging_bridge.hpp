// The log facade's sink: forwards the core's records to Python's `logging`,
// under loggers named after the record targets ("kestrin::kestrin_lib::shm"
// becomes "kestrin.kestrin_lib.shm").
#pragma once

#include "py_support.hpp"

namespace kestrin::py {

// Imports `logging`, registers the bridge as the facade's sink for the rest of
// the process and opens the facade up to debug records. Call with the
// interpreter lock held. False with InternalFault raised when `logging` cannot
// be imported or a sink is already registered.
bool install_logging_bridge();

}  // namespace kestrin::py
