// The virtual keyboard protocol: zwp_virtual_keyboard_manager_v1 version 1
// and zwp_virtual_keyboard_v1 version 1. Neither interface has events.
#pragma once

#include <wayland-client-core.h>

#include <cstdint>

#include "kestrin_lib/wayland.hpp"

struct wl_seat;
struct zwp_virtual_keyboard_manager_v1;
struct zwp_virtual_keyboard_v1;

namespace kestrin {

extern const wl_interface zwp_virtual_keyboard_manager_v1_interface;
extern const wl_interface zwp_virtual_keyboard_v1_interface;

namespace virtual_keyboard {

enum : std::uint32_t { keymap_format_no_keymap = 0, keymap_format_xkb_v1 = 1 };
enum : std::uint32_t { key_state_released = 0, key_state_pressed = 1 };

// zwp_virtual_keyboard_manager_v1.create_virtual_keyboard (opcode 0).
zwp_virtual_keyboard_v1* create_virtual_keyboard(zwp_virtual_keyboard_manager_v1* manager, wl_seat* seat,
                                                 const QueueHandle& queue_handle);

// zwp_virtual_keyboard_v1.keymap (opcode 0). The request carries its own
// duplicate of `fd`.
void keymap(zwp_virtual_keyboard_v1* keyboard, std::uint32_t format, int fd, std::uint32_t size);

// zwp_virtual_keyboard_v1.key (opcode 1).
void key(zwp_virtual_keyboard_v1* keyboard, std::uint32_t time, std::uint32_t key, std::uint32_t state);

// zwp_virtual_keyboard_v1.modifiers (opcode 2).
void modifiers(zwp_virtual_keyboard_v1* keyboard, std::uint32_t depressed, std::uint32_t latched,
               std::uint32_t locked, std::uint32_t group);

}  // namespace virtual_keyboard
}  // namespace kestrin
