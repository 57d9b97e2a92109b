#include "kestrin_lib/capture_session.hpp"

#include <wayland-client-protocol.h>

#include <algorithm>
#include <array>
#include <string>

#include "kestrin_lib/capture_parts.hpp"
#include "kestrin_lib/image_copy_capture.hpp"
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

// A box in the output's logical coordinates, as capture_output_region takes it.
struct LogicalBox {
  std::int32_t x, y, width, height;
};

}  // namespace

struct CaptureSession::State {
  std::uint32_t output_name = 0;  // the wl_output global, looked up each frame
  std::optional<LogicalBox> box;  // capture_output_region's, or the whole output
  ScreencopyBuffer buffer{};      // what the compositor announces for each frame
  PixelRect crop;                 // the part of the buffer a frame gives
  PixelRect area;                 // the same part in the output's pixels
  Slots slots;
  // Set when the capture goes through ext-image-copy-capture-v1, which then
  // keeps the buffers; the fields above serve wlr-screencopy.
  std::unique_ptr<ImageCopyCapture> image_copy;
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
    image_copy.reset();
    release_slots(slots);
    if (display != nullptr) wl_display_flush(display);
  }
};

CaptureSession::CaptureSession(std::unique_ptr<State> state) : state_(std::move(state)) {}
CaptureSession::CaptureSession(CaptureSession&&) noexcept = default;
CaptureSession::~CaptureSession() {
  if (state_ && !state_->closed) state_->release(nullptr);
}

std::uint32_t CaptureSession::width() const {
  return state_->image_copy ? state_->image_copy->width() : state_->crop.width;
}
std::uint32_t CaptureSession::height() const {
  return state_->image_copy ? state_->image_copy->height() : state_->crop.height;
}
bool CaptureSession::closed() const { return state_->closed; }

Status CaptureSession::grab_into(Kestrin& session, std::uint8_t* destination) {
  if (state_->image_copy) return state_->image_copy->grab_into(session, destination);
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
  if (state_->image_copy) return state_->image_copy->next_into(session, destination);
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
  if (state_->image_copy) return state_->image_copy->wait_for_change(session, deadline, watched, destination);
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
    std::vector<PixelRect> changed = changes_within(events.damage, watched);
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
  // The capture protocol is chosen here alone: ext-image-copy-capture-v1
  // where offered (its sessions are made to keep buffers and report damage),
  // else wlr-screencopy.
  const bool image_copy = image_copy_capture_offered(*session.app_data);
  if (!image_copy && !session.app_data->screencopy_manager)
    return std::unexpected(Error::ordinary("no screencopy manager"));
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
  if (image_copy) {
    auto opened = ImageCopyCapture::open(session, output, region);
    if (!opened) return std::unexpected(opened.error());
    state->image_copy = std::move(*opened);
    state->crop = state->area = region.value_or(PixelRect{0, 0, picture_width, picture_height});
    return CaptureSession(std::move(state));
  }
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

  if (auto made = make_slots(session, announced, state->slots); !made) return std::unexpected(made.error());

  // The first frame is copied plainly: wlroots does not ask the compositor
  // to draw for a copy with damage, which on a still screen would never end.
  auto copied = state->copy(session, *frame, events, false, std::nullopt);
  frame->reset();
  if (!copied) return std::unexpected(copied.error());
  return CaptureSession(std::move(state));
}

}  // namespace kestrin
