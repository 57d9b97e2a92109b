#include "globals.hpp"

#include <cstring>

namespace seat_keyboard {
namespace {

void handle_global(void* data, wl_registry* registry, std::uint32_t name, const char* interface, std::uint32_t) {
  auto& globals = *static_cast<Globals*>(data);
  // Version 1 of each is all the tool uses. Only the first seat counts: it is
  // the one sway calls seat0 and the one Kestrin() takes.
  if (std::strcmp(interface, wl_seat_interface.name) == 0 && !globals.seat) {
    globals.seat.reset(static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1)));
  } else if (std::strcmp(interface, kestrin::zwp_virtual_keyboard_manager_v1_interface.name) == 0 &&
             !globals.manager) {
    globals.manager.reset(static_cast<zwp_virtual_keyboard_manager_v1*>(
        wl_registry_bind(registry, name, &kestrin::zwp_virtual_keyboard_manager_v1_interface, 1)));
  }
}

void handle_global_remove(void*, wl_registry*, std::uint32_t) {}

const wl_registry_listener registry_listener = {.global = handle_global, .global_remove = handle_global_remove};

}  // namespace

std::unique_ptr<Globals> bind_globals(const kestrin::EventQueue& queue, const kestrin::QueueHandle& queue_handle,
                                      std::string& error) {
  auto globals = std::make_unique<Globals>();
  globals->registry.reset(wl_display_get_registry(queue_handle.display()));
  if (!globals->registry) {
    error = "out of memory";
    return nullptr;
  }
  wl_registry_add_listener(globals->registry.get(), &registry_listener, globals.get());
  if (auto done = kestrin::roundtrip(queue, queue_handle); !done) {
    error = kestrin::report_text(done.error());
    return nullptr;
  }
  if (!globals->seat) {
    error = "the compositor offers no wl_seat";
    return nullptr;
  }
  if (!globals->manager) {
    error = "the compositor offers no zwp_virtual_keyboard_manager_v1";
    return nullptr;
  }
  return globals;
}

}  // namespace seat_keyboard
