#include "kestrin_lib/gnome/actions.hpp"

#include <xkbcommon/xkbcommon-keysyms.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <utility>

#include "kestrin_lib/keymap.hpp"
#include "kestrin_lib/mod.hpp"
#include "kestrin_lib/sleep.hpp"

namespace kestrin::gnome {
namespace {

// Letting go of what is held when the object goes; with Session's own stop
// at teardown (0.4 s, and the bus's margin of a quarter on each) the whole
// stays within a second.
constexpr std::chrono::milliseconds release_wait{300};

Error session_ended() {
  return Error::ordinary("the GNOME remote-desktop session ended",
                         {"Mutter closed it (Mutter stopped or restarted, or the user logged out); the next call "
                          "opens a new session"});
}

// Where a fraction of the layout's bounding box lands: the monitor under it
// (or the nearest one, for a point in a gap between monitors) and the
// position on its stream, in pixels.
struct Place {
  std::size_t monitor;
  double x, y;
};

Place place_in_layout(const std::vector<Monitor>& monitors, double u, double v) {
  double left = INFINITY, top = INFINITY, right = -INFINITY, bottom = -INFINITY;
  for (const Monitor& m : monitors) {
    left = std::min<double>(left, m.x);
    top = std::min<double>(top, m.y);
    right = std::max<double>(right, m.x + static_cast<double>(m.logical_width));
    bottom = std::max<double>(bottom, m.y + static_cast<double>(m.logical_height));
  }
  const double lx = left + std::clamp(u, 0.0, 1.0) * (right - left);
  const double ly = top + std::clamp(v, 0.0, 1.0) * (bottom - top);
  std::size_t best = 0;
  double best_distance = INFINITY;
  for (std::size_t i = 0; i < monitors.size(); ++i) {
    const Monitor& m = monitors[i];
    const double dx = std::max({m.x - lx, 0.0, lx - (m.x + static_cast<double>(m.logical_width))});
    const double dy = std::max({m.y - ly, 0.0, ly - (m.y + static_cast<double>(m.logical_height))});
    if (dx * dx + dy * dy < best_distance) {
      best_distance = dx * dx + dy * dy;
      best = i;
    }
  }
  const Monitor& m = monitors[best];
  const double sx = m.logical_width != 0 ? static_cast<double>(m.width) / m.logical_width : 1.0;
  const double sy = m.logical_height != 0 ? static_cast<double>(m.height) / m.logical_height : 1.0;
  // The right and bottom edges of the box belong to the last pixel.
  const double x = std::clamp((lx - m.x) * sx, 0.0, std::max(0.0, static_cast<double>(m.width) - 0.5));
  const double y = std::clamp((ly - m.y) * sy, 0.0, std::max(0.0, static_cast<double>(m.height) - 0.5));
  return Place{best, x, y};
}

InputEvent key_event(HeldKey key, bool pressed) {
  return key.is_keysym ? InputEvent::keysym(key.code, pressed) : InputEvent::keycode(key.code, pressed);
}

}  // namespace

Result<Desktop> Desktop::open() {
  auto session = open_session();
  if (!session) return std::unexpected(session.error());
  return Desktop(std::move(*session));
}

Desktop::Desktop(Desktop&& other) noexcept
    : session_(std::exchange(other.session_, std::nullopt)),
      held_buttons_(std::exchange(other.held_buttons_, {})),
      held_keys_(std::exchange(other.held_keys_, {})) {}

Desktop::~Desktop() { release_everything(); }

void Desktop::abandon_after_fork() noexcept {
  if (session_) session_->abandon_after_fork();
}

void Desktop::release_everything() noexcept {
  if (session_ && (!held_keys_.empty() || !held_buttons_.empty()) && session_->alive()) {
    // One batch with one deadline: a Mutter that stopped answering costs
    // this much however much is held, and stopping the session adds its own.
    std::vector<InputEvent> releases;
    for (auto key = held_keys_.rbegin(); key != held_keys_.rend(); ++key)
      releases.push_back(key->is_keysym ? InputEvent::keysym(key->code, false) : InputEvent::keycode(key->code, false));
    for (auto button = held_buttons_.rbegin(); button != held_buttons_.rend(); ++button)
      releases.push_back(InputEvent::button(*button, false));
    (void)session_->input(releases, release_wait);
  }
  held_keys_.clear();
  held_buttons_.clear();
}

Result<Session*> Desktop::live() {
  if (session_ && !session_->alive()) {
    held_keys_.clear();
    held_buttons_.clear();
    session_.reset();
    return std::unexpected(session_ended());
  }
  if (!session_) {
    auto opened = open_session();
    if (!opened) return std::unexpected(opened.error());
    session_.emplace(std::move(*opened));
  }
  return &*session_;
}

Status Desktop::failed(Error error) {
  // A wait that a signal ended leaves the session as it was.
  if (!error.is_interrupted() && session_ && !session_->alive()) {
    held_keys_.clear();
    held_buttons_.clear();
    session_.reset();
  }
  return std::unexpected(std::move(error));
}

Status Desktop::checked(Status status) {
  if (status) return status;
  return failed(std::move(status.error()));
}

Result<std::size_t> Desktop::choose(std::optional<std::string_view> screen_name) {
  const std::vector<Monitor>& monitors = session_->monitors();
  if (screen_name) {
    for (std::size_t i = 0; i < monitors.size(); ++i)
      if (monitors[i].connector == *screen_name) return i;
    return std::unexpected(no_output_named(*screen_name));
  }
  if (monitors.empty()) return std::unexpected(no_output());
  if (monitors.size() > 1) return std::unexpected(several_outputs());
  return 0;
}

Status Desktop::send_key(Session& session, HeldKey key, bool pressed) {
  return session.input(std::array{key_event(key, pressed)});
}

Result<HeldKey> Desktop::resolve(const KeySpec& key) const {
  if (const auto* code = std::get_if<std::uint32_t>(&key)) return HeldKey{false, *code};
  const std::string& name = std::get<std::string>(key);
  if (auto keysym = keysym_for_name(name)) return HeldKey{true, *keysym};
  return std::unexpected(unknown_names({name}));
}

// --- The pointer ------------------------------------------------------------------

Status Desktop::move_mouse(const UIntValue& x, const UIntValue& y, std::uint32_t x_extent, std::uint32_t y_extent) {
  auto x_position = x.get();
  if (!x_position) return std::unexpected(x_position.error());
  auto y_position = y.get();
  if (!y_position) return std::unexpected(y_position.error());
  auto session = live();
  if (!session) return std::unexpected(session.error());
  // A pointer with an empty extent has nowhere to go; wlroots ignores it too.
  if (x_extent == 0 || y_extent == 0 || (*session)->monitors().empty()) return {};
  const Place place = place_in_layout((*session)->monitors(), static_cast<double>(*x_position) / x_extent,
                                      static_cast<double>(*y_position) / y_extent);
  return checked((*session)->motion_absolute(place.monitor, place.x, place.y));
}

Status Desktop::move_to(std::uint32_t x, std::uint32_t y, std::optional<std::string_view> screen_name) {
  auto session = live();
  if (!session) return std::unexpected(session.error());
  auto monitor = choose(screen_name);
  if (!monitor) return std::unexpected(monitor.error());
  const Monitor& m = (*session)->monitors()[*monitor];
  if (auto inside = check_inside_picture(m.connector, m.width, m.height, x, y); !inside) return inside;
  // The pixel's centre, as on the Wayland path.
  return checked((*session)->motion_absolute(*monitor, x + 0.5, y + 0.5));
}

Status Desktop::left_click(const UIntValue& hold) { return click(left_button, hold); }
Status Desktop::right_click(const UIntValue& hold) { return click(right_button, hold); }

Status Desktop::click(std::uint32_t button, const UIntValue& hold) {
  auto hold_ms = hold.get();
  if (!hold_ms) return std::unexpected(hold_ms.error());
  auto session = live();
  if (!session) return std::unexpected(session.error());
  // Without a hold, press and release go as one batch: one round trip.
  if (*hold_ms == 0) {
    const InputEvent tap[] = {InputEvent::button(button, true), InputEvent::button(button, false)};
    return checked((*session)->input(tap));
  }
  if (auto done = (*session)->button(button, true); !done) {
    // Ctrl-C during the press's answer: let go at once rather than leave it held.
    if (done.error().is_interrupted()) (*session)->send_now(std::array{InputEvent::button(button, false)});
    return failed(std::move(done.error()));
  }
  sleep_ms(*hold_ms);
  return checked((*session)->button(button, false));
}

Status Desktop::button_down(std::uint32_t button) {
  if (std::ranges::find(held_buttons_, button) != held_buttons_.end())
    return std::unexpected(already_held(button));
  auto session = live();
  if (!session) return std::unexpected(session.error());
  held_buttons_.push_back(button);
  auto done = (*session)->button(button, true);
  if (!done && !done.error().is_interrupted()) std::erase(held_buttons_, button);
  return checked(std::move(done));
}

Status Desktop::button_up(std::uint32_t button) {
  if (std::ranges::find(held_buttons_, button) == held_buttons_.end())
    return std::unexpected(Error::invalid_value("button " + button_label(button) + " is not held"));
  auto session = live();
  if (!session) return std::unexpected(session.error());
  std::erase(held_buttons_, button);
  return checked((*session)->button(button, false));
}

Status Desktop::drag(const DragPath& path, const UIntValue& duration) {
  if (path.steps == 0) return std::unexpected(Error::invalid_value("steps=0: a drag takes at least one step"));
  if (std::ranges::find(held_buttons_, path.button) != held_buttons_.end())
    return std::unexpected(already_held(path.button));
  auto session = live();
  if (!session) return std::unexpected(session.error());
  auto monitor = choose(path.screen_name);
  if (!monitor) return std::unexpected(monitor.error());
  const Monitor& m = (*session)->monitors()[*monitor];
  if (auto inside = check_inside_picture(m.connector, m.width, m.height, path.x1, path.y1); !inside) return inside;
  if (auto inside = check_inside_picture(m.connector, m.width, m.height, path.x2, path.y2); !inside) return inside;
  auto duration_ms = duration.get();
  if (!duration_ms) return std::unexpected(duration_ms.error());

  Session& s = **session;
  const std::size_t index = *monitor;
  if (auto done = s.motion_absolute(index, path.x1 + 0.5, path.y1 + 0.5); !done) return failed(std::move(done.error()));
  // The button is this call's own: whatever ends the drag early (Ctrl-C
  // above all) lets go of it at once, without waiting again.
  auto let_go = [&](Error error) {
    if (s.alive()) s.send_now(std::array{InputEvent::button(path.button, false)});
    return failed(std::move(error));
  };
  if (auto done = s.button(path.button, true); !done) return let_go(std::move(done.error()));
  const EvenSteps pace(*duration_ms, path.steps);
  for (std::uint32_t step = 1; step <= path.steps; ++step) {
    if (auto waited = pace.wait(step); !waited) return let_go(std::move(waited.error()));
    const double x = between(path.x1, path.x2, step, path.steps) + 0.5;
    const double y = between(path.y1, path.y2, step, path.steps) + 0.5;
    if (auto done = s.motion_absolute(index, x, y); !done) return let_go(std::move(done.error()));
  }
  return checked(s.button(path.button, false));
}

Status Desktop::scroll(std::int32_t dy, std::int32_t dx) {
  if (auto fits = check_amount("dy", dy, max_wheel_steps, "wheel steps"); !fits) return fits;
  if (auto fits = check_amount("dx", dx, max_wheel_steps, "wheel steps"); !fits) return fits;
  auto session = live();
  if (!session) return std::unexpected(session.error());
  std::vector<InputEvent> events;
  for (auto [axis, steps] : {std::pair{Axis::vertical, dy}, {Axis::horizontal, dx}}) {
    if (steps != 0) events.push_back(InputEvent::axis_discrete(axis, steps));
  }
  if (events.empty()) return {};
  return checked((*session)->input(events));
}

Status Desktop::scroll_smooth(std::int32_t dy, std::int32_t dx) {
  if (auto fits = check_amount("dy", dy, max_scroll_pixels, "pixels"); !fits) return fits;
  if (auto fits = check_amount("dx", dx, max_scroll_pixels, "pixels"); !fits) return fits;
  auto session = live();
  if (!session) return std::unexpected(session.error());
  if (dy == 0 && dx == 0) return {};
  return checked((*session)->axis(dx, dy));
}

// --- Keys ----------------------------------------------------------------------------

Status Desktop::key_press(std::uint32_t key, const UIntValue& hold) {
  auto session = live();
  if (!session) return std::unexpected(session.error());
  if (!hold.is_range() && hold.lower() == 0) {
    const InputEvent tap[] = {InputEvent::keycode(key, true), InputEvent::keycode(key, false)};
    return checked((*session)->input(tap));
  }
  if (auto done = (*session)->keycode(key, true); !done) {
    if (done.error().is_interrupted()) (*session)->send_now(std::array{InputEvent::keycode(key, false)});
    return failed(std::move(done.error()));
  }
  // Drawn only once the press has been acknowledged, as on the Wayland path.
  auto hold_ms = hold.get();
  if (!hold_ms) {
    (void)(*session)->keycode(key, false);
    return std::unexpected(hold_ms.error());
  }
  sleep_ms(*hold_ms);
  return checked((*session)->keycode(key, false));
}

Status Desktop::key_down(const KeySpec& key) {
  auto resolved = resolve(key);
  if (!resolved) return std::unexpected(resolved.error());
  if (std::ranges::find(held_keys_, *resolved) != held_keys_.end())
    return std::unexpected(Error::invalid_value(describe_key(key) + " is already held"));
  auto session = live();
  if (!session) return std::unexpected(session.error());
  held_keys_.push_back(*resolved);
  auto done = send_key(**session, *resolved, true);
  if (!done && !done.error().is_interrupted()) std::erase(held_keys_, *resolved);
  return checked(std::move(done));
}

Status Desktop::key_up(const KeySpec& key) {
  auto resolved = resolve(key);
  if (!resolved) return std::unexpected(resolved.error());
  if (std::ranges::find(held_keys_, *resolved) == held_keys_.end())
    return std::unexpected(Error::invalid_value(describe_key(key) + " is not held"));
  auto session = live();
  if (!session) return std::unexpected(session.error());
  std::erase(held_keys_, *resolved);
  return checked(send_key(**session, *resolved, false));
}

Status Desktop::press_keys(const std::vector<KeySpec>& keys, const UIntValue& hold) {
  if (keys.empty()) return std::unexpected(Error::invalid_value("no keys to press"));
  std::vector<HeldKey> resolved;
  std::vector<std::string> unknown;
  for (const KeySpec& key : keys) {
    if (auto found = resolve(key)) {
      resolved.push_back(*found);
    } else {
      unknown.push_back(std::get<std::string>(key));
    }
  }
  if (!unknown.empty()) return std::unexpected(unknown_names(unknown));
  for (std::size_t i = 0; i < resolved.size(); ++i) {
    if (std::ranges::find(held_keys_, resolved[i]) != held_keys_.end())
      return std::unexpected(Error::invalid_value(describe_key(keys[i]) + " is already held"));
    if (std::find(resolved.begin(), resolved.begin() + static_cast<std::ptrdiff_t>(i), resolved[i]) !=
        resolved.begin() + static_cast<std::ptrdiff_t>(i))
      return std::unexpected(Error::invalid_value(describe_key(keys[i]) + " is given twice"));
  }
  auto session = live();
  if (!session) return std::unexpected(session.error());
  Session& s = **session;
  // The keys pressed so far go back up whatever ends the call early, so that
  // none is left held in the focused application; at once, without waiting
  // again, so that Ctrl-C ends the call.
  auto let_go = [&](std::size_t pressed) {
    std::vector<InputEvent> releases;
    for (std::size_t i = pressed; i-- > 0;)
      releases.push_back(key_event(resolved[i], false));
    s.send_now(releases);
  };
  for (std::size_t i = 0; i < resolved.size(); ++i) {
    if (auto done = send_key(s, resolved[i], true); !done) {
      if (s.alive()) let_go(i + (done.error().is_interrupted() ? 1 : 0));
      return failed(std::move(done.error()));
    }
  }
  auto hold_ms = hold.get();
  if (!hold_ms) {
    let_go(resolved.size());
    return std::unexpected(hold_ms.error());
  }
  sleep_ms(*hold_ms);
  for (std::size_t i = resolved.size(); i-- > 0;) {
    if (auto done = send_key(s, resolved[i], false); !done) return failed(std::move(done.error()));
  }
  return {};
}

Status Desktop::type_text(std::string_view text, const UIntValue& interval) {
  // Everything is looked up before anything is sent.
  std::vector<xkb_keysym_t> keysyms;
  keysyms.reserve(text.size());
  for (std::size_t at = 0, index = 0; at < text.size(); ++index) {
    const char32_t c = next_code_point(text, at);
    const xkb_keysym_t keysym = keysym_for_character(c);
    if (keysym == XKB_KEY_NoSymbol) return std::unexpected(untypeable(c, index));
    keysyms.push_back(keysym);
  }
  auto session = live();
  if (!session) return std::unexpected(session.error());
  const bool all_at_once = !interval.is_range() && interval.lower() == 0;
  if (all_at_once) {
    // In batches of one round trip each, small enough for the bus: a bus
    // with dbus-daemon's built-in limits refuses more than 128 calls awaiting
    // their replies on one connection.
    constexpr std::size_t batch_keys = 32;
    std::vector<InputEvent> events;
    for (std::size_t first = 0; first < keysyms.size(); first += batch_keys) {
      events.clear();
      for (std::size_t i = first; i < std::min(keysyms.size(), first + batch_keys); ++i) {
        events.push_back(InputEvent::keysym(keysyms[i], true));
        events.push_back(InputEvent::keysym(keysyms[i], false));
      }
      if (auto done = (*session)->input(events); !done) return failed(std::move(done.error()));
    }
    return {};
  }
  for (std::size_t i = 0; i < keysyms.size(); ++i) {
    if (!all_at_once && i > 0) {
      auto pause = interval.get();
      if (!pause) return std::unexpected(pause.error());
      sleep_ms(*pause);
    }
    if (auto done = (*session)->keysym(keysyms[i], true); !done) {
      if (done.error().is_interrupted()) (*session)->send_now(std::array{InputEvent::keysym(keysyms[i], false)});
      return failed(std::move(done.error()));
    }
    if (auto done = (*session)->keysym(keysyms[i], false); !done) return failed(std::move(done.error()));
  }
  return {};
}

// --- Monitors -------------------------------------------------------------------------

Result<PixelArray> Desktop::screenshot(std::optional<std::string_view> screen_name) {
  auto session = live();
  if (!session) return std::unexpected(session.error());
  auto monitor = choose(screen_name);
  if (!monitor) return std::unexpected(monitor.error());
  return checked((*session)->screenshot(*monitor));
}

Result<std::vector<OutputInfo>> Desktop::outputs() {
  auto session = live();
  if (!session) return std::unexpected(session.error());
  std::vector<OutputInfo> infos;
  for (const Monitor& m : (*session)->monitors()) {
    OutputInfo info;
    info.name = m.connector;
    info.x = m.x;
    info.y = m.y;
    info.width = static_cast<std::int32_t>(m.width);
    info.height = static_cast<std::int32_t>(m.height);
    info.logical_width = static_cast<std::int32_t>(m.logical_width);
    info.logical_height = static_cast<std::int32_t>(m.logical_height);
    info.scale = m.scale;
    // Mutter's screen casts show a monitor as it is laid out, turned or not.
    info.transform = "normal";
    infos.push_back(std::move(info));
  }
  return infos;
}

}  // namespace kestrin::gnome
