#include "kestrin_lib/pixel_format.hpp"

#include <wayland-client-protocol.h>

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>

#include "kestrin_lib/render.hpp"

namespace kestrin::pixel_format {
namespace {

// wl_shm formats are little-endian words; the conversions work on words.
static_assert(std::endian::native == std::endian::little, "pixel conversion assumes a little-endian machine");

// In order of preference.
constexpr std::array<std::uint32_t, 8> readable_formats{
    WL_SHM_FORMAT_XRGB8888,    WL_SHM_FORMAT_ARGB8888,    WL_SHM_FORMAT_XBGR8888,    WL_SHM_FORMAT_ABGR8888,
    WL_SHM_FORMAT_XRGB2101010, WL_SHM_FORMAT_ARGB2101010, WL_SHM_FORMAT_XBGR2101010, WL_SHM_FORMAT_ABGR2101010,
};

// Each takes one source word and returns the word B | G << 8 | R << 16 |
// fourth << 24. Kept to shifts and masks, so that the loops below vectorize.
struct SwapRedBlue {
  std::uint32_t operator()(std::uint32_t v) const { return (v & 0xff00ff00u) | ((v >> 16) & 0xffu) | ((v & 0xffu) << 16); }
};

// 2:10:10:10 with red (red_high) or blue in the high 10-bit field: each
// channel's top 8 bits; the 2-bit field repeated to fill 8.
template <bool red_high>
struct TenBit {
  std::uint32_t operator()(std::uint32_t v) const {
    const std::uint32_t low = (v >> 2) & 0xffu, green = (v >> 12) & 0xffu, high = (v >> 22) & 0xffu;
    const std::uint32_t two = v >> 30;
    const std::uint32_t fourth = two | two << 2 | two << 4 | two << 6;
    const std::uint32_t blue = red_high ? low : high, red = red_high ? high : low;
    return blue | green << 8 | red << 16 | fourth << 24;
  }
};

// Whole blocks of a fixed number of pixels, then the rest one by one: a loop
// of a known count is what the compiler vectorizes at -O2 too. A block is
// loaded whole before it is stored, so converting in place is safe.
constexpr std::size_t block = 16;

template <class Convert>
void convert(const std::uint8_t* source, std::uint8_t* destination, std::size_t count, Convert convert_word) {
  std::size_t i = 0;
  for (; i + block <= count; i += block) {
    std::uint32_t words[block];
    std::memcpy(words, source + i * 4, sizeof words);
    for (std::uint32_t& word : words) word = convert_word(word);
    std::memcpy(destination + i * 4, words, sizeof words);
  }
  for (; i < count; ++i) {
    std::uint32_t word;
    std::memcpy(&word, source + i * 4, 4);
    word = convert_word(word);
    std::memcpy(destination + i * 4, &word, 4);
  }
}

}  // namespace

std::optional<unsigned> preference(std::uint32_t format) {
  for (unsigned rank = 0; rank < readable_formats.size(); ++rank)
    if (readable_formats[rank] == format) return rank;
  return std::nullopt;
}

bool is_bgrx(std::uint32_t format) { return format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888; }

void to_bgrx(std::uint32_t format, const std::uint8_t* source, std::uint8_t* destination, std::size_t count) {
  switch (format) {
    case WL_SHM_FORMAT_XBGR8888:
    case WL_SHM_FORMAT_ABGR8888:
      convert(source, destination, count, SwapRedBlue{});
      break;
    case WL_SHM_FORMAT_XRGB2101010:
    case WL_SHM_FORMAT_ARGB2101010:
      convert(source, destination, count, TenBit<true>{});
      break;
    case WL_SHM_FORMAT_XBGR2101010:
    case WL_SHM_FORMAT_ABGR2101010:
      convert(source, destination, count, TenBit<false>{});
      break;
    default:
      if (source != destination) std::memcpy(destination, source, count * 4);
      break;
  }
}

std::string describe(std::uint32_t format) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08x", format);
  const auto name = render::shm_format_name(format);
  return (name ? std::string(*name) : std::string(code)) + " (" + code + ")";
}

}  // namespace kestrin::pixel_format
