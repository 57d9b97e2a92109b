// A remote-desktop session of Mutter, linked to a screen-cast session that
// records every monitor: input through org.gnome.Mutter.RemoteDesktop, frames
// through PipeWire streams of org.gnome.Mutter.ScreenCast.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/helper.hpp"

namespace kestrin::gnome {

struct Monitor {
  std::string connector;                // "eDP-1", "Meta-0" (virtual): the name screenshot(screen_name=) takes
  std::int32_t x = 0, y = 0;            // logical position in the layout (DisplayConfig)
  std::uint32_t width = 0, height = 0;  // the stream's frames, in pixels
  std::uint32_t logical_width = 0, logical_height = 0;
  double scale = 1.0;
  bool primary = false;
};

enum class Axis : std::uint32_t { vertical = 0, horizontal = 1 };

// One event of a batch of input (Session::input), made by the functions below.
struct InputEvent {
  enum class Kind { motion_absolute, motion_relative, button, axis_discrete, axis, keycode, keysym };
  Kind kind;
  std::size_t monitor = 0;  // motion_absolute
  double x = 0, y = 0;      // the motions' position or distance; axis: the scroll
  std::uint32_t code = 0;   // button, keycode, keysym; axis_discrete: the Axis
  std::int32_t steps = 0;   // axis_discrete
  bool pressed = false;     // button, keycode, keysym

  static InputEvent motion_absolute(std::size_t monitor, double x, double y) {
    return {.kind = Kind::motion_absolute, .monitor = monitor, .x = x, .y = y};
  }
  static InputEvent motion_relative(double dx, double dy) { return {.kind = Kind::motion_relative, .x = dx, .y = dy}; }
  static InputEvent button(std::uint32_t evdev_button, bool pressed) {
    return {.kind = Kind::button, .code = evdev_button, .pressed = pressed};
  }
  static InputEvent axis_discrete(Axis axis, std::int32_t steps) {
    return {.kind = Kind::axis_discrete, .code = std::uint32_t(axis), .steps = steps};
  }
  static InputEvent axis(double dx, double dy) { return {.kind = Kind::axis, .x = dx, .y = dy}; }
  static InputEvent keycode(std::uint32_t evdev_key, bool pressed) {
    return {.kind = Kind::keycode, .code = evdev_key, .pressed = pressed};
  }
  static InputEvent keysym(std::uint32_t keysym, bool pressed) {
    return {.kind = Kind::keysym, .code = keysym, .pressed = pressed};
  }
};

struct SessionState;

// One thread at a time may use a session; PipeWire's own thread only keeps
// the newest frames.
class Session {
 public:
  explicit Session(std::unique_ptr<SessionState> state);
  Session(Session&&) noexcept;
  Session& operator=(Session&&) = delete;
  ~Session();  // stops both Mutter sessions, closes the streams, the PipeWire context and the bus
  // In a forked child, instead of the destructor: closes the child's copy
  // of the bus connection and nothing else.
  void abandon_after_fork() noexcept;

  const std::vector<Monitor>& monitors() const;
  // False once the session ended (Mutter closed it or left the bus, the bus
  // connection broke, a stream broke): every call then fails with "the GNOME
  // remote-desktop session ended" and the reason as its cause.
  bool alive();

  // Input. Each waits for Mutter's reply, so a failure is reported by the
  // call that caused it. Every wait of a session ends with
  // Error::interrupted() when a signal comes and the core's interruption
  // check says so.
  Status motion_absolute(std::size_t monitor, double x, double y);  // monitor's stream pixels
  Status motion_relative(double dx, double dy);
  Status button(std::uint32_t evdev_button, bool pressed);  // BTN_LEFT = 272 ...
  Status axis_discrete(Axis axis, std::int32_t steps);
  Status axis(double dx, double dy);                      // smooth scroll, then finish
  Status keycode(std::uint32_t evdev_key, bool pressed);  // Linux key codes
  Status keysym(std::uint32_t keysym, bool pressed);      // X keysyms, layout-independent

  // The events in order, as one batch: every call leaves before the first
  // reply is awaited, so a batch costs about one round trip (a click, a key
  // tap, a run of typed text). A monitor that does not exist fails the batch
  // before anything is sent; otherwise the first failure is reported, and the
  // events before it (and perhaps after it) have taken effect.
  Status input(std::span<const InputEvent> events);
  // The same with every reply awaited `timeout` at most, for teardown.
  Status input(std::span<const InputEvent> events, std::chrono::milliseconds timeout);
  // The events in order, sent without waiting and with no reply asked for:
  // for a call that is ending anyway, such as the release that follows a
  // press whose wait Ctrl-C cut short, so that nothing is left held.
  void send_now(std::span<const InputEvent> events);

  // The monitor's newest frame: B, G, R, X rows packed (width*4 bytes each).
  // The first call waits for the stream's first frame (bounded: an ordinary
  // error after 5 s); later calls return at once with the newest frame Mutter
  // sent (Mutter sends frames only when the picture changes).
  Result<PixelArray> screenshot(std::size_t monitor);
  // The same into `destination`, monitors()[monitor].width * height * 4 bytes.
  Status screenshot_into(std::size_t monitor, std::uint8_t* destination);

  // How many frames of the monitor have arrived. With wait_for_frame a caller
  // waits for the picture that follows what it did: count, act, wait.
  Result<std::uint64_t> frames(std::size_t monitor);
  // Waits until more than `seen` frames of the monitor have arrived, `timeout`
  // at most: false when none came (a still screen sends none).
  Result<bool> wait_for_frame(std::size_t monitor, std::uint64_t seen, std::chrono::milliseconds timeout);

 private:
  std::unique_ptr<SessionState> state_;
};

// Connects to the session bus (DBUS_SESSION_BUS_ADDRESS), checks Mutter and
// PipeWire are there, creates the sessions, records every monitor (cursor
// hidden), starts, and sends the first harmless key event (a Shift tap) that
// Mutter swallows while its virtual keyboard appears. Errors name the missing
// piece and what to install or start.
Result<Session> open_session();

}  // namespace kestrin::gnome
