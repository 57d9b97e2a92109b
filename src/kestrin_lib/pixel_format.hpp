// The wl_shm pixel formats a picture can be read from, and their conversion
// into the bytes a picture holds: blue, green, red and a fourth byte per
// pixel (xrgb8888 in memory).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kestrin::pixel_format {

// Formats are wl_shm.format codes. Readable are xrgb8888, argb8888,
// xbgr8888, abgr8888 and the 2:10:10:10 formats in the same four orders.

// The rank of a readable format when a compositor offers several, 0 being the
// first choice (xrgb8888, then argb8888: neither needs converting);
// std::nullopt for a format that cannot be read.
std::optional<unsigned> preference(std::uint32_t format);

// Whether the format's bytes already are blue, green, red, fourth byte.
bool is_bgrx(std::uint32_t format);

// Writes `count` pixels of the readable `format` from `source` into
// `destination` as blue, green, red and the source's X or alpha channel,
// each reduced to its top 8 bits (a 2-bit channel spread over 0, 0x55, 0xAA,
// 0xFF). The two are the same memory (converting in place) or do not overlap.
void to_bgrx(std::uint32_t format, const std::uint8_t* source, std::uint8_t* destination, std::size_t count);

// The format as texts name it: the wl_shm entry's name as the log writes it,
// then the code in hexadecimal, "Nv12 (0x3231564e)"; a code without a name
// stands in for the name too, "0x12345678 (0x12345678)".
std::string describe(std::uint32_t format);

}  // namespace kestrin::pixel_format
