#include "kestrin_lib/gnome/pipewire_stream.hpp"

#include "kestrin_lib/gnome/pipewire_library.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <mutex>
#include <utility>

#include "kestrin_lib/gnome/frame.hpp"
#include "kestrin_lib/gnome/pipewire_library.hpp"
#include "kestrin_lib/wayland.hpp"

namespace kestrin::gnome {
namespace {

using Clock = std::chrono::steady_clock;

// How long teardown waits for PipeWire to finish linking a stream.
constexpr auto settle_wait = std::chrono::seconds(1);

// Blocks every signal in the calling thread meanwhile. PipeWire starts its
// threads (the loop's, the data loop's) from wherever it is first called, and
// a thread inherits the mask: with every signal blocked there, a signal meant
// for the caller (Ctrl-C) interrupts the caller's wait, not one of PipeWire's.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous_);
  }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

 private:
  sigset_t previous_;
};

}  // namespace

// --- the connection -----------------------------------------------------------

Result<std::unique_ptr<PipeWire>> PipeWire::connect() {
  if (auto loaded = load_pipewire(); !loaded) return std::unexpected(loaded.error());
  SignalsBlocked blocked;
  static std::once_flag initialised;
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
  std::unique_ptr<PipeWire> pipewire(new PipeWire);
  pipewire->loop_ = pw_thread_loop_new("kestrin-gnome", nullptr);
  if (pipewire->loop_ == nullptr)
    return std::unexpected(Error::ordinary("starting PipeWire's thread failed", {os_error_text(errno)}));
  pipewire->context_ = pw_context_new(pw_thread_loop_get_loop(pipewire->loop_), nullptr, 0);
  if (pipewire->context_ == nullptr)
    return std::unexpected(Error::ordinary("creating a PipeWire context failed", {os_error_text(errno)}));
  if (const int r = pw_thread_loop_start(pipewire->loop_); r < 0)
    return std::unexpected(Error::ordinary("starting PipeWire's thread failed", {os_error_text(-r)}));
  int failure = 0;
  {
    Lock lock(*pipewire);
    pipewire->core_ = pw_context_connect(pipewire->context_, nullptr, 0);
    failure = errno;
  }
  if (pipewire->core_ == nullptr) {
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    return std::unexpected(Error::ordinary(
        "PipeWire is not running: Mutter sends the screen's frames through it. Install pipewire and wireplumber "
        "and start them in this session (systemctl --user start pipewire wireplumber)",
        {std::string("connecting to ") + (remote != nullptr ? remote : "pipewire-0") + " failed: " +
         os_error_text(failure != 0 ? failure : EIO)}));
  }
  return pipewire;
}

PipeWire::~PipeWire() {
  if (loop_ != nullptr) pw_thread_loop_stop(loop_);
  if (core_ != nullptr) pw_core_disconnect(core_);
  if (context_ != nullptr) pw_context_destroy(context_);
  if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
}

// --- a monitor's stream -------------------------------------------------------

const pw_stream_events FrameStream::events = [] {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = on_state_changed;
  events.param_changed = on_param_changed;
  events.remove_buffer = on_remove_buffer;
  events.process = on_process;
  return events;
}();

Result<std::unique_ptr<FrameStream>> FrameStream::connect(PipeWire& pipewire, std::uint32_t node, std::string name) {
  std::unique_ptr<FrameStream> stream(new FrameStream(pipewire, std::move(name)));
  stream->wake_ = Fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!stream->wake_) return std::unexpected(Error::ordinary("creating an eventfd failed", {os_error_text(errno)}));

  // Any size and frame rate Mutter sends; the four byte orders the core can
  // read; buffers in memory (MemFd, MemPtr), which is what Mutter gives
  // without a GPU and when no DMA-BUF modifier is offered.
  spa_rectangle size_default{1280, 720}, size_min{1, 1}, size_max{16384, 16384};
  spa_fraction rate_default{60, 1}, rate_min{0, 1}, rate_max{1000, 1};
  std::uint8_t storage[1024];
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage, sizeof storage);
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(5, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA,
                             SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&size_default, &size_min, &size_max),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rate_default, &rate_min, &rate_max)));

  SignalsBlocked blocked;
  PipeWire::Lock lock(pipewire);
  pw_properties* properties = pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                PW_KEY_MEDIA_ROLE, "Screen", nullptr);
  stream->stream_ = pw_stream_new(pipewire.core(), ("kestrin " + stream->name_).c_str(), properties);
  if (stream->stream_ == nullptr)
    return std::unexpected(Error::ordinary("creating the PipeWire stream of " + stream->name_ + " failed",
                                           {os_error_text(errno)}));
  pw_stream_add_listener(stream->stream_, &stream->listener_, &events, stream.get());
  const int r = pw_stream_connect(stream->stream_, PW_DIRECTION_INPUT, node,
                                  static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
                                  params, 1);
  if (r < 0)
    return std::unexpected(Error::ordinary("connecting to the PipeWire stream of " + stream->name_ + " failed",
                                           {os_error_text(-r)}));
  return stream;
}

FrameStream::~FrameStream() {
  if (stream_ == nullptr) return;
  // PipeWire 0.3 does not close the descriptors of a message that reaches a
  // node already destroyed: the eventfds it sends while it links the stream
  // to Mutter's node would stay open for good.
  wait_until_settled();
  PipeWire::Lock lock(pipewire_);
  spa_hook_remove(&listener_);
  if (held_ != nullptr) pw_stream_queue_buffer(stream_, held_);
  pw_stream_destroy(stream_);
}

void FrameStream::wake() const {
  const std::uint64_t one = 1;
  // A full counter still wakes the reader; nothing else can fail here.
  [[maybe_unused]] auto written = ::write(wake_.get(), &one, sizeof one);
}

void FrameStream::on_state_changed(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
  auto* self = static_cast<FrameStream*>(data);
  // The first reason stays: an error is followed by the disconnection.
  if (!self->failure_.empty()) return;
  if (state == PW_STREAM_STATE_STREAMING && !self->streamed_) {
    self->streamed_ = true;
    self->wake();
    return;
  }
  if (state == PW_STREAM_STATE_ERROR) {
    self->failure_ =
        "the PipeWire stream of " + self->name_ + " failed: " + (error != nullptr ? error : "no reason given");
  } else if (state == PW_STREAM_STATE_UNCONNECTED && old != PW_STREAM_STATE_UNCONNECTED) {
    self->failure_ = "the PipeWire stream of " + self->name_ + " was disconnected";
  } else {
    return;
  }
  self->wake();
}

void FrameStream::on_param_changed(void* data, std::uint32_t id, const spa_pod* param) {
  auto* self = static_cast<FrameStream*>(data);
  if (id != SPA_PARAM_Format || param == nullptr) return;
  std::uint32_t media_type = 0, media_subtype = 0;
  if (spa_format_parse(param, &media_type, &media_subtype) < 0 || media_type != SPA_MEDIA_TYPE_video ||
      media_subtype != SPA_MEDIA_SUBTYPE_raw)
    return;
  spa_video_info_raw format{};
  if (spa_format_video_raw_parse(param, &format) < 0 || wl_shm_format(format.format) == 0) {
    self->failure_ = "Mutter sends the frames of " + self->name_ +
                     " in a format that cannot be read (SPA video format " + std::to_string(format.format) + ")";
    self->wake();
    return;
  }
  // A frame of the previous format is not read with the new one (the
  // buffers of the new format may come later than the format itself).
  if (self->held_ != nullptr) {
    pw_stream_queue_buffer(self->stream_, self->held_);
    self->held_ = nullptr;
  }
  self->format_ = format;
  self->wl_format_ = wl_shm_format(format.format);

  std::uint8_t storage[1024];
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage, sizeof storage);
  const spa_pod* params[3];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoCrop),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_region))));
  pw_stream_update_params(self->stream_, params, 3);
}

void FrameStream::on_remove_buffer(void* data, pw_buffer* buffer) {
  auto* self = static_cast<FrameStream*>(data);
  if (self->held_ == buffer) self->held_ = nullptr;
}

// Keeps the newest whole frame and gives every other back to Mutter at once.
void FrameStream::on_process(void* data) {
  auto* self = static_cast<FrameStream*>(data);
  pw_buffer* newest = nullptr;
  while (pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream_)) {
    if (!holds_frame(*buffer->buffer)) {
      pw_stream_queue_buffer(self->stream_, buffer);
      continue;
    }
    if (newest != nullptr) pw_stream_queue_buffer(self->stream_, newest);
    newest = buffer;
  }
  if (newest == nullptr) return;
  if (self->held_ != nullptr) pw_stream_queue_buffer(self->stream_, self->held_);
  self->held_ = newest;
  ++self->received_;
  self->wake();
}

std::optional<std::string> FrameStream::failure() {
  PipeWire::Lock lock(pipewire_);
  if (failure_.empty()) return std::nullopt;
  return failure_;
}

namespace {

// Waits until `fd` is readable and empties it: false once `deadline` has passed.
Result<bool> wait_readable(int fd, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd wake{.fd = fd, .events = POLLIN, .revents = 0};
    auto polled = poll_interruptible(&wake, 1, static_cast<int>(std::min<long long>(left, INT32_MAX)));
    if (!polled) return std::unexpected(std::move(polled.error()));
    const int ready = *polled;
    if (ready > 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] auto read = ::read(fd, &count, sizeof count);
      return true;
    }
  }
}

}  // namespace

void FrameStream::wait_until_settled() {
  const auto deadline = Clock::now() + settle_wait;
  for (;;) {
    {
      PipeWire::Lock lock(pipewire_);
      if (streamed_ || !failure_.empty()) return;
    }
    auto woken = wait_readable(wake_.get(), deadline);
    if (!woken || !*woken) return;
  }
}

template <class Copy>
auto FrameStream::with_frame(std::chrono::milliseconds wait, Copy&& copy) -> decltype(copy(std::declval<FrameView>())) {
  const auto deadline = Clock::now() + wait;
  for (;;) {
    {
      PipeWire::Lock lock(pipewire_);
      if (!failure_.empty()) return std::unexpected(Error::ordinary("the GNOME screen cast ended", {failure_}));
      if (held_ != nullptr) {
        auto frame = locate_frame(*held_->buffer, format_, wl_format_, name_);
        if (!frame) return std::unexpected(std::move(frame.error()));
        return copy(*frame);
      }
    }
    auto woken = wait_readable(wake_.get(), deadline);
    if (!woken) return std::unexpected(std::move(woken.error()));
    if (!*woken) {
      return std::unexpected(
          Error::ordinary("Mutter sent no frame of the monitor " + name_ + " in time",
                          {"the stream's first frame did not arrive within " + std::to_string(wait.count()) + " ms"}));
    }
  }
}

Result<std::uint64_t> FrameStream::frames() {
  PipeWire::Lock lock(pipewire_);
  if (!failure_.empty()) return std::unexpected(Error::ordinary("the GNOME screen cast ended", {failure_}));
  return received_;
}

Result<bool> FrameStream::wait_for_frame(std::uint64_t seen, std::chrono::milliseconds wait) {
  const auto deadline = Clock::now() + wait;
  for (;;) {
    auto count = frames();
    if (!count) return std::unexpected(std::move(count.error()));
    if (*count > seen) return true;
    auto woken = wait_readable(wake_.get(), deadline);
    if (!woken || !*woken) return woken;
  }
}

Result<PixelArray> FrameStream::copy_newest(std::chrono::milliseconds first_frame_wait) {
  return with_frame(first_frame_wait, [](const FrameView& frame) -> Result<PixelArray> {
    auto pixels = allocate_pixels(frame.width, frame.height);
    if (!pixels) return pixels;
    copy_frame(frame, pixels->data.get());
    return pixels;
  });
}

Status FrameStream::copy_newest_into(std::uint8_t* destination, std::uint32_t width, std::uint32_t height,
                                     std::chrono::milliseconds first_frame_wait) {
  return with_frame(first_frame_wait, [&](const FrameView& frame) -> Status {
    if (frame.width != width || frame.height != height) {
      return std::unexpected(Error::ordinary(
          "the monitor " + name_ + " changed its size", {"its frames are " + std::to_string(frame.width) + "x" +
                                                         std::to_string(frame.height) + " pixels, not " +
                                                         std::to_string(width) + "x" + std::to_string(height)}));
    }
    copy_frame(frame, destination);
    return {};
  });
}

}  // namespace kestrin::gnome
