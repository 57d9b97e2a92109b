// What wl_seat, wl_keyboard and wl_output send, by scenario and version.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "fake_compositor/fake_compositor.hpp"
#include "test_client.hpp"

namespace kestrin::fake {
namespace {

using nlohmann::json;
using testing::TestClient;
using testing::Wait;
using Log = std::vector<std::string>;

struct Events {
  Log log;
  void add(std::string line) { log.push_back(std::move(line)); }
};

Events& events_of(void* data) { return *static_cast<Events*>(data); }

// A keymap as the client sees it: format, announced size, and the file
// (its size and its content).
void on_keymap(void* data, wl_keyboard*, std::uint32_t format, int fd, std::uint32_t size) {
  struct stat status {};
  ::fstat(fd, &status);
  std::string content = testing::file_content(fd);
  ::close(fd);
  events_of(data).add("keymap " + std::to_string(format) + " " + std::to_string(size) + " " +
                      std::to_string(status.st_size) + " " + content);
}

const wl_keyboard_listener keyboard_listener = {
    .keymap = on_keymap,
    .enter = [](void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {},
    .leave = [](void*, wl_keyboard*, std::uint32_t, wl_surface*) {},
    .key = [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {},
    .modifiers = [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                    std::uint32_t) {},
    .repeat_info =
        [](void* data, wl_keyboard*, std::int32_t rate, std::int32_t delay) {
          events_of(data).add("repeat_info " + std::to_string(rate) + " " + std::to_string(delay));
        },
};

const wl_seat_listener seat_listener = {
    .capabilities = [](void* data, wl_seat*, std::uint32_t caps) { events_of(data).add("capabilities " + std::to_string(caps)); },
    .name = [](void* data, wl_seat*, const char* name) { events_of(data).add(std::string("name ") + name); },
};

const wl_output_listener output_listener = {
    .geometry = [](void* data, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                   const char*, const char*, std::int32_t) { events_of(data).add("geometry"); },
    .mode =
        [](void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height, std::int32_t) {
          events_of(data).add("mode " + std::to_string(flags) + " " + std::to_string(width) + "x" +
                              std::to_string(height));
        },
    .done = [](void* data, wl_output*) { events_of(data).add("done"); },
    .scale = [](void* data, wl_output*, std::int32_t scale) { events_of(data).add("scale " + std::to_string(scale)); },
    .name = [](void* data, wl_output*, const char* name) { events_of(data).add(std::string("name ") + name); },
    .description = [](void* data, wl_output*, const char* text) { events_of(data).add(std::string("description ") + text); },
};

class SeatAndOutput : public ::testing::Test {
 protected:
  void start(const json& globals) {
    fake_.emplace(json{{"globals", globals}});
    client_.emplace(fake_->socket_path());
    client_->registry();
    ASSERT_EQ(client_->roundtrip(), Wait::done);
  }

  Log keyboard_events(std::uint32_t seat_version) {
    Events events;
    auto* seat = client_->bind<wl_seat>(client_->global("wl_seat"), &wl_seat_interface, seat_version);
    wl_keyboard* keyboard = client_->own(wl_seat_get_keyboard(seat));
    wl_keyboard_add_listener(keyboard, &keyboard_listener, &events);
    EXPECT_EQ(client_->roundtrip(), Wait::done);
    return events.log;
  }

  Log seat_events(std::size_t nth) {
    Events events;
    auto* seat = client_->bind<wl_seat>(client_->global("wl_seat", nth), &wl_seat_interface);
    wl_seat_add_listener(seat, &seat_listener, &events);
    EXPECT_EQ(client_->roundtrip(), Wait::done);
    return events.log;
  }

  Log output_events(std::size_t nth, std::optional<std::uint32_t> version = {}) {
    Events events;
    auto* output = client_->bind<wl_output>(client_->global("wl_output", nth), &wl_output_interface, version);
    wl_output_add_listener(output, &output_listener, &events);
    EXPECT_EQ(client_->roundtrip(), Wait::done);
    return events.log;
  }

  std::optional<FakeCompositor> fake_;
  std::optional<TestClient> client_;
};

TEST_F(SeatAndOutput, KeyboardGetsTheKeymapsInOrderThenRepeatInfo) {
  start({{{"interface", "wl_seat"},
          {"keymaps", {{{"format", 1}, {"content", "first"}}, {{"format", 0}, {"content", "second"}, {"size", 3}}}},
          {"repeat_info", {25, 600}}}});
  // The file holds the content and a NUL; the size is the file's unless given.
  EXPECT_EQ(keyboard_events(7), (Log{"keymap 1 6 6 " + std::string("first\0", 6),
                                     "keymap 0 3 7 " + std::string("second\0", 7), "repeat_info 25 600"}));
}

TEST_F(SeatAndOutput, KeyboardBelowVersion4GetsNoRepeatInfo) {
  start({{{"interface", "wl_seat"}, {"keymaps", {{{"content", "only"}}}}, {"repeat_info", {25, 600}}}});
  EXPECT_EQ(keyboard_events(3), (Log{"keymap 1 5 5 " + std::string("only\0", 5)}));
}

TEST_F(SeatAndOutput, DefaultKeymapIsOneNulTerminatedXkbText) {
  start({{{"interface", "wl_seat"}}});
  Log log = keyboard_events(7);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("keymap 1 ", 0), 0u) << log[0];
  EXPECT_EQ(log[0].back(), '\0');
}

TEST_F(SeatAndOutput, SeatsAnnounceCapabilitiesAndTheirNameIfAny) {
  start({{{"interface", "wl_seat"}, {"name", "seat-a"}, {"capabilities", 1}},
         {{"interface", "wl_seat"}, {"name", nullptr}}});
  EXPECT_EQ(seat_events(0), (Log{"capabilities 1", "name seat-a"}));
  EXPECT_EQ(seat_events(1), (Log{"capabilities 3"}));
}

TEST_F(SeatAndOutput, OutputDescribesItselfAsItsVersionAllows) {
  start({{{"interface", "wl_output"}, {"name", "DP-1"}, {"description", "Left"}, {"width", 800}, {"height", 600}},
         {{"interface", "wl_output"}, {"name", nullptr}, {"description", nullptr}},
         {{"interface", "wl_output"}}});
  EXPECT_EQ(output_events(0), (Log{"geometry", "mode 1 800x600", "scale 1", "name DP-1", "description Left", "done"}));
  EXPECT_EQ(output_events(0, 3), (Log{"geometry", "mode 1 800x600", "scale 1", "done"}));
  EXPECT_EQ(output_events(0, 1), (Log{"geometry", "mode 1 800x600"}));
  EXPECT_EQ(output_events(1), (Log{"geometry", "mode 1 1920x1080", "scale 1", "done"}));
  EXPECT_EQ(output_events(2)[3], "name HEADLESS-3");
}

TEST_F(SeatAndOutput, NamesGivenAsBytesNeedNotBeUtf8) {
  start({{{"interface", "wl_output"}, {"name", {0xff, 0xfe, 0x41}}, {"description", {0x80}}},
         {{"interface", "wl_seat"}, {"name", {0xc3}}}});
  EXPECT_EQ(output_events(0), (Log{"geometry", "mode 1 1920x1080", "scale 1", "name \xff\xfe" "A", "description \x80",
                                   "done"}));
  EXPECT_EQ(seat_events(0), (Log{"capabilities 3", "name \xc3"}));
}

}  // namespace
}  // namespace kestrin::fake
