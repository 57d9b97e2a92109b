// Objects that accept every request and do nothing: the virtual keyboard and
// virtual pointer families, and every interface the scenario advertises
// without the fake implementing it.
#pragma once

#include <wayland-server-core.h>

#include <cstdint>

namespace kestrin::fake::inert {

void bind(wl_client* client, void* data, std::uint32_t version, std::uint32_t id);

}  // namespace kestrin::fake::inert
