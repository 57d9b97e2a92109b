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

enum : std::uint32_t { create_virtual_pointer_opcode = 0 };
enum : std::uint32_t { motion_absolute_opcode = 1, button_opcode = 2 };

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

void motion_absolute(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t x, std::uint32_t y,
                     std::uint32_t x_extent, std::uint32_t y_extent) {
  wl_proxy_marshal_flags(as_proxy(pointer), motion_absolute_opcode, nullptr, wl_proxy_get_version(as_proxy(pointer)), 0,
                         time, x, y, x_extent, y_extent);
}

void button(zwlr_virtual_pointer_v1* pointer, std::uint32_t time, std::uint32_t button, std::uint32_t state) {
  wl_proxy_marshal_flags(as_proxy(pointer), button_opcode, nullptr, wl_proxy_get_version(as_proxy(pointer)), 0, time,
                         button, state);
}

}  // namespace virtual_pointer
}  // namespace kestrin
