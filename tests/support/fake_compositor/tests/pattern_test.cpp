// The pattern and the hash against values worked out by hand (and the
// published FNV-1a test vectors), since the Python side mirrors both.
#include <gtest/gtest.h>

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
  EXPECT_EQ(pattern_pixel(0, 0), (std::array<std::uint8_t, 4>{0, 0, 0, 0}));
  EXPECT_EQ(pattern_pixel(255, 255), (std::array<std::uint8_t, 4>{255, 255, 0, 236}));
  EXPECT_EQ(pattern_pixel(300, 513), (std::array<std::uint8_t, 4>{44, 1, 33, 65}));
}

TEST(Pattern, RowsArePaddedAndNeverOverrun) {
  std::vector<std::uint8_t> padded(2 * 12, 0);
  fill_pattern(padded, 2, 2, 12);
  EXPECT_EQ(padded, (std::vector<std::uint8_t>{0, 0, 0, 0, 1, 0, 0, 7, 0xEE, 0xEE, 0xEE, 0xEE,  //
                                               0, 1, 0, 13, 1, 1, 0, 20, 0xEE, 0xEE, 0xEE, 0xEE}));
  std::vector<std::uint8_t> narrow(2 * 10, 0);
  fill_pattern(narrow, 3, 2, 10);
  EXPECT_EQ(narrow, (std::vector<std::uint8_t>{0, 0, 0, 0, 1, 0, 0, 7, 0xEE, 0xEE,  //
                                               0, 1, 0, 13, 1, 1, 0, 20, 0xEE, 0xEE}));
  EXPECT_EQ(pattern_image(2, 1), (std::vector<std::uint8_t>{0, 0, 0, 0, 1, 0, 0, 7}));
}

}  // namespace
}  // namespace kestrin::fake
