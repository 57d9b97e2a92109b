#include "kestrin_lib/gnome/session.hpp"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <optional>
#include <utility>

#include "kestrin_lib/gnome/bus.hpp"
#include "kestrin_lib/gnome/display_config.hpp"
#include "kestrin_lib/gnome/mutter.hpp"
#include "kestrin_lib/gnome/pipewire_stream.hpp"
#include "kestrin_lib/gnome/remote_desktop.hpp"
#include "kestrin_lib/gnome/screen_cast.hpp"

namespace kestrin::gnome {
namespace {

using Clock = std::chrono::steady_clock;

// How long Mutter may take to start a stream or send a stream's first frame.
constexpr std::chrono::milliseconds stream_wait = std::chrono::seconds(5);
// Stopping at teardown: a Mutter that does not answer closes the session
// anyway once the connection goes.
constexpr auto stop_wait = std::chrono::milliseconds(400);

// NotifyPointerAxis flags: the scroll has ended; it came from a device that
// moves continuously (no kinetic scrolling after the end, unlike a finger).
constexpr std::uint32_t axis_finish = 1;
constexpr std::uint32_t axis_source_continuous = 8;

}  // namespace

struct SessionState {
  // Members are destroyed in reverse: the streams and PipeWire first, the bus
  // last, after the destructor has stopped Mutter's session.
  Bus bus;
  std::string mutter;
  std::vector<Monitor> monitors;
  std::optional<RemoteDesktopSession> remote_desktop;
  std::string screen_cast;
  std::vector<std::string> stream_paths;
  std::vector<std::optional<std::uint32_t>> nodes;  // PipeWire nodes, as Mutter announces them
  std::string ended;                                // why the session ended; empty while it lasts
  std::vector<Slot> matches;
  std::unique_ptr<PipeWire> pipewire;
  std::vector<std::unique_ptr<FrameStream>> streams;

  explicit SessionState(Bus connection) : bus(std::move(connection)) {}
  SessionState(const SessionState&) = delete;
  SessionState& operator=(const SessionState&) = delete;
  ~SessionState() {
    streams.clear();
    pipewire.reset();
    if (remote_desktop && ended.empty() && bus.is_open()) {
      // Stopping the remote-desktop session stops the screen cast it started.
      auto call = bus.method(mutter, remote_desktop->path, remote_desktop_session_interface, "Stop");
      if (call) (void)bus.call(*call, "stopping the remote-desktop session", stop_wait);
    }
  }

  void end(std::string why) {
    if (ended.empty()) ended = std::move(why);
  }

  // Reads what has arrived, so that a Closed signal or Mutter's leaving is
  // seen. A broken stream ends the session too: its monitor could never be
  // captured again, and a new session records it afresh.
  void catch_up() {
    if (!bus.is_open()) end("the connection to the session bus was lost");
    if (auto read = bus.dispatch_pending(); !read) end(report_text(read.error()));
    for (const auto& stream : streams)
      if (auto why = stream->failure()) end(std::move(*why));
  }

  Error ended_error() const { return Error::ordinary("the GNOME remote-desktop session ended", {ended}); }

  Status check_alive() {
    catch_up();
    if (!ended.empty()) return std::unexpected(ended_error());
    return {};
  }

  // A call's result; a failure that the session's ending caused says so.
  template <class R>
  R explained(R result) {
    if (!result && !result.error().is_interrupted()) {
      catch_up();
      if (!ended.empty()) return std::unexpected(ended_error());
    }
    return result;
  }

  template <class... Args>
  Status add_call(std::vector<Message>& calls, const char* member, const char* types, Args... args) const {
    auto call = remote_desktop_message(bus, mutter, remote_desktop->path, member, types, args...);
    if (!call) return std::unexpected(std::move(call.error()));
    calls.push_back(std::move(*call));
    return {};
  }

  Status add_calls(std::vector<Message>& calls, const InputEvent& event) const {
    using Kind = InputEvent::Kind;
    switch (event.kind) {
      case Kind::motion_absolute:
        return add_call(calls, "NotifyPointerMotionAbsolute", "sdd", stream_paths[event.monitor].c_str(), event.x,
                        event.y);
      case Kind::motion_relative: return add_call(calls, "NotifyPointerMotionRelative", "dd", event.x, event.y);
      case Kind::button:
        return add_call(calls, "NotifyPointerButton", "ib", std::int32_t(event.code), int(event.pressed));
      case Kind::axis_discrete: return add_call(calls, "NotifyPointerAxisDiscrete", "ui", event.code, event.steps);
      case Kind::axis:
        if (auto moved = add_call(calls, "NotifyPointerAxis", "ddu", event.x, event.y, axis_source_continuous); !moved)
          return moved;
        return add_call(calls, "NotifyPointerAxis", "ddu", 0.0, 0.0, axis_finish | axis_source_continuous);
      case Kind::keycode: return add_call(calls, "NotifyKeyboardKeycode", "ub", event.code, int(event.pressed));
      case Kind::keysym: return add_call(calls, "NotifyKeyboardKeysym", "ub", event.code, int(event.pressed));
    }
    return std::unexpected(Error::fatal("an input event of no known kind"));
  }

  Status input(std::span<const InputEvent> events, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    for (const InputEvent& event : events) {
      if (event.kind != InputEvent::Kind::motion_absolute) continue;
      if (auto stream = stream_of(event.monitor); !stream) return std::unexpected(std::move(stream.error()));
    }
    if (auto alive = check_alive(); !alive) return alive;
    std::vector<Message> calls;
    for (const InputEvent& event : events)
      if (auto added = add_calls(calls, event); !added) return added;
    return explained(remote_desktop_calls(bus, calls, timeout));
  }

  void send_now(std::span<const InputEvent> events) {
    if (!ended.empty() || !bus.is_open()) return;
    std::vector<Message> calls;
    for (const InputEvent& event : events)
      if (!add_calls(calls, event)) return;
    // Mutter handles a connection's calls in order, so these land after
    // whatever was sent before, answered or not.
    for (const Message& call : calls) {
      if (sd_bus_message_set_expect_reply(call.get(), 0) < 0) return;
      if (sd_bus_send(bus.get(), call.get(), nullptr) < 0) return;
    }
  }

  Result<std::size_t> stream_of(std::size_t monitor) const {
    if (monitor >= streams.size())
      return std::unexpected(Error::invalid_value("there is no monitor number " + std::to_string(monitor)));
    return monitor;
  }
};

namespace {

int on_closed(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* state = static_cast<SessionState*>(userdata);
  const char* path = sd_bus_message_get_path(message);
  const bool screen_cast = path != nullptr && state->screen_cast == path;
  state->end(screen_cast ? "Mutter closed the screen-cast session" : "Mutter closed the remote-desktop session");
  return 0;
}

int on_mutter_gone(sd_bus_message* message, void* userdata, sd_bus_error*) {
  const char *name = nullptr, *old_owner = nullptr, *new_owner = nullptr;
  if (sd_bus_message_read(message, "sss", &name, &old_owner, &new_owner) >= 0 && new_owner != nullptr &&
      *new_owner == '\0')
    static_cast<SessionState*>(userdata)->end("Mutter left the session bus (it stopped or restarted)");
  return 0;
}

int on_stream_added(sd_bus_message* message, void* userdata, sd_bus_error*) {
  auto* state = static_cast<SessionState*>(userdata);
  const char* path = sd_bus_message_get_path(message);
  std::uint32_t node = 0;
  if (path == nullptr || sd_bus_message_read(message, "u", &node) < 0) return 0;
  auto found = std::find(state->stream_paths.begin(), state->stream_paths.end(), path);
  if (found != state->stream_paths.end()) state->nodes[std::size_t(found - state->stream_paths.begin())] = node;
  return 0;
}

Status watch(SessionState& state, Result<Slot> slot) {
  if (!slot) return std::unexpected(std::move(slot.error()));
  state.matches.push_back(std::move(*slot));
  return {};
}

}  // namespace

Result<Session> open_session() {
  auto bus = Bus::open_session_bus();
  if (!bus) return std::unexpected(std::move(bus.error()));
  auto state = std::make_unique<SessionState>(std::move(*bus));
  auto mutter = find_mutter(state->bus);
  if (!mutter) return std::unexpected(std::move(mutter.error()));
  state->mutter = std::move(*mutter);
  // PipeWire before any session of Mutter, so that its absence costs nothing.
  auto pipewire = PipeWire::connect();
  if (!pipewire) return std::unexpected(std::move(pipewire.error()));
  state->pipewire = std::move(*pipewire);

  auto monitors = read_monitors(state->bus, state->mutter);
  if (!monitors) return std::unexpected(std::move(monitors.error()));
  if (monitors->empty()) return std::unexpected(Error::ordinary("Mutter has no monitor switched on to record"));
  state->monitors = std::move(*monitors);

  // Mutter's leaving the bus ends the session; Mutter sends no Closed then.
  const std::string mutter_gone =
      "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',arg0='" + state->mutter + "'";
  if (auto watched = watch(*state, state->bus.match(mutter_gone, on_mutter_gone, state.get())); !watched)
    return std::unexpected(std::move(watched.error()));
  auto remote_desktop = create_remote_desktop(state->bus, state->mutter);
  if (!remote_desktop) return std::unexpected(std::move(remote_desktop.error()));
  state->remote_desktop = std::move(*remote_desktop);
  if (auto watched = watch(*state, state->bus.match_signal(state->mutter, state->remote_desktop->path,
                                                           remote_desktop_session_interface, "Closed", on_closed,
                                                           state.get()));
      !watched)
    return std::unexpected(std::move(watched.error()));

  auto screen_cast = create_screen_cast(state->bus, state->mutter, state->remote_desktop->id);
  if (!screen_cast) return std::unexpected(std::move(screen_cast.error()));
  state->screen_cast = std::move(*screen_cast);
  if (auto watched = watch(*state, state->bus.match_signal(state->mutter, state->screen_cast,
                                                           screen_cast_session_interface, "Closed", on_closed,
                                                           state.get()));
      !watched)
    return std::unexpected(std::move(watched.error()));

  for (const Monitor& monitor : state->monitors) {
    auto stream = record_monitor(state->bus, state->mutter, state->screen_cast, monitor.connector);
    if (!stream) return std::unexpected(std::move(stream.error()));
    state->stream_paths.push_back(std::move(*stream));
    state->nodes.emplace_back();
    if (auto watched = watch(*state, state->bus.match_signal(state->mutter, state->stream_paths.back(),
                                                             screen_cast_stream_interface, "PipeWireStreamAdded",
                                                             on_stream_added, state.get()));
        !watched)
      return std::unexpected(std::move(watched.error()));
  }

  auto start = remote_desktop_message(state->bus, state->mutter, state->remote_desktop->path, "Start", "");
  if (!start) return std::unexpected(std::move(start.error()));
  if (auto started = remote_desktop_calls(state->bus, std::span(&*start, 1)); !started)
    return std::unexpected(std::move(started.error()));
  auto announced = state->bus.wait_until(
      [&] {
        return !state->ended.empty() ||
               std::all_of(state->nodes.begin(), state->nodes.end(), [](const auto& node) { return node.has_value(); });
      },
      Clock::now() + stream_wait);
  if (!announced) return std::unexpected(std::move(announced.error()));
  if (!state->ended.empty()) return std::unexpected(state->ended_error());
  for (std::size_t i = 0; i < state->monitors.size(); ++i) {
    if (!state->nodes[i]) {
      return std::unexpected(Error::ordinary("Mutter did not start the screen cast of the monitor " +
                                             state->monitors[i].connector,
                                             {"no PipeWire stream was announced within 5 seconds"}));
    }
    auto stream = FrameStream::connect(*state->pipewire, *state->nodes[i], state->monitors[i].connector);
    if (!stream) return std::unexpected(std::move(stream.error()));
    state->streams.push_back(std::move(*stream));
  }
  // A session is whole once it opens: its streams' buffers are in place
  // before the caller's first call, not during it.
  for (const auto& stream : state->streams) stream->wait_until_settled();

  Session session(std::move(state));
  // Mutter drops the first key event of a new session while its virtual
  // keyboard appears: a Shift tap is that event, and changes nothing.
  const InputEvent shift_tap[] = {InputEvent::keycode(KEY_LEFTSHIFT, true), InputEvent::keycode(KEY_LEFTSHIFT, false)};
  if (auto tapped = session.input(shift_tap); !tapped) return std::unexpected(std::move(tapped.error()));
  return session;
}

Session::Session(std::unique_ptr<SessionState> state) : state_(std::move(state)) {}
Session::Session(Session&&) noexcept = default;
Session::~Session() = default;

// PipeWire's socket stays open in the child (PipeWire gives it up only
// through its loop, which the child shares with the parent's thread); it
// is close-on-exec.
void Session::abandon_after_fork() noexcept { state_->bus.close_after_fork(); }

const std::vector<Monitor>& Session::monitors() const { return state_->monitors; }

bool Session::alive() {
  state_->catch_up();
  return state_->ended.empty();
}

Status Session::motion_absolute(std::size_t monitor, double x, double y) {
  return input(std::array{InputEvent::motion_absolute(monitor, x, y)});
}

Status Session::motion_relative(double dx, double dy) {
  return input(std::array{InputEvent::motion_relative(dx, dy)});
}

Status Session::button(std::uint32_t evdev_button, bool pressed) {
  return input(std::array{InputEvent::button(evdev_button, pressed)});
}

Status Session::axis_discrete(Axis axis, std::int32_t steps) {
  return input(std::array{InputEvent::axis_discrete(axis, steps)});
}

Status Session::axis(double dx, double dy) { return input(std::array{InputEvent::axis(dx, dy)}); }

Status Session::keycode(std::uint32_t evdev_key, bool pressed) {
  return input(std::array{InputEvent::keycode(evdev_key, pressed)});
}

Status Session::keysym(std::uint32_t keysym, bool pressed) {
  return input(std::array{InputEvent::keysym(keysym, pressed)});
}

Status Session::input(std::span<const InputEvent> events) { return state_->input(events); }

Status Session::input(std::span<const InputEvent> events, std::chrono::milliseconds timeout) {
  return state_->input(events, timeout);
}
void Session::send_now(std::span<const InputEvent> events) { state_->send_now(events); }

Result<PixelArray> Session::screenshot(std::size_t monitor) {
  auto stream = state_->stream_of(monitor);
  if (!stream) return std::unexpected(std::move(stream.error()));
  if (auto alive = state_->check_alive(); !alive) return std::unexpected(std::move(alive.error()));
  return state_->explained(state_->streams[*stream]->copy_newest(stream_wait));
}

Status Session::screenshot_into(std::size_t monitor, std::uint8_t* destination) {
  auto stream = state_->stream_of(monitor);
  if (!stream) return std::unexpected(std::move(stream.error()));
  if (auto alive = state_->check_alive(); !alive) return alive;
  const Monitor& m = state_->monitors[*stream];
  return state_->explained(state_->streams[*stream]->copy_newest_into(destination, m.width, m.height, stream_wait));
}

Result<std::uint64_t> Session::frames(std::size_t monitor) {
  auto stream = state_->stream_of(monitor);
  if (!stream) return std::unexpected(std::move(stream.error()));
  if (auto alive = state_->check_alive(); !alive) return std::unexpected(std::move(alive.error()));
  return state_->explained(state_->streams[*stream]->frames());
}

Result<bool> Session::wait_for_frame(std::size_t monitor, std::uint64_t seen, std::chrono::milliseconds timeout) {
  auto stream = state_->stream_of(monitor);
  if (!stream) return std::unexpected(std::move(stream.error()));
  if (auto alive = state_->check_alive(); !alive) return std::unexpected(std::move(alive.error()));
  return state_->explained(state_->streams[*stream]->wait_for_frame(seen, timeout));
}

}  // namespace kestrin::gnome
