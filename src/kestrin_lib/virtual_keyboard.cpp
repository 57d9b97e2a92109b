#include "kestrin_lib/virtual_keyboard.hpp"

#include <wayland-client-protocol.h>

namespace kestrin {
namespace {

const wl_interface* no_types[] = {nullptr, nullptr, nullptr, nullptr};
const wl_interface* create_virtual_keyboard_types[] = {&wl_seat_interface, &zwp_virtual_keyboard_v1_interface};

const wl_message manager_requests[] = {
    {"create_virtual_keyboard", "on", create_virtual_keyboard_types},
};

const wl_message keyboard_requests[] = {
    {"keymap", "uhu", no_types},
    {"key", "uuu", no_types},
    {"modifiers", "uuuu", no_types},
    {"destroy", "", no_types},  // destructor
};

enum : std::uint32_t { create_virtual_keyboard_opcode = 0 };
enum : std::uint32_t { keymap_opcode = 0, key_opcode = 1, modifiers_opcode = 2, destroy_opcode = 3 };

}  // namespace

const wl_interface zwp_virtual_keyboard_manager_v1_interface = {
    "zwp_virtual_keyboard_manager_v1", 1, 1, manager_requests, 0, nullptr,
};

const wl_interface zwp_virtual_keyboard_v1_interface = {
    "zwp_virtual_keyboard_v1", 1, 4, keyboard_requests, 0, nullptr,
};

namespace virtual_keyboard {

zwp_virtual_keyboard_v1* create_virtual_keyboard(zwp_virtual_keyboard_manager_v1* manager, wl_seat* seat,
                                                 const QueueHandle& queue_handle) {
  return queue_handle.create<zwp_virtual_keyboard_v1>(manager, [seat](zwp_virtual_keyboard_manager_v1* wrapper) {
    return reinterpret_cast<zwp_virtual_keyboard_v1*>(
        wl_proxy_marshal_flags(as_proxy(wrapper), create_virtual_keyboard_opcode, &zwp_virtual_keyboard_v1_interface,
                               wl_proxy_get_version(as_proxy(wrapper)), 0, seat, nullptr));
  });
}

void keymap(zwp_virtual_keyboard_v1* keyboard, std::uint32_t format, int fd, std::uint32_t size) {
  wl_proxy_marshal_flags(as_proxy(keyboard), keymap_opcode, nullptr, wl_proxy_get_version(as_proxy(keyboard)), 0,
                         format, fd, size);
}

void key(zwp_virtual_keyboard_v1* keyboard, std::uint32_t time, std::uint32_t key, std::uint32_t state) {
  wl_proxy_marshal_flags(as_proxy(keyboard), key_opcode, nullptr, wl_proxy_get_version(as_proxy(keyboard)), 0, time,
                         key, state);
}

void modifiers(zwp_virtual_keyboard_v1* keyboard, std::uint32_t depressed, std::uint32_t latched,
               std::uint32_t locked, std::uint32_t group) {
  wl_proxy_marshal_flags(as_proxy(keyboard), modifiers_opcode, nullptr, wl_proxy_get_version(as_proxy(keyboard)), 0,
                         depressed, latched, locked, group);
}

}  // namespace virtual_keyboard
}  // namespace kestrin
