#include "keymap.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace seat_keyboard {
namespace {

struct XkbUnref {
  void operator()(xkb_context* context) const noexcept { xkb_context_unref(context); }
  void operator()(xkb_keymap* keymap) const noexcept { xkb_keymap_unref(keymap); }
};

struct FreeText {
  void operator()(char* text) const noexcept { std::free(text); }
};

}  // namespace

KeymapFile compile_keymap(const KeymapNames& wanted, std::string& error) {
  // XKB_DEFAULT_* in the environment must not change what --layout asked for.
  const std::unique_ptr<xkb_context, XkbUnref> context(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
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
  const std::unique_ptr<xkb_keymap, XkbUnref> keymap(
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
  kestrin::Fd fd(memfd_create("kestrin-seat-keyboard-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!fd) {
    error = "memfd_create: " + kestrin::os_error_text(errno);
    return {};
  }
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = write(fd.get(), text.get() + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "writing the keymap: " + kestrin::os_error_text(errno);
      return {};
    }
    done += static_cast<std::size_t>(n);
  }
  // The compositor hands this very file to every client it forwards it to;
  // seals keep anyone from changing it under them.
  fcntl(fd.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
  return {std::move(fd), static_cast<std::uint32_t>(size)};
}

}  // namespace seat_keyboard
