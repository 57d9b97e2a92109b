#include "globals.hpp"

#include <algorithm>
#include <cstring>

namespace probe {
namespace {

template <class T>
void bind(kestrin::Proxy<T>& slot, wl_registry* registry, std::uint32_t name, const wl_interface* interface,
          std::uint32_t advertised, std::uint32_t wanted) {
  if (slot) return;  // the first seat is the one that counts
  slot.reset(static_cast<T*>(wl_registry_bind(registry, name, interface, std::min(advertised, wanted))));
}

void handle_global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                   std::uint32_t version) {
  auto& globals = *static_cast<Globals*>(data);
  if (std::strcmp(interface, wl_compositor_interface.name) == 0) {
    // Version 4 brings damage_buffer.
    bind(globals.compositor, registry, name, &wl_compositor_interface, version, 4);
  } else if (std::strcmp(interface, wl_shm_interface.name) == 0) {
    bind(globals.shm, registry, name, &wl_shm_interface, version, 1);
  } else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0) {
    bind(globals.wm_base, registry, name, &xdg_wm_base_interface, version, 1);
  } else if (std::strcmp(interface, wl_seat_interface.name) == 0) {
    // Up to 8 so that every pointer event a compositor may send is reported.
    bind(globals.seat, registry, name, &wl_seat_interface, version, 8);
  } else if (std::strcmp(interface, kestrin::zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
    bind(globals.keyboard_manager, registry, name, &kestrin::zwp_virtual_keyboard_manager_v1_interface, version, 1);
  }
}

void handle_global_remove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener registry_listener = {.global = handle_global, .global_remove = handle_global_remove};

}  // namespace

std::string Globals::missing() const {
  if (!compositor) return wl_compositor_interface.name;
  if (!shm) return wl_shm_interface.name;
  if (!wm_base) return xdg_wm_base_interface.name;
  if (!seat) return wl_seat_interface.name;
  return {};
}

kestrin::Result<std::unique_ptr<Globals>> bind_globals(const kestrin::EventQueue& queue,
                                                       const kestrin::QueueHandle& queue_handle) {
  auto globals = std::make_unique<Globals>();
  globals->registry.reset(wl_display_get_registry(queue_handle.display()));
  wl_registry_add_listener(globals->registry.get(), &registry_listener, globals.get());
  if (auto done = kestrin::roundtrip(queue, queue_handle); !done) return std::unexpected(done.error());
  return globals;
}

}  // namespace probe
