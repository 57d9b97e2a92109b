#include "kestrin_lib/image_copy_capture.hpp"

#include <wayland-client-protocol.h>

#include <algorithm>
#include <string>
#include <utility>

#include "ext-image-capture-source-v1-client-protocol.h"
#include "ext-image-copy-capture-v1-client-protocol.h"

#include "kestrin_lib/capture_parts.hpp"
#include "kestrin_lib/mod.hpp"
#include "kestrin_lib/pixel_format.hpp"

namespace kestrin {
namespace {

using Clock = std::chrono::steady_clock;

// No cursor painted into the frames, as screencopy's overlay_cursor 0.
constexpr std::uint32_t no_options = 0;

// Owners that send the object's destructor request when they let go.
struct SourceDestroyer {
  void operator()(ext_image_capture_source_v1* source) const noexcept { ext_image_capture_source_v1_destroy(source); }
};
struct SessionDestroyer {
  void operator()(ext_image_copy_capture_session_v1* session) const noexcept {
    ext_image_copy_capture_session_v1_destroy(session);
  }
};
struct FrameDestroyer {
  void operator()(ext_image_copy_capture_frame_v1* frame) const noexcept {
    ext_image_copy_capture_frame_v1_destroy(frame);
  }
};
using SourceProxy = std::unique_ptr<ext_image_capture_source_v1, SourceDestroyer>;
using SessionProxy = std::unique_ptr<ext_image_copy_capture_session_v1, SessionDestroyer>;
using FrameProxy = std::unique_ptr<ext_image_copy_capture_frame_v1, FrameDestroyer>;

// --- ext_image_copy_capture_session_v1 --------------------------------------

// One batch of buffer constraints, which a done completes.
struct Constraints {
  std::optional<std::pair<std::uint32_t, std::uint32_t>> size;
  std::vector<std::uint32_t> shm_formats;
};

struct SessionEvents {
  Constraints pending;
  std::optional<Constraints> current;
  std::uint64_t batches = 0;  // done events so far
  bool stopped = false;
};

SessionEvents& session_events(void* data) { return *static_cast<SessionEvents*>(data); }

void session_buffer_size(void* data, ext_image_copy_capture_session_v1*, std::uint32_t width, std::uint32_t height) {
  session_events(data).pending.size = std::pair{width, height};
}
void session_shm_format(void* data, ext_image_copy_capture_session_v1*, std::uint32_t format) {
  session_events(data).pending.shm_formats.push_back(format);
}
void session_dmabuf_device(void*, ext_image_copy_capture_session_v1*, wl_array*) {}
void session_dmabuf_format(void*, ext_image_copy_capture_session_v1*, std::uint32_t, wl_array*) {}
void session_done(void* data, ext_image_copy_capture_session_v1*) {
  SessionEvents& events = session_events(data);
  events.current = std::exchange(events.pending, Constraints{});
  ++events.batches;
}
void session_stopped(void* data, ext_image_copy_capture_session_v1*) { session_events(data).stopped = true; }

const ext_image_copy_capture_session_v1_listener session_listener = {
    .buffer_size = session_buffer_size,
    .shm_format = session_shm_format,
    .dmabuf_device = session_dmabuf_device,
    .dmabuf_format = session_dmabuf_format,
    .done = session_done,
    .stopped = session_stopped,
};

// --- ext_image_copy_capture_frame_v1 ----------------------------------------

struct FrameEvents {
  std::vector<PixelRect> damage;  // in buffer pixels
  bool ready = false;
  std::optional<std::uint32_t> failed;  // the reason
};

FrameEvents& frame_events(void* data) { return *static_cast<FrameEvents*>(data); }

void frame_transform(void*, ext_image_copy_capture_frame_v1*, std::uint32_t) {}
void frame_damage(void* data, ext_image_copy_capture_frame_v1*, std::int32_t x, std::int32_t y, std::int32_t width,
                  std::int32_t height) {
  // Only the part inside the buffer counts; what lies left of or above it
  // cannot be a pixel.
  const std::int64_t left = std::max(x, 0), top = std::max(y, 0);
  const std::int64_t right = std::int64_t{x} + std::max(width, 0);
  const std::int64_t bottom = std::int64_t{y} + std::max(height, 0);
  if (right <= left || bottom <= top) return;
  frame_events(data).damage.push_back(PixelRect{static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(top),
                                                static_cast<std::uint32_t>(right - left),
                                                static_cast<std::uint32_t>(bottom - top)});
}
void frame_presentation_time(void*, ext_image_copy_capture_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {}
void frame_ready(void* data, ext_image_copy_capture_frame_v1*) { frame_events(data).ready = true; }
void frame_failed(void* data, ext_image_copy_capture_frame_v1*, std::uint32_t reason) {
  frame_events(data).failed = reason;
}

const ext_image_copy_capture_frame_v1_listener frame_listener = {
    .transform = frame_transform,
    .damage = frame_damage,
    .presentation_time = frame_presentation_time,
    .ready = frame_ready,
    .failed = frame_failed,
};

// A frame asked for and not yet taken in: its events are boxed with it, since
// the listener holds their address.
struct Pending {
  FrameEvents events;
  FrameProxy frame;
  unsigned slot = 0;

  bool settled() const { return events.ready || events.failed; }
};

Error stopped_error() {
  return Error::ordinary("the compositor stopped the capture: the output is gone or the capture was ended");
}

Error failure(std::uint32_t reason) {
  switch (reason) {
    case EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_BUFFER_CONSTRAINTS:
      return Error::ordinary(
          "the compositor failed the capture: the buffers no longer meet its constraints (the output's size or pixel "
          "format changed)");
    case EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_STOPPED:
      return stopped_error();
    default:
      return capture_failed();
  }
}

template <class T>
Proxy<T> bind_first_version(AppData& app_data, std::uint32_t name, const wl_interface& interface) {
  return Proxy<T>(static_cast<T*>(wl_registry_bind(app_data.registry.get(), name, &interface, 1)));
}

}  // namespace

bool image_copy_capture_offered(const AppData& app_data) {
  return app_data.image_copy_capture_manager_name != 0 && app_data.output_capture_source_manager_name != 0;
}

struct ImageCopyCapture::State {
  std::optional<PixelRect> region;  // as asked for, in output pixels
  SessionEvents events;
  SourceProxy source;
  SessionProxy capture_session;
  std::uint64_t adopted = 0;  // the batch of constraints the buffers follow
  ScreencopyBuffer buffer{};
  PixelRect crop;  // the part of the buffer a frame gives
  Slots slots;
  std::optional<unsigned> last;  // the slot that holds the newest picture
  std::unique_ptr<Pending> pending;
  // Changes that frames outside a wait brought, for the next wait.
  std::vector<PixelRect> unreported;
  // How long a grab waits before it takes the screen as still: a session
  // copies a frame only once something on the output changed since the
  // previous one, so on a still screen none comes.
  Clock::duration still_after{};
  bool stopped = false;

  ~State() { let_go(); }

  // Frame first, then session and source, then the buffers and pools.
  void let_go() {
    pending.reset();
    capture_session.reset();
    source.reset();
    release_slots(slots);
    last.reset();
  }

  void stop(Kestrin& session) {
    stopped = true;
    let_go();
    wl_display_flush(session.event_queue.display());
  }

  Result<ScreencopyBuffer> constraints() const {
    const Constraints& announced = *events.current;
    if (!announced.size) return std::unexpected(Error::ordinary("the compositor announced no size for the capture"));
    if (announced.shm_formats.empty())
      return std::unexpected(Error::ordinary("the compositor offers no shared-memory buffer for the capture"));
    auto rank = [](std::uint32_t code) { return pixel_format::preference(code).value_or(~0u); };
    const std::uint32_t format = *std::ranges::min_element(announced.shm_formats, {}, rank);
    if (!pixel_format::preference(format))
      return std::unexpected(Error::ordinary("the compositor offers the capture only in pixel format " +
                                             pixel_format::describe(format) + ", which kestrin cannot read"));
    const auto [width, height] = *announced.size;
    const ScreencopyBuffer wanted{format, width, height, width * 4};
    if (auto fits = check_buffer(wanted); !fits) return std::unexpected(fits.error());
    return wanted;
  }

  // Follows the latest batch of constraints: new buffers when the size or
  // the format changed. A frame whose size changes with them fails the call,
  // whose caller made room for the old size.
  Status adopt(Kestrin& session) {
    if (events.batches == adopted) return {};
    auto wanted = constraints();
    if (!wanted) return std::unexpected(wanted.error());
    if (slots[0].buffer && same_buffer(*wanted, buffer)) {
      adopted = events.batches;
      return {};
    }
    const bool had_buffers = static_cast<bool>(slots[0].buffer);
    const PixelRect before = crop;
    pending.reset();
    release_slots(slots);
    last.reset();
    const PixelRect whole{0, 0, wanted->width, wanted->height};
    if (region) {
      if (auto fits = check_region(*region, wanted->width, wanted->height, "region"); !fits)
        return std::unexpected(Error::ordinary(fits.error().message));
    }
    if (auto made = make_slots(session, *wanted, slots); !made) return made;
    buffer = *wanted;
    crop = region.value_or(whole);
    adopted = events.batches;
    // New buffers hold no picture yet, and all of it counts as changed.
    unreported.assign(1, whole);
    if (had_buffers && (crop.width != before.width || crop.height != before.height))
      return std::unexpected(Error::ordinary("the output's picture changed to " + std::to_string(crop.width) + "x" +
                                             std::to_string(crop.height) +
                                             " pixels: the capture's frames have that size from the next call on"));
    return {};
  }

  // `take_in_ahead`: a frame asked ahead that came meanwhile is taken in,
  // for its damage, although the call wants a newer one.
  Status check_usable(Kestrin& session, bool take_in_ahead = true) {
    if (stopped) return std::unexpected(stopped_error());
    if (events.stopped) {
      stop(session);
      return std::unexpected(stopped_error());
    }
    if (auto connected = session.event_queue.still_connected(); !connected) return connected;
    if (take_in_ahead && pending && pending->settled()) {
      if (auto taken = take_in(session); !taken) return std::unexpected(taken.error());
    }
    return adopt(session);
  }

  // Asks for a frame into the slot that does not hold the newest picture.
  Status ask(Kestrin& session) {
    auto next = std::make_unique<Pending>();
    next->slot = last ? (*last ^ 1u) : 0u;
    next->frame.reset(session.queue_handle.create<ext_image_copy_capture_frame_v1>(
        capture_session.get(),
        [](ext_image_copy_capture_session_v1* wrapper) { return ext_image_copy_capture_session_v1_create_frame(wrapper); }));
    if (!next->frame) return std::unexpected(Error::ordinary("out of memory"));
    ext_image_copy_capture_frame_v1_add_listener(next->frame.get(), &frame_listener, &next->events);
    ext_image_copy_capture_frame_v1_attach_buffer(next->frame.get(), slots[next->slot].buffer.get());
    // All of it: each buffer missed what was copied into the other one.
    ext_image_copy_capture_frame_v1_damage_buffer(next->frame.get(), 0, 0, static_cast<std::int32_t>(buffer.width),
                                                  static_cast<std::int32_t>(buffer.height));
    ext_image_copy_capture_frame_v1_capture(next->frame.get());
    wl_display_flush(session.event_queue.display());
    pending = std::move(next);
    return {};
  }

  void give_up(Kestrin& session) {
    pending.reset();
    wl_display_flush(session.event_queue.display());
  }

  // Waits for the pending frame: true once its picture is in, false when
  // `deadline` came first (the frame is then given up).
  Result<bool> await(Kestrin& session, std::optional<Clock::time_point> deadline) {
    while (!pending->settled() && !events.stopped) {
      auto pass = dispatch_until(session, deadline);
      if (!pass) return std::unexpected(pass.error());
      if (!*pass) {
        give_up(session);
        return false;
      }
    }
    return take_in(session);
  }

  // The pending frame has ended: its slot now holds the newest picture, and
  // its damage waits for the next wait.
  Result<bool> take_in(Kestrin& session) {
    std::unique_ptr<Pending> done = std::move(pending);
    done->frame.reset();
    wl_display_flush(session.event_queue.display());
    if (!done->events.ready) {
      const std::uint32_t reason =
          done->events.failed.value_or(EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_STOPPED);
      if (reason == EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_STOPPED || events.stopped) stop(session);
      return std::unexpected(failure(reason));
    }
    last = done->slot;
    // A frame without damage events changed all over.
    if (done->events.damage.empty()) done->events.damage.push_back(PixelRect{0, 0, buffer.width, buffer.height});
    add_changes(unreported, done->events.damage);
    return true;
  }

  // The newest frame: one the compositor copies now, or, when none comes
  // while the output refreshes twice, the newest picture there is (nothing
  // changed since it was copied). A frame failed for new constraints is
  // asked for once more in new buffers.
  Status fresh_frame(Kestrin& session) {
    for (bool retried = false;; retried = true) {
      if (pending) give_up(session);
      if (auto asked = ask(session); !asked) return asked;
      std::optional<Clock::time_point> deadline;
      if (last) deadline = Clock::now() + still_after;
      auto copied = await(session, deadline);
      if (copied) return {};
      if (retried || stopped || events.batches == adopted) return std::unexpected(copied.error());
      if (auto followed = adopt(session); !followed) return followed;
    }
  }

  Status read(std::uint8_t* destination) const {
    copy_pixels_into(slots[*last].view.data(), buffer, crop, destination);
    return {};
  }
};

ImageCopyCapture::ImageCopyCapture(std::unique_ptr<State> state) : state_(std::move(state)) {}
ImageCopyCapture::~ImageCopyCapture() = default;

std::uint32_t ImageCopyCapture::width() const { return state_->crop.width; }
std::uint32_t ImageCopyCapture::height() const { return state_->crop.height; }

Result<std::unique_ptr<ImageCopyCapture>> ImageCopyCapture::open(Kestrin& session, const Output& output,
                                                                 std::optional<PixelRect> region) {
  AppData& app_data = *session.app_data;
  if (!output.output) return std::unexpected(Error::ordinary("the captured output is gone"));
  if (auto connected = session.event_queue.still_connected(); !connected) return std::unexpected(connected.error());
  if (!app_data.output_capture_source_manager)
    app_data.output_capture_source_manager = bind_first_version<ext_output_image_capture_source_manager_v1>(
        app_data, app_data.output_capture_source_manager_name, ext_output_image_capture_source_manager_v1_interface);
  if (!app_data.image_copy_capture_manager)
    app_data.image_copy_capture_manager = bind_first_version<ext_image_copy_capture_manager_v1>(
        app_data, app_data.image_copy_capture_manager_name, ext_image_copy_capture_manager_v1_interface);
  if (!app_data.output_capture_source_manager || !app_data.image_copy_capture_manager)
    return std::unexpected(Error::ordinary("out of memory"));

  auto state = std::make_unique<State>();
  state->region = region;
  // Two refreshes of the output (60 Hz when it does not say).
  const std::int64_t refresh_mhz = output.current.refresh > 0 ? output.current.refresh : 60000;
  state->still_after = std::chrono::microseconds(2'000'000'000 / refresh_mhz);
  wl_output* output_proxy = output.output.get();
  state->source.reset(session.queue_handle.create<ext_image_capture_source_v1>(
      app_data.output_capture_source_manager.get(), [&](ext_output_image_capture_source_manager_v1* wrapper) {
        return ext_output_image_capture_source_manager_v1_create_source(wrapper, output_proxy);
      }));
  if (!state->source) return std::unexpected(Error::ordinary("out of memory"));
  state->capture_session.reset(session.queue_handle.create<ext_image_copy_capture_session_v1>(
      app_data.image_copy_capture_manager.get(), [&](ext_image_copy_capture_manager_v1* wrapper) {
        return ext_image_copy_capture_manager_v1_create_session(wrapper, state->source.get(), no_options);
      }));
  if (!state->capture_session) return std::unexpected(Error::ordinary("out of memory"));
  ext_image_copy_capture_session_v1_add_listener(state->capture_session.get(), &session_listener, &state->events);

  while (!state->events.current && !state->events.stopped) {
    if (auto pass = session.event_queue.dispatch_pass(); !pass) return std::unexpected(pass.error());
  }
  if (auto usable = state->check_usable(session); !usable) return std::unexpected(usable.error());
  // The first frame of a session is copied at once and reports the whole
  // picture as changed; it is where waits start from.
  if (auto asked = state->ask(session); !asked) return std::unexpected(asked.error());
  if (auto copied = state->await(session, std::nullopt); !copied) return std::unexpected(copied.error());
  state->unreported.clear();
  return std::unique_ptr<ImageCopyCapture>(new ImageCopyCapture(std::move(state)));
}

Status ImageCopyCapture::grab_into(Kestrin& session, std::uint8_t* destination) {
  if (auto usable = state_->check_usable(session); !usable) return usable;
  if (auto copied = state_->fresh_frame(session); !copied) return copied;
  return state_->read(destination);
}

Status ImageCopyCapture::next_into(Kestrin& session, std::uint8_t* destination) {
  if (auto usable = state_->check_usable(session, false); !usable) return usable;
  if (!state_->pending || !state_->last) {
    if (auto copied = state_->fresh_frame(session); !copied) return copied;
  } else {
    // The frame asked ahead; on a still screen it does not come, and the
    // newest picture is still the one there is.
    auto copied = state_->await(session, Clock::now() + state_->still_after);
    if (!copied) return std::unexpected(copied.error());
  }
  // The next frame is asked for before this one is read, into the other slot.
  if (!state_->pending) {
    if (auto asked = state_->ask(session); !asked) return asked;
  }
  return state_->read(destination);
}

Result<std::optional<std::vector<PixelRect>>> ImageCopyCapture::wait_for_change(
    Kestrin& session, std::optional<Clock::time_point> deadline, const PixelRect& watched,
    std::uint8_t* destination) {
  if (auto usable = state_->check_usable(session); !usable) return std::unexpected(usable.error());
  for (;;) {
    // Only a frame copied into the current buffers can be handed out.
    if (!state_->unreported.empty() && state_->last) {
      std::vector<PixelRect> changed = changes_within(state_->unreported, watched);
      state_->unreported.clear();
      if (!changed.empty()) {
        if (auto read = state_->read(destination); !read) return std::unexpected(read.error());
        return std::optional<std::vector<PixelRect>>(std::move(changed));
      }
    }
    if (!state_->pending) {
      if (auto asked = state_->ask(session); !asked) return std::unexpected(asked.error());
    }
    auto copied = state_->await(session, deadline);
    if (!copied) return std::unexpected(copied.error());
    if (!*copied) return std::optional<std::vector<PixelRect>>();
  }
}

}  // namespace kestrin
