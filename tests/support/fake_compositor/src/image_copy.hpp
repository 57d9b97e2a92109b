// ext-image-copy-capture-v1 with output capture sources: sessions announce
// the output's size and the manager's formats, and frames are answered as
// the scenario's image_copy entries say.
#pragma once

#include <wayland-server-core.h>

#include <cstdint>

namespace kestrin::fake::image_copy {

void bind_capture_manager(wl_client* client, void* data, std::uint32_t version, std::uint32_t id);
void bind_source_manager(wl_client* client, void* data, std::uint32_t version, std::uint32_t id);

}  // namespace kestrin::fake::image_copy
