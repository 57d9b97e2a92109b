// A capture of one output that lasts: two shared-memory buffers made once and
// copied into frame after frame, optionally of a part of the output, and
// waits for the compositor to report that the picture changed.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/helper.hpp"

namespace kestrin {

class Kestrin;

using Clock = std::chrono::steady_clock;

class CaptureSession {
 public:
  CaptureSession(CaptureSession&&) noexcept;
  CaptureSession& operator=(CaptureSession&&) = delete;
  // Destroys what is left on the compositor's side (see close).
  ~CaptureSession();

  // The size of every frame: the region's, or the output's picture.
  std::uint32_t width() const;
  std::uint32_t height() const;
  bool closed() const;

  // The next frame the compositor shows, into `destination`: height() packed
  // rows of width() pixels of blue, green, red, fourth byte.
  Status grab_into(Kestrin& session, std::uint8_t* destination);
  // The same, given up at `deadline`: false then.
  Result<bool> grab_into(Kestrin& session, std::uint8_t* destination, std::optional<Clock::time_point> deadline);
  Result<PixelArray> grab(Kestrin& session);
  // The same for an iteration: the frame after it is asked for at once, so
  // that a loop keeps up with the output's refresh. Grabs and waits give
  // that frame up.
  Status next_into(Kestrin& session, std::uint8_t* destination);

  // Waits for a frame in which something inside `watch` (output pixels; the
  // whole capture when absent) changed since the capture opened or the
  // previous wait returned, copies it into `destination` and returns the
  // changed rectangles in output pixels, clipped to `watch`. std::nullopt
  // once `deadline` passed without one, whatever the compositor does. Each
  // capture sees every change, also when several capture one output.
  Result<std::optional<std::vector<PixelRect>>> wait_for_change(Kestrin& session, std::optional<Clock::time_point> deadline,
                                                                std::optional<PixelRect> watch,
                                                                std::uint8_t* destination);

  // Destroys the buffers and pools on the compositor's side and sends that at
  // once; the files go too. Later calls fail.
  void close(Kestrin& session);

  struct State;

 private:
  friend Result<CaptureSession> open_capture(Kestrin& session, std::optional<std::string_view> screen_name,
                                             std::optional<PixelRect> region);
  explicit CaptureSession(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Sets up a capture of the output a name picks (as screenshot does), of the
// part `region` (in the picture's pixels) when given. A region outside the
// picture or empty is refused before anything is sent.
Result<CaptureSession> open_capture(Kestrin& session, std::optional<std::string_view> screen_name,
                                    std::optional<PixelRect> region);

}  // namespace kestrin
