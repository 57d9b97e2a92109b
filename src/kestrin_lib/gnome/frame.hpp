// Reading a frame out of a PipeWire buffer: which buffers hold a whole frame,
// where its pixels lie (stride, crop region) and their copy into the rows of
// a picture.
#pragma once

#include <spa/buffer/buffer.h>
#include <spa/param/video/raw.h>

#include <cstdint>
#include <string>

#include "kestrin_lib/error.hpp"

namespace kestrin::gnome {

// The wl_shm code of a readable PipeWire format (the same bytes in memory),
// 0 for one that cannot be read. Mutter without a GPU sends BGRx.
std::uint32_t wl_shm_format(spa_video_format format);

// Whether the buffer holds a whole, readable frame: mapped data, a chunk with
// bytes in it, and neither the chunk nor the header marked corrupted.
bool holds_frame(const spa_buffer& buffer);

// Where a frame's pixels lie.
struct FrameView {
  const std::uint8_t* first;  // the first pixel to read
  std::uint32_t stride;
  std::uint32_t width, height;
  std::uint32_t wl_format;
};

// The frame in `buffer` of the negotiated `format`: the crop region when the
// buffer names a valid one, else the whole size; an error naming the stream
// `name` when the frame does not fit the buffer's memory.
Result<FrameView> locate_frame(const spa_buffer& buffer, const spa_video_info_raw& format, std::uint32_t wl_format,
                               const std::string& name);

// Copies the frame into `destination` as packed B, G, R, X rows.
void copy_frame(const FrameView& frame, std::uint8_t* destination);

}  // namespace kestrin::gnome
