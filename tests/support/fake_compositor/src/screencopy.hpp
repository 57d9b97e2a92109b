// zwlr_screencopy_manager_v1 and its frames: frames are answered as the
// scenario says, and a copy writes the test pattern into a wl_shm buffer
// that passes wlroots' checks.
#pragma once

#include <wayland-server-core.h>

#include <cstdint>

namespace kestrin::fake::screencopy {

void bind(wl_client* client, void* data, std::uint32_t version, std::uint32_t id);

}  // namespace kestrin::fake::screencopy
