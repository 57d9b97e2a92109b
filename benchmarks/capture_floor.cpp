// kestrin-capture-floor: how fast the compositor lets a client copy one output
// frame after frame with screencopy when the client keeps a single wl_shm
// buffer for all of them: the floor a lasting capture is measured against.
//
//   kestrin-capture-floor [--frames N] [--read none|pread|mmap]
//
// Every frame is asked for once the previous one is ready (one buffer cannot
// be copied into twice at once), its buffer events are awaited as the
// protocol asks, and then, with --read, its pixels are taken into an array
// kept for the run: by pread from the file (as the core reads), or by memcpy
// out of a mapping made once. The last line on stdout is "result " and a JSON
// object: "interval", the time from one frame's ready to the next one's, and
// "ready_interval", the same between the compositor's own ready stamps (its
// commits), both per frame; "copy_to_commit", from sending copy to the stamp;
// "read", the client's CPU to take one frame out; "cpu", the client's CPU per
// frame over the whole run, one value; all in nanoseconds.
#include <unistd.h>
#include <wayland-client-protocol.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "kestrin_lib/helper.hpp"
#include "kestrin_lib/mod.hpp"
#include "kestrin_lib/screencopy.hpp"
#include "kestrin_lib/shm.hpp"

namespace {

using namespace bench;

enum class ReadMode { none, pread, mmap };

// Asks for a frame of the first output and waits for its buffer events.
kestrin::Proxy<zwlr_screencopy_frame_v1> start_frame(kestrin::Kestrin& k, TimedFrame& state) {
  auto& app = *k.app_data;
  kestrin::Proxy<zwlr_screencopy_frame_v1> frame(kestrin::screencopy::capture_output(
      app.screencopy_manager.get(), 0, app.outputs.begin()->second.output.get(), k.queue_handle));
  kestrin::screencopy::add_listener(frame.get(), &timed_frame_listener, &state);
  if (wl_proxy_get_version(kestrin::as_proxy(frame.get())) < 3) {
    must(kestrin::roundtrip(k.event_queue, k.queue_handle), "roundtrip after capture_output");
  } else {
    while (!state.announced && !state.failed) must(k.event_queue.dispatch_pass(), "waiting for buffer_done");
  }
  if (state.failed || !state.buffer) die("capture_output", kestrin::Error::ordinary("the compositor failed the frame"));
  return frame;
}

}  // namespace

int main(int argc, char** argv) {
  program_name = "kestrin-capture-floor";
  unsigned frames = 120;
  ReadMode mode = ReadMode::none;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i], value = argv[i + 1];
    if (option == "--frames") {
      frames = parse_count(value.c_str(), "--frames");
    } else if (option == "--read" && (value == "none" || value == "pread" || value == "mmap")) {
      mode = value == "none" ? ReadMode::none : value == "pread" ? ReadMode::pread : ReadMode::mmap;
    } else {
      std::cerr << program_name << ": usage: " << argv[0] << " [--frames N] [--read none|pread|mmap]\n";
      return 2;
    }
  }
  if (argc % 2 == 0) {
    std::cerr << program_name << ": " << argv[argc - 1] << " wants a value\n";
    return 2;
  }

  auto k = must(kestrin::connect(std::nullopt), "connect");
  must(kestrin::wait_for_output_names(k), "wait_for_output_names");
  if (!k.app_data->screencopy_manager || k.app_data->outputs.empty())
    die("connect", kestrin::Error::ordinary("no screencopy or no output"));

  // The one buffer, made for the first frame's announcement and kept.
  TimedFrame first;
  auto frame = start_frame(k, first);
  const kestrin::ScreencopyBuffer announced = *first.buffer;
  const auto size = static_cast<std::int32_t>(announced.stride * announced.height);
  kestrin::Fd file = must(kestrin::create_shm_file(static_cast<std::size_t>(size)), "create_shm_file");
  must(kestrin::allocate_pages(file.get(), size), "allocate_pages");
  kestrin::Pool pool(k.queue_handle.create<wl_shm_pool>(
      k.app_data->shm.get(), [&](wl_shm* shm) { return wl_shm_create_pool(shm, file.get(), size); }));
  kestrin::Buffer buffer(k.queue_handle.create<wl_buffer>(pool.get(), [&](wl_shm_pool* wrapper) {
    return wl_shm_pool_create_buffer(wrapper, 0, static_cast<std::int32_t>(announced.width),
                                     static_cast<std::int32_t>(announced.height),
                                     static_cast<std::int32_t>(announced.stride), announced.format);
  }));
  kestrin::Mapping mapping;
  if (mode == ReadMode::mmap) mapping = must(kestrin::map_readable(file.get(), static_cast<std::size_t>(size)), "mmap");
  std::vector<std::uint8_t> pixels(mode == ReadMode::none ? 0 : static_cast<std::size_t>(size));
  const kestrin::PixelRect whole{0, 0, announced.width, announced.height};

  std::map<std::string, Samples> samples;
  std::int64_t cpu_start = 0;
  Clock::time_point last_ready;
  std::int64_t last_stamp = 0;
  // Frame 0 is not counted: it makes the buffer and touches every page.
  for (unsigned i = 0; i <= frames; ++i) {
    TimedFrame next;
    TimedFrame& state = i == 0 ? first : next;
    if (i != 0) frame = start_frame(k, state);
    const std::int64_t copy_sent = monotonic_now_ns();
    kestrin::screencopy::copy(frame.get(), buffer.get());
    while (!state.ready && !state.failed) must(k.event_queue.dispatch_pass(), "waiting for ready");
    if (state.failed) die("copy", kestrin::Error::ordinary("the compositor failed the copy"));
    const auto ready = Clock::now();
    kestrin::screencopy::destroy(std::move(frame));

    const std::int64_t read_start = thread_cpu_ns();
    if (mode == ReadMode::pread) {
      must(kestrin::read_pixels_into(file.get(), announced, whole, pixels.data()), "pread");
    } else if (mode == ReadMode::mmap) {
      std::memcpy(pixels.data(), mapping.data(), pixels.size());
    }
    if (i == 0) {
      cpu_start = thread_cpu_ns();
    } else {
      samples["read"].push_back(thread_cpu_ns() - read_start);
      samples["interval"].push_back(ns_between(last_ready, ready));
      samples["ready_interval"].push_back(state.ready_stamp_ns - last_stamp);
      samples["copy_to_commit"].push_back(state.ready_stamp_ns - copy_sent);
    }
    last_ready = ready;
    last_stamp = state.ready_stamp_ns;
  }
  samples["cpu"].push_back((thread_cpu_ns() - cpu_start) / frames);

  buffer.reset();
  pool.reset();
  wl_display_flush(k.event_queue.display());
  std::string out = "result ";
  write_samples(out, samples);
  std::cout << out << std::endl;
  return 0;
}
