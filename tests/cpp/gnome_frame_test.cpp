// Reading frames out of PipeWire buffers as Mutter fills them: where the
// pixels lie, which buffers are skipped, and the copy into packed B, G, R, X.
#include <gtest/gtest.h>
#include <spa/buffer/meta.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kestrin_lib/gnome/frame.hpp"

namespace kestrin::gnome {
namespace {

// A buffer of `height` rows of `stride` bytes after `offset` bytes, filled so
// that every byte differs; with a header and, when asked, a crop region.
struct FakeBuffer {
  std::vector<std::uint8_t> memory;
  spa_chunk chunk{};
  spa_data data{};
  spa_meta_header header{};
  spa_meta_region crop{};
  spa_meta metas[2]{};
  spa_buffer buffer{};

  FakeBuffer(std::uint32_t offset, std::int32_t stride, std::uint32_t height,
             std::optional<spa_region> region = std::nullopt) {
    memory.resize(offset + std::size_t(stride > 0 ? stride : 0) * height);
    for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = std::uint8_t(i * 7 + 1);
    chunk = {.offset = offset, .size = std::uint32_t(memory.size() - offset), .stride = stride, .flags = 0};
    data.data = memory.data();
    data.maxsize = std::uint32_t(memory.size());
    data.chunk = &chunk;
    metas[0] = {.type = SPA_META_Header, .size = sizeof header, .data = &header};
    if (region) crop.region = *region;
    metas[1] = {.type = SPA_META_VideoCrop, .size = sizeof crop, .data = &crop};
    buffer = {.n_metas = region ? 2u : 1u, .n_datas = 1, .metas = metas, .datas = &data};
  }

  // The pixel at (x, y) as the memory holds it.
  const std::uint8_t* at(std::uint32_t x, std::uint32_t y) const {
    return memory.data() + chunk.offset + std::size_t(y) * std::size_t(chunk.stride) + x * 4;
  }
};

spa_video_info_raw format_of(std::uint32_t width, std::uint32_t height, spa_video_format format) {
  spa_video_info_raw info{};
  info.format = format;
  info.size = {width, height};
  return info;
}

// Locates and copies the frame; the bytes of the picture.
std::vector<std::uint8_t> read(const FakeBuffer& fake, std::uint32_t width, std::uint32_t height,
                               spa_video_format format, std::uint32_t* out_width = nullptr,
                               std::uint32_t* out_height = nullptr) {
  auto view = locate_frame(fake.buffer, format_of(width, height, format), wl_shm_format(format), "Meta-0");
  EXPECT_TRUE(view) << report_text(view.error());
  if (!view) return {};
  if (out_width != nullptr) *out_width = view->width;
  if (out_height != nullptr) *out_height = view->height;
  std::vector<std::uint8_t> picture(std::size_t(view->width) * view->height * 4);
  copy_frame(*view, picture.data());
  return picture;
}

// The pixels of `fake` in the rectangle, packed, with `swap` exchanging the
// first and third byte of each.
std::vector<std::uint8_t> expected(const FakeBuffer& fake, std::uint32_t x0, std::uint32_t y0, std::uint32_t width,
                                   std::uint32_t height, bool swap = false) {
  std::vector<std::uint8_t> out;
  for (std::uint32_t y = y0; y < y0 + height; ++y) {
    for (std::uint32_t x = x0; x < x0 + width; ++x) {
      const std::uint8_t* p = fake.at(x, y);
      out.insert(out.end(), {swap ? p[2] : p[0], p[1], swap ? p[0] : p[2], p[3]});
    }
  }
  return out;
}

TEST(GnomeFrameTest, PixelsAreReadWhereTheBufferHoldsThem) {
  // Packed rows: the bytes as they are.
  FakeBuffer packed(0, 3 * 4, 2);
  EXPECT_EQ(read(packed, 3, 2, SPA_VIDEO_FORMAT_BGRx), expected(packed, 0, 0, 3, 2));
  // Rows padded to 20 bytes, after an offset: rows packed in the picture.
  FakeBuffer padded(8, 20, 3);
  EXPECT_EQ(read(padded, 3, 3, SPA_VIDEO_FORMAT_BGRA), expected(padded, 0, 0, 3, 3));
  // A chunk without a stride has packed rows.
  FakeBuffer unstrided(0, 3 * 4, 2);
  unstrided.chunk.stride = 0;
  EXPECT_EQ(read(unstrided, 3, 2, SPA_VIDEO_FORMAT_BGRx), expected(packed, 0, 0, 3, 2));
  // Red first in memory: red and blue change places.
  for (spa_video_format rgb : {SPA_VIDEO_FORMAT_RGBx, SPA_VIDEO_FORMAT_RGBA}) {
    FakeBuffer swapped(4, 16, 2);
    EXPECT_EQ(read(swapped, 3, 2, rgb), expected(swapped, 0, 0, 3, 2, true)) << rgb;
  }
}

TEST(GnomeFrameTest, ACropRegionIsTheFrameWhenItLiesInside) {
  std::uint32_t width = 0, height = 0;
  // Inside, and reaching the frame's right and bottom edges.
  for (spa_region inside : {spa_region{{1, 1}, {2, 2}}, spa_region{{2, 1}, {2, 2}}}) {
    FakeBuffer cropped(0, 16, 3, inside);
    const auto [x, y] = inside.position;
    EXPECT_EQ(read(cropped, 4, 3, SPA_VIDEO_FORMAT_BGRx, &width, &height), expected(cropped, x, y, 2, 2)) << x;
    EXPECT_EQ(std::pair(width, height), std::pair(2u, 2u)) << x;
  }
  // Regions that are empty or reach outside the frame are not trusted.
  for (spa_region outside : {spa_region{{3, 0}, {2, 1}}, spa_region{{-1, 0}, {2, 2}}, spa_region{{0, 0}, {0, 0}},
                             spa_region{{0, 2}, {4, 2}}}) {
    FakeBuffer whole(0, 16, 3, outside);
    EXPECT_EQ(read(whole, 4, 3, SPA_VIDEO_FORMAT_BGRx, &width, &height), expected(whole, 0, 0, 4, 3));
    EXPECT_EQ(std::pair(width, height), std::pair(4u, 3u));
  }
}

TEST(GnomeFrameTest, AFrameThatDoesNotFitItsBufferIsAnError) {
  struct Case {
    const char* what;
    std::int32_t stride;
    std::uint32_t maxsize_cut;
  };
  for (const Case& c : {Case{"memory one byte short", 16, 1}, Case{"rows shorter than the width", 12, 0},
                        Case{"a negative stride", -16, 0}}) {
    FakeBuffer fake(0, 16, 3);
    fake.chunk.stride = c.stride;
    fake.data.maxsize -= c.maxsize_cut;
    auto view = locate_frame(fake.buffer, format_of(4, 3, SPA_VIDEO_FORMAT_BGRx), wl_shm_format(SPA_VIDEO_FORMAT_BGRx),
                             "Meta-0");
    ASSERT_FALSE(view) << c.what;
    EXPECT_EQ(view.error().message, "the frame Mutter sent of Meta-0 does not fit its buffer") << c.what;
  }
}

TEST(GnomeFrameTest, OnlyWholeFramesAreKept) {
  FakeBuffer whole(0, 16, 2);
  EXPECT_TRUE(holds_frame(whole.buffer));
  FakeBuffer empty(0, 16, 2);
  empty.chunk.size = 0;  // Mutter's buffers that carry only cursor metadata
  FakeBuffer corrupted(0, 16, 2);
  corrupted.chunk.flags = SPA_CHUNK_FLAG_CORRUPTED;
  FakeBuffer marked(0, 16, 2);
  marked.header.flags = SPA_META_HEADER_FLAG_CORRUPTED;
  FakeBuffer unmapped(0, 16, 2);
  unmapped.data.data = nullptr;
  for (const FakeBuffer* skipped : {&empty, &corrupted, &marked, &unmapped}) EXPECT_FALSE(holds_frame(skipped->buffer));
  EXPECT_EQ(wl_shm_format(SPA_VIDEO_FORMAT_NV12), 0u);
}

}  // namespace
}  // namespace kestrin::gnome
