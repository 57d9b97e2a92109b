// libpipewire-0.3 is loaded from the system when the first GNOME session
// opens, not linked: a wheel cannot carry it (the library finds its plugins
// and modules in the system's own directories, which must match its version),
// and `import kestrin.gnome` must work on machines that never open a session.
// The pw_ functions the backend calls are defined in pipewire_library.cpp and
// forward to the loaded library.
#pragma once

#include "kestrin_lib/error.hpp"

namespace kestrin::gnome {

// Loads the library once; every later call returns the first outcome. Must
// succeed before any pw_ function is called.
Status load_pipewire();

}  // namespace kestrin::gnome
