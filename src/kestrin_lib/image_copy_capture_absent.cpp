// Built instead of image_copy_capture.cpp where the build found no XML of
// ext-image-copy-capture-v1 (wayland-protocols older than 1.37): the
// compositor's offer is never taken, so every Capture uses wlr-screencopy and
// none of the members below is reached.
#include "kestrin_lib/image_copy_capture.hpp"

#include <utility>

namespace kestrin {

namespace {
Error not_built() { return Error::fatal("this build of kestrin has no ext-image-copy-capture-v1 support"); }
}  // namespace

bool image_copy_capture_offered(const AppData&) { return false; }

struct ImageCopyCapture::State {};

ImageCopyCapture::ImageCopyCapture(std::unique_ptr<State> state) : state_(std::move(state)) {}
ImageCopyCapture::~ImageCopyCapture() = default;

std::uint32_t ImageCopyCapture::width() const { return 0; }
std::uint32_t ImageCopyCapture::height() const { return 0; }

Result<std::unique_ptr<ImageCopyCapture>> ImageCopyCapture::open(Kestrin&, const Output&, std::optional<PixelRect>) {
  return std::unexpected(not_built());
}
Status ImageCopyCapture::grab_into(Kestrin&, std::uint8_t*) { return std::unexpected(not_built()); }
Status ImageCopyCapture::next_into(Kestrin&, std::uint8_t*) { return std::unexpected(not_built()); }
Result<std::optional<std::vector<PixelRect>>> ImageCopyCapture::wait_for_change(
    Kestrin&, std::optional<std::chrono::steady_clock::time_point>, const PixelRect&, std::uint8_t*) {
  return std::unexpected(not_built());
}

}  // namespace kestrin
