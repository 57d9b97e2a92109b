// Which description and which implementation a global of a given interface
// name gets.
#pragma once

#include <wayland-server-core.h>

#include <string_view>

namespace kestrin::fake {

// The description libwayland-server (core protocol) or kestrin (extensions)
// carries for `name`; null for any other name.
const wl_interface* known_interface(std::string_view name);

// The bind handler for a global of `name`. Interfaces without a dedicated
// implementation get inert objects that accept every request.
wl_global_bind_func_t binder_for(std::string_view name);

}  // namespace kestrin::fake
