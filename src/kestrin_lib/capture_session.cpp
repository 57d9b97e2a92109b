#include "kestrin_lib/capture_session.hpp"

#include <wayland-client-protocol.h>

#include <algorithm>
#include <array>
#include <climits>
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
  bool y_invert = false;
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
void on_flags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
  events_of(data).y_invert = (flags & screencopy::flags_y_invert) != 0;
}
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

void on_sync_done(void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; }
const wl_callback_listener sync_listener = {.done = on_sync_done};

// A roundtrip that gives up at `deadline`: false then.
Result<bool> roundtrip_until(Kestrin& session, std::optional<Clock::time_point> deadline) {
  bool done = false;
  Proxy<wl_callback> callback(wl_display_sync(session.queue_handle.display()));
  if (!callback) return std::unexpected(Error::ordinary("out of memory"));
  wl_callback_add_listener(callback.get(), &sync_listener, &done);
  while (!done) {
    auto pass = dispatch_until(session, deadline);
    if (!pass || !*pass) return pass;
  }
  return true;
}

Result<std::optional<std::vector<PixelRect>>> no_change() { return std::optional<std::vector<PixelRect>>(); }

}  // namespace

struct CaptureSession::State {
  std::uint32_t output_name = 0;  // the wl_output global, looked up each frame
  std::optional<LogicalBox> box;  // capture_output_region's, or the whole output
  ScreencopyBuffer buffer{};      // what the compositor announces for each frame
  PixelRect crop;                 // the part of the buffer a frame gives
  PixelRect area;                 // the same part in the output's pixels
  Slots slots;
  bool y_invert = false;  // of the frame in the last slot
  // Set when the capture goes through ext-image-copy-capture-v1, which then
  // keeps the buffers; the fields above serve wlr-screencopy.
  std::unique_ptr<ImageCopyCapture> image_copy;
  unsigned next_slot = 0;
  bool closed = false;
  // The output's shared damage and this capture's part of it.
  std::shared_ptr<OutputChanges> output_changes;
  std::shared_ptr<ChangeInbox> inbox;
  // The picture at the opening, kept until the first report of the
  // compositor since then has been checked against it.
  std::vector<std::uint8_t> baseline;

  Result<wl_output*> output(Kestrin& session) const {
    auto found = session.app_data->outputs.find(output_name);
    if (found == session.app_data->outputs.end() || !found->second.output)
      return std::unexpected(Error::ordinary("the captured output is gone"));
    return found->second.output.get();
  }

  // Asks for a frame and waits until its buffers have been announced; an
  // empty frame when `deadline` came first.
  Result<Frame> start_frame(Kestrin& session, FrameEvents& events,
                            std::optional<Clock::time_point> deadline = std::nullopt) const {
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
    const bool marks_end = wl_proxy_get_version(as_proxy(frame.proxy.get())) >= buffer_done_since_version;
    if (!marks_end) {
      auto done = roundtrip_until(session, deadline);
      if (!done) return std::unexpected(done.error());
      if (!*done) return Frame();
    }
    while (marks_end && !events.announced && !events.failed) {
      auto pass = dispatch_until(session, deadline);
      if (!pass) return std::unexpected(pass.error());
      if (!*pass) return Frame();
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
      auto pass = dispatch_until(session, deadline);
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
    copy_pixels_into(slot.view.data(), buffer, crop, destination, y_invert);
    return {};
  }

  // A frame copied plainly into the next slot: false when `deadline` came
  // first.
  Result<bool> fresh_frame(Kestrin& session, std::optional<Clock::time_point> deadline, bool with_damage,
                           FrameEvents& events) {
    auto frame = start_frame(session, events, deadline);
    if (!frame) return std::unexpected(frame.error());
    if (!frame->proxy) {
      wl_display_flush(session.event_queue.display());
      return false;
    }
    auto copied = copy(session, *frame, events, with_damage, deadline);
    frame->reset();
    wl_display_flush(session.event_queue.display());
    if (copied && *copied) y_invert = events.y_invert;
    return copied;
  }

  // What changed in `watched` (output pixels) since the wait before: the
  // changes the inbox holds, and those the picture now in `destination`
  // shows against the opening's when the compositor could not tell.
  std::vector<PixelRect> take_changes(const std::uint8_t* destination, const PixelRect& watched) {
    std::vector<PixelRect> changed;
    if (!inbox->changes.empty()) changed = changes_within(std::exchange(inbox->changes, {}), watched);
    if (std::exchange(inbox->compare, false)) {
      const PixelRect all{0, 0, crop.width, crop.height};
      if (auto seen = difference(baseline.data(), destination, crop.width, all)) {
        const PixelRect in_output{seen->x + area.x, seen->y + area.y, seen->width, seen->height};
        if (auto shown = intersection(in_output, watched)) changed.push_back(*shown);
      }
      // From here on the compositor's reports are all there is to know.
      baseline = std::vector<std::uint8_t>();
    }
    return changed;
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
  auto grabbed = grab_into(session, destination, std::nullopt);
  if (!grabbed) return std::unexpected(grabbed.error());
  return {};
}

Result<bool> CaptureSession::grab_into(Kestrin& session, std::uint8_t* destination,
                                       std::optional<Clock::time_point> deadline) {
  if (state_->image_copy) {
    // Bounded already: on a still screen the newest picture is taken after
    // two refreshes.
    if (auto grabbed = state_->image_copy->grab_into(session, destination); !grabbed)
      return std::unexpected(grabbed.error());
    return true;
  }
  if (state_->closed) return std::unexpected(Error::ordinary("the capture is closed"));
  state_->drop_ahead(session.event_queue.display());
  FrameEvents events;
  auto copied = state_->fresh_frame(session, deadline, false, events);
  if (!copied || !*copied) return copied;
  if (auto read = state_->read(state_->last_slot(), destination); !read) return std::unexpected(read.error());
  return true;
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
  state_->y_invert = current->events.y_invert;
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
  State& state = *state_;
  for (;;) {
    // Changes that frames of other captures of the output brought: a plain
    // copy shows them.
    if (!state.inbox->changes.empty() || state.inbox->compare) {
      FrameEvents events;
      auto copied = state.fresh_frame(session, deadline, false, events);
      if (!copied) return std::unexpected(copied.error());
      if (!*copied) return no_change();
      if (auto read = state.read(state.last_slot(), destination); !read) return std::unexpected(read.error());
      std::vector<PixelRect> changed = state.take_changes(destination, watched);
      if (!changed.empty()) return std::optional<std::vector<PixelRect>>(std::move(changed));
    }
    FrameEvents events;
    auto copied = state.fresh_frame(session, deadline, true, events);
    if (!copied) return std::unexpected(copied.error());
    if (!*copied) return no_change();
    // A frame without damage events changed all over (the whole output,
    // whatever part of it this capture holds).
    if (events.damage.empty()) events.damage.push_back(PixelRect{0, 0, UINT32_MAX, UINT32_MAX});
    state.output_changes->share(events.damage);
    if (auto read = state.read(state.last_slot(), destination); !read) return std::unexpected(read.error());
    std::vector<PixelRect> changed = state.take_changes(destination, watched);
    if (!changed.empty()) return std::optional<std::vector<PixelRect>>(std::move(changed));
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
  state->y_invert = events.y_invert;
  std::shared_ptr<OutputChanges>& changes = session.app_data->screencopy_changes[output.global_name];
  if (!changes) changes = std::make_shared<OutputChanges>();
  state->output_changes = changes;
  state->inbox = changes->join();
  state->baseline.resize(std::size_t{state->crop.width} * state->crop.height * 4);
  if (auto read = state->read(state->last_slot(), state->baseline.data()); !read) return std::unexpected(read.error());
  return CaptureSession(std::move(state));
}

}  // namespace kestrin
