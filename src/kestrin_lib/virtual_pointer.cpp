#include "kestrin_lib/virtual_pointer.hpp"

#include <wayland-client-protocol.h>

namespace kestrin {
namespace {

const wl_interface* no_types[] = {nullptr, nullptr, nullptr, nullptr, nullptr};
const wl_interface* create_virtual_pointer_types[] = {&wl_seat_interface, &zwlr_virtual_pointer_v1_interface};
const wl_interface* create_virtual_pointer_with_output_types[] = {&wl_seat_interface, &wl_output_interface,
                                                                  &zwlr_virtual_pointer_v1_interface};

const wl_message manager_requests[] = {
    {"create_virtual_pointer", "?on", create_virtual_pointer_types},
    {"destroy", "", no_types},  // destructor
    {"create_virtual_pointer_with_output", "2?o?on", create_virtual_pointer_with_output_types},
};

const wl_message pointer_requests[] = {
    {"motion", "uff", no_types},
    {"motion_absolute", "uuuuu", no_types},
    {"button", "uuu", no_types},
    {"axis", "uuf", no_types},
    {"frame", "", no_types},
    {"axis_source", "u", no_types},
    {"axis_stop", "uu", no_types},
    {"axis_discrete", "uufi", no_types},
    {"destroy", "", no_types},  // destructor
};

enum : std::uint32_t { create_virtual_pointer_opcode = 0, create_virtual_pointer_with_output_opcode = 2 };
enum : std::uint32_t {
  motion_absolute_opcode = 1,
  button_opcode = 2,
  axis_opcode = 3,
  frame_opcode = 4,
  axis_source_opcode = 5,
  axis_stop_opcode = 6,
  axis_discrete_opcode = 7,
};

// Sends a request that creates nothing.
template <class... Args>
void send(zwlr_virtual_pointer_v1* pointer, std::uint32_t opcode, Args... args) {
  wl_proxy_marshal_flags(as_proxy(pointer), opcode, nullptr, wl_proxy_get_version(as_proxy(pointer)), 0, args...);
}

}  // namespace

const wl_interface zwlr_virtual_pointer_manager_v1_interface = {
    "zwlr_virtual_pointer_manager_v1", 2, 3, manager_requests, 0, nullptr,
};

const wl_interface zwlr_virtual_pointer_v1_interface = {
    "zwlr_virtual_pointer_v1", 2, 9, pointer_requests, 0, nullptr,
};

namespace virtual_pointer {

zwlr_virtual_pointer_v1* create_virtual_pointer(zwlr_virtual_pointer_manager_v1* manager, wl_seat* seat,
                                                const QueueHandle& queue_handle) {
  return queue_handle.create<zwlr_virtual_pointer_v1>(manager, [seat](zwlr_virtual_pointer_manager_v1* wrapper) {
    return reinterpret_cast<zwlr_virtual_pointer_v1*>(
        wl_proxy_marshal_flags(as_proxy(wrapper), create_virtual_pointer_opcode, &zwlr_virtual_pointer_v1_interface,
                               wl_proxy_get_version(as_proxy(wrapper)), 0, seat, nullptr));
  });
}

zwlr_virtual_pointer_v1* create_virtual_pointer_with_output(zwlr_virtual_pointer_manager_v1* manager, wl_seat* seat,
                                                            wl_output* output, const QueueHandle& queue_handle) {
  return queue_handle.create<zwlr_virtual_pointer_v1>(manager, [seat, output](zwlr_virtual_pointer_manager_v1* wrapper) {
    return reinterpret_cast<zwlr_virtual_pointer_v1*>(wl_proxy_marshal_flags(
        as_proxy(wrapper), create_virtual_pointer_with_output_opcode, &zwlr_virtual_pointer_v1_interface,
        wl_proxy_get_version(as_proxy(wrapper)), 0, seat, output, nullptr));
  });
}

void motion_absolute(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t x, std::uint32_t y,
                     std::uint32_t x_extent, std::uint32_t y_extent) {
  send(pointer, motion_absolute_opcode, time, x, y, x_extent, y_extent);
}

void button(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t button, std::uint32_t state) {
  send(pointer, button_opcode, time, button, state);
}

void axis(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t axis, std::int32_t value) {
  send(pointer, axis_opcode, time, axis, value);
}

void frame(zwlr_virtual_pointer_v1* pointer) { send(pointer, frame_opcode); }

void axis_source(zwlr_virtual_pointer_v1* pointer, std::uint32_t source) { send(pointer, axis_source_opcode, source); }

void axis_stop(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t axis) {
  send(pointer, axis_stop_opcode, time, axis);
}

void axis_discrete(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t axis, std::int32_t value,
                   std::int32_t discrete) {
  send(pointer, axis_discrete_opcode, time, axis, value, discrete);
}

}  // namespace virtual_pointer
}  // namespace kestrin
