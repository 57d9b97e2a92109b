// Capture of one output through screencopy into a wl_shm buffer.
#include <fcntl.h>
#include <unistd.h>
#include <wayland-client-protocol.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kestrin_lib/helper.hpp"
#include "kestrin_lib/outputs.hpp"
#include "kestrin_lib/pixel_format.hpp"
#include "kestrin_lib/screencopy.hpp"
#include "kestrin_lib/shm.hpp"

namespace kestrin {
namespace {

constexpr std::int32_t no_cursor = 0;

// Ends the capture in progress, destroying its frame on the compositor too.
void end_capture(AppData& app_data) {
  if (app_data.screencopy && app_data.screencopy->frame) screencopy::destroy(std::move(app_data.screencopy->frame));
  app_data.screencopy.reset();
  app_data.screencopy_pending = false;
}

Error capture_failed() { return Error::ordinary("the compositor failed the capture"); }

}  // namespace

// The announced buffer must be expressible in the signed 32-bit arguments of
// wl_shm and leave room for 4 bytes a pixel in every row.
Status check_buffer(const ScreencopyBuffer& buffer) {
  const std::uint64_t row = std::uint64_t{buffer.width} * 4;
  if (buffer.width == 0 || buffer.height == 0)
    return std::unexpected(Error::ordinary("the compositor announced an empty frame of " + std::to_string(buffer.width) +
                                           "x" + std::to_string(buffer.height) + " pixels"));
  if (buffer.stride < row)
    return std::unexpected(Error::ordinary("the compositor announced a stride of " + std::to_string(buffer.stride) +
                                           " bytes for rows of " + std::to_string(buffer.width) +
                                           " pixels, which need " + std::to_string(row)));
  if (std::uint64_t{buffer.stride} * buffer.height > INT32_MAX)
    return std::unexpected(Error::ordinary("the frame of " + std::to_string(buffer.width) + "x" +
                                           std::to_string(buffer.height) + " pixels with a stride of " +
                                           std::to_string(buffer.stride) + " bytes is too large for a wl_shm pool"));
  return {};
}

// Gives the file its memory now. Left to the compositor's first touch, every
// page of a new frame costs it a fault while it copies (about 2,000 a frame),
// which makes a capture some 5 ms slower; and a shared-memory filesystem that
// is full is reported here rather than as a fault in the compositor.
Status allocate_pages(int fd, std::int32_t size) {
  int error = ::posix_fallocate(fd, 0, size);
  if (error == 0 || error == EOPNOTSUPP || error == EINVAL) return {};
  return std::unexpected(Error::ordinary("Failed to allocate the shm file: " + os_error_text(error)));
}

namespace {

// Reads `length` bytes at `offset` of the file, however many reads it takes.
Status read_exactly(int fd, std::uint8_t* destination, std::size_t length, off_t offset) {
  while (length > 0) {
    ssize_t got = ::pread(fd, destination, length, offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(Error::ordinary(os_error_text(errno)));
    }
    if (got == 0) return std::unexpected(Error::ordinary("failed to fill whole buffer"));
    destination += got;
    length -= static_cast<std::size_t>(got);
    offset += got;
  }
  return {};
}

// Rows converted from another format are read this many bytes at a time, so
// that each piece is converted while it is still in the cache.
constexpr std::size_t conversion_chunk = 128 * 1024;

}  // namespace

// Copies the picture out of the file straight into the destination, leaving
// out any padding at the end of the rows and whatever lies outside `rect`,
// and converts it there to blue, green, red, fourth byte.
Status read_pixels_into(int fd, const ScreencopyBuffer& buffer, PixelRect rect, std::uint8_t* destination,
                        bool y_invert) {
  const std::size_t row = std::size_t{rect.width} * 4;
  const bool converts = !pixel_format::is_bgrx(buffer.format);
  // Padded, cut or inverted rows are read one by one, each into its upright
  // place; packed ones all at once, or a chunk at a time when they are
  // converted.
  std::size_t rows_per_read = rect.height;
  if (buffer.stride != row || y_invert) rows_per_read = 1;
  else if (converts) rows_per_read = std::max<std::size_t>(1, conversion_chunk / row);
  for (std::size_t y = 0; y < rect.height; y += rows_per_read) {
    const std::size_t rows = std::min<std::size_t>(rows_per_read, rect.height - y);
    std::uint8_t* out = destination + y * row;
    const std::size_t source_row = y_invert ? buffer.height - 1 - (rect.y + y) : rect.y + y;
    const std::size_t offset = source_row * std::size_t{buffer.stride} + std::size_t{rect.x} * 4;
    auto read = read_exactly(fd, out, rows * row, static_cast<off_t>(offset));
    if (!read) return read;
    if (converts) pixel_format::to_bgrx(buffer.format, out, out, rows * rect.width);
  }
  return {};
}

void copy_pixels_into(const std::uint8_t* picture, const ScreencopyBuffer& buffer, PixelRect rect,
                      std::uint8_t* destination, bool y_invert) {
  const std::size_t row = std::size_t{rect.width} * 4;
  const bool converts = !pixel_format::is_bgrx(buffer.format);
  const std::size_t first_row = y_invert ? buffer.height - 1 - rect.y : rect.y;
  const std::uint8_t* source = picture + first_row * std::size_t{buffer.stride} + std::size_t{rect.x} * 4;
  if (!converts && buffer.stride == row && !y_invert) {
    std::memcpy(destination, source, row * rect.height);
    return;
  }
  // An inverted picture is walked from its last row up.
  const std::ptrdiff_t step = y_invert ? -static_cast<std::ptrdiff_t>(buffer.stride) : buffer.stride;
  for (std::size_t y = 0; y < rect.height; ++y, source += step, destination += row) {
    if (converts) pixel_format::to_bgrx(buffer.format, source, destination, rect.width);
    else std::memcpy(destination, source, row);
  }
}

Result<PixelArray> allocate_pixels(std::uint32_t width, std::uint32_t height) {
  PixelArray pixels;
  pixels.width = width;
  pixels.height = height;
  pixels.data.reset(static_cast<std::uint8_t*>(std::malloc(pixels.size())));
  if (!pixels.data) return std::unexpected(Error::ordinary("out of memory for a frame of " + std::to_string(pixels.size()) + " bytes"));
  return pixels;
}

Result<PixelArray> read_pixels(int fd, const ScreencopyBuffer& buffer, bool y_invert) {
  auto allocated = allocate_pixels(buffer.width, buffer.height);
  if (!allocated) return allocated;
  PixelArray pixels = std::move(*allocated);
  auto read =
      read_pixels_into(fd, buffer, PixelRect{0, 0, buffer.width, buffer.height}, pixels.data.get(), y_invert);
  if (!read) return std::unexpected(read.error());
  return pixels;
}

namespace {

// The capture's wl_shm objects, made by copy_frame.
struct CaptureObjects {
  Pool pool;
  Buffer buffer;
};

// The file the compositor has filled, and the buffer it was announced for.
struct CopiedFrame {
  Fd file;
  ScreencopyBuffer buffer;
  bool y_invert;
};

// Everything from the frame's creation until the compositor has copied the
// picture into the file.
Result<CopiedFrame> copy_frame(AppData& app_data, const QueueHandle& queue_handle, const EventQueue& event_queue,
                               CaptureObjects& objects) {
  if (auto done = roundtrip(event_queue, queue_handle); !done) return std::unexpected(done.error());
  const Screencopy& frame = *app_data.screencopy;
  while (!frame.buffer && !frame.failed && !frame.buffers_announced) {
    if (auto pass = event_queue.dispatch_pass(); !pass) return std::unexpected(pass.error());
  }
  if (frame.failed) return std::unexpected(capture_failed());
  // A compositor that copies only into GPU buffers (linux_dmabuf).
  if (!frame.buffer) return std::unexpected(Error::ordinary("the compositor offers no shared-memory buffer for the capture"));
  const ScreencopyBuffer announced = *frame.buffer;
  if (!pixel_format::preference(announced.format))
    return std::unexpected(Error::ordinary("the compositor offers the capture only in pixel format " +
                                           pixel_format::describe(announced.format) + ", which kestrin cannot read"));
  if (auto fits = check_buffer(announced); !fits) return std::unexpected(fits.error());

  const std::int32_t size = static_cast<std::int32_t>(announced.stride * announced.height);
  auto file = create_shm_file(static_cast<std::size_t>(size));
  if (!file) return std::unexpected(file.error());
  if (auto backed = allocate_pages(file->get(), size); !backed) return std::unexpected(backed.error());
  if (!app_data.shm) return std::unexpected(Error::ordinary("no shared memory"));

  objects.pool.reset(queue_handle.create<wl_shm_pool>(
      app_data.shm.get(), [&](wl_shm* shm) { return wl_shm_create_pool(shm, file->get(), size); }));
  if (!objects.pool) return std::unexpected(Error::ordinary("out of memory"));
  if (auto done = roundtrip(event_queue, queue_handle); !done) return std::unexpected(done.error());

  // In the announced format: wlroots drops a client whose buffer differs.
  objects.buffer.reset(queue_handle.create<wl_buffer>(objects.pool.get(), [&](wl_shm_pool* wrapper) {
    return wl_shm_pool_create_buffer(wrapper, 0, static_cast<std::int32_t>(announced.width),
                                     static_cast<std::int32_t>(announced.height),
                                     static_cast<std::int32_t>(announced.stride), announced.format);
  }));
  if (!objects.buffer) return std::unexpected(Error::ordinary("out of memory"));
  listen_buffer(app_data, objects.buffer.get());
  if (auto done = roundtrip(event_queue, queue_handle); !done) return std::unexpected(done.error());

  screencopy::copy(app_data.screencopy->frame.get(), objects.buffer.get());
  app_data.screencopy_pending = true;
  while (app_data.screencopy_pending && !app_data.screencopy->failed) {
    if (auto pass = event_queue.dispatch_pass(); !pass) return std::unexpected(pass.error());
  }
  if (app_data.screencopy->failed) return std::unexpected(capture_failed());
  return CopiedFrame{std::move(*file), announced, app_data.screencopy->y_invert};
}

}  // namespace

Result<PixelArray> screenshot(AppData& app_data, const QueueHandle& queue_handle, const EventQueue& event_queue,
                              std::optional<std::string_view> screen_name) {
  auto chosen = choose_output(app_data, screen_name);
  if (!chosen) return std::unexpected(chosen.error());
  wl_output* output = (*chosen)->output.get();
  if (!app_data.screencopy_manager) return std::unexpected(Error::ordinary("no screencopy manager"));
  if (auto connected = event_queue.still_connected(); !connected) return std::unexpected(connected.error());

  Proxy<zwlr_screencopy_frame_v1> frame(
      screencopy::capture_output(app_data.screencopy_manager.get(), no_cursor, output, queue_handle));
  if (!frame) return std::unexpected(Error::ordinary("out of memory"));
  listen_screencopy_frame(app_data, frame.get());
  app_data.screencopy = Screencopy{std::move(frame), std::nullopt, false};

  CaptureObjects objects;
  auto copied = copy_frame(app_data, queue_handle, event_queue, objects);
  // Whatever happened, the frame, the buffer and the pool go now, in this
  // order, and the compositor hears of it at once: otherwise it would keep
  // the frame-sized pool until the next call. The file stays ours to read.
  end_capture(app_data);
  objects.buffer.reset();
  objects.pool.reset();
  wl_display_flush(event_queue.display());
  if (!copied) return std::unexpected(copied.error());
  return read_pixels(copied->file.get(), copied->buffer, copied->y_invert);
}

}  // namespace kestrin
