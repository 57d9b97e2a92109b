// A lasting capture through ext-image-copy-capture-v1 with an output capture
// source (ext-image-capture-source-v1), for compositors that offer it (newer
// wlroots, niri, Hyprland, COSMIC): one capture session per Capture, whose
// frames are copied into the two kept buffers. The session reports its
// buffer constraints, and each frame the damage since the previous one.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/helper.hpp"

namespace kestrin {

class Kestrin;
struct AppData;
struct Output;

// Whether the compositor offers both globals the capture needs.
bool image_copy_capture_offered(const AppData& app_data);

class ImageCopyCapture {
 public:
  // Opens a session on `output` and copies its first frame, of the part
  // `region` (checked by the caller) or of the whole picture.
  static Result<std::unique_ptr<ImageCopyCapture>> open(Kestrin& session, const Output& output,
                                                        std::optional<PixelRect> region);
  ImageCopyCapture(const ImageCopyCapture&) = delete;
  ImageCopyCapture& operator=(const ImageCopyCapture&) = delete;
  // Destroys the frame, session, source, buffers and pools (sent at the
  // next flush).
  ~ImageCopyCapture();

  std::uint32_t width() const;
  std::uint32_t height() const;

  // As CaptureSession's, whose checks of the call come first.
  Status grab_into(Kestrin& session, std::uint8_t* destination);
  Status next_into(Kestrin& session, std::uint8_t* destination);
  Result<std::optional<std::vector<PixelRect>>> wait_for_change(
      Kestrin& session, std::optional<std::chrono::steady_clock::time_point> deadline, const PixelRect& watched,
      std::uint8_t* destination);

  struct State;

 private:
  explicit ImageCopyCapture(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace kestrin
