#include "kestrin_lib/capture_session.hpp"

#include <wayland-client-protocol.h>

#include <algorithm>
#include <array>
#include <string>

#include "kestrin_lib/mod.hpp"
#include "kestrin_lib/outputs.hpp"
#include "kestrin_lib/pixel_format.hpp"
#include "kestrin_lib/screencopy.hpp"
#include "kestrin_lib/shm.hpp"

namespace kestrin {
namespace {

constexpr std::int32_t no_cursor = 0;
constexpr std::uint32_t damage_since_version = 2;
constexpr std::uint32_t buffer_done_since_version = 3;

// What the compositor said about one frame. The frames of a capture keep
// their events to themselves: screenshot's state and log records stay as
// they are, and a capture at the output's refresh would otherwise write
// several records a frame.
struct FrameEvents {
  std::optional<ScreencopyBuffer> buffer;
  bool announced = false;
  bool ready = false;
  bool failed = false;
  std::vector<PixelRect> damage;
};

FrameEvents& events_of(void* data) { return *static_cast<FrameEvents*>(data); }

void on_buffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width, std::uint32_t height,
               std::uint32_t stride) {
  FrameEvents& events = events_of(data);
  // Of several kinds of buffer, the format read best; of one kind, the last.
  auto rank = [](std::uint32_t code) { return pixel_format::preference(code).value_or(~0u); };
  if (!events.buffer || rank(format) <= rank(events.buffer->format))
    events.buffer = ScreencopyBuffer{format, width, height, stride};
}
void on_flags(void*, zwlr_screencopy_frame_v1*, std::uint32_t) {}
void on_ready(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {
  events_of(data).ready = true;
}
void on_failed(void* data, zwlr_screencopy_frame_v1*) { events_of(data).failed = true; }
void on_damage(void* data, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y, std::uint32_t width,
               std::uint32_t height) {
  events_of(data).damage.push_back(PixelRect{x, y, width, height});
}
void on_linux_dmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {}
void on_buffer_done(void* data, zwlr_screencopy_frame_v1*) { events_of(data).announced = true; }

const screencopy::FrameListener capture_frame_listener = {
    .buffer = on_buffer,
    .flags = on_flags,
    .ready = on_ready,
    .failed = on_failed,
    .damage = on_damage,
    .linux_dmabuf = on_linux_dmabuf,
    .buffer_done = on_buffer_done,
};

// A frame that tells the compositor when it goes, however the copy ended.
struct Frame {
  Proxy<zwlr_screencopy_frame_v1> proxy;
  Frame() = default;
  Frame(Frame&&) = default;
  Frame& operator=(Frame&& other) noexcept {
    reset();
    proxy = std::move(other.proxy);
    return *this;
  }
  ~Frame() { reset(); }
  void reset() {
    if (proxy) screencopy::destroy(std::move(proxy));
  }
};

// One shared-memory buffer the compositor copies into, kept for the capture,
// and read through a mapping made once: at 3840x2160, memcpy out of it takes
// 3.4 ms of CPU a frame where pread of the file took 8.7 ms.
struct Slot {
  Fd file;
  Mapping view;
  Pool pool;
  Buffer buffer;
};

// A box in the output's logical coordinates, as capture_output_region takes it.
struct LogicalBox {
  std::int32_t x, y, width, height;
};

std::optional<PixelRect> intersection(const PixelRect& a, const PixelRect& b) {
  const std::uint64_t left = std::max(a.x, b.x);
  const std::uint64_t top = std::max(a.y, b.y);
  const std::uint64_t right = std::min(std::uint64_t{a.x} + a.width, std::uint64_t{b.x} + b.width);
  const std::uint64_t bottom = std::min(std::uint64_t{a.y} + a.height, std::uint64_t{b.y} + b.height);
  if (right <= left || bottom <= top) return std::nullopt;
  return PixelRect{static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top),
                   static_cast<std::uint32_t>(right - left), static_cast<std::uint32_t>(bottom - top)};
}

std::string describe_rect(const PixelRect& rect) {
  return "(" + std::to_string(rect.x) + ", " + std::to_string(rect.y) + ", " + std::to_string(rect.width) + ", " +
         std::to_string(rect.height) + ")";
}

// A region must be a non-empty part of the output's picture.
Status check_region(const PixelRect& region, std::uint32_t width, std::uint32_t height, const char* what) {
  if (region.width == 0 || region.height == 0)
    return std::unexpected(Error::invalid_value(std::string(what) + " " + describe_rect(region) +
                                                " is empty: its width and height must be at least 1"));
  if (std::uint64_t{region.x} + region.width > width || std::uint64_t{region.y} + region.height > height)
    return std::unexpected(Error::invalid_value(std::string(what) + " " + describe_rect(region) +
                                                " does not lie within the output's picture of " +
                                                std::to_string(width) + "x" + std::to_string(height) + " pixels"));
  return {};
}

Error capture_failed() { return Error::ordinary("the compositor failed the capture"); }

bool same_buffer(const ScreencopyBuffer& a, const ScreencopyBuffer& b) {
  return a.format == b.format && a.width == b.width && a.height == b.height && a.stride == b.stride;
}

}  // namespace

struct CaptureSession::State {
  std::uint32_t output_name = 0;  // the wl_output global, looked up each frame
  std::optional<LogicalBox> box;  // capture_output_region's, or the whole output
  ScreencopyBuffer buffer{};      // what the compositor announces for each frame
  PixelRect crop;                 // the part of the buffer a frame gives
  PixelRect area;                 // the same part in the output's pixels
  std::array<Slot, 2> slots;
  unsigned next_slot = 0;
  bool closed = false;

  Result<wl_output*> output(Kestrin& session) const {
    auto found = session.app_data->outputs.find(output_name);
    if (found == session.app_data->outputs.end() || !found->second.output)
      return std::unexpected(Error::ordinary("the captured output is gone"));
    return found->second.output.get();
  }

  // Asks for a frame and waits until its buffers have been announced.
  Result<Frame> start_frame(Kestrin& session, FrameEvents& events) const {
    if (closed) return std::unexpected(Error::ordinary("the capture is closed"));
    auto output_proxy = output(session);
    if (!output_proxy) return std::unexpected(output_proxy.error());
    if (auto connected = session.event_queue.still_connected(); !connected) return std::unexpected(connected.error());
    zwlr_screencopy_manager_v1* manager = session.app_data->screencopy_manager.get();
    Frame frame;
    if (box) {
      frame.proxy.reset(screencopy::capture_output_region(manager, no_cursor, *output_proxy, box->x, box->y,
                                                          box->width, box->height, session.queue_handle));
    } else {
      frame.proxy.reset(screencopy::capture_output(manager, no_cursor, *output_proxy, session.queue_handle));
    }
    if (!frame.proxy) return std::unexpected(Error::ordinary("out of memory"));
    screencopy::add_listener(frame.proxy.get(), &capture_frame_listener, &events);
    // Before version 3 nothing marks the end of the announcements but the
    // compositor's answer to a sync sent after the request.
    if (wl_proxy_get_version(as_proxy(frame.proxy.get())) < buffer_done_since_version) {
      if (auto done = roundtrip(session.event_queue, session.queue_handle); !done) return std::unexpected(done.error());
    }
    while (!events.announced && !events.failed) {
      if (wl_proxy_get_version(as_proxy(frame.proxy.get())) < buffer_done_since_version) break;
      if (auto pass = session.event_queue.dispatch_pass(); !pass) return std::unexpected(pass.error());
    }
    if (events.failed) return std::unexpected(capture_failed());
    if (!events.buffer)
      return std::unexpected(Error::ordinary("the compositor offers no shared-memory buffer for the capture"));
    return frame;
  }

  // Copies a started frame into the next slot; false when the deadline came
  // first (the frame is then given up).
  Result<bool> copy(Kestrin& session, Frame& frame, FrameEvents& events, bool with_damage,
                    std::optional<Clock::time_point> deadline) {
    if (auto sent = send_copy(frame, events, with_damage); !sent) return std::unexpected(sent.error());
    return await(session, frame, events, deadline);
  }

  Status send_copy(Frame& frame, const FrameEvents& events, bool with_damage) {
    // wlroots drops a client whose buffer differs from the announced one, so
    // a frame announced otherwise (the output's mode changed) is not copied.
    if (!same_buffer(*events.buffer, buffer))
      return std::unexpected(Error::ordinary(
          "the compositor now announces frames of " + std::to_string(events.buffer->width) + "x" +
          std::to_string(events.buffer->height) + " pixels in " + pixel_format::describe(events.buffer->format) +
          " instead of " + std::to_string(buffer.width) + "x" + std::to_string(buffer.height) + " pixels in " +
          pixel_format::describe(buffer.format) + ": open a new capture"));
    const Slot& slot = slots[next_slot];
    next_slot ^= 1u;
    if (with_damage) {
      screencopy::copy_with_damage(frame.proxy.get(), slot.buffer.get());
    } else {
      screencopy::copy(frame.proxy.get(), slot.buffer.get());
    }
    return {};
  }

  Result<bool> await(Kestrin& session, Frame& frame, const FrameEvents& events,
                     std::optional<Clock::time_point> deadline) const {
    while (!events.ready && !events.failed) {
      if (!deadline) {
        if (auto pass = session.event_queue.dispatch_pass(); !pass) return std::unexpected(pass.error());
        continue;
      }
      auto pass = session.event_queue.dispatch_pass_until(*deadline);
      if (!pass) return std::unexpected(pass.error());
      if (!*pass) {
        frame.reset();
        wl_display_flush(session.event_queue.display());
        return false;
      }
    }
    if (events.failed) return std::unexpected(capture_failed());
    return true;
  }

  Status read(const Slot& slot, std::uint8_t* destination) const {
    copy_pixels_into(slot.view.data(), buffer, crop, destination);
    return {};
  }
  const Slot& last_slot() const { return slots[next_slot ^ 1u]; }

  // The frame an iteration asked for ahead, into the slot not being read.
  struct Ahead {
    FrameEvents events;  // the frame's listener data: boxed, never moved
    Frame frame;
  };
  std::unique_ptr<Ahead> ahead;

  void drop_ahead(wl_display* display) {
    if (!ahead) return;
    ahead.reset();
    if (display != nullptr) wl_display_flush(display);
  }

  Status ask_ahead(Kestrin& session) {
    auto next = std::make_unique<Ahead>();
    auto frame = start_frame(session, next->events);
    if (!frame) return std::unexpected(frame.error());
    next->frame = std::move(*frame);
    if (auto sent = send_copy(next->frame, next->events, false); !sent) return sent;
    wl_display_flush(session.event_queue.display());
    ahead = std::move(next);
    return {};
  }

  void release(wl_display* display) {
    closed = true;
    ahead.reset();
    for (Slot& slot : slots) {
      slot.buffer.reset();
      slot.pool.reset();
      slot.file = Fd();
      slot.view = Mapping();
    }
    if (display != nullptr) wl_display_flush(display);
  }
};

CaptureSession::CaptureSession(std::unique_ptr<State> state) : state_(std::move(state)) {}
CaptureSession::CaptureSession(CaptureSession&&) noexcept = default;
CaptureSession::~CaptureSession() {
  if (state_ && !state_->closed) state_->release(nullptr);
}

std::uint32_t CaptureSession::width() const { return state_->crop.width; }
std::uint32_t CaptureSession::height() const { return state_->crop.height; }
bool CaptureSession::closed() const { return state_->closed; }

Status CaptureSession::grab_into(Kestrin& session, std::uint8_t* destination) {
  state_->drop_ahead(session.event_queue.display());
  FrameEvents events;
  auto frame = state_->start_frame(session, events);
  if (!frame) return std::unexpected(frame.error());
  auto copied = state_->copy(session, *frame, events, false, std::nullopt);
  frame->reset();
  wl_display_flush(session.event_queue.display());
  if (!copied) return std::unexpected(copied.error());
  return state_->read(state_->last_slot(), destination);
}

Status CaptureSession::next_into(Kestrin& session, std::uint8_t* destination) {
  if (!state_->ahead) {
    if (state_->closed) return std::unexpected(Error::ordinary("the capture is closed"));
    if (auto asked = state_->ask_ahead(session); !asked) return asked;
  }
  std::unique_ptr<State::Ahead> current = std::move(state_->ahead);
  auto copied = state_->await(session, current->frame, current->events, std::nullopt);
  current->frame.reset();
  if (!copied) {
    wl_display_flush(session.event_queue.display());
    return std::unexpected(copied.error());
  }
  // The next frame is asked for before this one is read, so that reading a
  // large picture does not make the capture miss the output's next refresh.
  const Slot& done = state_->last_slot();
  if (auto asked = state_->ask_ahead(session); !asked) return asked;
  return state_->read(done, destination);
}

Result<PixelArray> CaptureSession::grab(Kestrin& session) {
  auto pixels = allocate_pixels(width(), height());
  if (!pixels) return pixels;
  if (auto grabbed = grab_into(session, pixels->data.get()); !grabbed) return std::unexpected(grabbed.error());
  return pixels;
}

Result<std::optional<std::vector<PixelRect>>> CaptureSession::wait_for_change(
    Kestrin& session, std::optional<Clock::time_point> deadline, std::optional<PixelRect> watch,
    std::uint8_t* destination) {
  if (state_->closed) return std::unexpected(Error::ordinary("the capture is closed"));
  const PixelRect watched = watch.value_or(state_->area);
  state_->drop_ahead(session.event_queue.display());
  if (auto found = session.app_data->outputs.find(state_->output_name);
      watch && found != session.app_data->outputs.end()) {
    const OutputGeometry& geometry = found->second.current;
    auto checked = check_region(*watch, static_cast<std::uint32_t>(std::max(geometry.width, 0)),
                                static_cast<std::uint32_t>(std::max(geometry.height, 0)), "region");
    if (!checked) return std::unexpected(checked.error());
  }
  if (session.app_data->screencopy_manager &&
      wl_proxy_get_version(as_proxy(session.app_data->screencopy_manager.get())) < damage_since_version)
    return std::unexpected(Error::ordinary("the compositor's screencopy cannot report changes (version 1)"));
  for (;;) {
    FrameEvents events;
    auto frame = state_->start_frame(session, events);
    if (!frame) return std::unexpected(frame.error());
    auto copied = state_->copy(session, *frame, events, true, deadline);
    frame->reset();
    wl_display_flush(session.event_queue.display());
    if (!copied) return std::unexpected(copied.error());
    if (!*copied) return std::optional<std::vector<PixelRect>>();
    // A frame copied with damage but without damage events changed all over.
    if (events.damage.empty()) events.damage.push_back(PixelRect{0, 0, UINT32_MAX / 2, UINT32_MAX / 2});
    std::vector<PixelRect> changed;
    for (const PixelRect& rect : events.damage) {
      if (auto inside = intersection(rect, watched)) changed.push_back(*inside);
    }
    if (changed.empty()) continue;
    if (auto read = state_->read(state_->last_slot(), destination); !read) return std::unexpected(read.error());
    return std::optional<std::vector<PixelRect>>(std::move(changed));
  }
}

void CaptureSession::close(Kestrin& session) {
  state_->ahead.reset();
  if (!state_->closed) state_->release(session.event_queue.display());
}

Result<CaptureSession> open_capture(Kestrin& session, std::optional<std::string_view> screen_name,
                                    std::optional<PixelRect> region) {
  auto chosen = choose_output(*session.app_data, screen_name);
  if (!chosen) return std::unexpected(chosen.error());
  const Output& output = **chosen;
  if (!session.app_data->screencopy_manager) return std::unexpected(Error::ordinary("no screencopy manager"));
  if (!session.app_data->shm) return std::unexpected(Error::ordinary("no shared memory"));
  const auto picture_width = static_cast<std::uint32_t>(std::max(output.current.width, 0));
  const auto picture_height = static_cast<std::uint32_t>(std::max(output.current.height, 0));
  if (region) {
    if (auto checked = check_region(*region, picture_width, picture_height, "region"); !checked)
      return std::unexpected(checked.error());
  }

  // Whatever ends the opening, the compositor hears at once of the objects
  // it left behind.
  struct FlushOnExit {
    wl_display* display;
    ~FlushOnExit() { wl_display_flush(display); }
  } flush{session.event_queue.display()};
  auto state = std::make_unique<CaptureSession::State>();
  state->output_name = output.global_name;
  // capture_output_region takes logical coordinates, which wlroots turns by
  // the output's transform and multiplies by its scale. A region is asked for
  // as the smallest logical box around it and cut out of that frame here;
  // on a turned output the whole picture is captured and cut instead.
  const std::int32_t scale = std::max(output.current.scale, 1);
  const bool whole = !region || (region->width == picture_width && region->height == picture_height);
  if (!whole && output.current.transform == WL_OUTPUT_TRANSFORM_NORMAL) {
    const auto s = static_cast<std::uint32_t>(scale);
    const std::uint32_t left = region->x / s, top = region->y / s;
    const std::uint32_t right = (region->x + region->width + s - 1) / s;
    const std::uint32_t bottom = (region->y + region->height + s - 1) / s;
    state->box = LogicalBox{static_cast<std::int32_t>(left), static_cast<std::int32_t>(top),
                            static_cast<std::int32_t>(right - left), static_cast<std::int32_t>(bottom - top)};
  }

  FrameEvents events;
  auto frame = state->start_frame(session, events);
  if (!frame) return std::unexpected(frame.error());
  if (state->box) {
    // A fractional scale reaches clients as the next whole one, so the frame
    // may differ from the box times the scale: then the whole output it is.
    const auto expected_width = static_cast<std::uint32_t>(state->box->width * scale);
    const auto expected_height = static_cast<std::uint32_t>(state->box->height * scale);
    if (events.buffer->width != expected_width || events.buffer->height != expected_height) {
      state->box.reset();
      frame->reset();
      events = FrameEvents{};
      frame = state->start_frame(session, events);
      if (!frame) return std::unexpected(frame.error());
    }
  }
  const ScreencopyBuffer announced = *events.buffer;
  if (!pixel_format::preference(announced.format))
    return std::unexpected(Error::ordinary("the compositor offers the capture only in pixel format " +
                                           pixel_format::describe(announced.format) + ", which kestrin cannot read"));
  if (auto fits = check_buffer(announced); !fits) return std::unexpected(fits.error());
  state->buffer = announced;
  const PixelRect wanted = region.value_or(PixelRect{0, 0, announced.width, announced.height});
  if (state->box) {
    const auto s = static_cast<std::uint32_t>(scale);
    state->crop = PixelRect{wanted.x - static_cast<std::uint32_t>(state->box->x) * s,
                            wanted.y - static_cast<std::uint32_t>(state->box->y) * s, wanted.width, wanted.height};
  } else {
    state->crop = wanted;
  }
  state->area = wanted;
  if (!intersection(state->crop, PixelRect{0, 0, announced.width, announced.height}) ||
      std::uint64_t{state->crop.x} + state->crop.width > announced.width ||
      std::uint64_t{state->crop.y} + state->crop.height > announced.height)
    return std::unexpected(Error::ordinary("the compositor announced a frame of " + std::to_string(announced.width) +
                                           "x" + std::to_string(announced.height) + " pixels, which does not hold " +
                                           describe_rect(wanted)));

  const auto size = static_cast<std::int32_t>(announced.stride * announced.height);
  for (Slot& slot : state->slots) {
    auto file = create_sealed_shm_file(static_cast<std::size_t>(size));
    if (!file) return std::unexpected(file.error());
    if (auto backed = allocate_pages(file->get(), size); !backed) return std::unexpected(backed.error());
    auto view = map_readable(file->get(), static_cast<std::size_t>(size));
    if (!view) return std::unexpected(view.error());
    slot.view = std::move(*view);
    slot.pool.reset(session.queue_handle.create<wl_shm_pool>(
        session.app_data->shm.get(), [&](wl_shm* shm) { return wl_shm_create_pool(shm, file->get(), size); }));
    if (!slot.pool) return std::unexpected(Error::ordinary("out of memory"));
    // In the announced format: wlroots drops a client whose buffer differs.
    slot.buffer.reset(session.queue_handle.create<wl_buffer>(slot.pool.get(), [&](wl_shm_pool* wrapper) {
      return wl_shm_pool_create_buffer(wrapper, 0, static_cast<std::int32_t>(announced.width),
                                       static_cast<std::int32_t>(announced.height),
                                       static_cast<std::int32_t>(announced.stride), announced.format);
    }));
    if (!slot.buffer) return std::unexpected(Error::ordinary("out of memory"));
    slot.file = std::move(*file);
  }

  // The first frame is copied plainly: wlroots does not ask the compositor
  // to draw for a copy with damage, which on a still screen would never end.
  auto copied = state->copy(session, *frame, events, false, std::nullopt);
  frame->reset();
  if (!copied) return std::unexpected(copied.error());
  return CaptureSession(std::move(state));
}

}  // namespace kestrin
