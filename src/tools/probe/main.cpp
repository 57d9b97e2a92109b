// kestrin-probe: a Wayland client for the tests that run against a real
// compositor. It gives the seat a keyboard (a virtual keyboard with a full
// "us" keymap, which never types), shows a fullscreen window with a known
// picture (an ordinary window with --windowed, for compositors that capture
// a fullscreen window black), and reports every pointer and keyboard event it receives as JSON
// lines on stdout. It connects to the compositor that WAYLAND_DISPLAY and
// XDG_RUNTIME_DIR name, and ends on SIGTERM, SIGINT, SIGHUP or when stdin
// closes.
//
// The line "activate-keyboard" on stdin makes its keyboard the seat's active
// one again. wlroots drops the active keyboard when that keyboard goes away
// (for example when a kestrin session that typed last disconnects), and a
// seat without one sends no keymap to a new wl_keyboard.
#include <wayland-client-core.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "event_loop.hpp"
#include "globals.hpp"
#include "input.hpp"
#include "kestrin_lib/virtual_keyboard.hpp"
#include "kestrin_lib/wayland.hpp"
#include "report.hpp"
#include "window.hpp"
#include "xdg_ping.hpp"
#include "xkb.hpp"

namespace {

int fail(const std::string& why) {
  std::fprintf(stderr, "kestrin-probe: %s\n", why.c_str());
  return EXIT_FAILURE;
}

// A keyboard becomes the seat's active one when its modifiers change; a lock
// set and cleared again leaves the state as it was. Mod2 is NumLock in the
// us keymap.
void activate_keyboard(zwp_virtual_keyboard_v1* keyboard, const kestrin::EventQueue& queue,
                       const kestrin::QueueHandle& queue_handle) {
  constexpr std::uint32_t modifiers_opcode = 2;
  constexpr std::uint32_t mod2 = 1u << 4;
  for (std::uint32_t locked : {mod2, 0u}) {
    wl_proxy_marshal_flags(kestrin::as_proxy(keyboard), modifiers_opcode, nullptr,
                           wl_proxy_get_version(kestrin::as_proxy(keyboard)), 0, 0u, 0u, locked, 0u);
  }
  const bool done = kestrin::roundtrip(queue, queue_handle).has_value();
  probe::Json line = probe::event_line("keyboard_activated");
  line["ok"] = done;
  probe::emit(line);
}

}  // namespace

int main(int argc, char** argv) {
  bool fullscreen = true;
  for (int i = 1; i < argc; ++i) {
    if (std::string_view(argv[i]) != "--windowed") return fail("unknown argument " + std::string(argv[i]));
    fullscreen = false;
  }
  const kestrin::Fd signals = probe::termination_signals();
  if (!signals) return fail("cannot watch for signals");

  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return fail("cannot connect to the compositor named by WAYLAND_DISPLAY");
  const kestrin::EventQueue queue(display);
  const kestrin::QueueHandle queue_handle(queue);

  auto bound = probe::bind_globals(queue, queue_handle);
  if (!bound) return fail(kestrin::report_text(bound.error()));
  const probe::Globals& globals = **bound;
  if (auto missing = globals.missing(); !missing.empty()) return fail("the compositor offers no " + missing);
  probe::answer_pings(globals.wm_base.get());

  const probe::XkbContext context = probe::make_xkb_context();
  if (!context) return fail("cannot make an xkb context");
  const probe::XkbKeymap keymap = probe::make_us_keymap(context.get());
  if (!keymap) return fail("cannot compile the us keymap");
  const probe::KeymapFile keymap_file = probe::keymap_file(keymap.get());
  if (!keymap_file.fd) return fail("cannot write the keymap to a memfd");

  // Mutter offers no virtual keyboards; its seat has a keyboard of its own.
  kestrin::Proxy<zwp_virtual_keyboard_v1> keyboard;
  if (globals.keyboard_manager) {
    keyboard.reset(kestrin::virtual_keyboard::create_virtual_keyboard(globals.keyboard_manager.get(),
                                                                      globals.seat.get(), queue_handle));
    kestrin::virtual_keyboard::keymap(keyboard.get(), kestrin::virtual_keyboard::keymap_format_xkb_v1,
                                      keymap_file.fd.get(), keymap_file.size);
  }

  const probe::Input input(display, queue_handle, globals.seat.get(), context.get());
  probe::Window window(globals.compositor.get(), globals.wm_base.get(), globals.shm.get(), fullscreen);

  std::string why;
  const auto command = [&](std::string_view line) {
    if (line == "activate-keyboard") {
      if (keyboard) {
        activate_keyboard(keyboard.get(), queue, queue_handle);
      } else {
        probe::Json answer = probe::event_line("keyboard_activated");
        answer["ok"] = false;
        probe::emit(answer);
      }
    }
    // "paint X Y WIDTH HEIGHT"
    unsigned x = 0, y = 0, width = 0, height = 0;
    if (std::sscanf(std::string(line).c_str(), "paint %u %u %u %u", &x, &y, &width, &height) == 4)
      window.paint(x, y, width, height);
  };
  switch (probe::run_loop(queue, signals.get(), [&window] { return window.failed(); }, command, why)) {
    case probe::LoopEnd::signal:
    case probe::LoopEnd::stdin_closed:
    case probe::LoopEnd::stdout_closed:
      return EXIT_SUCCESS;
    case probe::LoopEnd::failed:
      break;
  }
  return fail(why);
}
