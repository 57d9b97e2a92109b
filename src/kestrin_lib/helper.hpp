// The steps of a session that talk to the compositor: opening the socket,
// setting up the virtual keyboard, and capturing an output.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "kestrin_lib/app_data.hpp"
#include "kestrin_lib/error.hpp"
#include "kestrin_lib/wayland.hpp"

struct wl_display;
struct zwp_virtual_keyboard_v1;

namespace kestrin {

// Finds the compositor's socket from the argument or the environment, connects
// to it and hands it to libwayland-client. The caller owns the result. The
// socket's path goes to `socket_path` when given.
Result<wl_display*> connect_wayland(std::optional<std::string_view> wayland_display,
                                    std::string* socket_path = nullptr);

// The session's virtual keyboard and the contents of the keymap it was given
// (or why they could not be read).
struct VirtualKeyboard {
  Proxy<zwp_virtual_keyboard_v1> keyboard;
  Result<std::shared_ptr<const std::string>> keymap;
};

// Gets the seat's keyboard, captures its keymap, and makes a virtual keyboard
// that uses it. A seat that sends no keymap gets the one its compositor (the
// one at `socket_path`) sent last in this process. Every failure is fatal.
Result<VirtualKeyboard> setup_virtual_keyboard(AppData& app_data, const QueueHandle& queue_handle,
                                               const EventQueue& event_queue, const std::string& socket_path);

struct FreeDeleter {
  void operator()(void* p) const noexcept { std::free(p); }
};

// A captured picture: height rows of width pixels of 4 bytes (B, G, R, X),
// rows packed. The bytes are malloc'd so that ownership can pass to Python;
// a successful capture never has an empty picture, so `data` is never null.
struct PixelArray {
  std::unique_ptr<std::uint8_t, FreeDeleter> data;
  std::uint32_t width = 0;
  std::uint32_t height = 0;

  std::size_t size() const { return std::size_t{width} * height * 4; }
};

// An uninitialised array for a picture of width x height pixels.
Result<PixelArray> allocate_pixels(std::uint32_t width, std::uint32_t height);

// Captures one output, chosen by name, or the only one when no name is given.
Result<PixelArray> screenshot(AppData& app_data, const QueueHandle& queue_handle, const EventQueue& event_queue,
                              std::optional<std::string_view> screen_name);

// The last step of a capture: the picture the compositor copied into the file
// `fd` for the announced `buffer` (a readable format, rows of `stride` bytes),
// read into a new array and converted to B, G, R, fourth byte. `y_invert`:
// the file holds the picture bottom row first, and the array gets it upright.
Result<PixelArray> read_pixels(int fd, const ScreencopyBuffer& buffer, bool y_invert = false);

// A rectangle of an announced buffer, in its pixels.
struct PixelRect {
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The same for the part `rect` (of the upright picture) of the buffer, into
// `destination`: rect.height packed rows of rect.width pixels.
Status read_pixels_into(int fd, const ScreencopyBuffer& buffer, PixelRect rect, std::uint8_t* destination,
                        bool y_invert = false);

// The same out of the mapped picture `picture` of the announced `buffer`.
void copy_pixels_into(const std::uint8_t* picture, const ScreencopyBuffer& buffer, PixelRect rect,
                      std::uint8_t* destination, bool y_invert = false);

// Whether an announced buffer fits wl_shm's arguments and 4 bytes a pixel.
Status check_buffer(const ScreencopyBuffer& buffer);

// Gives a shared-memory file its pages before the compositor first writes.
Status allocate_pages(int fd, std::int32_t size);

}  // namespace kestrin
