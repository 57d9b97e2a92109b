// kestrin-bench: times the core library against a running compositor, without
// Python, so that the Python calls can be set beside what the core itself
// costs and beside a bare wl_display.sync roundtrip on the same kind of
// connection.
//
//   kestrin-bench [--sessions N] [--blocks B] [--block-size S] [--captures C]
//   kestrin-bench --formats-only [--captures C]
//
// The compositor is found the way the module finds it (WAYLAND_DISPLAY,
// XDG_RUNTIME_DIR). Before every new session the program writes the line
// "activate" on stdout and waits for any line on stdin: the driver then makes
// the seat's keyboard active again, which wlroots forgets whenever the
// previous session's virtual keyboard goes away. The last line on stdout is
// "result " and one JSON object holding every sample in nanoseconds.
//
// The pixel formats are timed without a compositor: the last step of a
// capture, reading a frame out of its file into the array, once per readable
// format. --formats-only times them alone and needs no compositor.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <wayland-client-protocol.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kestrin_lib/helper.hpp"
#include "kestrin_lib/mod.hpp"
#include "kestrin_lib/screencopy.hpp"
#include "kestrin_lib/shm.hpp"
#include "kestrin_lib/virtual_keyboard.hpp"
#include "kestrin_lib/virtual_pointer.hpp"

namespace {

using namespace bench;

constexpr std::uint32_t key_a = 30;  // evdev KEY_A

void ask_for_active_keyboard() {
  std::cout << "activate" << std::endl;
  std::string answer;
  if (!std::getline(std::cin, answer)) {
    std::cerr << "kestrin-bench: the driver closed stdin\n";
    std::exit(1);
  }
}

// --- a capture timed phase by phase ----------------------------------------
//
// The same requests, in the same order, as kestrin::screenshot, made through
// the core's own request functions, with the clock read between the steps.
// Its total is reported next to kestrin::screenshot's so that the two can be
// checked against each other. The frame gets a listener of its own because
// the ready event's timestamp is what splits the wait for ready in two: wlroots
// stamps it with CLOCK_MONOTONIC as the output commit begins, and copies the
// pixels into the client's buffer only after that, in the commit's precommit
// step. Before the stamp lies the wait for the compositor's next frame and
// its rendering; after it, the copy into our buffer and the ready's delivery.

// The compositor's minor page faults so far: the process at the other end of
// the session's socket, read from /proc. -1 when it cannot be read.
std::int64_t compositor_minor_faults(const kestrin::EventQueue& queue) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (getsockopt(wl_display_get_fd(queue.display()), SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return -1;
  std::ifstream stat("/proc/" + std::to_string(peer.pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  // The command name may hold blanks; the fields that matter follow the last ')'.
  const auto close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  // state ppid pgrp session tty_nr tpgid flags minflt
  for (int i = 0; i < 8 && fields >> field; ++i) {
  }
  return fields ? std::stoll(field) : -1;
}

std::int64_t own_minor_faults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

struct Phases {
  std::map<std::string, Samples> samples;
  void add(const std::string& name, std::int64_t ns) { samples[name].push_back(ns); }
};

// The file, pool and buffer of the capture variant that keeps them from one
// capture to the next instead of making them anew.
struct KeptTarget {
  kestrin::Fd file;
  wl_shm_pool* pool = nullptr;
  wl_buffer* buffer = nullptr;
};

// Samples go under `prefix` + the phase's name. With `kept`, the file, pool
// and buffer are made on the first call only and used by every later one.
void phased_capture(kestrin::Kestrin& session, Phases& phases, const std::string& prefix, KeptTarget* kept) {
  auto& app = *session.app_data;
  const auto& queue = session.event_queue;
  const auto& handle = session.queue_handle;
  wl_output* output = app.outputs.begin()->second.output.get();
  TimedFrame state;

  const std::int64_t faults_before = compositor_minor_faults(queue);
  const std::int64_t own_faults_before = own_minor_faults();
  auto t0 = Clock::now();
  kestrin::Proxy<zwlr_screencopy_frame_v1> frame(
      kestrin::screencopy::capture_output(app.screencopy_manager.get(), 0, output, handle));
  kestrin::screencopy::add_listener(frame.get(), &timed_frame_listener, &state);
  must(kestrin::roundtrip(queue, handle), "roundtrip after capture_output");
  while (!state.buffer && !state.failed) must(queue.dispatch_pass(), "waiting for the buffer event");
  if (state.failed) die("capture", kestrin::Error::ordinary("the compositor failed the capture"));
  const auto announced = *state.buffer;
  const auto size = static_cast<std::int32_t>(announced.stride * announced.height);
  auto t1 = Clock::now();

  kestrin::Fd own_file;
  wl_shm_pool* pool = kept != nullptr ? kept->pool : nullptr;
  wl_buffer* buffer = kept != nullptr ? kept->buffer : nullptr;
  auto t2 = t1, t3 = t1, t4 = t1;
  if (buffer == nullptr) {
    own_file = must(kestrin::create_shm_file(static_cast<std::size_t>(size)), "create_shm_file");
    // As the capture does: the file's pages are allocated before the
    // compositor copies into it.
    ::posix_fallocate(own_file.get(), 0, size);
    t2 = Clock::now();
    pool = handle.create<wl_shm_pool>(app.shm.get(),
                                      [&](wl_shm* shm) { return wl_shm_create_pool(shm, own_file.get(), size); });
    must(kestrin::roundtrip(queue, handle), "roundtrip after create_pool");
    t3 = Clock::now();
    buffer = handle.create<wl_buffer>(pool, [&](wl_shm_pool* wrapper) {
      return wl_shm_pool_create_buffer(wrapper, 0, static_cast<std::int32_t>(announced.width),
                                       static_cast<std::int32_t>(announced.height),
                                       static_cast<std::int32_t>(announced.stride), WL_SHM_FORMAT_XRGB8888);
    });
    must(kestrin::roundtrip(queue, handle), "roundtrip after create_buffer");
    t4 = Clock::now();
    if (kept != nullptr) {
      kept->file = std::move(own_file);
      kept->pool = pool;
      kept->buffer = buffer;
    }
  }
  const int fd = kept != nullptr ? kept->file.get() : own_file.get();

  const std::int64_t copy_sent = monotonic_now_ns();
  kestrin::screencopy::copy(frame.get(), buffer);
  while (!state.ready && !state.failed) must(queue.dispatch_pass(), "waiting for ready");
  const std::int64_t ready_seen = monotonic_now_ns();
  if (state.failed) die("capture", kestrin::Error::ordinary("the compositor failed the copy"));
  kestrin::screencopy::destroy(std::move(frame));
  auto t5 = Clock::now();

  const std::size_t bytes = std::size_t{announced.width} * announced.height * 4;
  auto* pixels = static_cast<std::uint8_t*>(std::malloc(bytes));
  if (pixels == nullptr) die("malloc", kestrin::Error::ordinary("out of memory"));
  std::size_t done = 0;
  while (done < bytes) {
    ssize_t got = ::pread(fd, pixels + done, bytes - done, static_cast<off_t>(done));
    if (got <= 0) die("pread", kestrin::Error::ordinary("short read"));
    done += static_cast<std::size_t>(got);
  }
  auto t6 = Clock::now();

  if (kept == nullptr) {
    wl_buffer_destroy(buffer);
    wl_shm_pool_destroy(pool);
  }
  wl_display_flush(queue.display());
  own_file = kestrin::Fd();
  auto t7 = Clock::now();
  std::free(pixels);
  const std::int64_t faults_after = compositor_minor_faults(queue);
  if (faults_before >= 0 && faults_after >= 0) phases.add(prefix + "compositor_faults", faults_after - faults_before);
  phases.add(prefix + "client_faults", own_minor_faults() - own_faults_before);

  phases.add(prefix + "capture_request", ns_between(t0, t1));
  phases.add(prefix + "total", ns_between(t0, t7));
  phases.add(prefix + "copy_to_ready", ns_between(t4, t5));
  phases.add(prefix + "copy_to_commit", state.ready_stamp_ns - copy_sent);
  phases.add(prefix + "commit_to_ready", ready_seen - state.ready_stamp_ns);
  phases.add(prefix + "read", ns_between(t5, t6));
  if (kept == nullptr) {
    phases.add(prefix + "shm_file", ns_between(t1, t2));
    phases.add(prefix + "create_pool", ns_between(t2, t3));
    phases.add(prefix + "create_buffer", ns_between(t3, t4));
    phases.add(prefix + "release", ns_between(t6, t7));
  }
}

// --- a construction timed phase by phase ------------------------------------
//
// The steps of kestrin::connect and wait_for_output_names, through the same
// core functions and requests, with the clock read between them. The objects are declared
// in the order a session releases them: proxies, then the queue handle, then
// the queue, which closes the connection.
void phased_connect(Phases& phases) {
  auto t0 = Clock::now();
  auto display = must(kestrin::connect_wayland(std::nullopt), "connect_wayland");
  kestrin::EventQueue queue(display);
  kestrin::QueueHandle handle(queue);
  auto app = std::make_unique<kestrin::AppData>();
  app->registry.reset(wl_display_get_registry(handle.display()));
  kestrin::listen_registry(*app, app->registry.get());
  auto t1 = Clock::now();
  must(kestrin::roundtrip(queue, handle), "registry roundtrip");
  auto t2 = Clock::now();
  // setup_virtual_keyboard's two steps, apart: the seat's keymap arriving,
  // and the compositor taking it for the new virtual keyboard.
  app->keyboard.reset(wl_seat_get_keyboard(app->seat.get()));
  kestrin::listen_keyboard(*app, app->keyboard.get());
  must(kestrin::roundtrip(queue, handle), "keyboard roundtrip");
  if (!app->keymap) die("connect", kestrin::Error::ordinary("the seat's keyboard sent no keymap"));
  auto t2b = Clock::now();
  kestrin::Proxy<zwp_virtual_keyboard_v1> keyboard(kestrin::virtual_keyboard::create_virtual_keyboard(
      app->virtual_keyboard_manager.get(), app->seat.get(), handle));
  kestrin::virtual_keyboard::keymap(keyboard.get(), kestrin::virtual_keyboard::keymap_format_xkb_v1,
                                    app->keymap->fd.get(), app->keymap->size);
  must(kestrin::roundtrip(queue, handle), "virtual keyboard roundtrip");
  auto t3 = Clock::now();
  kestrin::Proxy<zwlr_virtual_pointer_v1> pointer(
      kestrin::virtual_pointer::create_virtual_pointer(app->virtual_pointer_manager.get(), app->seat.get(), handle));
  must(kestrin::roundtrip(queue, handle), "virtual pointer roundtrip");
  auto t4 = Clock::now();
  auto unnamed = [&] {
    for (const auto& [name, output] : app->outputs)
      if (!output.name && output.version >= 4) return true;
    return false;
  };
  while (unnamed()) must(queue.dispatch_pass(), "waiting for output names");
  auto t5 = Clock::now();
  phases.add("connect_socket", ns_between(t0, t1));
  phases.add("connect_registry", ns_between(t1, t2));
  phases.add("connect_keymap", ns_between(t2, t2b));
  phases.add("connect_keyboard", ns_between(t2b, t3));
  phases.add("connect_pointer", ns_between(t3, t4));
  phases.add("connect_names", ns_between(t4, t5));
  phases.add("connect_total", ns_between(t0, t5));
}

// --- pixel formats -------------------------------------------------------------
//
// kestrin::read_pixels on a frame file of the benchmark's size, once in each
// readable format: the client CPU a capture in that format costs beyond the
// compositor's copy. xrgb8888 and argb8888 are a plain read; the others are
// converted on the way.

constexpr std::uint32_t frame_width = 1920, frame_height = 1080;

const std::vector<std::pair<std::string, std::uint32_t>> readable_formats = {
    {"xrgb8888", WL_SHM_FORMAT_XRGB8888},       {"argb8888", WL_SHM_FORMAT_ARGB8888},
    {"xbgr8888", WL_SHM_FORMAT_XBGR8888},       {"abgr8888", WL_SHM_FORMAT_ABGR8888},
    {"xrgb2101010", WL_SHM_FORMAT_XRGB2101010}, {"argb2101010", WL_SHM_FORMAT_ARGB2101010},
    {"xbgr2101010", WL_SHM_FORMAT_XBGR2101010}, {"abgr2101010", WL_SHM_FORMAT_ABGR2101010},
};

void time_formats(std::map<std::string, Samples>& formats, unsigned reads) {
  const std::size_t size = std::size_t{frame_width} * frame_height * 4;
  kestrin::Fd file = must(kestrin::create_shm_file(size), "create_shm_file");
  std::vector<std::uint8_t> content(size);
  for (std::size_t i = 0; i < size; ++i) content[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
  if (::pwrite(file.get(), content.data(), size, 0) != static_cast<ssize_t>(size)) {
    die("pwrite", kestrin::Error::ordinary("short write"));
  }
  // Read in turn, so that a slow stretch of the machine falls on every format.
  for (unsigned i = 0; i <= reads; ++i) {
    for (const auto& [name, format] : readable_formats) {
      const kestrin::ScreencopyBuffer buffer{format, frame_width, frame_height, frame_width * 4};
      const std::int64_t cpu0 = thread_cpu_ns();
      auto pixels = must(kestrin::read_pixels(file.get(), buffer), "read_pixels");
      const std::int64_t cpu = thread_cpu_ns() - cpu0;
      // The first round touches every page for the first time: not counted.
      if (i != 0) formats["read_" + name].push_back(cpu);
    }
  }
}

// --- output ------------------------------------------------------------------

}  // namespace

int main(int argc, char** argv) {
  unsigned sessions = 5, blocks = 10, block_size = 200, captures = 30;
  bool formats_only = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--formats-only") {
      formats_only = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::cerr << "kestrin-bench: " << option << " wants a value\n";
      return 2;
    }
    const char* value = argv[++i];
    if (option == "--sessions") sessions = parse_count(value, "--sessions");
    else if (option == "--blocks") blocks = parse_count(value, "--blocks");
    else if (option == "--block-size") block_size = parse_count(value, "--block-size");
    else if (option == "--captures") captures = parse_count(value, "--captures");
    else {
      std::cerr << "kestrin-bench: unknown option " << option << '\n';
      return 2;
    }
  }

  std::map<std::string, Samples> formats;
  if (formats_only) {
    time_formats(formats, captures);
    std::string out = "result {\"formats\":";
    write_samples(out, formats);
    std::cout << out << '}' << std::endl;
    return 0;
  }

  std::map<std::string, Samples> construction;
  Phases phases;
  std::optional<kestrin::Kestrin> session;
  for (unsigned i = 0; i < sessions; ++i) {
    // The old session must be gone before the keyboard is made active again,
    // or its departure would take the active keyboard along.
    session.reset();
    ask_for_active_keyboard();
    phased_connect(phases);
    ask_for_active_keyboard();
    auto t0 = Clock::now();
    auto made = must(kestrin::connect(std::nullopt), "connect");
    must(kestrin::wait_for_output_names(made), "wait_for_output_names");
    auto t1 = Clock::now();
    construction["construct"].push_back(ns_between(t0, t1));
    session.emplace(std::move(made));
  }
  kestrin::Kestrin& k = *session;

  const auto hold0 = kestrin::UIntValue::fixed(0);
  auto* pointer = k.virtual_pointer.get();
  auto* keyboard = k.virtual_keyboard.get();
  auto sync = [&] { must(kestrin::roundtrip(k.event_queue, k.queue_handle), "roundtrip"); };

  // Each kind is timed in turn within every block, so that a slow stretch of
  // the machine falls on all kinds alike. Moves alternate between two points
  // so that each one is a real motion that the compositor delivers.
  const std::vector<std::pair<std::string, std::function<void(unsigned)>>> actions = {
      {"roundtrip", [&](unsigned) { sync(); }},
      {"move_mouse",
       [&](unsigned i) {
         must(k.move_mouse(kestrin::UIntValue::fixed(900 + i % 2 * 20), kestrin::UIntValue::fixed(500), 1920, 1080),
              "move_mouse");
       }},
      {"move_mouse_same_point",
       [&](unsigned) {
         must(k.move_mouse(kestrin::UIntValue::fixed(900), kestrin::UIntValue::fixed(500), 1920, 1080), "move_mouse");
       }},
      {"left_click", [&](unsigned) { must(k.left_click(hold0), "left_click"); }},
      {"right_click", [&](unsigned) { must(k.right_click(hold0), "right_click"); }},
      {"key_press", [&](unsigned) { must(k.key_press(key_a, hold0), "key_press"); }},
  };

  std::map<std::string, Samples> input;
  for (unsigned b = 0; b < blocks; ++b) {
    for (const auto& [name, action] : actions) {
      auto& samples = input[name];
      const std::int64_t cpu0 = thread_cpu_ns();
      for (unsigned i = 0; i < block_size; ++i) {
        auto t0 = Clock::now();
        action(i);
        samples.push_back(ns_between(t0, Clock::now()));
      }
      input["cpu_" + name].push_back((thread_cpu_ns() - cpu0) / block_size);
    }
    // The halves of a click and of a key press, each one request and its
    // roundtrip, to see which of the two the compositor takes longer over.
    for (unsigned i = 0; i < block_size; ++i) {
      auto t0 = Clock::now();
      kestrin::virtual_pointer::button(pointer, 0, kestrin::left_button, kestrin::virtual_pointer::button_state_pressed);
      sync();
      auto t1 = Clock::now();
      kestrin::virtual_pointer::button(pointer, 0, kestrin::left_button, kestrin::virtual_pointer::button_state_released);
      sync();
      auto t2 = Clock::now();
      kestrin::virtual_keyboard::key(keyboard, 0, key_a, kestrin::virtual_keyboard::key_state_pressed);
      sync();
      auto t3 = Clock::now();
      kestrin::virtual_keyboard::key(keyboard, 0, key_a, kestrin::virtual_keyboard::key_state_released);
      sync();
      auto t4 = Clock::now();
      input["button_press_half"].push_back(ns_between(t0, t1));
      input["button_release_half"].push_back(ns_between(t1, t2));
      input["key_press_half"].push_back(ns_between(t2, t3));
      input["key_release_half"].push_back(ns_between(t3, t4));
    }
  }

  // Captures: kestrin::screenshot and its phased copy in turn, then a series
  // of phased captures into a kept buffer, so that none of those follows a
  // capture that leaves a pool for the compositor to tear down. One of each
  // first that is not counted (first-use costs, the kept buffer's making).
  std::map<std::string, Samples> capture;
  KeptTarget kept;
  {
    auto warm = must(kestrin::screenshot(*k.app_data, k.queue_handle, k.event_queue, std::nullopt), "screenshot");
    Phases ignored;
    phased_capture(k, ignored, "", nullptr);
  }
  for (unsigned i = 0; i < captures; ++i) {
    const std::int64_t faults0 = own_minor_faults();
    auto t0 = Clock::now();
    auto pixels = must(kestrin::screenshot(*k.app_data, k.queue_handle, k.event_queue, std::nullopt), "screenshot");
    auto t1 = Clock::now();
    capture["client_faults"].push_back(own_minor_faults() - faults0);
    if (pixels.width == 0) die("screenshot", kestrin::Error::ordinary("empty picture"));
    pixels.data.reset();
    capture["screenshot"].push_back(ns_between(t0, t1));
    phased_capture(k, phases, "fresh_", nullptr);
  }
  {
    Phases ignored;
    phased_capture(k, ignored, "", &kept);
  }
  for (unsigned i = 0; i < captures; ++i) phased_capture(k, phases, "kept_", &kept);
  time_formats(formats, captures);

  std::string out = "result {\"construction\":";
  write_samples(out, construction);
  out += ",\"input\":";
  write_samples(out, input);
  out += ",\"capture\":";
  write_samples(out, capture);
  out += ",\"phases\":";
  write_samples(out, phases.samples);
  out += ",\"formats\":";
  write_samples(out, formats);
  out += '}';
  std::cout << out << std::endl;
  return 0;
}
