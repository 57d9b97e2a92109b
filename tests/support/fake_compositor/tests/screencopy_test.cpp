// Screencopy frames: the answers a scenario configures, decoded by kestrin's
// own description of the frame, and the copy into a wl_shm buffer.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fake_compositor/fake_compositor.hpp"
#include "kestrin_lib/screencopy.hpp"
#include "test_client.hpp"

namespace kestrin::fake {
namespace {

using nlohmann::json;
using testing::TestClient;
using testing::Wait;

enum : std::uint32_t { capture_output = 0, capture_output_region = 1 };
enum : std::uint32_t { error_already_used = 0, error_invalid_buffer = 1 };

struct FrameEvents {
  std::vector<std::string> log;
  bool finished = false;  // ready or failed arrived

  void add(std::string line) { log.push_back(std::move(line)); }
};

FrameEvents& events_of(void* data) { return *static_cast<FrameEvents*>(data); }

std::string numbers(std::initializer_list<std::uint32_t> values) {
  std::string text;
  for (std::uint32_t value : values) text += " " + std::to_string(value);
  return text;
}

const screencopy::FrameListener frame_listener = {
    .buffer =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width, std::uint32_t height,
           std::uint32_t stride) { events_of(data).add("buffer" + numbers({format, width, height, stride})); },
    .flags = [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) { events_of(data).add("flags" + numbers({flags})); },
    .ready =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t hi, std::uint32_t lo, std::uint32_t nsec) {
          events_of(data).add("ready" + numbers({hi, lo, nsec}));
          events_of(data).finished = true;
        },
    .failed =
        [](void* data, zwlr_screencopy_frame_v1*) {
          events_of(data).add("failed");
          events_of(data).finished = true;
        },
    .damage =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y, std::uint32_t width,
           std::uint32_t height) { events_of(data).add("damage" + numbers({x, y, width, height})); },
    .linux_dmabuf =
        [](void* data, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width, std::uint32_t height) {
          events_of(data).add("linux_dmabuf" + numbers({format, width, height}));
        },
    .buffer_done = [](void* data, zwlr_screencopy_frame_v1*) { events_of(data).add("buffer_done"); },
};

using Log = std::vector<std::string>;

json globals(std::int32_t width, std::int32_t height) {
  return {{{"interface", "wl_shm"}},
          {{"interface", "wl_output"}, {"width", width}, {"height", height}},
          {{"interface", "zwlr_screencopy_manager_v1"}}};
}

class Screencopy : public ::testing::Test {
 protected:
  void start(const json& scenario, std::uint32_t manager_version = 3) {
    fake_.emplace(scenario);
    manager_version_ = manager_version;
    client_ = connect();
  }

  struct Connection {
    std::unique_ptr<TestClient> client;
    wl_shm* shm = nullptr;
    wl_output* output = nullptr;
    wl_proxy* manager = nullptr;
  };

  Connection connect() {
    Connection connection{std::make_unique<TestClient>(fake_->socket_path())};
    TestClient& client = *connection.client;
    client.registry();
    EXPECT_EQ(client.roundtrip(), Wait::done);
    connection.shm = client.bind<wl_shm>(client.global("wl_shm"), &wl_shm_interface);
    connection.output = client.bind<wl_output>(client.global("wl_output"), &wl_output_interface);
    connection.manager = client.bind(client.global("zwlr_screencopy_manager_v1"),
                                     &zwlr_screencopy_manager_v1_interface, manager_version_);
    return connection;
  }

  // capture_output, then a roundtrip: every answer to it has arrived.
  wl_proxy* capture(FrameEvents& events, Connection* connection = nullptr) {
    Connection& c = connection != nullptr ? *connection : client_;
    wl_proxy* frame = c.client->own(
        testing::create(c.manager, capture_output, &zwlr_screencopy_frame_v1_interface, nullptr, 0, c.output));
    screencopy::add_listener(reinterpret_cast<zwlr_screencopy_frame_v1*>(frame), &frame_listener, &events);
    EXPECT_EQ(c.client->roundtrip(), Wait::done);
    return frame;
  }

  wl_buffer* buffer(const testing::TestFile& file, std::int32_t pool_size, std::int32_t offset, std::int32_t width,
                    std::int32_t height, std::int32_t stride, std::uint32_t format = WL_SHM_FORMAT_XRGB8888) {
    TestClient& client = *client_.client;
    wl_shm_pool* pool = client.own(wl_shm_create_pool(client_.shm, file.fd(), pool_size));
    return client.own(wl_shm_pool_create_buffer(pool, offset, width, height, stride, format));
  }

  // copy, then dispatch until ready or failed.
  Wait copy(wl_proxy* frame, wl_buffer* buffer, FrameEvents& events) {
    screencopy::copy(reinterpret_cast<zwlr_screencopy_frame_v1*>(frame), buffer);
    return client_.client->dispatch_until([&] { return events.finished; });
  }

  TestClient& client() { return *client_.client; }

  std::optional<FakeCompositor> fake_;
  Connection client_;
  std::uint32_t manager_version_ = 3;
};

const json answers_of_every_kind = {
    {{"buffers", {{{"format", 0}, {"width", 64}, {"height", 32}, {"stride", 256}}, json::object()}},
     {"linux_dmabuf", {{"format", 875713089}, {"width", 64}, {"height", 32}}},
     {"flags", 1},
     {"damage", {1, 2, 3, 4}},
     {"ready_time", {5, 6, 7}}},
    {{"outcome", "failed"}},
    {{"outcome", "failed_at_capture"}},
};

TEST_F(Screencopy, SendsAllSevenFrameEventsAsConfigured) {
  start({{"globals", globals(64, 32)}, {"screencopy", answers_of_every_kind}});
  testing::TestFile file(std::string(64 * 32 * 4, '\0'));

  FrameEvents first;
  wl_proxy* frame = capture(first);
  EXPECT_EQ(first.log,
            (Log{"buffer 0 64 32 256", "buffer 1 64 32 256", "linux_dmabuf 875713089 64 32", "buffer_done"}));
  ASSERT_EQ(copy(frame, buffer(file, 64 * 32 * 4, 0, 64, 32, 256), first), Wait::done);
  EXPECT_EQ(Log(first.log.begin() + 4, first.log.end()), (Log{"flags 1", "damage 1 2 3 4", "ready 5 6 7"}));

  FrameEvents second;
  frame = capture(second);
  EXPECT_EQ(second.log, (Log{"buffer 1 64 32 256", "buffer_done"}));
  ASSERT_EQ(copy(frame, buffer(file, 64 * 32 * 4, 0, 64, 32, 256), second), Wait::done);
  EXPECT_EQ(Log(second.log.begin() + 2, second.log.end()), (Log{"flags 0", "failed"}));

  FrameEvents third;
  frame = capture(third);
  EXPECT_EQ(third.log, (Log{"failed"}));
  // A frame that failed at capture ignores its copy, as in wlroots.
  screencopy::copy(reinterpret_cast<zwlr_screencopy_frame_v1*>(frame), buffer(file, 64 * 32 * 4, 0, 64, 32, 256));
  EXPECT_EQ(client().roundtrip(), Wait::done);
  EXPECT_EQ(third.log, (Log{"failed"}));
}

struct VersionCase {
  std::uint32_t version;
  Log at_capture;
  Log at_copy;
};

void PrintTo(const VersionCase& c, std::ostream* out) { *out << "version " << c.version; }

class ScreencopyVersion : public Screencopy, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(ScreencopyVersion, FramesGetOnlyTheEventsOfTheirVersion) {
  start({{"globals", globals(64, 32)}, {"screencopy", answers_of_every_kind}}, GetParam().version);
  testing::TestFile file(std::string(64 * 32 * 4, '\0'));
  FrameEvents events;
  wl_proxy* frame = capture(events);
  EXPECT_EQ(events.log, GetParam().at_capture);
  std::size_t at_capture = events.log.size();
  ASSERT_EQ(copy(frame, buffer(file, 64 * 32 * 4, 0, 64, 32, 256), events), Wait::done);
  EXPECT_EQ(Log(events.log.begin() + static_cast<std::ptrdiff_t>(at_capture), events.log.end()), GetParam().at_copy);
}

INSTANTIATE_TEST_SUITE_P(Screencopy, ScreencopyVersion,
                         ::testing::Values(VersionCase{1,
                                                       {"buffer 0 64 32 256", "buffer 1 64 32 256"},
                                                       {"flags 1", "ready 5 6 7"}},
                                           VersionCase{2,
                                                       {"buffer 0 64 32 256", "buffer 1 64 32 256"},
                                                       {"flags 1", "damage 1 2 3 4", "ready 5 6 7"}}),
                         [](const auto& info) { return "version" + std::to_string(info.param.version); });

TEST_F(Screencopy, CopyWritesThePatternWithPaddingAtTheBuffersOffset) {
  constexpr std::int32_t width = 300, height = 260, stride = 1280, offset = 64;
  constexpr std::int32_t pool_size = offset + stride * height + 16;
  start({{"globals", globals(width, height)}, {"screencopy", {{{"buffers", {{{"stride", stride}}}}}}}});
  testing::TestFile file(std::string(pool_size, '\0'));
  FrameEvents events;
  wl_proxy* frame = capture(events);
  ASSERT_EQ(events.log, (Log{"buffer 1 300 260 1280", "buffer_done"}));
  ASSERT_EQ(copy(frame, buffer(file, pool_size, offset, width, height, stride), events), Wait::done);
  ASSERT_EQ(events.log.back(), "ready 0 1 2");

  std::string expected(pool_size, '\0');
  fill_pattern({reinterpret_cast<std::uint8_t*>(expected.data()) + offset, std::size_t{stride} * height}, width,
               height, stride);
  std::string content = file.content();
  ASSERT_EQ(content.size(), expected.size());
  for (std::size_t i = 0; i < content.size(); ++i) {
    ASSERT_EQ(content[i], expected[i]) << "first difference at byte " << i;
  }
  // The pattern must reach every part of the formula, padding included.
  EXPECT_EQ(static_cast<std::uint8_t>(content[offset + 259 * stride + 299 * 4 + 2]), 1 + 1 + 16);
  EXPECT_EQ(static_cast<std::uint8_t>(content[offset + stride - 1]), pattern_padding);
}

struct BadCopy {
  const char* what;
  std::int32_t width, height, stride;
  std::uint32_t format;
  bool strict_format;
};

void PrintTo(const BadCopy& c, std::ostream* out) { *out << c.what; }

class ScreencopyBadCopy : public Screencopy, public ::testing::WithParamInterface<BadCopy> {};

TEST_P(ScreencopyBadCopy, IsAnInvalidBufferErrorOnTheFrame) {
  const BadCopy& bad = GetParam();
  start({{"globals", globals(64, 32)}, {"screencopy", {{{"strict_format", bad.strict_format}}}}});
  testing::TestFile file(std::string(1 << 16, '\0'));
  FrameEvents events;
  wl_proxy* frame = capture(events);
  ASSERT_EQ(copy(frame, buffer(file, 1 << 16, 0, bad.width, bad.height, bad.stride, bad.format), events),
            Wait::failed);
  EXPECT_FALSE(events.finished);
  auto error = client().protocol_error();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->interface, "zwlr_screencopy_frame_v1");
  EXPECT_EQ(error->id, wl_proxy_get_id(frame));
  EXPECT_EQ(error->code, error_invalid_buffer);
  EXPECT_NE(testing::last_client_log().find(bad.what), std::string::npos) << testing::last_client_log();
}

INSTANTIATE_TEST_SUITE_P(Screencopy, ScreencopyBadCopy,
                         ::testing::Values(BadCopy{"stride: 260, announced 256", 64, 32, 260, 1, false},
                                           BadCopy{"width: 63, announced 64", 63, 32, 256, 1, false},
                                           BadCopy{"height: 33, announced 32", 64, 33, 256, 1, false},
                                           BadCopy{"format: 0, announced 1", 64, 32, 256, 0, true}),
                         [](const auto& info) {
                           std::string what = info.param.what;
                           return what.substr(0, what.find(':'));
                         });

TEST_F(Screencopy, FormatIsOnlyCheckedWhenStrict) {
  start({{"globals", globals(64, 32)}});
  testing::TestFile file(std::string(64 * 32 * 4, '\0'));
  FrameEvents events;
  wl_proxy* frame = capture(events);
  wl_buffer* argb = buffer(file, 64 * 32 * 4, 0, 64, 32, 256, WL_SHM_FORMAT_ARGB8888);
  ASSERT_EQ(copy(frame, argb, events), Wait::done);
  EXPECT_EQ(events.log.back(), "ready 0 1 2");
}

TEST_F(Screencopy, StrictFramesTakeAnyAnnouncedFormatAndNoOther) {
  json buffers = {{{"format", WL_SHM_FORMAT_ARGB8888}, {"stride", 260}}, {{"format", WL_SHM_FORMAT_XRGB8888}}};
  json scenario = {{"globals", globals(64, 32)}, {"screencopy", {{{"buffers", buffers}, {"strict_format", true}}}}};
  scenario["globals"][0]["formats"] = {WL_SHM_FORMAT_ARGB8888, WL_SHM_FORMAT_XRGB8888, WL_SHM_FORMAT_XBGR8888};
  start(scenario);
  testing::TestFile file(std::string(1 << 16, '\0'));
  // The first announcement, with its own stride.
  FrameEvents events;
  wl_proxy* frame = capture(events);
  ASSERT_EQ(copy(frame, buffer(file, 1 << 16, 0, 64, 32, 260, WL_SHM_FORMAT_ARGB8888), events), Wait::done);
  EXPECT_EQ(events.log.back(), "ready 0 1 2");

  FrameEvents refused;
  frame = capture(refused);
  ASSERT_EQ(copy(frame, buffer(file, 1 << 16, 0, 64, 32, 256, WL_SHM_FORMAT_XBGR8888), refused), Wait::failed);
  auto error = client().protocol_error();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code, error_invalid_buffer);
  EXPECT_NE(testing::last_client_log().find("invalid buffer format: 875709016, announced 1"), std::string::npos)
      << testing::last_client_log();
}

TEST_F(Screencopy, SecondCopyOfAFrameIsAlreadyUsed) {
  start({{"globals", globals(64, 32)}});
  testing::TestFile file(std::string(64 * 32 * 4, '\0'));
  FrameEvents events;
  wl_proxy* frame = capture(events);
  wl_buffer* target = buffer(file, 64 * 32 * 4, 0, 64, 32, 256);
  ASSERT_EQ(copy(frame, target, events), Wait::done);
  screencopy::copy(reinterpret_cast<zwlr_screencopy_frame_v1*>(frame), target);
  ASSERT_EQ(client().roundtrip(), Wait::failed);
  auto error = client().protocol_error();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->interface, "zwlr_screencopy_frame_v1");
  EXPECT_EQ(error->code, error_already_used);
}

TEST_F(Screencopy, EntriesCountPerConnectionAndTheLastRepeats) {
  start({{"globals", globals(8, 4)}, {"screencopy", {{{"outcome", "failed_at_capture"}}, json::object()}}});
  Connection other = connect();
  FrameEvents first, others_first, second, third;
  capture(first);
  capture(others_first, &other);
  capture(second);
  capture(third);
  EXPECT_EQ(first.log, (Log{"failed"}));
  EXPECT_EQ(others_first.log, (Log{"failed"}));
  EXPECT_EQ(second.log, (Log{"buffer 1 8 4 32", "buffer_done"}));
  EXPECT_EQ(third.log, (Log{"buffer 1 8 4 32", "buffer_done"}));
}

TEST_F(Screencopy, RegionCaptureAnnouncesTheRegionsSize) {
  start({{"globals", globals(64, 32)}});
  FrameEvents events;
  wl_proxy* frame = client().own(testing::create(client_.manager, capture_output_region,
                                                 &zwlr_screencopy_frame_v1_interface, nullptr, 0, client_.output, 2,
                                                 3, 10, 20));
  screencopy::add_listener(reinterpret_cast<zwlr_screencopy_frame_v1*>(frame), &frame_listener, &events);
  ASSERT_EQ(client().roundtrip(), Wait::done);
  EXPECT_EQ(events.log, (Log{"buffer 1 10 20 40", "buffer_done"}));
}

}  // namespace
}  // namespace kestrin::fake
