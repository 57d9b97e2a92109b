// The pointer beyond single clicks: aiming at an output's pixels, held
// buttons, drags and scrolling.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/random.hpp"
#include "kestrin_lib/wayland.hpp"

struct wl_display;
struct wl_output;
struct zwlr_virtual_pointer_v1;

namespace kestrin {

class Kestrin;

inline constexpr std::uint32_t middle_button = 274;  // BTN_MIDDLE
inline constexpr std::uint32_t side_button = 275;    // BTN_SIDE
inline constexpr std::uint32_t extra_button = 276;   // BTN_EXTRA

// The wheel steps one scroll call can send: each is 15 units of the axis,
// which travel as a signed 24.8 fixed-point number.
inline constexpr std::int32_t max_wheel_steps = (INT32_MAX / 256) / 15;
inline constexpr std::int32_t max_scroll_pixels = INT32_MAX / 256;

// The session's pointer state beyond the layout-wide virtual pointer.
struct PointerState {
  PointerState() = default;
  PointerState(PointerState&& other) noexcept;
  PointerState& operator=(PointerState&&) = delete;
  // Releases the buttons still held: sway keeps a destroyed virtual
  // pointer's pressed buttons pressed for good.
  ~PointerState();

  struct OutputPointer {
    wl_output* output = nullptr;  // the one it was made for
    Proxy<zwlr_virtual_pointer_v1> pointer;
  };
  // One pointer per output, by the output's registry name, made on first use.
  std::map<std::uint32_t, OutputPointer> per_output;
  // Buttons pressed and not yet released, in the order they were pressed.
  std::vector<std::uint32_t> held;
  // The layout-wide pointer, which carries every button, and the connection;
  // both outlive this state.
  zwlr_virtual_pointer_v1* buttons = nullptr;
  wl_display* display = nullptr;
};

// The code of "left", "right", "middle", "side" or "extra".
std::optional<std::uint32_t> button_code(std::string_view name);

// "left (272)" for the named buttons, "300" for others.
std::string button_label(std::uint32_t button);

// The argument errors shared with the GNOME session's pointer: "button left
// (272) is already held", and an amount beyond what one call can send.
Error already_held(std::uint32_t button);
// "x=2000 is outside the picture of HEADLESS-1, which is 1920x1080 pixels".
Status check_inside_picture(const std::string& label, std::uint32_t width, std::uint32_t height, std::uint32_t x,
                            std::uint32_t y);
Status check_amount(const char* name, std::int32_t amount, std::int32_t limit, const char* unit);

// Puts the pointer on pixel (x, y) of the output's picture, as a capture of
// it holds that pixel at row y, column x.
Status move_to(Kestrin& session, std::uint32_t x, std::uint32_t y, std::optional<std::string_view> screen_name);

Status button_down(Kestrin& session, std::uint32_t button);
Status button_up(Kestrin& session, std::uint32_t button);

struct DragPath {
  std::uint32_t x1, y1, x2, y2;
  std::optional<std::string_view> screen_name;
  std::uint32_t button;
  std::uint32_t steps;
};

// Moves to the start, presses, makes `steps` even motions to the end spread
// over the drawn duration, and releases.
Status drag(Kestrin& session, const DragPath& path, const UIntValue& duration);

// Whole wheel steps, positive down and right.
Status scroll(Kestrin& session, std::int32_t dy, std::int32_t dx);
// A finger on a touchpad moving content by the given pixels.
Status scroll_smooth(Kestrin& session, std::int32_t dy, std::int32_t dx);

}  // namespace kestrin
