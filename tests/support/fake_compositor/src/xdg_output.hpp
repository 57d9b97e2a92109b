// zxdg_output_manager_v1: the outputs' logical geometry, answered as wlroots
// does (the details, then wl_output's done).
#pragma once

#include <wayland-server-core.h>

#include <cstdint>

namespace kestrin::fake::xdg_output {

void bind(wl_client* client, void* data, std::uint32_t version, std::uint32_t id);

}  // namespace kestrin::fake::xdg_output
