#include "keymap.hpp"

#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "kestrin_lib/keymap.hpp"

namespace seat_keyboard {
namespace {

struct FreeText {
  void operator()(char* text) const noexcept { std::free(text); }
};

}  // namespace

KeymapFile compile_keymap(const KeymapNames& wanted, std::string& error) {
  // XKB_DEFAULT_* in the environment must not change what --layout asked for.
  const kestrin::XkbContext context(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
  if (!context) {
    error = "cannot make an xkb context";
    return {};
  }
  // Empty strings, not nulls: a null variant or options means the system's.
  const xkb_rule_names names = {.rules = "evdev",
                                 .model = "pc105",
                                 .layout = wanted.layout.c_str(),
                                 .variant = wanted.variant.c_str(),
                                 .options = wanted.options.c_str()};
  const kestrin::XkbKeymap keymap(
      xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
  if (!keymap) {
    error = "libxkbcommon cannot compile a keymap for the layout \"" + wanted.layout + "\"";
    if (!wanted.variant.empty()) error += ", variant \"" + wanted.variant + "\"";
    if (!wanted.options.empty()) error += ", options \"" + wanted.options + "\"";
    return {};
  }
  const std::unique_ptr<char, FreeText> text(xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1));
  if (!text) {
    error = "libxkbcommon cannot write the keymap out";
    return {};
  }

  const std::size_t size = std::strlen(text.get()) + 1;
  // A sealed file: the compositor hands this very file to every client it
  // forwards it to.
  auto file = kestrin::keymap_memory_file(std::string_view(text.get(), size));
  if (!file) {
    error = kestrin::report_text(file.error());
    return {};
  }
  return {std::move(*file), static_cast<std::uint32_t>(size)};
}

}  // namespace seat_keyboard
