#include "kestrin_lib/gnome/frame.hpp"

#include <spa/buffer/meta.h>
#include <wayland-client-protocol.h>

#include "kestrin_lib/helper.hpp"

namespace kestrin::gnome {

std::uint32_t wl_shm_format(spa_video_format format) {
  switch (format) {
    case SPA_VIDEO_FORMAT_BGRx: return WL_SHM_FORMAT_XRGB8888;
    case SPA_VIDEO_FORMAT_BGRA: return WL_SHM_FORMAT_ARGB8888;
    case SPA_VIDEO_FORMAT_RGBx: return WL_SHM_FORMAT_XBGR8888;
    case SPA_VIDEO_FORMAT_RGBA: return WL_SHM_FORMAT_ABGR8888;
    default: return 0;
  }
}

bool holds_frame(const spa_buffer& buffer) {
  if (buffer.n_datas < 1 || buffer.datas[0].data == nullptr || buffer.datas[0].chunk == nullptr) return false;
  const spa_chunk* chunk = buffer.datas[0].chunk;
  if (chunk->size == 0 || (chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) != 0) return false;
  const auto* header = static_cast<const spa_meta_header*>(
      spa_buffer_find_meta_data(&buffer, SPA_META_Header, sizeof(spa_meta_header)));
  return header == nullptr || (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) == 0;
}

Result<FrameView> locate_frame(const spa_buffer& buffer, const spa_video_info_raw& format, std::uint32_t wl_format,
                               const std::string& name) {
  const spa_data& d = buffer.datas[0];
  std::uint32_t x = 0, y = 0, width = format.size.width, height = format.size.height;
  // A monitor's stream is not cropped; should Mutter crop it, the frame is
  // the region it names.
  const auto* crop = static_cast<const spa_meta_region*>(
      spa_buffer_find_meta_data(&buffer, SPA_META_VideoCrop, sizeof(spa_meta_region)));
  if (crop != nullptr && crop->region.size.width > 0 && crop->region.size.height > 0 && crop->region.position.x >= 0 &&
      crop->region.position.y >= 0 &&
      std::uint64_t(crop->region.position.x) + crop->region.size.width <= format.size.width &&
      std::uint64_t(crop->region.position.y) + crop->region.size.height <= format.size.height) {
    x = std::uint32_t(crop->region.position.x);
    y = std::uint32_t(crop->region.position.y);
    width = crop->region.size.width;
    height = crop->region.size.height;
  }
  const std::int64_t stride = d.chunk->stride != 0 ? d.chunk->stride : std::int64_t(format.size.width) * 4;
  const bool fits = width > 0 && height > 0 && stride >= std::int64_t(format.size.width) * 4 &&
                    std::uint64_t(d.chunk->offset) + std::uint64_t(y + height - 1) * std::uint64_t(stride) +
                            std::uint64_t(x + width) * 4 <=
                        d.maxsize;
  if (!fits) {
    return std::unexpected(Error::ordinary(
        "the frame Mutter sent of " + name + " does not fit its buffer",
        {std::to_string(format.size.width) + "x" + std::to_string(format.size.height) + " pixels, stride " +
         std::to_string(stride) + ", offset " + std::to_string(d.chunk->offset) + ", " + std::to_string(d.maxsize) +
         " bytes"}));
  }
  const auto* first = static_cast<const std::uint8_t*>(d.data) + d.chunk->offset +
                      std::size_t(y) * std::size_t(stride) + std::size_t(x) * 4;
  return FrameView{first, std::uint32_t(stride), width, height, wl_format};
}

void copy_frame(const FrameView& frame, std::uint8_t* destination) {
  // The frame's first pixel is already the crop's: rows of `stride` bytes from there.
  copy_pixels_into(frame.first, ScreencopyBuffer{frame.wl_format, frame.width, frame.height, frame.stride},
                   PixelRect{0, 0, frame.width, frame.height}, destination);
}

}  // namespace kestrin::gnome
