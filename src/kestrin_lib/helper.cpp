#include "kestrin_lib/helper.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <wayland-client-protocol.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "kestrin_lib/keymap.hpp"
#include "kestrin_lib/render.hpp"
#include "kestrin_lib/virtual_keyboard.hpp"

namespace kestrin {
namespace {

bool is_valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    auto c = static_cast<unsigned char>(text[i]);
    std::size_t length = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    std::uint32_t code = length == 1 ? c : c & (0x7f >> length);
    for (std::size_t k = 1; k < length; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      code = (code << 6) | (next & 0x3f);
    }
    // Overlong forms, surrogates and values beyond Unicode are not UTF-8.
    static constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || (code >= 0xd800 && code <= 0xdfff) || code > 0x10ffff) return false;
    i += length;
  }
  return true;
}

// A raw value in quotes, with bytes that are not printable ASCII escaped.
std::string escaped_bytes(std::string_view raw) {
  static const char digits[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : raw) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      out += "\\x";
      out += digits[c >> 4];
      out += digits[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string display_name(std::optional<std::string_view> wayland_display) {
  if (wayland_display) return std::string(*wayland_display);
  if (const char* value = std::getenv("WAYLAND_DISPLAY"); value != nullptr && is_valid_utf8(value)) return value;
  return "wayland-0";
}

Result<std::string> socket_path(const std::string& name) {
  if (!name.empty() && name.front() == '/') return name;
  const char* directory = std::getenv("XDG_RUNTIME_DIR");
  if (directory == nullptr)
    return std::unexpected(Error::ordinary("no XDG_RUNTIME_DIR set", {"environment variable not found"}));
  if (!is_valid_utf8(directory))
    return std::unexpected(Error::ordinary(
        "no XDG_RUNTIME_DIR set", {"environment variable was not valid unicode: " + escaped_bytes(directory)}));
  std::string path(directory);
  if (!path.empty() && path.back() != '/') path += '/';
  return path + name;
}

Error socket_error(const std::string& path, std::string cause) {
  std::string message = "failed to connect to unix stream ";
  render::quoted(message, std::string_view(path));
  return Error::ordinary(std::move(message), {std::move(cause)});
}

}  // namespace

Result<wl_display*> connect_wayland(std::optional<std::string_view> wayland_display, std::string* socket_path_out) {
  auto path = socket_path(display_name(wayland_display));
  if (!path) return std::unexpected(path.error());
  if (socket_path_out != nullptr) *socket_path_out = *path;

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path->find('\0') != std::string::npos) return std::unexpected(socket_error(*path, "paths must not contain interior null bytes"));
  if (path->size() >= sizeof address.sun_path) return std::unexpected(socket_error(*path, "path must be shorter than SUN_LEN"));
  path->copy(address.sun_path, path->size());

  Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return std::unexpected(socket_error(*path, os_error_text(errno)));
  int connected;
  do {
    connected = ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (connected != 0 && errno == EINTR);
  if (connected != 0) return std::unexpected(socket_error(*path, os_error_text(errno)));

  // libwayland-client owns the descriptor from here on, also when it fails.
  wl_display* display = wl_display_connect_to_fd(fd.release());
  if (display == nullptr)
    return std::unexpected(Error::ordinary("failed to connect to wayland compositor", {os_error_text(errno)}));
  return display;
}

Result<VirtualKeyboard> setup_virtual_keyboard(AppData& app_data, const QueueHandle& queue_handle,
                                               const EventQueue& event_queue, const std::string& socket_path) {
  if (!app_data.seat) return std::unexpected(value_absent("the compositor offers no wl_seat"));

  app_data.keyboard.reset(wl_seat_get_keyboard(app_data.seat.get()));
  if (!app_data.keyboard) return std::unexpected(Error::fatal("out of memory"));
  listen_keyboard(app_data, app_data.keyboard.get());
  if (auto done = roundtrip(event_queue, queue_handle); !done) return std::unexpected(result_was_error(done.error()));

  if (!app_data.virtual_keyboard_manager)
    return std::unexpected(value_absent("the compositor offers no zwp_virtual_keyboard_manager_v1"));
  Proxy<zwp_virtual_keyboard_v1> keyboard(virtual_keyboard::create_virtual_keyboard(
      app_data.virtual_keyboard_manager.get(), app_data.seat.get(), queue_handle));
  if (!keyboard) return std::unexpected(Error::fatal("out of memory"));

  // The record owns the descriptor, closed at the end of this scope; the
  // request carries its own duplicate.
  std::optional<Keymap> keymap = std::exchange(app_data.keymap, std::nullopt);
  Result<std::shared_ptr<const std::string>> contents = std::unexpected(Error::ordinary("no keymap"));
  if (keymap) {
    // Passed on as it came, whether or not we can read it ourselves.
    auto read = read_keymap_file(keymap->fd.get(), keymap->size);
    if (read) {
      contents = std::make_shared<const std::string>(std::move(*read));
      remember_keymap(socket_path, KeymapRecord{keymap->format, keymap->size, *contents});
    } else {
      contents = std::unexpected(read.error());
    }
    virtual_keyboard::keymap(keyboard.get(), virtual_keyboard::keymap_format_xkb_v1, keymap->fd.get(), keymap->size);
  } else if (auto remembered = remembered_keymap(socket_path)) {
    // wlroots forgets the active keyboard when it goes away, typically the
    // previous session's; its keymap is the seat's keymap all the same.
    auto file = keymap_memory_file(*remembered->contents);
    if (!file) return std::unexpected(result_was_error(file.error()));
    contents = remembered->contents;
    virtual_keyboard::keymap(keyboard.get(), virtual_keyboard::keymap_format_xkb_v1, file->get(), remembered->size);
  } else {
    return std::unexpected(value_absent(
        "the seat's keyboard sent no keymap (the seat has no active keyboard; a key pressed on one of its "
        "keyboards makes that one active)"));
  }

  if (auto done = roundtrip(event_queue, queue_handle); !done) return std::unexpected(result_was_error(done.error()));
  return VirtualKeyboard{std::move(keyboard), std::move(contents)};
}

}  // namespace kestrin
