// ext-image-copy-capture sessions: the constraints they announce and the
// protocol errors wlroots raises, so that kestrin's misuse would show.
#include <gtest/gtest.h>

#include "ext-image-capture-source-v1-client-protocol.h"
#include "ext-image-copy-capture-v1-client-protocol.h"
#include "fake_compositor/fake_compositor.hpp"
#include "test_client.hpp"

namespace kestrin::fake {
namespace {

using nlohmann::json;
using testing::TestClient;
using testing::Wait;

struct Constraints {
  std::uint32_t width = 0, height = 0;
  std::vector<std::uint32_t> formats;
  bool done = false;
};

const ext_image_copy_capture_session_v1_listener session_listener = {
    .buffer_size =
        [](void* data, ext_image_copy_capture_session_v1*, std::uint32_t width, std::uint32_t height) {
          static_cast<Constraints*>(data)->width = width;
          static_cast<Constraints*>(data)->height = height;
        },
    .shm_format = [](void* data, ext_image_copy_capture_session_v1*,
                     std::uint32_t format) { static_cast<Constraints*>(data)->formats.push_back(format); },
    .dmabuf_device = [](void*, ext_image_copy_capture_session_v1*, wl_array*) {},
    .dmabuf_format = [](void*, ext_image_copy_capture_session_v1*, std::uint32_t, wl_array*) {},
    .done = [](void* data, ext_image_copy_capture_session_v1*) { static_cast<Constraints*>(data)->done = true; },
    .stopped = [](void*, ext_image_copy_capture_session_v1*) {},
};

class ImageCopy : public ::testing::Test {
 protected:
  ImageCopy()
      : fake_(json{{"globals", json::array({{{"interface", "wl_output"}, {"width", 8}, {"height", 4}},
                                            {{"interface", "ext_output_image_capture_source_manager_v1"}},
                                            {{"interface", "ext_image_copy_capture_manager_v1"},
                                             {"shm_formats", json::array({1, 0})}}})}}),
        client_(fake_.socket_path()) {
    client_.registry();
    EXPECT_EQ(client_.roundtrip(), Wait::done);
    auto* output = client_.bind<wl_output>(client_.global("wl_output"), &wl_output_interface);
    auto* sources = client_.bind<ext_output_image_capture_source_manager_v1>(
        client_.global("ext_output_image_capture_source_manager_v1"), &ext_output_image_capture_source_manager_v1_interface);
    auto* manager = client_.bind<ext_image_copy_capture_manager_v1>(client_.global("ext_image_copy_capture_manager_v1"),
                                                                    &ext_image_copy_capture_manager_v1_interface);
    auto* source = client_.own(ext_output_image_capture_source_manager_v1_create_source(sources, output));
    session_ = client_.own(ext_image_copy_capture_manager_v1_create_session(manager, source, 0));
    ext_image_copy_capture_session_v1_add_listener(session_, &session_listener, &constraints_);
    EXPECT_EQ(client_.dispatch_until([&] { return constraints_.done; }), Wait::done);
  }

  void expect_error(const char* interface, std::uint32_t code) {
    ASSERT_EQ(client_.roundtrip(), Wait::failed);
    auto error = client_.protocol_error();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->interface, interface);
    EXPECT_EQ(error->code, code);
  }

  FakeCompositor fake_;
  TestClient client_;
  Constraints constraints_;
  ext_image_copy_capture_session_v1* session_ = nullptr;
};

TEST_F(ImageCopy, SessionsAnnounceTheOutputsSizeAndTheManagersFormats) {
  EXPECT_EQ(constraints_.width, 8u);
  EXPECT_EQ(constraints_.height, 4u);
  EXPECT_EQ(constraints_.formats, (std::vector<std::uint32_t>{1, 0}));
}

TEST_F(ImageCopy, OneFrameAtATime) {
  client_.own(ext_image_copy_capture_session_v1_create_frame(session_));
  client_.own(ext_image_copy_capture_session_v1_create_frame(session_));
  expect_error("ext_image_copy_capture_session_v1", EXT_IMAGE_COPY_CAPTURE_SESSION_V1_ERROR_DUPLICATE_FRAME);
}

TEST_F(ImageCopy, CaptureNeedsABuffer) {
  ext_image_copy_capture_frame_v1_capture(client_.own(ext_image_copy_capture_session_v1_create_frame(session_)));
  expect_error("ext_image_copy_capture_frame_v1", EXT_IMAGE_COPY_CAPTURE_FRAME_V1_ERROR_NO_BUFFER);
}

TEST_F(ImageCopy, DamageMustBeInsideTheBuffer) {
  auto* frame = client_.own(ext_image_copy_capture_session_v1_create_frame(session_));
  ext_image_copy_capture_frame_v1_damage_buffer(frame, -1, 0, 2, 2);
  expect_error("ext_image_copy_capture_frame_v1", EXT_IMAGE_COPY_CAPTURE_FRAME_V1_ERROR_INVALID_BUFFER_DAMAGE);
}

}  // namespace
}  // namespace kestrin::fake
