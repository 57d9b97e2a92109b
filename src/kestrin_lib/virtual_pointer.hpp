// The virtual pointer protocol: zwlr_virtual_pointer_manager_v1 version 2 and
// zwlr_virtual_pointer_v1 version 2. Neither interface has events.
#pragma once

#include <wayland-client-core.h>

#include <cstdint>

#include "kestrin_lib/wayland.hpp"

struct wl_output;
struct wl_seat;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_virtual_pointer_v1;

namespace kestrin {

extern const wl_interface zwlr_virtual_pointer_manager_v1_interface;
extern const wl_interface zwlr_virtual_pointer_v1_interface;

namespace virtual_pointer {

enum : std::uint32_t { button_state_released = 0, button_state_pressed = 1 };
enum : std::uint32_t { axis_vertical = 0, axis_horizontal = 1 };
enum : std::uint32_t { axis_source_wheel = 0, axis_source_finger = 1 };

// The manager version that can bind a pointer to one output.
inline constexpr std::uint32_t with_output_since_version = 2;

// zwlr_virtual_pointer_manager_v1.create_virtual_pointer (opcode 0); `seat`
// may be null. The new pointer has the manager's version.
zwlr_virtual_pointer_v1* create_virtual_pointer(zwlr_virtual_pointer_manager_v1* manager, wl_seat* seat,
                                                const QueueHandle& queue_handle);

// zwlr_virtual_pointer_manager_v1.create_virtual_pointer_with_output (opcode
// 2, manager version 2): absolute motion then spans that output only.
zwlr_virtual_pointer_v1* create_virtual_pointer_with_output(zwlr_virtual_pointer_manager_v1* manager, wl_seat* seat,
                                                            wl_output* output, const QueueHandle& queue_handle);

// zwlr_virtual_pointer_v1.motion_absolute (opcode 1).
void motion_absolute(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t x, std::uint32_t y,
                     std::uint32_t x_extent, std::uint32_t y_extent);

// zwlr_virtual_pointer_v1.button (opcode 2).
void button(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t button, std::uint32_t state);

// zwlr_virtual_pointer_v1.axis (opcode 3); `value` is a wl_fixed_t.
void axis(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t axis, std::int32_t value);

// zwlr_virtual_pointer_v1.frame (opcode 4): the events since the last frame
// belong together.
void frame(zwlr_virtual_pointer_v1* pointer);

// zwlr_virtual_pointer_v1.axis_source (opcode 5).
void axis_source(zwlr_virtual_pointer_v1* pointer, std::uint32_t source);

// zwlr_virtual_pointer_v1.axis_stop (opcode 6).
void axis_stop(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t axis);

// zwlr_virtual_pointer_v1.axis_discrete (opcode 7); `value` is a wl_fixed_t.
void axis_discrete(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t axis, std::int32_t value,
                   std::int32_t discrete);

}  // namespace virtual_pointer
}  // namespace kestrin
