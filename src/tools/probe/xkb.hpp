// libxkbcommon objects owned by unique pointers, the probe's own "us" keymap,
// and the decoding of wl_keyboard key codes under the seat's current keymap.
#pragma once

#include <xkbcommon/xkbcommon.h>

#include <cstdint>
#include <memory>
#include <string>

#include "kestrin_lib/keymap.hpp"
#include "kestrin_lib/wayland.hpp"

namespace probe {

using kestrin::XkbContext;
using kestrin::XkbKeymap;
using kestrin::XkbState;

// A context that ignores the XKB_DEFAULT_* environment, so the keymap is the
// same on every machine.
XkbContext make_xkb_context();

// rules evdev, model pc105, layout us, no variant, no options.
XkbKeymap make_us_keymap(xkb_context* context);

// A sealed memfd holding the keymap in text form with its terminating NUL, as
// the virtual keyboard's keymap request wants it; `size` counts the NUL.
struct KeymapFile {
  kestrin::Fd fd;
  std::uint32_t size = 0;
};
KeymapFile keymap_file(xkb_keymap* keymap);

// What a key code means under the keymap the compositor sent last.
class KeyDecoder {
 public:
  explicit KeyDecoder(xkb_context* context) : context_(context) {}

  // Takes the keymap event's descriptor. False when the keymap does not parse;
  // the previous keymap is then kept.
  bool load(kestrin::Fd fd, std::uint32_t size);
  void set_modifiers(std::uint32_t depressed, std::uint32_t latched, std::uint32_t locked, std::uint32_t group);

  struct Meaning {
    std::string keysym;  // the keysym's name, empty without a keymap
    std::string utf8;
  };
  // `key` is the evdev code of wl_keyboard.key.
  Meaning meaning(std::uint32_t key) const;

 private:
  xkb_context* context_;
  XkbKeymap keymap_;
  XkbState state_;
};

}  // namespace probe
