// Triggers: actions that run when the nth request of a kind arrives, before
// the compositor answers it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <optional>

#include "fake_compositor/fake_compositor.hpp"
#include "kestrin_lib/virtual_pointer.hpp"
#include "test_client.hpp"

namespace kestrin::fake {
namespace {

using nlohmann::json;
using testing::TestClient;
using testing::Wait;
using Log = std::vector<std::string>;

json trigger(const char* on, int nth, json actions) {
  return json{{"triggers", {{{"on", on}, {"nth", nth}, {"actions", std::move(actions)}}}}};
}

std::size_t count(const Records& records, int client, const char* request) {
  return static_cast<std::size_t>(std::count_if(records.begin(), records.end(), [&](const Record& record) {
    return record.value("client", 0) == client && record.value("request", "") == request;
  }));
}

bool disconnected(const Records& records, int client) {
  return std::any_of(records.begin(), records.end(), [&](const Record& record) {
    return record.value("client", 0) == client && record.value("event", "") == "disconnect";
  });
}

wl_proxy* virtual_pointer(TestClient& client) {
  client.registry();
  EXPECT_EQ(client.roundtrip(), Wait::done);
  wl_proxy* manager =
      client.bind(client.global("zwlr_virtual_pointer_manager_v1"), &zwlr_virtual_pointer_manager_v1_interface);
  return client.own(testing::create(manager, 0, &zwlr_virtual_pointer_v1_interface, nullptr, nullptr));
}

TEST(Triggers, CloseDisconnectsBeforeTheTriggeringRequestIsAnswered) {
  FakeCompositor fake(trigger("wl_display.sync", 2, {{{"do", "close"}}}));
  TestClient client(fake.socket_path());
  ASSERT_EQ(client.roundtrip(), Wait::done);
  // Failed means the done of this sync never arrived.
  EXPECT_EQ(client.roundtrip(), Wait::failed);
  EXPECT_EQ(client.error(), EPIPE);
  EXPECT_FALSE(client.protocol_error().has_value());
  ASSERT_TRUE(fake.wait_until([](const Records& records) { return disconnected(records, 1); }));
  EXPECT_EQ(count(fake.records(), 1, "sync"), 2u);

  // The count is per connection.
  TestClient later(fake.socket_path());
  EXPECT_EQ(later.roundtrip(), Wait::done);
  EXPECT_EQ(later.roundtrip(), Wait::failed);
}

TEST(Triggers, CloseOnAPointerButton) {
  FakeCompositor fake(trigger("zwlr_virtual_pointer_v1.button", 1, {{{"do", "close"}}}));
  TestClient client(fake.socket_path());
  wl_proxy* pointer = virtual_pointer(client);
  virtual_pointer::button(reinterpret_cast<zwlr_virtual_pointer_v1*>(pointer), 0, 272, 1);
  EXPECT_EQ(client.roundtrip(), Wait::failed);
  EXPECT_EQ(client.error(), EPIPE);
}

TEST(Triggers, ProtocolErrorIsPostedOnTheTriggeringObject) {
  FakeCompositor fake(trigger("zwlr_virtual_pointer_v1.button", 2,
                              {{{"do", "protocol_error"}, {"code", 3}, {"message", "no second button"}}}));
  TestClient client(fake.socket_path());
  wl_proxy* pointer = virtual_pointer(client);
  virtual_pointer::button(reinterpret_cast<zwlr_virtual_pointer_v1*>(pointer), 0, 272, 1);
  ASSERT_EQ(client.roundtrip(), Wait::done);
  virtual_pointer::button(reinterpret_cast<zwlr_virtual_pointer_v1*>(pointer), 0, 272, 0);
  ASSERT_EQ(client.roundtrip(), Wait::failed);
  auto error = client.protocol_error();
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->interface, "zwlr_virtual_pointer_v1");
  EXPECT_EQ(error->id, wl_proxy_get_id(pointer));
  EXPECT_EQ(error->code, 3u);
  EXPECT_NE(testing::last_client_log().find("no second button"), std::string::npos) << testing::last_client_log();
}

struct Events {
  Log log;
};

const wl_output_listener output_listener = {
    .geometry = [](void*, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                   const char*, const char*, std::int32_t) {},
    .mode = [](void*, wl_output*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t) {},
    .done = [](void* data, wl_output*) { static_cast<Events*>(data)->log.push_back("done"); },
    .scale = [](void*, wl_output*, std::int32_t) {},
    .name = [](void* data, wl_output*, const char* name) { static_cast<Events*>(data)->log.push_back(name); },
    .description = [](void*, wl_output*, const char*) {},
};

wl_output* watch_output(TestClient& client, Events& events, std::size_t nth = 0) {
  auto* output = client.bind<wl_output>(client.global("wl_output", nth), &wl_output_interface);
  wl_output_add_listener(output, &output_listener, &events);
  return output;
}

TEST(Triggers, OutputNameIsSentToEveryBindingBeforeTheAnswer) {
  FakeCompositor fake(trigger("wl_display.sync", 3, {{{"do", "output_name"}, {"output", 0}, {"name", "NEW"}}}));
  TestClient client(fake.socket_path());
  client.registry();
  ASSERT_EQ(client.roundtrip(), Wait::done);
  Events first, second, later;
  watch_output(client, first);
  watch_output(client, second);
  ASSERT_EQ(client.roundtrip(), Wait::done);
  ASSERT_EQ(client.roundtrip(), Wait::done);
  EXPECT_EQ(first.log, (Log{"HEADLESS-1", "done", "NEW", "done"}));
  EXPECT_EQ(second.log, (Log{"HEADLESS-1", "done", "NEW", "done"}));
  watch_output(client, later);
  ASSERT_EQ(client.roundtrip(), Wait::done);
  EXPECT_EQ(later.log, (Log{"NEW", "done"}));
}

TEST(Triggers, GlobalsComeAndGoWhileBoundObjectsKeepWorking) {
  FakeCompositor fake(trigger("wl_display.sync", 2,
                              {{{"do", "add_global"}, {"global", {{"interface", "wl_output"}, {"name", "HDMI-A-1"}}}},
                               {{"do", "remove_global"}, {"index", 0}}}));
  TestClient client(fake.socket_path());
  client.registry();
  ASSERT_EQ(client.roundtrip(), Wait::done);
  ASSERT_EQ(client.globals().size(), 6u);
  testing::Advertised shm_global = client.global("wl_shm");
  auto* shm = client.bind<wl_shm>(shm_global, &wl_shm_interface);
  ASSERT_EQ(client.roundtrip(), Wait::done);

  ASSERT_EQ(client.globals().size(), 7u);
  EXPECT_EQ(client.globals().back().interface, "wl_output");
  EXPECT_EQ(client.removed_globals(), (std::vector<std::uint32_t>{shm_global.name}));
  Events added;
  watch_output(client, added, 1);
  testing::TestFile file(std::string(64, '\0'));
  client.own(wl_shm_create_pool(shm, file.fd(), 64));
  ASSERT_EQ(client.roundtrip(), Wait::done);
  EXPECT_EQ(added.log, (Log{"HDMI-A-1", "done"}));
}

const wl_keyboard_listener keyboard_listener = {
    .keymap =
        [](void* data, wl_keyboard*, std::uint32_t, int fd, std::uint32_t) {
          static_cast<Events*>(data)->log.push_back(testing::file_content(fd));
          ::close(fd);
        },
    .enter = [](void*, wl_keyboard*, std::uint32_t, wl_surface*, wl_array*) {},
    .leave = [](void*, wl_keyboard*, std::uint32_t, wl_surface*) {},
    .key = [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {},
    .modifiers = [](void*, wl_keyboard*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t,
                    std::uint32_t) {},
    .repeat_info = [](void*, wl_keyboard*, std::int32_t, std::int32_t) {},
};

TEST(Triggers, KeymapGoesToEveryKeyboardOfTheClient) {
  FakeCompositor fake(json{
      {"globals", {{{"interface", "wl_seat"}, {"keymaps", {{{"content", "early"}}}}}}},
      {"triggers",
       {{{"on", "wl_display.sync"}, {"nth", 3}, {"actions", {{{"do", "keymap"}, {"keymap", {{"content", "late"}}}}}}}}}});
  TestClient client(fake.socket_path());
  client.registry();
  ASSERT_EQ(client.roundtrip(), Wait::done);
  auto* seat = client.bind<wl_seat>(client.global("wl_seat"), &wl_seat_interface);
  Events first, second;
  wl_keyboard_add_listener(client.own(wl_seat_get_keyboard(seat)), &keyboard_listener, &first);
  wl_keyboard_add_listener(client.own(wl_seat_get_keyboard(seat)), &keyboard_listener, &second);
  ASSERT_EQ(client.roundtrip(), Wait::done);
  ASSERT_EQ(client.roundtrip(), Wait::done);
  const Log expected{std::string("early\0", 6), std::string("late\0", 5)};
  EXPECT_EQ(first.log, expected);
  EXPECT_EQ(second.log, expected);
}

const wl_seat_listener seat_listener = {
    .capabilities =
        [](void* data, wl_seat*, std::uint32_t capabilities) {
          static_cast<Events*>(data)->log.push_back("capabilities " + std::to_string(capabilities));
        },
    .name = [](void* data, wl_seat*, const char* name) { static_cast<Events*>(data)->log.push_back(name); },
};

TEST(Triggers, EventGoesToTheTriggeringObjectBeforeTheAnswer) {
  FakeCompositor fake(trigger("wl_seat.get_pointer", 1,
                              {{{"do", "event"}, {"event", "name"}, {"args", {"late"}}},
                               {{"do", "event"}, {"event", "capabilities"}, {"args", {5}}}}));
  TestClient client(fake.socket_path());
  client.registry();
  ASSERT_EQ(client.roundtrip(), Wait::done);
  Events events;
  auto* seat = client.bind<wl_seat>(client.global("wl_seat"), &wl_seat_interface);
  wl_seat_add_listener(seat, &seat_listener, &events);
  ASSERT_EQ(client.roundtrip(), Wait::done);
  client.own(wl_seat_get_pointer(seat));
  ASSERT_EQ(client.roundtrip(), Wait::done);
  EXPECT_EQ(events.log, (Log{"capabilities 3", "seat0", "late", "capabilities 5"}));
}

TEST(Triggers, EventGoesToEveryObjectOfAnInterfaceThatIsNewEnough) {
  // Bytes that are not UTF-8 go out as they are.
  FakeCompositor fake(trigger("wl_display.sync", 3,
                              {{{"do", "event"}, {"interface", "wl_output"}, {"event", "name"}, {"args", {{0xff, 0x41}}}},
                               {{"do", "event"}, {"interface", "wl_output"}, {"event", "done"}}}));
  TestClient client(fake.socket_path());
  client.registry();
  ASSERT_EQ(client.roundtrip(), Wait::done);
  Events first, second, old;
  watch_output(client, first);
  watch_output(client, second);
  auto* version_3 = client.bind<wl_output>(client.global("wl_output"), &wl_output_interface, 3);
  wl_output_add_listener(version_3, &output_listener, &old);
  ASSERT_EQ(client.roundtrip(), Wait::done);
  ASSERT_EQ(client.roundtrip(), Wait::done);
  const Log expected{"HEADLESS-1", "done", "\xff" "A", "done"};
  EXPECT_EQ(first.log, expected);
  EXPECT_EQ(second.log, expected);
  // name exists since version 4: only the done reaches the older object.
  EXPECT_EQ(old.log, (Log{"done", "done"}));
}

TEST(Triggers, EventCarriesAFreshDescriptor) {
  FakeCompositor fake(trigger("wl_display.sync", 2,
                              {{{"do", "event"}, {"interface", "wl_keyboard"}, {"event", "keymap"},
                                {"args", {1, "from an event", 99}}}}));
  TestClient client(fake.socket_path());
  client.registry();
  ASSERT_EQ(client.roundtrip(), Wait::done);
  auto* seat = client.bind<wl_seat>(client.global("wl_seat"), &wl_seat_interface);
  Events events;
  wl_keyboard_add_listener(client.own(wl_seat_get_keyboard(seat)), &keyboard_listener, &events);
  ASSERT_EQ(client.roundtrip(), Wait::done);
  ASSERT_EQ(events.log.size(), 2u);
  EXPECT_EQ(events.log[1], "from an event");
}

TEST(Triggers, ProtocolErrorMessageMayBeBytes) {
  FakeCompositor fake(trigger("wl_display.sync", 1,
                              {{{"do", "protocol_error"}, {"code", 3}, {"message", {0x6e, 0x6f, 0xff}}}}));
  TestClient client(fake.socket_path());
  ASSERT_EQ(client.roundtrip(), Wait::failed);
  EXPECT_NE(testing::last_client_log().find("error 3: no\xff"), std::string::npos) << testing::last_client_log();
}

TEST(Triggers, DelayedActionsRunFromATimer) {
  FakeCompositor fake(
      trigger("wl_display.sync", 2, {{{"do", "output_name"}, {"output", 0}, {"name", "LATER"}, {"delay_ms", 20}}}));
  TestClient client(fake.socket_path());
  client.registry();
  ASSERT_EQ(client.roundtrip(), Wait::done);
  Events events;
  watch_output(client, events);
  ASSERT_EQ(client.roundtrip(), Wait::done);
  EXPECT_EQ(client.dispatch_until([&] { return events.log.size() == 4; }), Wait::done);
  EXPECT_EQ(events.log, (Log{"HEADLESS-1", "done", "LATER", "done"}));
}

TEST(Triggers, StallWithholdsTheAnswerUntilTheCompositorStops) {
  std::optional<FakeCompositor> fake(std::in_place, trigger("wl_display.sync", 2, {{{"do", "stall"}}}));
  TestClient client(fake->socket_path());
  ASSERT_EQ(client.roundtrip(), Wait::done);

  bool done = false;
  static const wl_callback_listener listener = {
      [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; },
  };
  wl_callback* callback = client.own(wl_display_sync(client.display()));
  wl_callback_add_listener(callback, &listener, &done);
  wl_display_flush(client.display());
  ASSERT_TRUE(fake->wait_until([](const Records& records) { return count(records, 1, "sync") == 2; }));
  // A compositor that answered would deliver the done at the latest while
  // disconnecting its clients on the way down.
  fake.reset();
  EXPECT_EQ(client.dispatch_until([&] { return done; }), Wait::failed);
  EXPECT_EQ(client.error(), EPIPE);
}

}  // namespace
}  // namespace kestrin::fake
