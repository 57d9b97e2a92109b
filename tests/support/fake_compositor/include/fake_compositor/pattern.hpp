// What the fake compositor writes into a screencopy buffer, and the content
// hash under which it records a file passed by descriptor. Both are mirrored
// by tests/support/fake_compositor.py; keep the two in step.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin::fake {

// The byte written into row padding: bytes of a row beyond width * 4.
inline constexpr std::uint8_t pattern_padding = 0xEE;

// The four bytes of pixel column x in row y, in memory order (B, G, R, X):
// B = x % 256, G = y % 256, R = (1 + x / 256 + 16 * (y / 256)) % 256,
// X = (7 * x + 13 * y) % 256. Every pixel of a 4096 x 4096 picture differs,
// and the first is not all zeros (nor the same with red and blue swapped), so
// that a picture of one pixel shows a fault too.
constexpr std::array<std::uint8_t, 4> pattern_pixel(std::uint32_t x, std::uint32_t y) {
  return {static_cast<std::uint8_t>(x % 256), static_cast<std::uint8_t>(y % 256),
          static_cast<std::uint8_t>((1 + x / 256 + 16 * (y / 256)) % 256),
          static_cast<std::uint8_t>((7 * x + 13 * y) % 256)};
}

// Writes the pattern of a width x height picture into `rows`, which holds
// `height` rows of `stride` bytes: pixel (x, y) at y * stride + x * 4, the
// rest of each row filled with pattern_padding. A pixel that would cross the
// end of its row (stride < width * 4) is left out.
//
// The pixels are written in the wl_shm `format`: xrgb8888 and argb8888 as
// pattern_pixel gives them; xbgr8888 and abgr8888 with red and blue swapped;
// the 2:10:10:10 formats (x/a rgb and bgr) with each 8-bit channel c widened
// to 10 bits as (c << 2) | (c >> 6) and the fourth byte cut to its top two
// bits. Any other format is written as xrgb8888. A region's frame is the
// part of the output's pattern that starts at pixel (origin_x, origin_y).
void fill_pattern(std::span<std::uint8_t> rows, std::uint32_t width, std::uint32_t height, std::uint32_t stride,
                  std::uint32_t format = 1, std::uint32_t origin_x = 0, std::uint32_t origin_y = 0);

// The picture as a tightly packed buffer (stride width * 4): the bytes a
// screenshot of the fake compositor's output holds when the compositor wrote
// it in `format`. From a 2:10:10:10 format the fourth byte is its two bits
// spread over 0, 0x55, 0xAA, 0xFF; everything else is pattern_pixel.
std::vector<std::uint8_t> pattern_image(std::uint32_t width, std::uint32_t height, std::uint32_t format = 1);

inline constexpr std::uint64_t fnv1a64_basis = 0xcbf29ce484222325;

// FNV-1a, 64 bits. Passing the result of an earlier call as `hash` continues
// it, so a file can be hashed piece by piece.
std::uint64_t fnv1a64(std::string_view bytes, std::uint64_t hash = fnv1a64_basis);

// 16 lowercase hexadecimal digits.
std::string hash_text(std::uint64_t hash);

// fnv1a64 as 16 lowercase hexadecimal digits, the form records carry.
std::string content_hash(std::string_view bytes);

}  // namespace kestrin::fake
