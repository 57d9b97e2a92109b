// The PipeWire side of the screen cast: one connection to the PipeWire daemon
// with its own thread, and one stream per recorded monitor that keeps the
// newest frame Mutter sent. Nothing is copied until a caller asks for the
// frame; then it is copied under the thread's lock, so the frame cannot be
// given back to Mutter half read.
#pragma once

#include <pipewire/pipewire.h>
#include <spa/param/video/raw.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/fd.hpp"
#include "kestrin_lib/gnome/frame.hpp"
#include "kestrin_lib/helper.hpp"

namespace kestrin::gnome {

class PipeWire {
 public:
  // Connects to the daemon of PIPEWIRE_REMOTE (or pipewire-0 in $XDG_RUNTIME_DIR).
  static Result<std::unique_ptr<PipeWire>> connect();
  PipeWire(const PipeWire&) = delete;
  PipeWire& operator=(const PipeWire&) = delete;
  ~PipeWire();

  pw_thread_loop* loop() const { return loop_; }
  pw_core* core() const { return core_; }

  // Holds the thread's lock: the stream's callbacks do not run meanwhile.
  class Lock {
   public:
    explicit Lock(const PipeWire& pipewire) : loop_(pipewire.loop_) { pw_thread_loop_lock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock() { pw_thread_loop_unlock(loop_); }

   private:
    pw_thread_loop* loop_;
  };

 private:
  PipeWire() = default;

  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
};

class FrameStream {
 public:
  // Connects to Mutter's stream node `node`; `name` (the connector) names the
  // stream in errors.
  static Result<std::unique_ptr<FrameStream>> connect(PipeWire& pipewire, std::uint32_t node, std::string name);
  FrameStream(const FrameStream&) = delete;
  FrameStream& operator=(const FrameStream&) = delete;
  ~FrameStream();  // gives the held frame back and disconnects

  // The newest frame, as B, G, R, X rows packed; waits for the first frame
  // `first_frame_wait` at most.
  Result<PixelArray> copy_newest(std::chrono::milliseconds first_frame_wait);
  // The same into `destination` of width * height * 4 bytes, for a frame of
  // exactly that size.
  Status copy_newest_into(std::uint8_t* destination, std::uint32_t width, std::uint32_t height,
                          std::chrono::milliseconds first_frame_wait);

  // How many whole frames have arrived.
  Result<std::uint64_t> frames();
  // Waits until more than `seen` frames have arrived, `wait` at most: false
  // when none came.
  Result<bool> wait_for_frame(std::uint64_t seen, std::chrono::milliseconds wait);

  // Waits until PipeWire has linked the stream to Mutter's node and given it
  // its buffers, or has given up on it; a second at most.
  void wait_until_settled();

  // Why the stream failed or was disconnected; nothing while it lasts.
  std::optional<std::string> failure();

 private:
  FrameStream(PipeWire& pipewire, std::string name) : pipewire_(pipewire), name_(std::move(name)) {}

  // Calls `copy` with the held frame under the lock, after waiting for one
  // without the lock, `wait` at most.
  template <class Copy>
  auto with_frame(std::chrono::milliseconds wait, Copy&& copy) -> decltype(copy(std::declval<FrameView>()));
  void wake() const;

  static void on_state_changed(void* data, pw_stream_state old, pw_stream_state state, const char* error);
  static void on_param_changed(void* data, std::uint32_t id, const spa_pod* param);
  static void on_remove_buffer(void* data, pw_buffer* buffer);
  static void on_process(void* data);
  static const pw_stream_events events;

  PipeWire& pipewire_;
  std::string name_;
  pw_stream* stream_ = nullptr;
  spa_hook listener_{};
  // Written by the PipeWire thread whenever a frame arrives or the stream breaks.
  Fd wake_;
  // The rest belongs to the PipeWire thread; others read it under the lock.
  pw_buffer* held_ = nullptr;
  std::uint64_t received_ = 0;
  bool streamed_ = false;  // it has been linked and given its buffers once
  spa_video_info_raw format_{};
  std::uint32_t wl_format_ = 0;
  std::string failure_;
};

}  // namespace kestrin::gnome
