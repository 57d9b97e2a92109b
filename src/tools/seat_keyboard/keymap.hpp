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

// What a keymap is made of besides rules evdev and model pc105; empty
// variant and options mean none.
struct KeymapNames {
  std::string layout = "us";
  std::string variant;
  std::string options;
};

// On failure `error` says why and the result holds no descriptor.
KeymapFile compile_keymap(const KeymapNames& names, std::string& error);

}  // namespace seat_keyboard
