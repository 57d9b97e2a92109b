#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <wayland-client-core.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kestrin_lib/helper.hpp"
#include "test_support.hpp"

namespace kestrin {
namespace {

namespace fs = std::filesystem;
using testing::open_descriptors;
using testing::ScopedEnv;

// A listening Unix socket that accepts nothing; connect succeeds on it.
class Listener {
 public:
  explicit Listener(const fs::path& path) : path_(path), fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
    EXPECT_EQ(::listen(fd_.get(), 4), 0);
  }
  ~Listener() { fs::remove(path_); }

 private:
  fs::path path_;
  Fd fd_;
};

class ConnectWayland : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestrin-connect-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Connects and disconnects at once; the error when it fails.
  std::optional<Error> attempt(std::optional<std::string_view> name) {
    auto display = connect_wayland(name);
    if (!display) return display.error();
    EXPECT_TRUE(::fcntl(wl_display_get_fd(*display), F_GETFD) & FD_CLOEXEC);
    wl_display_disconnect(*display);
    return std::nullopt;
  }

  std::string quoted(const std::string& path) { return "failed to connect to unix stream \"" + path + "\""; }

  fs::path dir_;
  ScopedEnv display_{"WAYLAND_DISPLAY", std::nullopt};
};

TEST_F(ConnectWayland, DefaultNameBelowTheRuntimeDirectory) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.string());
  Listener listener(dir_ / "wayland-0");
  EXPECT_EQ(attempt(std::nullopt), std::nullopt);
}

TEST_F(ConnectWayland, TrailingSlashIsNotDoubled) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.string() + "/");
  auto error = attempt("wayland-1");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, quoted(dir_.string() + "/wayland-1"));
  Listener listener(dir_ / "wayland-1");
  EXPECT_EQ(attempt("wayland-1"), std::nullopt);
}

TEST_F(ConnectWayland, AbsoluteNameNeedsNoRuntimeDirectory) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
  Listener listener(dir_ / "compositor.sock");
  EXPECT_EQ(attempt((dir_ / "compositor.sock").string()), std::nullopt);
}

TEST_F(ConnectWayland, ArgumentBeatsTheEnvironment) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.string());
  ScopedEnv display("WAYLAND_DISPLAY", "wayland-2");
  Listener listener(dir_ / "wayland-1");
  EXPECT_EQ(attempt("wayland-1"), std::nullopt);
  auto error = attempt(std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, quoted(dir_.string() + "/wayland-2"));
}

TEST_F(ConnectWayland, EmptyDisplayVariableIsUsedAsItIs) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.string());
  ScopedEnv display("WAYLAND_DISPLAY", "");
  auto error = attempt(std::nullopt);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, quoted(dir_.string() + "/"));
}

TEST_F(ConnectWayland, DisplayVariableThatIsNotUnicodeFallsBack) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", dir_.string());
  ScopedEnv display("WAYLAND_DISPLAY", "wayland-\xff");
  Listener listener(dir_ / "wayland-0");
  EXPECT_EQ(attempt(std::nullopt), std::nullopt);
}

TEST_F(ConnectWayland, MissingRuntimeDirectory) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
  const int before = open_descriptors();
  auto error = attempt("wayland-1");
  ASSERT_TRUE(error);
  EXPECT_FALSE(error->is_fatal());
  EXPECT_EQ(error->message, "no XDG_RUNTIME_DIR set");
  EXPECT_EQ(error->causes, std::vector<std::string>{"environment variable not found"});
  EXPECT_EQ(open_descriptors(), before);
}

TEST_F(ConnectWayland, RuntimeDirectoryThatIsNotUnicode) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", "/tmp/\xff\"x");
  auto error = attempt("wayland-1");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, "no XDG_RUNTIME_DIR set");
  EXPECT_EQ(error->causes, std::vector<std::string>{"environment variable was not valid unicode: \"/tmp/\\xff\\\"x\""});
}

TEST_F(ConnectWayland, EmptyRuntimeDirectoryMeansTheWorkingDirectory) {
  ScopedEnv runtime("XDG_RUNTIME_DIR", "");
  const fs::path here = fs::current_path();
  fs::current_path(dir_);
  Listener listener(dir_ / "wayland-5");
  EXPECT_EQ(attempt("wayland-5"), std::nullopt);
  auto error = attempt("wayland-6");
  fs::current_path(here);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, quoted("wayland-6"));
}

TEST_F(ConnectWayland, PathLimits) {
  const std::string longest = "/tmp/" + std::string(102, 'x');  // 107 bytes
  auto error = attempt(longest);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->causes, std::vector<std::string>{"No such file or directory (os error 2)"});

  error = attempt(longest + "y");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, quoted(longest + "y"));
  EXPECT_EQ(error->causes, std::vector<std::string>{"path must be shorter than SUN_LEN"});

  error = attempt(std::string_view("/tmp/a\0b", 8));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, "failed to connect to unix stream \"/tmp/a\\x00b\"");
  EXPECT_EQ(error->causes, std::vector<std::string>{"paths must not contain interior null bytes"});
}

TEST_F(ConnectWayland, NobodyListening) {
  const int before = open_descriptors();
  auto error = attempt((dir_ / "absent").string());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, quoted((dir_ / "absent").string()));
  EXPECT_EQ(error->causes, std::vector<std::string>{"No such file or directory (os error 2)"});

  { Listener gone(dir_ / "stale"); }
  // A socket file whose listener has gone.
  Fd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  (dir_ / "stale").string().copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  error = attempt((dir_ / "stale").string());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->causes, std::vector<std::string>{"Connection refused (os error 111)"});
  stale = Fd();
  EXPECT_EQ(open_descriptors(), before) << "a failed attempt must close its socket";
}

TEST_F(ConnectWayland, EscapesQuotesAndBackslashesInThePath) {
  auto error = attempt("/tmp/a\"b\\c\nd");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->message, "failed to connect to unix stream \"/tmp/a\\\"b\\\\c\\nd\"");
}

}  // namespace
}  // namespace kestrin
