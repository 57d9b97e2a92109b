// kestrin-gnome-bench: times the GNOME session of the core against a running
// Mutter (found on DBUS_SESSION_BUS_ADDRESS, PipeWire on XDG_RUNTIME_DIR),
// without Python.
//
//   kestrin-gnome-bench [--sessions N] [--calls C] [--captures K]
//
// Per session: open_session(), the first screenshot (which waits for the
// stream's first frame), then K later screenshots (copies of the held frame)
// and C of each input call, every one waiting for Mutter's reply, and of two
// batches (Session::input): a key tap (press and release) and ten keysyms
// typed (twenty events); beside them
// C bare round trips to Mutter over the bus (org.freedesktop.DBus.Peer.Ping on
// a connection of their own), the floor of any call. The last
// line on stdout is "result " and one JSON object holding every sample in
// nanoseconds.
#include <linux/input-event-codes.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "kestrin_lib/gnome/bus.hpp"
#include "kestrin_lib/gnome/mutter.hpp"
#include "kestrin_lib/gnome/session.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Samples = std::vector<std::int64_t>;

[[noreturn]] void die(const std::string& what, const kestrin::Error& error) {
  std::cerr << "kestrin-gnome-bench: " << what << ": " << kestrin::report_text(error) << '\n';
  std::exit(1);
}

template <class Call>
std::int64_t timed(const std::string& what, Call&& call) {
  const auto start = Clock::now();
  auto done = call();
  const auto end = Clock::now();
  if (!done) die(what, done.error());
  return std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  int sessions = 3, calls = 200, captures = 20;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    const int value = std::atoi(argv[i + 1]);
    if (option == "--sessions") sessions = value;
    else if (option == "--calls") calls = value;
    else if (option == "--captures") captures = value;
    else {
      std::cerr << "kestrin-gnome-bench: unknown option " << option << '\n';
      return 2;
    }
  }
  std::map<std::string, Samples> samples;
  auto bus = kestrin::gnome::Bus::open_session_bus();
  if (!bus) die("connecting to the session bus", bus.error());
  auto mutter = kestrin::gnome::find_mutter(*bus);
  if (!mutter) die("finding Mutter", mutter.error());
  for (int s = 0; s < sessions; ++s) {
    std::optional<kestrin::gnome::Session> session;
    samples["open_session"].push_back(timed("open_session", [&]() -> kestrin::Status {
      auto opened = kestrin::gnome::open_session();
      if (!opened) return std::unexpected(std::move(opened.error()));
      session.emplace(std::move(*opened));
      return {};
    }));
    std::vector<std::uint8_t> pixels(std::size_t(session->monitors()[0].width) * session->monitors()[0].height * 4);
    samples["first_screenshot"].push_back(timed("screenshot", [&] { return session->screenshot(0); }));
    for (int i = 0; i < captures; ++i) {
      samples["screenshot"].push_back(timed("screenshot", [&] { return session->screenshot(0); }));
      samples["screenshot_into"].push_back(
          timed("screenshot_into", [&] { return session->screenshot_into(0, pixels.data()); }));
    }
    const std::map<std::string, std::function<kestrin::Status(int)>> inputs = {
        {"motion_absolute", [&](int i) { return session->motion_absolute(0, 100 + i % 500, 100 + i % 300); }},
        {"motion_relative", [&](int i) { return session->motion_relative(i % 2 ? 1 : -1, 0); }},
        {"button", [&](int i) { return session->button(BTN_MIDDLE, i % 2 == 0); }},
        {"keycode", [&](int i) { return session->keycode(KEY_LEFTSHIFT, i % 2 == 0); }},
        {"keysym", [&](int i) { return session->keysym(0xffe1 /* Shift_L */, i % 2 == 0); }},
        {"axis_discrete",
         [&](int i) { return session->axis_discrete(kestrin::gnome::Axis::vertical, i % 2 ? 1 : -1); }},
    };
    for (const auto& [name, input] : inputs)
      for (int i = 0; i < calls; ++i) samples[name].push_back(timed(name, [&] { return input(i); }));
    using kestrin::gnome::InputEvent;
    const InputEvent tap[] = {InputEvent::keycode(KEY_LEFTSHIFT, true), InputEvent::keycode(KEY_LEFTSHIFT, false)};
    std::vector<InputEvent> typed;
    for (int k = 0; k < 10; ++k)
      typed.insert(typed.end(), {InputEvent::keysym(0xffe1, true), InputEvent::keysym(0xffe1, false)});
    for (int i = 0; i < calls; ++i) {
      samples["batch_key_tap"].push_back(timed("a key tap", [&] { return session->input(tap); }));
      samples["batch_ten_keysyms"].push_back(timed("ten keysyms", [&] { return session->input(typed); }));
    }
    for (int i = 0; i < calls; ++i) {
      samples["bus_ping"].push_back(timed("Ping", [&]() -> kestrin::Status {
        auto ping = bus->method(*mutter, "/org/gnome/Mutter/RemoteDesktop", "org.freedesktop.DBus.Peer", "Ping");
        if (!ping) return std::unexpected(std::move(ping.error()));
        auto reply = bus->call(*ping, "Ping");
        if (!reply) return std::unexpected(std::move(reply.error().error));
        return {};
      }));
    }
  }
  std::cout << "result {";
  bool first = true;
  for (const auto& [name, values] : samples) {
    std::cout << (first ? "" : ", ") << '"' << name << "\": [";
    for (std::size_t i = 0; i < values.size(); ++i) std::cout << (i ? ", " : "") << values[i];
    std::cout << ']';
    first = false;
  }
  std::cout << "}\n";
}
