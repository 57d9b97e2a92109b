// The two globals the tool needs: the first seat and the virtual keyboard
// manager.
#pragma once

#include <wayland-client-protocol.h>

#include <memory>
#include <string>

#include "kestrin_lib/virtual_keyboard.hpp"
#include "kestrin_lib/wayland.hpp"

namespace seat_keyboard {

struct Globals {
  kestrin::Proxy<wl_registry> registry;
  kestrin::Proxy<wl_seat> seat;
  kestrin::Proxy<zwp_virtual_keyboard_manager_v1> manager;
};

// Binds them during one roundtrip. The result lives on the heap because the
// registry listener keeps its address. On failure `error` says why.
std::unique_ptr<Globals> bind_globals(const kestrin::EventQueue& queue, const kestrin::QueueHandle& queue_handle,
                                      std::string& error);

}  // namespace seat_keyboard
