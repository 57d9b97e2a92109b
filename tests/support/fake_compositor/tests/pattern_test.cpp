// The pattern and the hash against values worked out by hand (and the
// published FNV-1a test vectors), since the Python side mirrors both.
#include <gtest/gtest.h>
#include <wayland-server-protocol.h>

#include "fake_compositor/pattern.hpp"

namespace kestrin::fake {
namespace {

TEST(ContentHash, MatchesPublishedFnv1a64Vectors) {
  EXPECT_EQ(content_hash(""), "cbf29ce484222325");
  EXPECT_EQ(content_hash("a"), "af63dc4c8601ec8c");
  EXPECT_EQ(content_hash("foobar"), "85944171f73967e8");
  EXPECT_EQ(fnv1a64("bar", fnv1a64("foo")), fnv1a64("foobar"));
}

TEST(Pattern, PixelsAreBlueGreenRedAndTheUnusedByte) {
  EXPECT_EQ(pattern_pixel(0, 0), (std::array<std::uint8_t, 4>{0, 0, 1, 0}));
  EXPECT_EQ(pattern_pixel(255, 255), (std::array<std::uint8_t, 4>{255, 255, 1, 236}));
  EXPECT_EQ(pattern_pixel(300, 513), (std::array<std::uint8_t, 4>{44, 1, 34, 65}));
}

TEST(Pattern, RowsArePaddedAndNeverOverrun) {
  std::vector<std::uint8_t> padded(2 * 12, 0);
  fill_pattern(padded, 2, 2, 12);
  EXPECT_EQ(padded, (std::vector<std::uint8_t>{0, 0, 1, 0, 1, 0, 1, 7, 0xEE, 0xEE, 0xEE, 0xEE,  //
                                               0, 1, 1, 13, 1, 1, 1, 20, 0xEE, 0xEE, 0xEE, 0xEE}));
  std::vector<std::uint8_t> narrow(2 * 10, 0);
  fill_pattern(narrow, 3, 2, 10);
  EXPECT_EQ(narrow, (std::vector<std::uint8_t>{0, 0, 1, 0, 1, 0, 1, 7, 0xEE, 0xEE,  //
                                               0, 1, 1, 13, 1, 1, 1, 20, 0xEE, 0xEE}));
  EXPECT_EQ(pattern_image(2, 1), (std::vector<std::uint8_t>{0, 0, 1, 0, 1, 0, 1, 7}));
}

TEST(Pattern, OtherFormatsCarryTheSameChannels) {
  // Pixel (255, 255) is B 255, G 255, R 1, X 236; 10-bit channels widen 255
  // to 0x3FF and 1 to 4, and keep 236's top two bits, 3.
  const std::vector<std::pair<std::uint32_t, std::array<std::uint8_t, 4>>> cases{
      {WL_SHM_FORMAT_ARGB8888, {255, 255, 1, 236}},    {WL_SHM_FORMAT_XBGR8888, {1, 255, 255, 236}},
      {WL_SHM_FORMAT_ABGR8888, {1, 255, 255, 236}},    {WL_SHM_FORMAT_XRGB2101010, {0xFF, 0xFF, 0x4F, 0xC0}},
      {WL_SHM_FORMAT_ARGB2101010, {0xFF, 0xFF, 0x4F, 0xC0}}, {WL_SHM_FORMAT_XBGR2101010, {0x04, 0xFC, 0xFF, 0xFF}},
      {WL_SHM_FORMAT_ABGR2101010, {0x04, 0xFC, 0xFF, 0xFF}},
  };
  for (const auto& [format, expected] : cases) {
    std::vector<std::uint8_t> rows(256 * 1024);
    fill_pattern(rows, 256, 256, 1024, format);
    EXPECT_EQ((std::array<std::uint8_t, 4>{rows[255 * 1024 + 1020], rows[255 * 1024 + 1021], rows[255 * 1024 + 1022],
                                           rows[255 * 1024 + 1023]}),
              expected)
        << format;
  }
  // What a screenshot holds: from 10 bits, the fourth byte's top two bits
  // spread out (X of pixel (1, 0) is 7, of pixel (0, 5) 65).
  EXPECT_EQ(pattern_image(2, 1, WL_SHM_FORMAT_XBGR2101010), (std::vector<std::uint8_t>{0, 0, 1, 0, 1, 0, 1, 0}));
  EXPECT_EQ(pattern_image(1, 6, WL_SHM_FORMAT_ARGB2101010)[5 * 4 + 3], 0x55);
  EXPECT_EQ(pattern_image(2, 1, WL_SHM_FORMAT_ABGR8888), pattern_image(2, 1));
}

}  // namespace
}  // namespace kestrin::fake
