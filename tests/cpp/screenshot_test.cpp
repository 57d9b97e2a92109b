// The capture's bookkeeping in the dispatch state, which the Python tests
// cannot see.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_compositor/fake_compositor.hpp"
#include "kestrin_lib/mod.hpp"
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

}  // namespace
}  // namespace kestrin
