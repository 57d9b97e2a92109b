#include "fake_compositor/pattern.hpp"

#include <wayland-server-protocol.h>

#include <algorithm>
#include <cstdio>

namespace kestrin::fake {
namespace {

enum class Layout { bgrx, rgbx, rgb10, bgr10 };

Layout layout_of(std::uint32_t format) {
  switch (format) {
    case WL_SHM_FORMAT_XBGR8888:
    case WL_SHM_FORMAT_ABGR8888:
      return Layout::rgbx;
    case WL_SHM_FORMAT_XRGB2101010:
    case WL_SHM_FORMAT_ARGB2101010:
      return Layout::rgb10;
    case WL_SHM_FORMAT_XBGR2101010:
    case WL_SHM_FORMAT_ABGR2101010:
      return Layout::bgr10;
    default:
      return Layout::bgrx;
  }
}

std::uint32_t widened(std::uint8_t channel) { return std::uint32_t{channel} << 2 | channel >> 6; }

// Pattern pixel (B, G, R, X) as the 4 bytes of `layout` in memory.
std::array<std::uint8_t, 4> encode(Layout layout, std::array<std::uint8_t, 4> pixel) {
  const auto [b, g, r, x] = pixel;
  std::uint32_t word = 0;
  switch (layout) {
    case Layout::bgrx:
      return pixel;
    case Layout::rgbx:
      return {r, g, b, x};
    case Layout::rgb10:
      word = widened(b) | widened(g) << 10 | widened(r) << 20 | std::uint32_t{x} >> 6 << 30;
      break;
    case Layout::bgr10:
      word = widened(r) | widened(g) << 10 | widened(b) << 20 | std::uint32_t{x} >> 6 << 30;
      break;
  }
  return {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8), static_cast<std::uint8_t>(word >> 16),
          static_cast<std::uint8_t>(word >> 24)};
}

}  // namespace

void fill_pattern(std::span<std::uint8_t> rows, std::uint32_t width, std::uint32_t height, std::uint32_t stride,
                  std::uint32_t format, std::uint32_t origin_x, std::uint32_t origin_y) {
  const Layout layout = layout_of(format);
  const std::uint32_t pixels_per_row = std::min(width, stride / 4);
  for (std::uint32_t y = 0; y < height; ++y) {
    std::uint8_t* row = rows.data() + static_cast<std::size_t>(y) * stride;
    for (std::uint32_t x = 0; x < pixels_per_row; ++x) {
      std::array<std::uint8_t, 4> pixel = encode(layout, pattern_pixel(origin_x + x, origin_y + y));
      std::copy(pixel.begin(), pixel.end(), row + static_cast<std::size_t>(x) * 4);
    }
    std::fill(row + static_cast<std::size_t>(pixels_per_row) * 4, row + stride, pattern_padding);
  }
}

std::vector<std::uint8_t> pattern_image(std::uint32_t width, std::uint32_t height, std::uint32_t format) {
  std::vector<std::uint8_t> image(static_cast<std::size_t>(width) * height * 4);
  fill_pattern(image, width, height, width * 4);
  const Layout layout = layout_of(format);
  if (layout == Layout::rgb10 || layout == Layout::bgr10) {
    for (std::size_t i = 3; i < image.size(); i += 4) image[i] = static_cast<std::uint8_t>((image[i] >> 6) * 0x55);
  }
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
