#include "xkb.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace probe {
using kestrin::evdev_offset;

XkbContext make_xkb_context() { return XkbContext(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES)); }

XkbKeymap make_us_keymap(xkb_context* context) {
  // Empty strings rather than nulls: a null variant or options would fall back
  // to the system's defaults.
  const xkb_rule_names names = {.rules = "evdev", .model = "pc105", .layout = "us", .variant = "", .options = ""};
  return XkbKeymap(xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
}

KeymapFile keymap_file(xkb_keymap* keymap) {
  std::unique_ptr<char, decltype(&std::free)> text(xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1),
                                                   &std::free);
  if (!text) return {};
  const std::size_t size = std::strlen(text.get()) + 1;
  auto file = kestrin::keymap_memory_file(std::string_view(text.get(), size));
  if (!file) return {};
  return {std::move(*file), static_cast<std::uint32_t>(size)};
}

bool KeyDecoder::load(kestrin::Fd fd, std::uint32_t size) {
  if (size == 0) return false;
  void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (data == MAP_FAILED) return false;
  // The compositor counts the terminating NUL, which the parser rejects.
  const char* text = static_cast<const char*>(data);
  XkbKeymap keymap(xkb_keymap_new_from_buffer(context_, text, strnlen(text, size), XKB_KEYMAP_FORMAT_TEXT_V1,
                                              XKB_KEYMAP_COMPILE_NO_FLAGS));
  munmap(data, size);
  if (!keymap) return false;
  XkbState state(xkb_state_new(keymap.get()));
  if (!state) return false;
  keymap_ = std::move(keymap);
  state_ = std::move(state);
  return true;
}

void KeyDecoder::set_modifiers(std::uint32_t depressed, std::uint32_t latched, std::uint32_t locked,
                               std::uint32_t group) {
  if (state_) xkb_state_update_mask(state_.get(), depressed, latched, locked, 0, 0, group);
}

KeyDecoder::Meaning KeyDecoder::meaning(std::uint32_t key) const {
  Meaning meaning;
  if (!state_) return meaning;
  const xkb_keysym_t sym = xkb_state_key_get_one_sym(state_.get(), key + evdev_offset);
  char name[64];
  if (xkb_keysym_get_name(sym, name, sizeof name) > 0) meaning.keysym = name;
  const int length = xkb_state_key_get_utf8(state_.get(), key + evdev_offset, nullptr, 0);
  if (length > 0) {
    meaning.utf8.resize(static_cast<std::size_t>(length) + 1);
    xkb_state_key_get_utf8(state_.get(), key + evdev_offset, meaning.utf8.data(), meaning.utf8.size());
    meaning.utf8.resize(static_cast<std::size_t>(length));
  }
  return meaning;
}

}  // namespace probe
