// wl_shm checks pools and buffers as libwayland-server's own wl_shm does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <optional>

#include "fake_compositor/fake_compositor.hpp"
#include "test_client.hpp"

namespace kestrin::fake {
namespace {

using nlohmann::json;
using testing::TestClient;
using testing::Wait;

constexpr std::int32_t pool_size = 4096;

class Shm : public ::testing::Test {
 protected:
  explicit Shm(json formats = {0, 1})
      : fake_(json{{"globals", {{{"interface", "wl_shm"}, {"formats", std::move(formats)}}}}}),
        client_(fake_.socket_path()),
        file_(std::string(pool_size, '\0')) {
    static const wl_shm_listener listener = {
        [](void* data, wl_shm*, std::uint32_t format) { static_cast<Shm*>(data)->formats_.push_back(format); },
    };
    client_.registry();
    EXPECT_EQ(client_.roundtrip(), Wait::done);
    shm_ = client_.bind<wl_shm>(client_.global("wl_shm"), &wl_shm_interface);
    wl_shm_add_listener(shm_, &listener, this);
    EXPECT_EQ(client_.roundtrip(), Wait::done);
  }

  wl_shm_pool* pool(std::int32_t size = pool_size, int fd = -1) {
    return client_.own(wl_shm_create_pool(shm_, fd >= 0 ? fd : file_.fd(), size));
  }

  // Fails the test unless the connection died of `code` on an object of
  // `interface`.
  void expect_error(const char* interface, std::uint32_t code) {
    ASSERT_EQ(client_.roundtrip(), Wait::failed);
    auto error = client_.protocol_error();
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->interface, interface);
    EXPECT_EQ(error->code, code) << testing::last_client_log();
  }

  FakeCompositor fake_;
  TestClient client_;
  testing::TestFile file_;
  wl_shm* shm_ = nullptr;
  std::vector<std::uint32_t> formats_;
};

class ShmFormats : public Shm {
 protected:
  ShmFormats() : Shm({1, 0x34325258}) {}
};

TEST_F(ShmFormats, AnnouncesExactlyTheConfiguredFormats) {
  EXPECT_EQ(formats_, (std::vector<std::uint32_t>{1, 0x34325258}));
  client_.own(wl_shm_pool_create_buffer(pool(), 0, 4, 4, 16, 0x34325258));
  EXPECT_EQ(client_.roundtrip(), Wait::done);
  client_.own(wl_shm_pool_create_buffer(pool(), 0, 4, 4, 16, WL_SHM_FORMAT_ARGB8888));
  expect_error("wl_shm_pool", WL_SHM_ERROR_INVALID_FORMAT);
}

struct BufferCase {
  const char* name;
  std::int32_t offset, width, height, stride;
  std::uint32_t format;
  std::optional<std::uint32_t> error;  // on the wl_shm_pool
};

void PrintTo(const BufferCase& c, std::ostream* out) { *out << c.name; }

class ShmBuffer : public Shm, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(ShmBuffer, IsCheckedAgainstThePool) {
  const BufferCase& c = GetParam();
  client_.own(wl_shm_pool_create_buffer(pool(), c.offset, c.width, c.height, c.stride, c.format));
  if (c.error) {
    expect_error("wl_shm_pool", *c.error);
  } else {
    EXPECT_EQ(client_.roundtrip(), Wait::done);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Shm, ShmBuffer,
    ::testing::Values(BufferCase{"fills_the_pool", 0, 16, 64, 64, 1, std::nullopt},
                      BufferCase{"ends_at_the_pool_end", 4096 - 64, 4, 4, 16, 0, std::nullopt},
                      BufferCase{"passes_the_pool_end", 4096 - 63, 4, 4, 16, 1, WL_SHM_ERROR_INVALID_STRIDE},
                      BufferCase{"negative_offset", -4, 4, 4, 16, 1, WL_SHM_ERROR_INVALID_STRIDE},
                      BufferCase{"zero_width", 0, 0, 4, 16, 1, WL_SHM_ERROR_INVALID_STRIDE},
                      BufferCase{"zero_height", 0, 4, 0, 16, 1, WL_SHM_ERROR_INVALID_STRIDE},
                      BufferCase{"stride_below_width", 0, 16, 4, 15, 1, WL_SHM_ERROR_INVALID_STRIDE},
                      BufferCase{"stride_times_height_overflows", 0, 4, 0x40000000, 16, 1,
                                 WL_SHM_ERROR_INVALID_STRIDE},
                      BufferCase{"unknown_format", 0, 4, 4, 16, 0x34325258, WL_SHM_ERROR_INVALID_FORMAT}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Shm, PoolNeedsAPositiveSizeAndAMappableFile) {
  pool(0);
  expect_error("wl_shm", WL_SHM_ERROR_INVALID_STRIDE);
}

TEST_F(Shm, PoolOfAnUnmappableFileIsInvalidFd) {
  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  pool(pool_size, pipe_fds[0]);
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
  expect_error("wl_shm", WL_SHM_ERROR_INVALID_FD);
}

TEST_F(Shm, PoolsGrowButNeverShrink) {
  wl_shm_pool* grown = pool(1024);
  wl_shm_pool_resize(grown, pool_size);
  client_.own(wl_shm_pool_create_buffer(grown, pool_size - 64, 4, 4, 16, 1));
  EXPECT_EQ(client_.roundtrip(), Wait::done);
  wl_shm_pool_resize(grown, 1024);
  expect_error("wl_shm_pool", WL_SHM_ERROR_INVALID_FD);
}

}  // namespace
}  // namespace kestrin::fake
