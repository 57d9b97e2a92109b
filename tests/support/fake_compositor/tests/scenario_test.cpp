// Scenarios: the defaults, and mistakes that must not silently test defaults.
#include <gtest/gtest.h>

#include <stdexcept>

#include "fake_compositor/fake_compositor.hpp"
#include "test_client.hpp"

namespace kestrin::fake {
namespace {

using nlohmann::json;

TEST(Scenario, DefaultAdvertisesTheSixGlobalsInOrder) {
  FakeCompositor fake;
  testing::TestClient client(fake.socket_path());
  client.registry();
  ASSERT_EQ(client.roundtrip(), testing::Wait::done);
  std::vector<std::pair<std::string, std::uint32_t>> advertised;
  for (const testing::Advertised& global : client.globals()) advertised.emplace_back(global.interface, global.version);
  EXPECT_EQ(advertised, (std::vector<std::pair<std::string, std::uint32_t>>{
                            {"wl_shm", 1},
                            {"wl_seat", 7},
                            {"wl_output", 4},
                            {"zwlr_screencopy_manager_v1", 3},
                            {"zwp_virtual_keyboard_manager_v1", 1},
                            {"zwlr_virtual_pointer_manager_v1", 2},
                        }));
}

struct Malformed {
  const char* scenario;
  const char* names;  // part of the error message
};

void PrintTo(const Malformed& c, std::ostream* out) { *out << c.scenario; }

class MalformedScenario : public ::testing::TestWithParam<Malformed> {};

TEST_P(MalformedScenario, IsRejectedNamingTheField) {
  try {
    FakeCompositor fake(json::parse(GetParam().scenario));
    FAIL() << "accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find(GetParam().names), std::string::npos) << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scenario, MalformedScenario,
    ::testing::Values(Malformed{R"({"global": []})", "unknown field \"global\""},
                      Malformed{R"({"globals": [{"version": 1}]})", "globals[0]: missing \"interface\""},
                      Malformed{R"({"globals": [{"interface": "wl_seat", "keymap": []}]})", "\"keymap\""},
                      Malformed{R"({"globals": [{"interface": "wl_shm", "version": 0}]})", "globals[0].version"},
                      Malformed{R"({"globals": [{"interface": "wl_output", "width": "wide"}]})", "globals[0].width"},
                      Malformed{R"({"screencopy": [{}, {"outcome": "done"}]})", "screencopy[1].outcome"},
                      Malformed{R"({"screencopy": [{"damage": [1, 2, 3]}]})", "screencopy[0].damage"},
                      Malformed{R"({"screencopy": [{"buffers": [{"stride": -4}]}]})", "buffers[0].stride"},
                      Malformed{R"({"image_copy": [{}, {"outcome": "done"}]})", "image_copy[1].outcome"},
                      Malformed{R"({"image_copy": [{"damage": [[1, 2, 3]]}]})", "image_copy[0].damage[0]"},
                      Malformed{R"({"image_copy": [{"buffer_size": [-1, 2]}]})", "image_copy[0].buffer_size[0]"},
                      Malformed{R"({"globals": [{"interface": "ext_image_copy_capture_manager_v1", "formats": [1]}]})",
                                "unknown field \"formats\""},
                      Malformed{R"({"triggers": [{"on": "sync"}]})", "triggers[0].on"},
                      Malformed{R"({"triggers": [{"on": "wl_display.sync", "nth": 0}]})", "triggers[0].nth"},
                      Malformed{R"({"triggers": [{"on": "a.b", "actions": [{"do": "explode"}]}]})",
                                "unknown action \"explode\""},
                      Malformed{R"({"triggers": [{"on": "a.b", "actions": [{"do": "remove_global", "index": 6}]}]})",
                                "actions[0].index"},
                      Malformed{
                          R"({"triggers": [{"on": "a.b", "actions": [{"do": "output_name", "output": 1, "name": "X"}]}]})",
                          "actions[0].output"},
                      // Text as bytes: 1 to 255, since a NUL would end it.
                      Malformed{R"({"globals": [{"interface": "wl_output", "name": [65, 0]}]})", "globals[0].name"},
                      Malformed{R"({"globals": [{"interface": "wl_output", "name": [256]}]})", "globals[0].name"},
                      Malformed{R"({"triggers": [{"on": "a.b", "actions": [{"do": "protocol_error", "message": 5}]}]})",
                                "actions[0].message"},
                      // Events are checked against the description of the
                      // interface they go to.
                      Malformed{R"({"triggers": [{"on": "wl_seat.release", "actions": [{"do": "event"}]}]})",
                                "missing \"event\""},
                      Malformed{R"({"triggers": [{"on": "wl_seat.release", "actions": [{"do": "event", "event": "key"}]}]})",
                                "wl_seat has no event \"key\""},
                      Malformed{R"({"triggers": [{"on": "a.b", "actions": [{"do": "event", "event": "x"}]}]})",
                                "no description of the interface a"},
                      Malformed{
                          R"({"triggers": [{"on": "a.b", "actions": [{"do": "event", "interface": "wl_output", "event": "name"}]}]})",
                          "name takes 1 arguments, not 0"},
                      Malformed{
                          R"({"triggers": [{"on": "a.b", "actions": [{"do": "event", "interface": "wl_seat", "event": "capabilities", "args": [-1]}]}]})",
                          "argument 0 (u)"},
                      Malformed{
                          R"({"triggers": [{"on": "a.b", "actions": [{"do": "event", "interface": "wl_keyboard", "event": "enter", "args": [1, null, []]}]}]})",
                          "argument 1 (o)"},
                      Malformed{
                          R"({"triggers": [{"on": "a.b", "actions": [{"do": "event", "interface": "wl_data_device", "event": "data_offer", "args": [null]}]}]})",
                          "events with new objects or arrays cannot be sent"},
                      Malformed{
                          R"({"triggers": [{"on": "a.b", "actions": [{"do": "event", "interface": "wl_output", "event": "done", "colour": 1}]}]})",
                          "unknown field \"colour\""}));

TEST(Scenario, IndicesMayNameGlobalsThatLaterTriggersAdd) {
  EXPECT_NO_THROW(FakeCompositor(json::parse(R"({"triggers": [
      {"on": "wl_display.sync", "nth": 2, "actions": [{"do": "remove_global", "index": 6},
                                                     {"do": "output_name", "output": 1, "name": "B"}]},
      {"on": "wl_display.sync", "actions": [{"do": "add_global", "global": {"interface": "wl_output"}}]}]})")));
}

}  // namespace
}  // namespace kestrin::fake
