#include "seat.hpp"

#include <wayland-server-protocol.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>

#include "posix.hpp"
#include "resource.hpp"
#include "server.hpp"

namespace kestrin::fake::seat {
namespace {

enum : std::uint32_t { seat_get_pointer = 0, seat_get_keyboard = 1, seat_get_touch = 2, seat_release = 3 };

const char seat_tag = 0;
const char device_tag = 0;

// wl_pointer, wl_keyboard and wl_touch: the only request that does anything
// is release (the last request of each).
int dispatch_device(const void*, void* target, std::uint32_t, const wl_message* message, wl_argument*) {
  if (std::string_view(message->name) == "release") wl_resource_destroy(as_resource(target));
  return 0;
}

void forget_keyboard(wl_resource* keyboard) {
  auto* global = static_cast<GlobalState*>(wl_resource_get_user_data(keyboard));
  // Gone already when the whole client is being destroyed.
  if (ClientState* client = global->server->client(wl_resource_get_client(keyboard))) {
    std::erase(client->keyboards, keyboard);
  }
}

void get_keyboard(wl_resource* seat, std::uint32_t id) {
  auto* global = static_cast<GlobalState*>(wl_resource_get_user_data(seat));
  wl_resource* keyboard = create_resource(wl_resource_get_client(seat), &wl_keyboard_interface,
                                          wl_resource_get_version(seat), id, dispatch_device, &device_tag, global,
                                          forget_keyboard);
  if (keyboard == nullptr) return;
  const SeatConfig& config = global->config.seat;
  bool keymaps = !config.keymap_clients;
  if (ClientState* client = global->server->client(wl_resource_get_client(seat))) {
    client->keyboards.push_back(keyboard);
    keymaps = keymaps || static_cast<std::uint32_t>(client->number) <= *config.keymap_clients;
  }
  if (keymaps) {
    for (const KeymapConfig& keymap : config.keymaps) send_keymap(keyboard, keymap);
  }
  if (config.repeat_info && wl_resource_get_version(keyboard) >= WL_KEYBOARD_REPEAT_INFO_SINCE_VERSION) {
    wl_keyboard_send_repeat_info(keyboard, (*config.repeat_info)[0], (*config.repeat_info)[1]);
  }
}

void get_device(wl_resource* seat, const wl_interface* interface, std::uint32_t id) {
  create_resource(wl_resource_get_client(seat), interface, wl_resource_get_version(seat), id, dispatch_device,
                  &device_tag, nullptr);
}

int dispatch_seat(const void*, void* target, std::uint32_t opcode, const wl_message*, wl_argument* args) {
  wl_resource* seat = as_resource(target);
  switch (opcode) {
    case seat_get_pointer:
      get_device(seat, &wl_pointer_interface, args[0].n);
      break;
    case seat_get_keyboard:
      get_keyboard(seat, args[0].n);
      break;
    case seat_get_touch:
      get_device(seat, &wl_touch_interface, args[0].n);
      break;
    case seat_release:
      wl_resource_destroy(seat);
      break;
  }
  return 0;
}

}  // namespace

void send_keymap(wl_resource* keyboard, const KeymapConfig& keymap) {
  try {
    std::string file = keymap.content;
    file.push_back('\0');
    UniqueFd fd = memory_file("fake-keymap", file);
    // The event carries its own duplicate of the descriptor.
    wl_keyboard_send_keymap(keyboard, keymap.format, fd.get(), keymap.announced_size());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "fake compositor: no keymap sent: %s\n", error.what());
  }
}

void bind(wl_client* client, void* data, std::uint32_t version, std::uint32_t id) {
  auto* global = static_cast<GlobalState*>(data);
  wl_resource* seat = create_resource(client, wl_global_get_interface(global->global), static_cast<int>(version), id,
                                      dispatch_seat, &seat_tag, global);
  if (seat == nullptr) return;
  wl_seat_send_capabilities(seat, global->config.seat.capabilities);
  if (global->config.seat.name && version >= WL_SEAT_NAME_SINCE_VERSION) {
    wl_seat_send_name(seat, global->config.seat.name->c_str());
  }
}

}  // namespace kestrin::fake::seat
