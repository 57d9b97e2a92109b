// The parameter tables and docstrings of Kestrin's methods, shared by the
// `kestrin` module and kestrin.gnome, whose Kestrin takes its arguments
// exactly alike.
#pragma once

#include <cstdint>

#include "arguments.hpp"

namespace kestrin::py {

// --- The five methods --------------------------------------------------------------

inline constexpr Parameter move_mouse_parameters[] = {
    {"x_extent", Kind::u32}, {"y_extent", Kind::u32},         {"x", Kind::u32},
    {"y", Kind::u32},        {"x_max", Kind::optional_u32}, {"y_max", Kind::optional_u32}};
inline constexpr Signature move_mouse_signature{"Kestrin.move_mouse()", move_mouse_parameters, 4, true};

inline constexpr Parameter click_parameters[] = {{"duration_ms", Kind::u32}, {"duration_ms_max", Kind::optional_u32}};
inline constexpr Signature left_click_signature{"Kestrin.left_click()", click_parameters, 1, true};
inline constexpr Signature right_click_signature{"Kestrin.right_click()", click_parameters, 1, true};

inline constexpr Parameter key_press_parameters[] = {
    {"key", Kind::u32}, {"duration_ms", Kind::u32}, {"duration_ms_max", Kind::optional_u32}};
inline constexpr Signature key_press_signature{"Kestrin.key_press()", key_press_parameters, 2, true};

inline constexpr Parameter screenshot_parameters[] = {{"screen_name", Kind::optional_text}};
inline constexpr Signature screenshot_signature{"Kestrin.screenshot()", screenshot_parameters, 0};

inline constexpr const char move_mouse_doc[] = "move_mouse($self, x_extent, y_extent, x, y, x_max=None, y_max=None)\n--\n\n";
inline constexpr const char left_click_doc[] = "left_click($self, duration_ms, duration_ms_max=None)\n--\n\n";
inline constexpr const char right_click_doc[] = "right_click($self, duration_ms, duration_ms_max=None)\n--\n\n";
inline constexpr const char key_press_doc[] = "key_press($self, key, duration_ms, duration_ms_max=None)\n--\n\n";
inline constexpr const char screenshot_doc[] = "screenshot($self, screen_name=None)\n--\n\n";

// --- The pointer -----------------------------------------------------------------------

inline constexpr Signature outputs_signature{"Kestrin.outputs()", {}, 0};

inline constexpr Parameter move_to_parameters[] = {
    {"x", Kind::u32}, {"y", Kind::u32}, {"screen_name", Kind::optional_screen_name}};
inline constexpr Signature move_to_signature{"Kestrin.move_to()", move_to_parameters, 2};

inline constexpr Parameter button_parameters[] = {{"button", Kind::button}};
inline constexpr Signature button_down_signature{"Kestrin.button_down()", button_parameters, 0};
inline constexpr Signature button_up_signature{"Kestrin.button_up()", button_parameters, 0};

inline constexpr Parameter drag_parameters[] = {
    {"x1", Kind::u32},           {"y1", Kind::u32},           {"x2", Kind::u32},
    {"y2", Kind::u32},           {"screen_name", Kind::optional_screen_name}, {"button", Kind::button},
    {"steps", Kind::optional_u32}, {"duration_ms", Kind::optional_u32}, {"duration_ms_max", Kind::optional_u32}};
inline constexpr Signature drag_signature{"Kestrin.drag()", drag_parameters, 4};
inline constexpr std::uint32_t default_drag_steps = 10;

inline constexpr Parameter scroll_parameters[] = {{"dy", Kind::i32}, {"dx", Kind::optional_i32}};
inline constexpr Signature scroll_signature{"Kestrin.scroll()", scroll_parameters, 1};
inline constexpr Signature scroll_smooth_signature{"Kestrin.scroll_smooth()", scroll_parameters, 1};

inline constexpr const char outputs_doc[] =
    "outputs($self, /)\n--\n\n"
    "The outputs in the order the compositor announced them, one Output each.";
inline constexpr const char move_to_doc[] =
    "move_to($self, x, y, screen_name=None)\n--\n\n"
    "Puts the pointer on pixel (x, y) of an output's picture: screenshot(screen_name)[y, x].";
inline constexpr const char button_down_doc[] =
    "button_down($self, button='left')\n--\n\n"
    "Presses a button and keeps it held.";
inline constexpr const char button_up_doc[] =
    "button_up($self, button='left')\n--\n\n"
    "Releases a button that button_down holds.";
inline constexpr const char drag_doc[] =
    "drag($self, x1, y1, x2, y2, screen_name=None, button='left', steps=10, duration_ms=0, "
    "duration_ms_max=None)\n--\n\n"
    "Presses a button on pixel (x1, y1), moves in even steps to (x2, y2) and releases it there.";
inline constexpr const char scroll_doc[] =
    "scroll($self, dy, dx=0)\n--\n\n"
    "Turns the wheel by whole steps: positive down and right.";
inline constexpr const char scroll_smooth_doc[] =
    "scroll_smooth($self, dy, dx=0)\n--\n\n"
    "Scrolls by pixels as a finger on a touchpad does: positive down and right.";

// --- Keys ----------------------------------------------------------------------------------

inline constexpr Parameter key_parameters[] = {{"key", Kind::key}};
inline constexpr Signature key_down_signature{"Kestrin.key_down()", key_parameters, 1};
inline constexpr Signature key_up_signature{"Kestrin.key_up()", key_parameters, 1};

inline constexpr Parameter press_keys_parameters[] = {
    {"keys", Kind::keys}, {"duration_ms", Kind::optional_u32}, {"duration_ms_max", Kind::optional_u32}};
inline constexpr Signature press_keys_signature{"Kestrin.press_keys()", press_keys_parameters, 1};

inline constexpr Parameter type_text_parameters[] = {
    {"text", Kind::text}, {"interval_ms", Kind::optional_u32}, {"interval_ms_max", Kind::optional_u32}};
inline constexpr Signature type_text_signature{"Kestrin.type_text()", type_text_parameters, 1};

inline constexpr const char key_down_doc[] =
    "key_down($self, key)\n--\n\n"
    "Presses a key and keeps it held until key_up. `key` is a Linux key code or a key name: an XKB keysym name "
    "of the seat's keymap (\"a\", \"Return\", \"F5\") or ctrl, shift, alt, altgr, super (meta, logo).";
inline constexpr const char key_up_doc[] =
    "key_up($self, key)\n--\n\n"
    "Releases a key that key_down holds; a key not held is a ValueError.";
inline constexpr const char press_keys_doc[] =
    "press_keys($self, keys, duration_ms=0, duration_ms_max=None)\n--\n\n"
    "Presses keys in order, holds them and releases them in reverse order: a shortcut such as "
    "\"ctrl+shift+t\" (a literal plus is \"plus\"), or a sequence of key names and codes.";
inline constexpr const char type_text_doc[] =
    "type_text($self, text, interval_ms=0, interval_ms_max=None)\n--\n\n"
    "Types `text` with the seat's own keyboard layout, pausing interval_ms between characters. A character the "
    "layout lacks goes through a keymap of kestrin's own; one no key can type is a ValueError, and then nothing "
    "is typed.";

// kestrin.gnome types with keysyms, which Mutter looks up in its own layout.
inline constexpr const char gnome_type_text_doc[] =
    "type_text($self, text, interval_ms=0, interval_ms_max=None)\n--\n\n"
    "Types `text` as keysyms, pausing interval_ms between characters; Mutter types those its keyboard layout has. "
    "A character no keysym stands for is a ValueError, and then nothing is typed.";

// --- Capture ---------------------------------------------------------------------------------

inline constexpr Parameter capture_parameters[] = {{"screen_name", Kind::optional_screen_name}, {"region", Kind::optional_region}};
inline constexpr Signature capture_signature{"Kestrin.capture()", capture_parameters, 0};
inline constexpr const char capture_doc[] =
    "capture($self, screen_name=None, region=None)\n--\n\n"
    "Opens a Capture of an output, or of its part region=(x, y, width, height) in the picture's pixels.";

inline constexpr const char gnome_capture_doc[] =
    "capture($self, screen_name=None, region=None)\n--\n\n"
    "Not on GNOME: raises NotImplementedError. screenshot() returns the newest frame at once.";

}  // namespace kestrin::py
