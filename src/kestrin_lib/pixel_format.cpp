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

// Four pixels at a time, as one vector of the machine's (GCC's vector
// extensions: SSE2 on x86-64, NEON on ARM). A vector is loaded whole before
// it is stored, so converting in place is safe.
using Words = std::uint32_t __attribute__((vector_size(16)));

// Each takes source words, one or a vector of them, and returns the words
// B | G << 8 | R << 16 | fourth << 24.
struct SwapRedBlue {
  template <class W>
  W operator()(W v) const {
    return (v & 0xff00ff00u) | ((v >> 16) & 0xffu) | ((v & 0xffu) << 16);
  }
};

// 2:10:10:10 with red (red_high) or blue in the high 10-bit field: each
// channel's top 8 bits; the 2-bit field repeated to fill 8.
template <bool red_high>
struct TenBit {
  template <class W>
  W operator()(W v) const {
    const W low = (v >> 2) & 0xffu, green = (v >> 4) & 0xff00u, high = (v >> 6) & 0xff0000u;
    const W two = v & 0xc0000000u;
    const W four = two | (two >> 2);
    const W fourth = four | (four >> 4);
    if constexpr (red_high) {
      return low | green | high | fourth;
    } else {
      return (low << 16) | green | (high >> 16) | fourth;
    }
  }
};

template <class Convert>
void convert(const std::uint8_t* source, std::uint8_t* destination, std::size_t count, Convert convert_words) {
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) {
    Words words;
    std::memcpy(&words, source + i * 4, sizeof words);
    words = convert_words(words);
    std::memcpy(destination + i * 4, &words, sizeof words);
  }
  for (; i < count; ++i) {
    std::uint32_t word;
    std::memcpy(&word, source + i * 4, 4);
    word = convert_words(word);
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
