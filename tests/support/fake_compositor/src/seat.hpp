// wl_seat with its keyboard (which sends the scenario's keymaps), pointer and
// touch (which do nothing).
#pragma once

#include <wayland-server-core.h>

#include <cstdint>

#include "scenario.hpp"

namespace kestrin::fake::seat {

void bind(wl_client* client, void* data, std::uint32_t version, std::uint32_t id);

// Sends `keymap` on a wl_keyboard, its file holding the content and a NUL.
void send_keymap(wl_resource* keyboard, const KeymapConfig& keymap);

}  // namespace kestrin::fake::seat
