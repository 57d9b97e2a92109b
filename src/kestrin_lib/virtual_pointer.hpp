// The virtual pointer protocol: zwlr_virtual_pointer_manager_v1 version 2 and
// zwlr_virtual_pointer_v1 version 2. Neither interface has events.
#pragma once

#include <wayland-client-core.h>

#include <cstdint>

#include "kestrin_lib/wayland.hpp"

struct wl_seat;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;

namespace kestrin {

extern const wl_interface zwlr_virtual_pointer_manager_v1_interface;
extern const wl_interface zwlr_virtual_pointer_v1_interface;

namespace virtual_pointer {

enum : std::uint32_t { button_state_released = 0, button_state_pressed = 1 };

// zwlr_virtual_pointer_manager_v1.create_virtual_pointer (opcode 0); `seat`
// may be null. The new pointer has the manager's version.
zwlr_virtual_pointer_v1* create_virtual_pointer(zwlr_virtual_pointer_manager_v1* manager, wl_seat* seat,
                                                const QueueHandle& queue_handle);

// zwlr_virtual_pointer_v1.motion_absolute (opcode 1).
void motion_absolute(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t x, std::uint32_t y,
                     std::uint32_t x_extent, std::uint32_t y_extent);

// zwlr_virtual_pointer_v1.button (opcode 2).
void button(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t button, std::uint32_t state);

}  // namespace virtual_pointer
}  // namespace kestrin
