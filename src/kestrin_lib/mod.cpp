#include "kestrin_lib/mod.hpp"

#include <wayland-client-protocol.h>

#include <algorithm>

#include <unistd.h>

#include "kestrin_lib/sleep.hpp"
#include "kestrin_lib/virtual_keyboard.hpp"
#include "kestrin_lib/virtual_pointer.hpp"

namespace kestrin {
namespace {

constexpr std::uint32_t no_timestamp = 0;

}  // namespace

Kestrin::Kestrin(EventQueue event_queue, QueueHandle queue_handle, std::unique_ptr<AppData> app_data,
                 Proxy<zwp_virtual_keyboard_v1> virtual_keyboard, Proxy<zwlr_virtual_pointer_v1> virtual_pointer)
    : event_queue(std::move(event_queue)),
      queue_handle(std::move(queue_handle)),
      app_data(std::move(app_data)),
      virtual_keyboard(std::move(virtual_keyboard)),
      virtual_pointer(std::move(virtual_pointer)) {
  pointer.buttons = this->virtual_pointer.get();
  pointer.display = this->event_queue.display();
}

Kestrin::~Kestrin() {
  release_held_keys(*this);
  // A release that a full socket held back when Ctrl-C ended its call is
  // still queued here; closing would drop it and leave the button held.
  if (event_queue.display() != nullptr) hand_over_before_closing(event_queue.display());
}

void Kestrin::abandon_after_fork() noexcept {
  // The parent's descriptor keeps the connection open; only the child's
  // copy goes, so that the compositor sees the client leave once the
  // parent closes its own.
  if (event_queue.display() != nullptr) ::close(wl_display_get_fd(event_queue.display()));
}

Result<Kestrin> connect(std::optional<std::string_view> wayland_display) {
  std::string socket_path;
  auto display = connect_wayland(wayland_display, &socket_path);
  if (!display) return std::unexpected(display.error());

  // Declared in teardown order: on a failure every proxy goes before the
  // queue handle, and the queue, which closes the connection, goes last.
  EventQueue event_queue(*display);
  if (!event_queue) return std::unexpected(Error::fatal("out of memory"));
  QueueHandle queue_handle(event_queue);
  if (!queue_handle) return std::unexpected(Error::fatal("out of memory"));
  auto app_data = std::make_unique<AppData>();

  app_data->registry.reset(wl_display_get_registry(queue_handle.display()));
  if (!app_data->registry) return std::unexpected(Error::fatal("out of memory"));
  listen_registry(*app_data, app_data->registry.get());
  if (auto done = roundtrip(event_queue, queue_handle); !done) return std::unexpected(result_was_error(done.error()));

  auto virtual_keyboard = setup_virtual_keyboard(*app_data, queue_handle, event_queue, socket_path);
  if (!virtual_keyboard) return std::unexpected(virtual_keyboard.error());

  if (!app_data->virtual_pointer_manager)
    return std::unexpected(value_absent("the compositor offers no zwlr_virtual_pointer_manager_v1"));
  Proxy<zwlr_virtual_pointer_v1> virtual_pointer(virtual_pointer::create_virtual_pointer(
      app_data->virtual_pointer_manager.get(), app_data->seat.get(), queue_handle));
  if (!virtual_pointer) return std::unexpected(Error::fatal("out of memory"));
  if (auto done = roundtrip(event_queue, queue_handle); !done) return std::unexpected(result_was_error(done.error()));

  Kestrin session(std::move(event_queue), std::move(queue_handle), std::move(app_data),
                  std::move(virtual_keyboard->keyboard), std::move(virtual_pointer));
  session.keyboard_state = KeyboardState(std::move(virtual_keyboard->keymap));
  return session;
}

Status wait_for_output_names(Kestrin& session) {
  // Outputs bound below version 4 never get a name, and one whose first done
  // came without a name will not get one either; waiting for them would never
  // end.
  auto unnamed = [](const auto& entry) {
    const Output& output = entry.second;
    return !output.name && output.version >= 4 && !output.described;
  };
  while (std::ranges::any_of(session.app_data->outputs, unnamed)) {
    if (auto pass = session.event_queue.dispatch_pass(); !pass) return pass;
  }
  return {};
}

Status Kestrin::move_mouse(const UIntValue& x, const UIntValue& y, std::uint32_t x_extent, std::uint32_t y_extent) {
  auto x_position = x.get();
  if (!x_position) return std::unexpected(x_position.error());
  auto y_position = y.get();
  if (!y_position) return std::unexpected(y_position.error());
  virtual_pointer::motion_absolute(virtual_pointer.get(), no_timestamp, *x_position, *y_position, x_extent, y_extent);
  return roundtrip(event_queue, queue_handle);
}

Status Kestrin::left_click(const UIntValue& hold) { return click(left_button, hold); }

Status Kestrin::right_click(const UIntValue& hold) { return click(right_button, hold); }

Status Kestrin::click(std::uint32_t button, const UIntValue& hold) {
  auto hold_ms = hold.get();
  if (!hold_ms) return std::unexpected(hold_ms.error());
  virtual_pointer::button(virtual_pointer.get(), no_timestamp, button, virtual_pointer::button_state_pressed);
  if (auto done = roundtrip(event_queue, queue_handle); !done) {
    // After Ctrl-C cut short the wait for the press's answer, the press has
    // reached the compositor or soon will; its release goes out at once,
    // without waiting again, so that nothing is left held.
    if (done.error().is_interrupted()) {
      virtual_pointer::button(virtual_pointer.get(), no_timestamp, button, virtual_pointer::button_state_released);
      event_queue.send_now();
    }
    return done;
  }
  sleep_ms(*hold_ms);
  virtual_pointer::button(virtual_pointer.get(), no_timestamp, button, virtual_pointer::button_state_released);
  return roundtrip(event_queue, queue_handle);
}

Status Kestrin::key_press(std::uint32_t key, const UIntValue& hold) {
  virtual_keyboard::key(virtual_keyboard.get(), no_timestamp, key, virtual_keyboard::key_state_pressed);
  if (auto done = roundtrip(event_queue, queue_handle); !done) {
    if (done.error().is_interrupted()) {
      virtual_keyboard::key(virtual_keyboard.get(), no_timestamp, key, virtual_keyboard::key_state_released);
      event_queue.send_now();
    }
    return done;
  }
  // Drawn only once the press has been acknowledged.
  auto hold_ms = hold.get();
  if (!hold_ms) return std::unexpected(hold_ms.error());
  sleep_ms(*hold_ms);
  virtual_keyboard::key(virtual_keyboard.get(), no_timestamp, key, virtual_keyboard::key_state_released);
  return roundtrip(event_queue, queue_handle);
}

}  // namespace kestrin
