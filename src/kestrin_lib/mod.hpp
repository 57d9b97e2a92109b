// The core session: one connection to a compositor, its event queue, its
// dispatch state and the virtual input devices, with the actions on them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "kestrin_lib/app_data.hpp"
#include "kestrin_lib/error.hpp"
#include "kestrin_lib/helper.hpp"
#include "kestrin_lib/keyboard.hpp"
#include "kestrin_lib/pointer.hpp"
#include "kestrin_lib/random.hpp"
#include "kestrin_lib/wayland.hpp"

struct zwp_virtual_keyboard_v1;
struct zwlr_virtual_pointer_v1;

namespace kestrin {

inline constexpr std::uint32_t left_button = 272;   // BTN_LEFT
inline constexpr std::uint32_t right_button = 273;  // BTN_RIGHT

class Kestrin {
 public:
  Kestrin(Kestrin&&) noexcept = default;
  Kestrin& operator=(Kestrin&&) = delete;
  // Lets go of keys still held (see release_held_keys) and hands over what
  // is still queued (see hand_over_before_closing).
  ~Kestrin();

  Status move_mouse(const UIntValue& x, const UIntValue& y, std::uint32_t x_extent, std::uint32_t y_extent);
  Status left_click(const UIntValue& hold);
  Status right_click(const UIntValue& hold);
  Status key_press(std::uint32_t key, const UIntValue& hold);

  // For a process forked from the one that connected: closes this
  // process's copy of the connection and sends nothing. The session is not
  // to be used or destroyed afterwards (its destructor would release keys
  // and buttons on the parent's connection); what it holds stays behind.
  void abandon_after_fork() noexcept;

  // Members are destroyed in reverse order: every proxy goes before the queue
  // handle, and the event queue, which closes the connection, goes last.
  EventQueue event_queue;
  QueueHandle queue_handle;
  // Boxed so that the handlers' user data stays valid when the session moves.
  std::unique_ptr<AppData> app_data;
  Proxy<zwp_virtual_keyboard_v1> virtual_keyboard;
  Proxy<zwlr_virtual_pointer_v1> virtual_pointer;
  KeyboardState keyboard_state;
  // After the layout-wide pointer, which it releases held buttons through.
  PointerState pointer;

 private:
  friend Result<Kestrin> connect(std::optional<std::string_view> wayland_display);
  Kestrin(EventQueue event_queue, QueueHandle queue_handle, std::unique_ptr<AppData> app_data,
          Proxy<zwp_virtual_keyboard_v1> virtual_keyboard, Proxy<zwlr_virtual_pointer_v1> virtual_pointer);

  Status click(std::uint32_t button, const UIntValue& hold);
};

// Builds a session: connects, binds the globals, sets up the virtual keyboard
// and pointer. Errors of the connection are ordinary; every later failure is
// fatal.
Result<Kestrin> connect(std::optional<std::string_view> wayland_display);

// Dispatches until every output that can be named has its name.
Status wait_for_output_names(Kestrin& session);

}  // namespace kestrin
