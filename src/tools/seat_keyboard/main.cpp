// kestrin-seat-keyboard [--layout LAYOUT] [--variant VARIANT] [--options OPTIONS]
//
// A headless compositor's seat has no keyboard, and asking it for one is a
// protocol error, so Kestrin() cannot start there. This tool holds a virtual
// keyboard with a full keymap on the seat of $WAYLAND_DISPLAY, prints "ready"
// once the compositor has it, and stays until SIGTERM, SIGINT or, when stdin
// is a pipe, the end of stdin. It never types anything.
//
// When a keyboard that was the seat's active one goes away (a kestrin session
// ending, for one), wlroots leaves the seat with no active keyboard and thus
// no keymap to hand out. SIGUSR1 or a line "activate" on stdin makes this
// tool's keyboard the active one again; it answers "activated".
#include <wayland-client.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>

#include "globals.hpp"
#include "keymap.hpp"
#include "kestrin_lib/virtual_keyboard.hpp"
#include "kestrin_lib/wayland.hpp"
#include "run_loop.hpp"

namespace {

constexpr const char* usage =
    "usage: kestrin-seat-keyboard [--layout LAYOUT] [--variant VARIANT] [--options OPTIONS]\n"
    "Holds a virtual keyboard on the seat of $WAYLAND_DISPLAY (xkb rules evdev,\n"
    "model pc105, layout LAYOUT, default us, with VARIANT and OPTIONS, default\n"
    "none). Prints \"ready\" once the compositor\n"
    "has it; ends on SIGTERM, SIGINT or when a pipe on its stdin closes. SIGUSR1,\n"
    "or a line \"activate\" on a piped stdin, makes it the seat's active keyboard\n"
    "again (answer: \"activated\").\n";

int fail(const std::string& why) {
  std::fprintf(stderr, "kestrin-seat-keyboard: %s\n", why.c_str());
  return EXIT_FAILURE;
}

void say(const char* line) {
  std::fputs(line, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// wlroots makes a keyboard the seat's active one when its modifiers change.
// Locking Mod2 and unlocking it again is such a change that leaves the state
// as it was; no key is pressed.
bool activate(zwp_virtual_keyboard_v1* keyboard, const kestrin::EventQueue& queue,
              const kestrin::QueueHandle& queue_handle) {
  constexpr std::uint32_t modifiers_opcode = 2;
  constexpr std::uint32_t mod2 = 1u << 4;
  for (const std::uint32_t locked : {mod2, 0u}) {
    wl_proxy_marshal_flags(kestrin::as_proxy(keyboard), modifiers_opcode, nullptr,
                           wl_proxy_get_version(kestrin::as_proxy(keyboard)), 0, 0u, 0u, locked, 0u);
  }
  return kestrin::roundtrip(queue, queue_handle).has_value();
}

}  // namespace

int main(int argc, char** argv) {
  seat_keyboard::KeymapNames names;
  const std::pair<std::string_view, std::string*> options[] = {
      {"--layout", &names.layout}, {"--variant", &names.variant}, {"--options", &names.options}};
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(usage, stdout);
      return EXIT_SUCCESS;
    }
    bool known = false;
    for (const auto& [name, value] : options) {
      if (arg == name && i + 1 < argc) {
        *value = argv[++i];
      } else if (arg.starts_with(name) && arg.substr(name.size()).starts_with('=')) {
        *value = arg.substr(name.size() + 1);
      } else {
        continue;
      }
      known = true;
      break;
    }
    if (!known) {
      std::fputs(usage, stderr);
      return 2;
    }
  }

  const kestrin::Fd signals = seat_keyboard::watch_signals();
  if (!signals) return fail("cannot watch for signals");

  std::string error;
  const seat_keyboard::KeymapFile keymap = seat_keyboard::compile_keymap(names, error);
  if (!keymap.fd) return fail(error);

  wl_display* display = wl_display_connect(nullptr);
  if (display == nullptr) return fail("cannot connect to the compositor named by WAYLAND_DISPLAY");
  const kestrin::EventQueue queue(display);
  const kestrin::QueueHandle queue_handle(queue);
  if (!queue || !queue_handle) return fail("out of memory");

  const auto globals = seat_keyboard::bind_globals(queue, queue_handle, error);
  if (!globals) return fail(error);

  const kestrin::Proxy<zwp_virtual_keyboard_v1> keyboard(kestrin::virtual_keyboard::create_virtual_keyboard(
      globals->manager.get(), globals->seat.get(), queue_handle));
  if (!keyboard) return fail("out of memory");
  kestrin::virtual_keyboard::keymap(keyboard.get(), kestrin::virtual_keyboard::keymap_format_xkb_v1,
                                    keymap.fd.get(), keymap.size);
  // Whatever keyboard was active before, the seat's keymap is now this one.
  if (!activate(keyboard.get(), queue, queue_handle)) {
    return fail("the compositor did not take the keyboard: " + kestrin::report_text(queue.dispatch_error()));
  }
  say("ready");

  // A failed activation leaves the connection broken; the loop then ends.
  const auto on_activate = [&] {
    if (activate(keyboard.get(), queue, queue_handle)) say("activated");
  };
  switch (seat_keyboard::run_loop(queue, signals.get(), on_activate, error)) {
    case seat_keyboard::LoopEnd::told_to_stop:
    case seat_keyboard::LoopEnd::stdin_closed:
      return EXIT_SUCCESS;
    case seat_keyboard::LoopEnd::failed:
      break;
  }
  return fail(error);
}
