// The seat's pointer and keyboard, taken whenever the seat gains them and
// reported event by event.
//
// Lines written (all with "t"; input events also with "time", the event's own
// timestamp in milliseconds, null for events that have none):
//   capabilities {pointer, keyboard, touch}, as the seat announces them
//   input_ready {pointer, keyboard}: which of the two the probe holds, sent
//     once the compositor has dealt with the probe taking or releasing them;
//     input sent by another client after this line reaches the probe
//   pointer_enter {x, y}, pointer_leave, motion {x, y}, button {button, state},
//   axis {axis, value}, axis_source {source}, axis_stop {axis},
//   axis_discrete {axis, discrete}, axis_value120 {axis, value120}, frame
//   keymap {format, size, loaded}, keyboard_enter {keys}, keyboard_leave,
//   key {key, state, keysym, utf8}, modifiers {depressed, latched, locked, group},
//   repeat_info {rate, delay}
// Surface coordinates are floats. key is the evdev code; keysym and utf8 are
// its meaning under the keymap and modifiers the compositor sent last.
#pragma once

#include <wayland-client-protocol.h>

#include <cstdint>

#include "kestrin_lib/wayland.hpp"
#include "xkb.hpp"

namespace probe {

class Input {
 public:
  Input(wl_display* display, const kestrin::QueueHandle& queue_handle, wl_seat* seat, xkb_context* context);
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  ~Input();

 private:
  static void handle_pointer_enter(void* data, wl_pointer* pointer, std::uint32_t serial, wl_surface*, wl_fixed_t x,
                                   wl_fixed_t y);
  static void handle_capabilities(void* data, wl_seat* seat, std::uint32_t capabilities);
  static void handle_sync_done(void* data, wl_callback*, std::uint32_t);
  static void handle_keymap(void* data, wl_keyboard*, std::uint32_t format, int fd, std::uint32_t size);
  static void handle_modifiers(void* data, wl_keyboard*, std::uint32_t serial, std::uint32_t depressed,
                               std::uint32_t latched, std::uint32_t locked, std::uint32_t group);
  static void handle_key(void* data, wl_keyboard*, std::uint32_t serial, std::uint32_t time, std::uint32_t key,
                         std::uint32_t state);

  void release_pointer();
  void release_keyboard();

  wl_display* display_;
  // The display as a proxy of the probe's queue, for the sync requests.
  wl_display* queue_display_;
  wl_seat* seat_;
  kestrin::Proxy<wl_callback> sync_;
  kestrin::Proxy<wl_pointer> pointer_;
  kestrin::Proxy<wl_keyboard> keyboard_;
  KeyDecoder decoder_;
};

}  // namespace probe
