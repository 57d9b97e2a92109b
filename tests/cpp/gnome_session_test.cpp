// The GNOME session against a real Mutter, headless, with PipeWire.
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "gnome_desktop.hpp"
#include "kestrin_lib/gnome/session.hpp"

namespace kestrin::testing {
namespace {

using namespace std::chrono_literals;

std::size_t open_descriptors() {
  std::size_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
  closedir(dir);
  return count;
}

std::string open_error() {
  auto session = gnome::open_session();
  return session ? std::string("a session") : report_text(session.error());
}

class GnomeSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!GnomeDesktop::installed()) GTEST_SKIP() << "mutter, pipewire, wireplumber or dbus-daemon is not installed";
    desktop_ = std::make_unique<GnomeDesktop>();
  }
  void TearDown() override { desktop_.reset(); }

  std::unique_ptr<GnomeDesktop> desktop_;
};

// Each missing piece is named, with what to start; the desktop is completed
// step by step, so one Mutter serves every case.
TEST_F(GnomeSessionTest, MissingPiecesAreNamed) {
  EXPECT_NE(open_error().find("there is no D-Bus session bus to reach GNOME on"), std::string::npos) << open_error();
  {
    ScopedEnv unset("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
    ScopedEnv elsewhere("XDG_RUNTIME_DIR", desktop_->runtime_dir() + "/nowhere");
    EXPECT_NE(open_error().find("DBUS_SESSION_BUS_ADDRESS is not set"), std::string::npos) << open_error();
  }
  ASSERT_NO_FATAL_FAILURE(desktop_->start_bus());
  EXPECT_NE(open_error().find("GNOME's Mutter is not on the session bus: nothing owns org.gnome.Mutter.RemoteDesktop"),
            std::string::npos)
      << open_error();
  ASSERT_NO_FATAL_FAILURE(desktop_->start_mutter());
  EXPECT_NE(open_error().find("PipeWire is not running"), std::string::npos) << open_error();
}

TEST_F(GnomeSessionTest, RecordsInjectsAndNoticesTheEnd) {
  ASSERT_NO_FATAL_FAILURE(desktop_->start_bus());
  ASSERT_NO_FATAL_FAILURE(desktop_->start_mutter());
  ASSERT_NO_FATAL_FAILURE(desktop_->start_pipewire());
  const std::size_t descriptors_before = open_descriptors();
  {
    // A first session, ended by its owner: what it held is given back.
    auto first = gnome::open_session();
    ASSERT_TRUE(first) << report_text(first.error());
    auto picture = first->screenshot(0);
    ASSERT_TRUE(picture) << report_text(picture.error());
  }
  // PipeWire's first context loads its modules for good; count from here.
  EXPECT_LE(open_descriptors(), descriptors_before + 0) << "the first session left descriptors open";

  auto session = gnome::open_session();
  ASSERT_TRUE(session) << report_text(session.error());
  ASSERT_EQ(session->monitors().size(), 1u);
  const gnome::Monitor& monitor = session->monitors()[0];
  EXPECT_EQ(monitor.connector, "Meta-0");
  EXPECT_EQ(std::tuple(monitor.x, monitor.y, monitor.width, monitor.height, monitor.logical_width,
                       monitor.logical_height, monitor.scale, monitor.primary),
            std::tuple(0, 0, 1280u, 720u, 1280u, 720u, 1.0, true));

  auto picture = session->screenshot(0);
  ASSERT_TRUE(picture) << report_text(picture.error());
  ASSERT_EQ(std::pair(picture->width, picture->height), std::pair(1280u, 720u));
  const std::uint8_t* bytes = picture->data.get();
  EXPECT_TRUE(std::any_of(bytes, bytes + picture->size(), [](std::uint8_t b) { return b != 0; }));
  // A still screen: the held frame again, byte for byte, and into a caller's array.
  std::vector<std::uint8_t> again(picture->size());
  ASSERT_TRUE(session->screenshot_into(0, again.data()));
  EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes));

  EXPECT_TRUE(session->motion_absolute(0, 640.5, 360));
  EXPECT_TRUE(session->motion_relative(-10, 4.5));
  EXPECT_TRUE(session->button(BTN_RIGHT, true));
  EXPECT_TRUE(session->button(BTN_RIGHT, false));
  EXPECT_TRUE(session->axis_discrete(gnome::Axis::vertical, -2));
  EXPECT_TRUE(session->axis(0, 25));
  EXPECT_TRUE(session->keycode(KEY_A, true));
  EXPECT_TRUE(session->keycode(KEY_A, false));
  EXPECT_TRUE(session->keysym(0x20ac /* EuroSign */, true));
  EXPECT_TRUE(session->keysym(0x20ac, false));

  auto absent = session->motion_absolute(1, 0, 0);
  ASSERT_FALSE(absent);
  EXPECT_TRUE(absent.error().is_invalid_value());
  EXPECT_EQ(absent.error().message, "there is no monitor number 1");
  EXPECT_TRUE(session->alive());

  desktop_->stop_mutter();
  bool ended = false;
  for (int i = 0; i < 200 && !ended; ++i) {
    ended = !session->alive();
    if (!ended) std::this_thread::sleep_for(10ms);
  }
  EXPECT_TRUE(ended) << "the session still seems alive after Mutter stopped";
  auto picture_after = session->screenshot(0);
  const Status screenshot_after =
      picture_after ? Status{} : Status(std::unexpected(std::move(picture_after.error())));
  for (const Status& failed : {session->keycode(KEY_A, true), session->motion_relative(1, 1), screenshot_after}) {
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, Error::Kind::ordinary);
    EXPECT_EQ(report_text(failed.error()),
              "the GNOME remote-desktop session ended\n\nCaused by:\n    Mutter left the session bus (it stopped or "
              "restarted)");
  }
}

}  // namespace
}  // namespace kestrin::testing
