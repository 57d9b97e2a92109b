// Requests are recorded in order, with their arguments, per client.
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_compositor/fake_compositor.hpp"
#include "kestrin_lib/virtual_keyboard.hpp"
#include "kestrin_lib/virtual_pointer.hpp"
#include "test_client.hpp"

namespace kestrin::fake {
namespace {

using nlohmann::json;
using testing::TestClient;
using testing::Wait;

// Opcodes of the requests sent below.
enum : std::uint32_t { create_virtual_keyboard = 0, create_virtual_pointer = 0, pointer_motion = 0 };

std::string object(void* proxy) {
  auto* p = static_cast<wl_proxy*>(proxy);
  return std::string(wl_proxy_get_class(p)) + "@" + std::to_string(wl_proxy_get_id(p));
}

bool has_event(const Records& records, int client, const char* event) {
  return std::any_of(records.begin(), records.end(), [&](const Record& record) {
    return record.value("client", 0) == client && record.value("event", "") == event;
  });
}

TEST(Recording, RecordsEveryRequestInOrderWithItsArguments) {
  FakeCompositor fake;
  TestClient client(fake.socket_path());
  client.registry();
  ASSERT_EQ(client.roundtrip(), Wait::done);

  testing::Advertised seat_global = client.global("wl_seat");
  auto* seat = client.bind(seat_global, &wl_seat_interface);
  auto* keyboards = client.bind(client.global("zwp_virtual_keyboard_manager_v1"),
                                &zwp_virtual_keyboard_manager_v1_interface);
  auto* pointers = client.bind(client.global("zwlr_virtual_pointer_manager_v1"),
                               &zwlr_virtual_pointer_manager_v1_interface);
  auto* keyboard = client.own(testing::create(keyboards, create_virtual_keyboard,
                                              &zwp_virtual_keyboard_v1_interface, seat, nullptr));
  const std::string keymap = "xkb_keymap { test };";
  testing::TestFile keymap_file(keymap);
  virtual_keyboard::keymap(reinterpret_cast<zwp_virtual_keyboard_v1*>(keyboard), 1, keymap_file.fd(),
                           static_cast<std::uint32_t>(keymap.size()));
  auto* pointer = client.own(testing::create(pointers, create_virtual_pointer, &zwlr_virtual_pointer_v1_interface,
                                             nullptr, nullptr));
  virtual_pointer::motion_absolute(reinterpret_cast<zwlr_virtual_pointer_v1*>(pointer), 0, 10, 20, 1920, 1080);
  testing::send(pointer, pointer_motion, 7u, wl_fixed_from_double(1.5), wl_fixed_from_double(-2.25));
  ASSERT_EQ(client.roundtrip(), Wait::done);

  EXPECT_EQ(fake.request_names(), (std::vector<std::string>{
                                      "wl_display.get_registry",
                                      "wl_display.sync",
                                      "wl_registry.bind",
                                      "wl_registry.bind",
                                      "wl_registry.bind",
                                      "zwp_virtual_keyboard_manager_v1.create_virtual_keyboard",
                                      "zwp_virtual_keyboard_v1.keymap",
                                      "zwlr_virtual_pointer_manager_v1.create_virtual_pointer",
                                      "zwlr_virtual_pointer_v1.motion_absolute",
                                      "zwlr_virtual_pointer_v1.motion",
                                      "wl_display.sync",
                                  }));

  Records records = fake.records();
  ASSERT_EQ(records.size(), 12u);
  EXPECT_EQ(records[0], (json{{"client", 1}, {"event", "connect"}}));
  EXPECT_EQ(records[1], (json{{"client", 1},
                              {"interface", "wl_display"},
                              {"id", 1},
                              {"request", "get_registry"},
                              {"args", {object(client.registry())}}}));
  EXPECT_EQ(records[2]["args"][0].get<std::string>().rfind("wl_callback@", 0), 0u) << records[2];
  EXPECT_EQ(records[3], (json{{"client", 1},
                              {"interface", "wl_registry"},
                              {"id", wl_proxy_get_id(reinterpret_cast<wl_proxy*>(client.registry()))},
                              {"request", "bind"},
                              {"args", {seat_global.name, "wl_seat", 7, object(seat)}}}));
  EXPECT_EQ(records[6]["args"], json({object(seat), object(keyboard)}));
  EXPECT_EQ(records[7]["id"], wl_proxy_get_id(keyboard));
  EXPECT_EQ(records[7]["args"],
            json({1, {{"size", keymap.size()}, {"hash", content_hash(keymap)}}, keymap.size()}));
  EXPECT_EQ(records[8]["args"], json({nullptr, object(pointer)}));
  EXPECT_EQ(records[9]["args"], json({0, 10, 20, 1920, 1080}));
  EXPECT_EQ(records[10]["args"], json({7, 1.5, -2.25}));
}

TEST(Recording, NumbersClientsAndRecordsTheirDisconnects) {
  FakeCompositor fake;
  auto first = std::make_unique<TestClient>(fake.socket_path());
  TestClient second(fake.socket_path());
  ASSERT_EQ(second.roundtrip(), Wait::done);
  ASSERT_EQ(first->roundtrip(), Wait::done);
  first.reset();
  ASSERT_TRUE(fake.wait_until([](const Records& records) { return has_event(records, 1, "disconnect"); }));

  std::vector<json> summary;
  for (const Record& record : fake.records()) {
    summary.push_back({record["client"], record.contains("event") ? record["event"] : record["request"]});
  }
  EXPECT_EQ(summary, (std::vector<json>{{1, "connect"}, {2, "connect"}, {2, "sync"}, {1, "sync"}, {1, "disconnect"}}));
}

TEST(Recording, OtherInterfacesAreAdvertisedAndAcceptEveryRequest) {
  FakeCompositor fake(json{{"globals",
                            {{{"interface", "wl_compositor"}, {"version", 4}},
                             {{"interface", "xdg_wm_base"}, {"version", 2}},
                             {{"interface", "wl_seat"}, {"version", 9}}}}});
  TestClient client(fake.socket_path());
  client.registry();
  ASSERT_EQ(client.roundtrip(), Wait::done);
  std::vector<std::pair<std::string, std::uint32_t>> advertised;
  for (const testing::Advertised& global : client.globals()) advertised.emplace_back(global.interface, global.version);
  EXPECT_EQ(advertised, (std::vector<std::pair<std::string, std::uint32_t>>{
                            {"wl_compositor", 4}, {"xdg_wm_base", 2}, {"wl_seat", 9}}));

  auto* compositor = client.bind<wl_compositor>(client.global("wl_compositor"), &wl_compositor_interface);
  wl_surface* surface = wl_compositor_create_surface(compositor);
  const std::string surface_name = object(surface);
  wl_surface_attach(surface, nullptr, 0, 0);
  wl_surface_commit(surface);
  wl_surface_destroy(surface);
  const wl_interface xdg_wm_base{"xdg_wm_base", 2, 0, nullptr, 0, nullptr};
  client.bind(client.global("xdg_wm_base"), &xdg_wm_base);
  auto* seat = client.bind(client.global("wl_seat"), &wl_seat_interface);
  ASSERT_EQ(client.roundtrip(), Wait::done);

  EXPECT_EQ(fake.request_names(), (std::vector<std::string>{
                                      "wl_display.get_registry",
                                      "wl_display.sync",
                                      "wl_registry.bind",
                                      "wl_compositor.create_surface",
                                      "wl_surface.attach",
                                      "wl_surface.commit",
                                      "wl_surface.destroy",
                                      "wl_registry.bind",
                                      "wl_registry.bind",
                                      "wl_display.sync",
                                  }));
  Records requests = fake.requests();
  ASSERT_EQ(requests.size(), 10u);
  EXPECT_EQ(requests[3]["args"], json({surface_name}));
  EXPECT_EQ(requests[4]["args"], json({nullptr, 0, 0}));
  EXPECT_EQ(requests[8]["args"][3], object(seat));
}

}  // namespace
}  // namespace kestrin::fake
