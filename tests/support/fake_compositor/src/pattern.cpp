#include "fake_compositor/pattern.hpp"

#include <algorithm>
#include <cstdio>

namespace kestrin::fake {

void fill_pattern(std::span<std::uint8_t> rows, std::uint32_t width, std::uint32_t height, std::uint32_t stride) {
  const std::uint32_t pixels_per_row = std::min(width, stride / 4);
  for (std::uint32_t y = 0; y < height; ++y) {
    std::uint8_t* row = rows.data() + static_cast<std::size_t>(y) * stride;
    for (std::uint32_t x = 0; x < pixels_per_row; ++x) {
      std::array<std::uint8_t, 4> pixel = pattern_pixel(x, y);
      std::copy(pixel.begin(), pixel.end(), row + static_cast<std::size_t>(x) * 4);
    }
    std::fill(row + static_cast<std::size_t>(pixels_per_row) * 4, row + stride, pattern_padding);
  }
}

std::vector<std::uint8_t> pattern_image(std::uint32_t width, std::uint32_t height) {
  std::vector<std::uint8_t> image(static_cast<std::size_t>(width) * height * 4);
  fill_pattern(image, width, height, width * 4);
  return image;
}

std::uint64_t fnv1a64(std::string_view bytes, std::uint64_t hash) {
  for (char c : bytes) {
    hash ^= static_cast<std::uint8_t>(c);
    hash *= 0x100000001b3;
  }
  return hash;
}

std::string hash_text(std::uint64_t hash) {
  char text[17];
  std::snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string content_hash(std::string_view bytes) { return hash_text(fnv1a64(bytes)); }

}  // namespace kestrin::fake
