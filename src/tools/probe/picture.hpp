// The probe's test picture. Every pixel differs from its neighbours in the
// blue and green bytes and every 256x256 tile has its own red byte, so a
// capture that is shifted, scaled, flipped or has its channels swapped cannot
// match by accident.
//
//   B = x % 256
//   G = y % 256
//   R = ((x / 256) * 37 + (y / 256) * 11) % 256
//
// kestrin/testing/_recorder.py (src/kestrin/testing) carries the same function for the tests; keep
// both in step.
#pragma once

#include <cstddef>
#include <cstdint>

namespace probe {

// The xrgb8888 word of pixel (x, y); the unused top byte is 0xff.
constexpr std::uint32_t picture_pixel(std::uint32_t x, std::uint32_t y) {
  const std::uint32_t blue = x % 256;
  const std::uint32_t green = y % 256;
  const std::uint32_t red = ((x / 256) * 37 + (y / 256) * 11) % 256;
  return 0xff000000u | red << 16 | green << 8 | blue;
}

// Fills a width x height picture whose rows are `stride` bytes apart.
void draw_picture(void* pixels, std::uint32_t width, std::uint32_t height, std::size_t stride);

}  // namespace probe
