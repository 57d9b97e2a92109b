#include "picture.hpp"

#include <cstring>

namespace probe {

void draw_picture(void* pixels, std::uint32_t width, std::uint32_t height, std::size_t stride) {
  auto* rows = static_cast<unsigned char*>(pixels);
  for (std::uint32_t y = 0; y < height; ++y) {
    auto* row = rows + y * stride;
    for (std::uint32_t x = 0; x < width; ++x) {
      // wl_shm formats are little-endian words, whatever the host.
      const std::uint32_t word = picture_pixel(x, y);
      const unsigned char bytes[4] = {static_cast<unsigned char>(word), static_cast<unsigned char>(word >> 8),
                                      static_cast<unsigned char>(word >> 16), static_cast<unsigned char>(word >> 24)};
      std::memcpy(row + 4 * std::size_t{x}, bytes, 4);
    }
  }
}

}  // namespace probe
