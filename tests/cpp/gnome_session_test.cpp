// The GNOME session against a real Mutter, headless, with PipeWire.
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "gnome_desktop.hpp"
#include "kestrin_lib/gnome/mutter.hpp"
#include "kestrin_lib/gnome/remote_desktop.hpp"
#include "kestrin_lib/gnome/session.hpp"
#include "kestrin_lib/wayland.hpp"

namespace kestrin::testing {
namespace {

using namespace std::chrono_literals;

// The threads of this process other than the caller's that can take SIGINT.
std::vector<std::string> threads_taking_sigint() {
  std::vector<std::string> taking;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    if (task.path().filename() == std::to_string(getpid())) continue;
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (!line.starts_with("SigBlk:")) continue;
      if (((std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1)) & 1) == 0)
        taking.push_back(task.path().filename().string());
    }
  }
  return taking;
}

// Runs `call` while Mutter is stopped; a signal arrives 100 ms into its wait
// and the interruption check ends the wait.
Status interrupted_while_mutter_is_paused(GnomeDesktop& desktop, const std::function<Status()>& call) {
  struct sigaction on_alarm {}, previous{};
  on_alarm.sa_handler = [](int) {};  // no SA_RESTART: the wait sees EINTR
  sigaction(SIGALRM, &on_alarm, &previous);
  set_interrupt_check([] { return true; });
  desktop.pause_mutter(true);
  itimerval soon{{0, 0}, {0, 100'000}};
  setitimer(ITIMER_REAL, &soon, nullptr);
  Status done = call();
  // The call may end before the signal: a timer left running would kill the
  // process once the default action is back.
  const itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  desktop.pause_mutter(false);
  set_interrupt_check(nullptr);
  sigaction(SIGALRM, &previous, nullptr);
  return done;
}

// The events kestrin-probe, a client of `desktop`, received: named `name`,
// once there are `count` of them, or as many as came within five seconds.
std::vector<nlohmann::json> probe_events(const GnomeDesktop& desktop, const std::string& name, std::size_t count) {
  std::vector<nlohmann::json> found;
  for (auto give_up = std::chrono::steady_clock::now() + 5s;; std::this_thread::sleep_for(10ms)) {
    found.clear();
    std::ifstream log(desktop.client_log("kestrin-probe"));
    // A line still being written does not parse, and waits for the next look.
    for (std::string line; std::getline(log, line);) {
      auto event = nlohmann::json::parse(line, nullptr, false);
      if (event.is_object() && event.value("event", "") == name) found.push_back(std::move(event));
    }
    if (found.size() >= count || std::chrono::steady_clock::now() > give_up) return found;
  }
}

// Whether the session notices its end within two seconds.
bool ends(gnome::Session& session) {
  for (int i = 0; i < 200; ++i) {
    if (!session.alive()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

std::string open_error() {
  auto session = gnome::open_session();
  return session ? std::string("a session") : report_text(session.error());
}

class GnomeSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!GnomeDesktop::installed())
      GTEST_SKIP() << "mutter, pipewire, wireplumber, dbus-daemon or foot is not installed";
    desktop_ = std::make_unique<GnomeDesktop>();
  }
  void TearDown() override { desktop_.reset(); }

  std::unique_ptr<GnomeDesktop> desktop_;
};

// Each missing piece is named, with what to start; the desktop is completed
// step by step, so one Mutter serves every case.
TEST_F(GnomeSessionTest, MissingPiecesAreNamed) {
  const int descriptors_before = open_descriptors();
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
  EXPECT_EQ(open_descriptors(), descriptors_before) << "a failed opening left descriptors open";

  // A method this Mutter lacks (an older or newer one) is named as such.
  auto bus = gnome::Bus::open_session_bus();
  ASSERT_TRUE(bus);
  auto mutter = gnome::find_mutter(*bus);
  ASSERT_TRUE(mutter);
  auto remote_desktop = gnome::create_remote_desktop(*bus, *mutter);
  ASSERT_TRUE(remote_desktop) << report_text(remote_desktop.error());
  auto unknown = gnome::remote_desktop_message(*bus, *mutter, remote_desktop->path, "NotifyTelepathy", "u", 1u);
  ASSERT_TRUE(unknown);
  auto lacking = gnome::remote_desktop_calls(*bus, std::span(&*unknown, 1));
  ASSERT_FALSE(lacking);
  EXPECT_EQ(lacking.error().message,
            "this Mutter offers no org.gnome.Mutter.RemoteDesktop.Session.NotifyTelepathy: a Mutter built with remote "
            "desktop and screen cast (GNOME 3.28 or later) is needed");

  // PipeWire going away later ends the session: no frame could come again.
  ASSERT_NO_FATAL_FAILURE(desktop_->start_pipewire());
  auto session = gnome::open_session();
  ASSERT_TRUE(session) << report_text(session.error());
  desktop_->stop_pipewire();
  EXPECT_TRUE(ends(*session)) << "the session still seems alive after PipeWire stopped";
  auto picture = session->screenshot(0);
  ASSERT_FALSE(picture);
  EXPECT_EQ(picture.error().message, "the GNOME remote-desktop session ended");
}

std::tuple<std::string, std::int32_t, std::int32_t, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, double,
           bool>
fields(const gnome::Monitor& m) {
  return {m.connector, m.x, m.y, m.width, m.height, m.logical_width, m.logical_height, m.scale, m.primary};
}

TEST_F(GnomeSessionTest, RecordsInjectsAndNoticesTheEnd) {
  ASSERT_NO_FATAL_FAILURE(desktop_->start_bus());
  ASSERT_NO_FATAL_FAILURE(desktop_->start_mutter({"1280x720", "800x600"}));
  ASSERT_NO_FATAL_FAILURE(desktop_->start_pipewire());
  const int descriptors_before = open_descriptors();
  {
    // A first session, ended by its owner: what it held is given back.
    auto first = gnome::open_session();
    ASSERT_TRUE(first) << report_text(first.error());
    auto picture = first->screenshot(0);
    ASSERT_TRUE(picture) << report_text(picture.error());
  }
  EXPECT_EQ(open_descriptors(), descriptors_before) << "the first session left descriptors open";

  auto opened = gnome::open_session();
  ASSERT_TRUE(opened) << report_text(opened.error());
  std::optional<gnome::Session> session(std::move(*opened));
  ASSERT_EQ(session->monitors().size(), 2u);
  EXPECT_EQ(fields(session->monitors()[0]), fields({"Meta-0", 0, 0, 1280, 720, 1280, 720, 1.0, true}));
  EXPECT_EQ(fields(session->monitors()[1]), fields({"Meta-1", 1280, 0, 800, 600, 800, 600, 1.0, false}));

  // Each monitor's own stream, at its own size.
  auto second = session->screenshot(1);
  ASSERT_TRUE(second) << report_text(second.error());
  EXPECT_EQ(std::pair(second->width, second->height), std::pair(800u, 600u));
  auto picture = session->screenshot(0);
  ASSERT_TRUE(picture) << report_text(picture.error());
  ASSERT_EQ(std::pair(picture->width, picture->height), std::pair(1280u, 720u));
  const std::uint8_t* bytes = picture->data.get();
  EXPECT_TRUE(std::any_of(bytes, bytes + picture->size(), [](std::uint8_t b) { return b != 0; }));
  // A still screen: the held frame again, byte for byte, and into a caller's array.
  std::vector<std::uint8_t> again(picture->size());
  ASSERT_TRUE(session->screenshot_into(0, again.data()));
  EXPECT_TRUE(std::equal(again.begin(), again.end(), bytes));
  // The frame screenshot() returned has been counted; a still screen sends
  // no other, and the wait for one ends at its timeout.
  auto seen = session->frames(0);
  ASSERT_TRUE(seen);
  EXPECT_GE(*seen, 1u);
  auto counted = session->wait_for_frame(0, *seen - 1, 0ms);
  auto still = session->wait_for_frame(0, *seen, 50ms);
  ASSERT_TRUE(counted && still);
  EXPECT_TRUE(*counted);
  EXPECT_FALSE(*still);
  // A window opens: the frames that show it wake the wait, and a screenshot
  // is the newest of them (the first may come before the window is drawn).
  // It is kestrin-probe's, which tells what input reaches it.
  ASSERT_TRUE(session->motion_absolute(0, 640, 360));
  desktop_->start_client({(std::filesystem::read_symlink("/proc/self/exe").parent_path() / "kestrin-probe").string()});
  bool changed = false;
  for (auto give_up = std::chrono::steady_clock::now() + 5s; !changed && std::chrono::steady_clock::now() < give_up;) {
    auto shown = session->wait_for_frame(0, *seen, 1s);
    ASSERT_TRUE(shown) << report_text(shown.error());
    if (!*shown) continue;
    seen = session->frames(0);
    ASSERT_TRUE(seen);
    auto newest = session->screenshot(0);
    ASSERT_TRUE(newest) << report_text(newest.error());
    changed = !std::equal(bytes, bytes + picture->size(), newest->data.get());
  }
  EXPECT_TRUE(changed) << "no frame showed the window";

  ASSERT_FALSE(probe_events(*desktop_, "keyboard_enter", 1).empty()) << "the probe's window never had the keyboard";
  EXPECT_TRUE(session->motion_absolute(0, 640.5, 360));
  EXPECT_TRUE(session->motion_absolute(1, 799, 599));
  EXPECT_TRUE(session->motion_relative(-10, 4.5));
  EXPECT_TRUE(session->button(BTN_RIGHT, true));
  EXPECT_TRUE(session->button(BTN_RIGHT, false));
  EXPECT_TRUE(session->axis_discrete(gnome::Axis::vertical, -2));
  EXPECT_TRUE(session->axis(0, 25));
  EXPECT_TRUE(session->keycode(KEY_A, true));
  EXPECT_TRUE(session->keycode(KEY_A, false));
  EXPECT_TRUE(session->keysym(0x20ac /* EuroSign */, true));
  EXPECT_TRUE(session->keysym(0x20ac, false));

  // A batch: a click and a typed euro sign, answered together.
  using gnome::InputEvent;
  const InputEvent batch[] = {InputEvent::motion_absolute(1, 10, 10), InputEvent::button(BTN_LEFT, true),
                              InputEvent::button(BTN_LEFT, false),    InputEvent::keysym(0x20ac, true),
                              InputEvent::keysym(0x20ac, false),      InputEvent::axis(-5, 0)};
  EXPECT_TRUE(session->input(batch));
  EXPECT_TRUE(session->input({}));
  // The keys as the probe's window received them, each press followed by
  // its release.
  std::vector<std::pair<std::string, int>> keys;
  for (const auto& key : probe_events(*desktop_, "key", 6)) keys.emplace_back(key["keysym"], key["state"]);
  EXPECT_EQ(keys, (std::vector<std::pair<std::string, int>>{
                      {"a", 1}, {"a", 0}, {"EuroSign", 1}, {"EuroSign", 0}, {"EuroSign", 1}, {"EuroSign", 0}}));
  desktop_->stop_clients();

  // A monitor that does not exist, alone or in a batch, is refused before anything is sent.
  const InputEvent nowhere[] = {InputEvent::keycode(KEY_B, true), InputEvent::motion_absolute(2, 0, 0)};
  for (const Status& absent : {session->motion_absolute(2, 0, 0), session->input(nowhere)}) {
    ASSERT_FALSE(absent);
    EXPECT_TRUE(absent.error().is_invalid_value());
    EXPECT_EQ(absent.error().message, "there is no monitor number 2");
  }
  EXPECT_TRUE(session->alive());

  EXPECT_EQ(threads_taking_sigint(), std::vector<std::string>{}) << "a signal could miss the waiting caller";
  auto interrupted = interrupted_while_mutter_is_paused(*desktop_, [&] { return session->motion_relative(0, 0); });
  ASSERT_FALSE(interrupted);
  EXPECT_TRUE(interrupted.error().is_interrupted());
  // The interrupted call leaves the session usable.
  EXPECT_TRUE(session->motion_relative(1, 0));
  EXPECT_TRUE(session->alive());

  desktop_->stop_mutter();
  EXPECT_TRUE(ends(*session)) << "the session still seems alive after Mutter stopped";
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
  session.reset();
  EXPECT_EQ(open_descriptors(), descriptors_before) << "a session whose Mutter is gone left descriptors open";
}


// Sessions destroyed before their streams' first frame give back everything,
// and on a still screen every fresh session's first screenshot comes.
TEST_F(GnomeSessionTest, QuickSessionsOnAStillScreen) {
  ASSERT_NO_FATAL_FAILURE(desktop_->start_bus());
  ASSERT_NO_FATAL_FAILURE(desktop_->start_mutter());
  ASSERT_NO_FATAL_FAILURE(desktop_->start_pipewire());
  for (int i = 0; i < 12; ++i) {
    const int descriptors_before = open_descriptors();
    {
      auto session = gnome::open_session();
      ASSERT_TRUE(session) << report_text(session.error());
    }
    EXPECT_EQ(open_descriptors(), descriptors_before) << "session " << i << " left descriptors open";
  }
  for (int i = 0; i < 12; ++i) {
    auto session = gnome::open_session();
    ASSERT_TRUE(session) << report_text(session.error());
    auto picture = session->screenshot(0);
    EXPECT_TRUE(picture) << "session " << i << ": " << report_text(picture.error());
  }
}

}  // namespace
}  // namespace kestrin::testing
