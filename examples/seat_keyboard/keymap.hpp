// A complete keymap compiled by libxkbcommon, written the way the virtual
// keyboard's keymap request takes it.
#pragma once

#include <cstdint>
#include <string>

#include "kestrin_lib/wayland.hpp"

namespace seat_keyboard {

struct KeymapFile {
  kestrin::Fd fd;
  std::uint32_t size = 0;  // counts the terminating NUL
};

// rules evdev, model pc105, the given layout, no variant or options. On
// failure `error` says why and the result holds no descriptor.
KeymapFile compile_keymap(const std::string& layout, std::string& error);

}  // namespace seat_keyboard
