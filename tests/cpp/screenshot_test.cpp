// The capture's bookkeeping in the dispatch state, which the Python tests
// cannot see, the conversion of each pixel format it reads, and the lasting
// capture's paths that the Python tests cannot reach.
#include <gtest/gtest.h>
#include <wayland-client-protocol.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <vector>

#include "fake_compositor/fake_compositor.hpp"
#include "fake_compositor/pattern.hpp"
#include "kestrin_lib/capture_parts.hpp"
#include "kestrin_lib/capture_session.hpp"
#include "kestrin_lib/mod.hpp"
#include "kestrin_lib/pixel_format.hpp"
#include "kestrin_lib/screencopy.hpp"
#include "test_support.hpp"

namespace kestrin {
namespace {

using fake::FakeCompositor;
using nlohmann::json;
using testing::LogCapture;

Kestrin connected(const FakeCompositor& compositor) {
  auto session = connect(compositor.socket_path().string());
  if (!session || !wait_for_output_names(*session)) std::abort();
  return std::move(*session);
}

Result<PixelArray> capture(Kestrin& session) {
  return screenshot(*session.app_data, session.queue_handle, session.event_queue, std::nullopt);
}

TEST(CaptureState, IdleAfterSuccessAndAfterFailure) {
  FakeCompositor compositor(json{{"screencopy", json::array({{{"outcome", "failed"}}, {{"outcome", "ready"}}})}});
  Kestrin session = connected(compositor);
  auto failed = capture(session);
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message, "the compositor failed the capture");
  EXPECT_FALSE(session.app_data->screencopy);
  EXPECT_FALSE(session.app_data->screencopy_pending);

  auto pixels = capture(session);
  ASSERT_TRUE(pixels.has_value()) << report_text(pixels.error());
  EXPECT_EQ(pixels->width, 1920u);
  EXPECT_EQ(pixels->height, 1080u);
  EXPECT_TRUE(std::equal(pixels->data.get(), pixels->data.get() + pixels->size(), fake::pattern_image(1920, 1080).begin()));
  EXPECT_FALSE(session.app_data->screencopy);
  EXPECT_FALSE(session.app_data->screencopy_pending);
}

TEST(CaptureState, BufferEventWithoutACaptureIsLoggedAndIgnored) {
  FakeCompositor compositor;
  Kestrin session = connected(compositor);
  // A frame the session did not start: its events reach the handler while no
  // capture is in progress.
  Proxy<zwlr_screencopy_frame_v1> stray(screencopy::capture_output(
      session.app_data->screencopy_manager.get(), 0, session.app_data->outputs.begin()->second.output.get(),
      session.queue_handle));
  listen_screencopy_frame(*session.app_data, stray.get());
  LogCapture log;
  ASSERT_TRUE(roundtrip(session.event_queue, session.queue_handle).has_value());
  auto messages = log.messages();
  EXPECT_NE(std::find(messages.begin(), messages.end(),
                      "Screencopy event: Buffer { format: Value(Xrgb8888), width: 1920, height: 1080, stride: 7680 }"),
            messages.end());
  EXPECT_FALSE(session.app_data->screencopy);
  screencopy::destroy(std::move(stray));

  // The next capture is not disturbed by it.
  auto pixels = capture(session);
  ASSERT_TRUE(pixels.has_value()) << report_text(pixels.error());
}

// Four pixels in a format, as little-endian words, and the B, G, R, fourth
// bytes each must become. Channels differ within every pixel; the fourth
// byte goes through both extremes.
struct Conversion {
  const char* name;
  std::uint32_t format;
  std::array<std::uint32_t, 4> words;
  std::array<std::uint8_t, 16> expected;
};

void PrintTo(const Conversion& c, std::ostream* out) { *out << c.name; }

constexpr std::uint32_t ten_bit(std::uint32_t two, std::uint32_t high, std::uint32_t green, std::uint32_t low) {
  return two << 30 | high << 20 | green << 10 | low;
}

// 10-bit channels whose top 8 bits are 0xFF, 0x55, 0x00, 0xAA, 0x81, 0x40,
// 0x3F, 0x20 (the low two bits are set where they must be dropped).
constexpr std::array<std::uint8_t, 16> ten_bit_expected{
    0x00, 0x55, 0xFF, 0x00, 0xFF, 0xAA, 0x00, 0xFF, 0x40, 0x00, 0x81, 0x55, 0x20, 0xFF, 0x3F, 0xAA,
};
constexpr std::array<std::uint8_t, 16> eight_bit_expected{
    0x11, 0x22, 0x33, 0x00, 0xF0, 0x0F, 0xA5, 0xFF, 0x01, 0x80, 0xFE, 0x7F, 0xC3, 0x3C, 0x69, 0x96,
};
// The 8-bit pixels above with red and blue in each other's place.
constexpr std::array<std::uint32_t, 4> eight_bit_swapped{0x00112233, 0xFFF00FA5, 0x7F0180FE, 0x96C33C69};
constexpr std::array<std::uint32_t, 4> eight_bit_words{0x00332211, 0xFFA50FF0, 0x7FFE8001, 0x96693CC3};
constexpr std::array<std::uint32_t, 4> rgb10_words{
    ten_bit(0, 0x3FF, 0x155, 0x003), ten_bit(3, 0x000, 0x2AB, 0x3FC), ten_bit(1, 0x204, 0x001, 0x100),
    ten_bit(2, 0x0FF, 0x3FF, 0x080)};
constexpr std::array<std::uint32_t, 4> bgr10_words{
    ten_bit(0, 0x003, 0x155, 0x3FF), ten_bit(3, 0x3FC, 0x2AB, 0x000), ten_bit(1, 0x100, 0x001, 0x204),
    ten_bit(2, 0x080, 0x3FF, 0x0FF)};

class PixelConversion : public ::testing::TestWithParam<Conversion> {
 protected:
  // 19 pixels: whole vectors of the conversion and a rest done one by one.
  static constexpr std::size_t count = 19;

  std::vector<std::uint8_t> source() const {
    std::vector<std::uint8_t> bytes(count * 4);
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint32_t word = GetParam().words[i % 4];
      for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<std::uint8_t>(word >> (8 * b));
    }
    return bytes;
  }
  std::vector<std::uint8_t> expected() const {
    std::vector<std::uint8_t> bytes(count * 4);
    for (std::size_t i = 0; i < count * 4; ++i) bytes[i] = GetParam().expected[i % 16];
    return bytes;
  }
};

TEST_P(PixelConversion, InPlaceAndIntoOtherMemory) {
  const Conversion& c = GetParam();
  ASSERT_TRUE(pixel_format::preference(c.format).has_value());
  std::vector<std::uint8_t> pixels = source();
  pixel_format::to_bgrx(c.format, pixels.data(), pixels.data(), count);
  EXPECT_EQ(pixels, expected());

  const std::vector<std::uint8_t> original = source();
  std::vector<std::uint8_t> apart(count * 4, 0xEE);
  pixel_format::to_bgrx(c.format, original.data(), apart.data(), count);
  EXPECT_EQ(apart, expected());
  EXPECT_EQ(original, source()) << "the source must stay as it was";
}

INSTANTIATE_TEST_SUITE_P(
    EveryReadableFormat, PixelConversion,
    ::testing::Values(Conversion{"xrgb8888", WL_SHM_FORMAT_XRGB8888, eight_bit_words, eight_bit_expected},
                      Conversion{"argb8888", WL_SHM_FORMAT_ARGB8888, eight_bit_words, eight_bit_expected},
                      Conversion{"xbgr8888", WL_SHM_FORMAT_XBGR8888, eight_bit_swapped, eight_bit_expected},
                      Conversion{"abgr8888", WL_SHM_FORMAT_ABGR8888, eight_bit_swapped, eight_bit_expected},
                      Conversion{"xrgb2101010", WL_SHM_FORMAT_XRGB2101010, rgb10_words, ten_bit_expected},
                      Conversion{"argb2101010", WL_SHM_FORMAT_ARGB2101010, rgb10_words, ten_bit_expected},
                      Conversion{"xbgr2101010", WL_SHM_FORMAT_XBGR2101010, bgr10_words, ten_bit_expected},
                      Conversion{"abgr2101010", WL_SHM_FORMAT_ABGR2101010, bgr10_words, ten_bit_expected}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PixelFormat, PreferenceAndNames) {
  const std::vector<std::uint32_t> order{
      WL_SHM_FORMAT_XRGB8888,    WL_SHM_FORMAT_ARGB8888,    WL_SHM_FORMAT_XBGR8888,    WL_SHM_FORMAT_ABGR8888,
      WL_SHM_FORMAT_XRGB2101010, WL_SHM_FORMAT_ARGB2101010, WL_SHM_FORMAT_XBGR2101010, WL_SHM_FORMAT_ABGR2101010};
  for (unsigned rank = 0; rank < order.size(); ++rank) EXPECT_EQ(pixel_format::preference(order[rank]), rank);
  for (std::uint32_t other : std::initializer_list<std::uint32_t>{WL_SHM_FORMAT_NV12, WL_SHM_FORMAT_RGB888,
                                                                    WL_SHM_FORMAT_RGBX8888, 0x12345678})
    EXPECT_FALSE(pixel_format::preference(other).has_value()) << other;
  EXPECT_EQ(pixel_format::describe(WL_SHM_FORMAT_NV12), "Nv12 (0x3231564e)");
  EXPECT_EQ(pixel_format::describe(WL_SHM_FORMAT_XRGB8888), "Xrgb8888 (0x00000001)");
  EXPECT_EQ(pixel_format::describe(0x12345678), "0x12345678 (0x12345678)");
}

// A compositor with one output of `width` x `height` pixels at `scale`, whose
// wl_shm offers `format` besides the two every compositor offers, answering
// the captures as `screencopy` says.
json one_output(std::uint32_t width, std::uint32_t height, std::int32_t scale, std::uint32_t format, json screencopy) {
  return json{{"globals", json::array({{{"interface", "wl_shm"}, {"formats", json::array({0, 1, format})}},
                                       {{"interface", "wl_seat"}, {"version", 7}},
                                       {{"interface", "wl_output"},
                                        {"version", 4},
                                        {"width", width},
                                        {"height", height},
                                        {"scale", scale}},
                                       {{"interface", "zwlr_screencopy_manager_v1"}, {"version", 3}},
                                       {{"interface", "zwp_virtual_keyboard_manager_v1"}},
                                       {{"interface", "zwlr_virtual_pointer_manager_v1"}, {"version", 2}}})},
              {"screencopy", std::move(screencopy)}};
}

// Captures from a compositor that announces one format and refuses a buffer
// in any other; the picture converted from the file of the announced size.
class CaptureInFormat : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(CaptureInFormat, PatternArrivesExactly) {
  const std::uint32_t format = GetParam();
  FakeCompositor compositor(one_output(61, 37, 1, format,
                                       json::array({{{"buffers", json::array({{{"format", format}, {"stride", 61 * 4 + 12}}})},
                                                     {"strict_format", true}}})));
  Kestrin session = connected(compositor);
  auto pixels = capture(session);
  ASSERT_TRUE(pixels.has_value()) << report_text(pixels.error());
  const std::vector<std::uint8_t> expected = fake::pattern_image(61, 37, format);
  ASSERT_EQ(pixels->size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), pixels->data.get()));
}

INSTANTIATE_TEST_SUITE_P(EveryReadableFormat, CaptureInFormat,
                         ::testing::Values(WL_SHM_FORMAT_XBGR8888, WL_SHM_FORMAT_ABGR8888, WL_SHM_FORMAT_XRGB2101010,
                                           WL_SHM_FORMAT_ARGB2101010, WL_SHM_FORMAT_XBGR2101010,
                                           WL_SHM_FORMAT_ABGR2101010));

// A compositor with ext-image-copy-capture whose sessions offer `formats`.
json image_copy_scenario(const json& formats, json frames = json::array({json::object()})) {
  return json{{"globals", json::array({{{"interface", "wl_shm"}, {"formats", json::array({0, 1, WL_SHM_FORMAT_ABGR8888, WL_SHM_FORMAT_XBGR2101010, WL_SHM_FORMAT_ARGB2101010})}},
                                       {{"interface", "wl_seat"}, {"version", 7}},
                                       {{"interface", "wl_output"}, {"version", 4}, {"width", 61}, {"height", 37}},
                                       {{"interface", "zwlr_screencopy_manager_v1"}, {"version", 3}},
                                       {{"interface", "zwp_virtual_keyboard_manager_v1"}},
                                       {{"interface", "zwlr_virtual_pointer_manager_v1"}, {"version", 2}},
                                       {{"interface", "ext_output_image_capture_source_manager_v1"}},
                                       {{"interface", "ext_image_copy_capture_manager_v1"}, {"shm_formats", formats}}})},
              {"image_copy", std::move(frames)}};
}

// The session's formats: the one read best is chosen and converted.
class ImageCopyInFormat : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ImageCopyInFormat, PatternArrivesExactly) {
  const std::uint32_t format = GetParam();
  FakeCompositor compositor(image_copy_scenario(json::array({WL_SHM_FORMAT_NV12, format})));
  Kestrin session = connected(compositor);
  auto capture = open_capture(session, std::nullopt, std::nullopt);
  ASSERT_TRUE(capture.has_value()) << report_text(capture.error());
  auto pixels = capture->grab(session);
  ASSERT_TRUE(pixels.has_value()) << report_text(pixels.error());
  const std::vector<std::uint8_t> expected = fake::pattern_image(61, 37, format);
  ASSERT_EQ(pixels->size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), pixels->data.get()));
}

INSTANTIATE_TEST_SUITE_P(EveryReadableFormat, ImageCopyInFormat,
                         ::testing::Values(WL_SHM_FORMAT_XRGB8888, WL_SHM_FORMAT_ABGR8888, WL_SHM_FORMAT_XBGR2101010,
                                           WL_SHM_FORMAT_ARGB2101010));

TEST(ImageCopyCapture, ManagersAreBoundByTheFirstCaptureAndScreenshotsStayOnScreencopy) {
  FakeCompositor compositor(image_copy_scenario(json::array({1}), json::array({json::object(), {{"damage", json::array({{2, 3, 4, 5}})}}})));
  Kestrin session = connected(compositor);
  ASSERT_TRUE(capture(session).has_value());
  EXPECT_FALSE(session.app_data->image_copy_capture_manager);
  EXPECT_FALSE(session.app_data->output_capture_source_manager);

  auto opened = open_capture(session, std::nullopt, std::nullopt);
  ASSERT_TRUE(opened.has_value()) << report_text(opened.error());
  EXPECT_TRUE(session.app_data->image_copy_capture_manager);
  EXPECT_TRUE(session.app_data->output_capture_source_manager);
  std::vector<std::uint8_t> frame(std::size_t{61} * 37 * 4);
  auto changed = opened->wait_for_change(session, Clock::now() + std::chrono::seconds(5), std::nullopt, frame.data());
  ASSERT_TRUE(changed.has_value()) << report_text(changed.error());
  ASSERT_TRUE(changed->has_value());
  ASSERT_EQ((*changed)->size(), 1u);
  const PixelRect rect = (**changed)[0];
  EXPECT_EQ(std::vector<std::uint32_t>({rect.x, rect.y, rect.width, rect.height}),
            std::vector<std::uint32_t>({2, 3, 4, 5}));
  EXPECT_EQ(frame, fake::pattern_image(61, 37));
  opened->close(session);
  EXPECT_TRUE(opened->closed());
  // The destroys are flushed, not waited for.
  EXPECT_TRUE(compositor.wait_until([](const fake::Records& records) {
    return std::ranges::any_of(records, [](const fake::Record& record) {
      return record.value("interface", "") == "ext_image_capture_source_v1" && record.value("request", "") == "destroy";
    });
  }));
  const std::vector<std::string> names = compositor.request_names();
  EXPECT_EQ(std::count(names.begin(), names.end(), "zwlr_screencopy_manager_v1.capture_output"), 1);
}

// --- CaptureSession: what the Python tests of Capture cannot reach ----------

using namespace std::chrono_literals;

constexpr std::uint32_t small_width = 64, small_height = 32;

// The pixels inside `rect` of a picture `width` pixels wide, packed.
std::vector<std::uint8_t> cut(const std::vector<std::uint8_t>& picture, std::uint32_t width, PixelRect rect) {
  std::vector<std::uint8_t> part;
  for (std::uint32_t y = rect.y; y < rect.y + rect.height; ++y) {
    auto row = picture.begin() + static_cast<std::ptrdiff_t>((std::size_t{y} * width + rect.x) * 4);
    part.insert(part.end(), row, row + static_cast<std::ptrdiff_t>(std::size_t{rect.width} * 4));
  }
  return part;
}

std::size_t sent(const fake::Records& records, const std::string& name) {
  return static_cast<std::size_t>(std::ranges::count_if(records, [&](const fake::Record& record) {
    return record.contains("request") && record["interface"].get<std::string>() + "." +
                                             record["request"].get<std::string>() == name;
  }));
}
std::size_t sent(const FakeCompositor& compositor, const std::string& name) {
  return sent(compositor.requests(), name);
}

// Waits until the compositor has received `count` requests `name`.
bool received(const FakeCompositor& compositor, const std::string& name, std::size_t count) {
  return compositor.wait_until([&](const fake::Records& records) { return sent(records, name) == count; });
}

CaptureSession opened(Kestrin& session, std::optional<PixelRect> region = std::nullopt) {
  auto capture = open_capture(session, std::nullopt, region);
  EXPECT_TRUE(capture.has_value()) << report_text(capture.error());
  if (!capture) std::abort();
  return std::move(*capture);
}

json small(json screencopy, std::int32_t scale = 1, std::uint32_t format = WL_SHM_FORMAT_XRGB8888) {
  return one_output(small_width, small_height, scale, format, std::move(screencopy));
}

std::vector<std::array<std::uint32_t, 4>> as_tuples(const std::vector<PixelRect>& rects) {
  std::vector<std::array<std::uint32_t, 4>> tuples;
  for (const PixelRect& r : rects) tuples.push_back({r.x, r.y, r.width, r.height});
  return tuples;
}

// A region at scale 2 is a logical box of whole pixels around it; the frame
// comes in a converted format with padded rows, upright or bottom row first
// (the y_invert flag); every way of reading cuts the same upright pixels out
// of it.
class RegionOfAConvertedPaddedFrame : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(RegionOfAConvertedPaddedFrame, InEveryWayOfReading) {
  const std::uint32_t format = WL_SHM_FORMAT_XBGR2101010;
  // The box (1, 2, 6, 4) is 12x8 pixels.
  FakeCompositor compositor(small(json::array({{{"buffers", json::array({{{"format", format}, {"stride", 12 * 4 + 8}}})},
                                                {"strict_format", true},
                                                {"flags", GetParam()}}}),
                                  2, format));
  Kestrin session = connected(compositor);
  const PixelRect region{3, 5, 10, 7};
  CaptureSession capture = opened(session, region);
  ASSERT_EQ(capture.width(), 10u);
  ASSERT_EQ(capture.height(), 7u);
  const auto expected = cut(fake::pattern_image(small_width, small_height, format), small_width, region);
  std::vector<std::uint8_t> frame(expected.size());

  ASSERT_TRUE(capture.grab_into(session, frame.data()));
  EXPECT_EQ(frame, expected);
  for (int i = 0; i < 3; ++i) {
    std::ranges::fill(frame, 0);
    ASSERT_TRUE(capture.next_into(session, frame.data()));
    EXPECT_EQ(frame, expected) << "iteration " << i;
  }
  std::ranges::fill(frame, 0);
  auto changed = capture.wait_for_change(session, Clock::now() + 5s, std::nullopt, frame.data());
  ASSERT_TRUE(changed.has_value()) << report_text(changed.error());
  ASSERT_TRUE(changed->has_value());
  // A copy with damage answered without damage events changed everything:
  // the whole capture, or the part watched.
  EXPECT_EQ(as_tuples(**changed), (std::vector<std::array<std::uint32_t, 4>>{{3, 5, 10, 7}}));
  EXPECT_EQ(frame, expected);
  changed = capture.wait_for_change(session, Clock::now() + 5s, PixelRect{0, 0, 5, 6}, frame.data());
  ASSERT_TRUE(changed.has_value() && changed->has_value());
  EXPECT_EQ(as_tuples(**changed), (std::vector<std::array<std::uint32_t, 4>>{{0, 0, 5, 6}}));
  EXPECT_EQ(sent(compositor, "zwlr_screencopy_manager_v1.capture_output"), 0u);
}

INSTANTIATE_TEST_SUITE_P(CaptureSession, RegionOfAConvertedPaddedFrame,
                         ::testing::Values(0u, screencopy::flags_y_invert));

TEST(CaptureParts, TheDifferenceIsTheBoxAroundEveryChangedPixel) {
  std::vector<std::uint8_t> a(std::size_t{5} * 4 * 4, 0), b = a;
  const PixelRect all{0, 0, 5, 4};
  EXPECT_FALSE(difference(a.data(), b.data(), 5, all));
  b[(1 * 5 + 3) * 4 + 2] = 1;  // (3, 1)
  b[(2 * 5 + 1) * 4 + 3] = 1;  // (1, 2), its fourth byte
  auto box = difference(a.data(), b.data(), 5, all);
  ASSERT_TRUE(box);
  EXPECT_EQ(as_tuples({*box}), (std::vector<std::array<std::uint32_t, 4>>{{1, 1, 3, 2}}));
  box = difference(a.data(), b.data(), 5, PixelRect{2, 0, 3, 4});
  ASSERT_TRUE(box);
  EXPECT_EQ(as_tuples({*box}), (std::vector<std::array<std::uint32_t, 4>>{{3, 1, 1, 1}}));
  EXPECT_FALSE(difference(a.data(), b.data(), 5, PixelRect{0, 3, 5, 1}));
}

// A fractional scale reaches clients as the next whole one, so the frame of
// the box is not the box times the scale: the whole output is captured and
// the region cut out of it, for this frame and every later one.
TEST(CaptureSession, RegionFallsBackToTheWholeOutputWhenTheBoxIsNotItsScaledSize) {
  FakeCompositor compositor(small(json::array({{{"buffers", json::array({{{"width", 13}, {"height", 9}}})}}, json::object()}), 2));
  Kestrin session = connected(compositor);
  const PixelRect region{3, 5, 10, 7};
  CaptureSession capture = opened(session, region);
  std::vector<std::uint8_t> frame(std::size_t{10} * 7 * 4);
  ASSERT_TRUE(capture.grab_into(session, frame.data()));
  EXPECT_EQ(frame, cut(fake::pattern_image(small_width, small_height), small_width, region));
  EXPECT_EQ(sent(compositor, "zwlr_screencopy_manager_v1.capture_output_region"), 1u);
  EXPECT_EQ(sent(compositor, "zwlr_screencopy_manager_v1.capture_output"), 2u);
  // The refused box's frame was never copied into.
  EXPECT_EQ(sent(compositor, "zwlr_screencopy_frame_v1.copy"), 2u);
}

// wlroots drops a client that copies into a buffer other than the announced
// one: a frame announced otherwise (the mode changed) is given up uncopied.
TEST(CaptureSession, AFrameAnnouncedOtherwiseIsNotCopied) {
  FakeCompositor compositor(
      small(json::array({json::object(), {{"buffers", json::array({{{"width", 32}}})}}, json::object()})));
  Kestrin session = connected(compositor);
  CaptureSession capture = opened(session);
  std::vector<std::uint8_t> frame(std::size_t{small_width} * small_height * 4);
  auto refused = capture.grab_into(session, frame.data());
  ASSERT_FALSE(refused.has_value());
  EXPECT_NE(refused.error().message.find("the compositor now announces frames of 32x32 pixels in Xrgb8888 (0x00000001) "
                                         "instead of 64x32 pixels in Xrgb8888 (0x00000001): open a new capture"),
            std::string::npos)
      << refused.error().message;
  EXPECT_TRUE(received(compositor, "zwlr_screencopy_frame_v1.destroy", 2));
  EXPECT_EQ(sent(compositor, "zwlr_screencopy_frame_v1.copy"), 1u);
  // Announced as before again, the frame is taken.
  ASSERT_TRUE(capture.grab_into(session, frame.data()));
  EXPECT_EQ(frame, fake::pattern_image(small_width, small_height));
}

// A frame that fails in the middle of an iteration fails that step only; the
// next one asks afresh.
TEST(CaptureSession, AFailedFrameEndsOneStepOfAnIteration) {
  FakeCompositor compositor(small(json::array({json::object(), json::object(), {{"outcome", "failed"}}, json::object()})));
  Kestrin session = connected(compositor);
  CaptureSession capture = opened(session);
  std::vector<std::uint8_t> frame(std::size_t{small_width} * small_height * 4);
  ASSERT_TRUE(capture.next_into(session, frame.data()));
  auto failed = capture.next_into(session, frame.data());
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().message, "the compositor failed the capture");
  std::ranges::fill(frame, 0);
  ASSERT_TRUE(capture.next_into(session, frame.data()));
  EXPECT_EQ(frame, fake::pattern_image(small_width, small_height));
}

template <class T>
Status status_of(const Result<T>& result) {
  if (result) return {};
  return std::unexpected(result.error());
}

// Closing sends the destroys once, the frame asked for ahead included; every
// later call fails and sends nothing.
TEST(CaptureSession, ClosedOnceAndRefusedAfter) {
  FakeCompositor compositor(small(json::array({json::object()})));
  Kestrin session = connected(compositor);
  std::vector<std::uint8_t> frame(std::size_t{small_width} * small_height * 4);
  {
    CaptureSession capture = opened(session);
    ASSERT_TRUE(capture.next_into(session, frame.data()));  // leaves a frame asked for ahead
    capture.close(session);
    capture.close(session);
    EXPECT_TRUE(capture.closed());
    ASSERT_TRUE(received(compositor, "wl_shm_pool.destroy", 2));
    const std::size_t before = compositor.requests().size();
    for (const auto& call : std::vector<std::function<Status()>>{
             [&] { return capture.grab_into(session, frame.data()); },
             [&] { return capture.next_into(session, frame.data()); },
             [&] { return status_of(capture.grab(session)); },
             [&] { return status_of(capture.wait_for_change(session, Clock::now() + 1s, std::nullopt, frame.data())); },
         }) {
      auto refused = call();
      ASSERT_FALSE(refused.has_value());
      EXPECT_EQ(refused.error().message, "the capture is closed");
    }
    ASSERT_TRUE(roundtrip(session.event_queue, session.queue_handle));
    EXPECT_EQ(compositor.requests().size(), before + 1) << "only the roundtrip's sync";
  }
  EXPECT_EQ(sent(compositor, "wl_shm_pool.destroy"), 2u);
  EXPECT_EQ(sent(compositor, "wl_buffer.destroy"), 2u);
  EXPECT_EQ(sent(compositor, "zwlr_screencopy_frame_v1.destroy"),
            sent(compositor, "zwlr_screencopy_manager_v1.capture_output"));
}

}  // namespace
}  // namespace kestrin
