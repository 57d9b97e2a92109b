// The compositor's globals that the probe needs, bound from the registry.
#pragma once

#include <wayland-client-protocol.h>

#include <memory>
#include <string>

#include "kestrin_lib/virtual_keyboard.hpp"
#include "kestrin_lib/wayland.hpp"
#include "xdg-shell-client-protocol.h"

namespace probe {

struct Globals {
  kestrin::Proxy<wl_registry> registry;
  kestrin::Proxy<wl_compositor> compositor;
  kestrin::Proxy<wl_shm> shm;
  kestrin::Proxy<xdg_wm_base> wm_base;
  kestrin::Proxy<wl_seat> seat;
  kestrin::Proxy<zwp_virtual_keyboard_manager_v1> keyboard_manager;

  // The interface name of the first global that is missing; empty when all
  // are there.
  std::string missing() const;
};

// Binds the globals during one roundtrip. Everything bound belongs to the
// queue of `queue_handle`, and so does every object made from them later. The
// registry keeps reporting globals into the result, so it must stay where it is.
kestrin::Result<std::unique_ptr<Globals>> bind_globals(const kestrin::EventQueue& queue, const kestrin::QueueHandle& queue_handle);

}  // namespace probe
