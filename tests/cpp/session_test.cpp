// Construction of sessions against the fake compositor: what goes on the
// wire, what the dispatch state holds, the fatal failures, and teardown.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#include <wayland-client-core.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <string>
#include <vector>

#include "fake_compositor/fake_compositor.hpp"
#include "kestrin_lib/mod.hpp"
#include "kestrin_lib/outputs.hpp"
#include "kestrin_lib/sleep.hpp"
#include "kestrin_lib/wayland.hpp"
#include "test_support.hpp"

namespace kestrin {
namespace {

using fake::FakeCompositor;
using nlohmann::json;
using testing::LogCapture;
using Names = std::vector<std::string>;

json global(const std::string& interface, int version, json extra = json::object()) {
  extra["interface"] = interface;
  extra["version"] = version;
  return extra;
}

json globals_without(const std::string& missing) {
  json all = json::array({global("wl_shm", 1), global("wl_seat", 7), global("wl_output", 4),
                          global("zwlr_screencopy_manager_v1", 3), global("zwp_virtual_keyboard_manager_v1", 1),
                          global("zwlr_virtual_pointer_manager_v1", 2)});
  json kept = json::array();
  for (const auto& entry : all)
    if (entry["interface"] != missing) kept.push_back(entry);
  return kept;
}

Result<Kestrin> connect_to(const FakeCompositor& compositor) {
  auto session = connect(compositor.socket_path().string());
  if (session) {
    if (auto named = wait_for_output_names(*session); !named) return std::unexpected(named.error());
  }
  return session;
}

Kestrin connected(const FakeCompositor& compositor) {
  auto session = connect_to(compositor);
  EXPECT_TRUE(session.has_value()) << report_text(session.error());
  if (!session) std::abort();
  return std::move(*session);
}

std::string descriptor_target(int fd) {
  std::error_code ignored;
  return std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ignored).string();
}

// What every open descriptor of the process refers to; the compositor's own
// descriptors are among them, so tests look for particular ones.
std::vector<std::string> descriptor_targets() {
  std::vector<std::string> targets;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    targets.push_back(std::filesystem::read_symlink(entry.path(), ignored).string());
  return targets;
}

std::vector<json> requests_named(const FakeCompositor& compositor, const std::string& name) {
  std::vector<json> found;
  for (const auto& record : compositor.requests())
    if (record["interface"].get<std::string>() + "." + record["request"].get<std::string>() == name)
      found.push_back(record);
  return found;
}

bool disconnected(const fake::Records& records) {
  for (const auto& record : records)
    if (record.value("event", "") == "disconnect") return true;
  return false;
}

const Names construction = {
    "wl_display.get_registry",
    "wl_display.sync",
    "wl_registry.bind",
    "wl_registry.bind",
    "wl_registry.bind",
    "wl_registry.bind",
    "wl_registry.bind",
    "wl_registry.bind",
    "wl_seat.get_keyboard",
    "wl_display.sync",
    "zwp_virtual_keyboard_manager_v1.create_virtual_keyboard",
    "zwp_virtual_keyboard_v1.keymap",
    "wl_display.sync",
    "zwlr_virtual_pointer_manager_v1.create_virtual_pointer",
    "wl_display.sync",
};

TEST(Construction, RequestsInOrder) {
  FakeCompositor compositor;
  Kestrin session = connected(compositor);
  EXPECT_EQ(compositor.request_names(), construction);

  const AppData& state = *session.app_data;
  EXPECT_TRUE(state.seat && state.shm && state.screencopy_manager);
  EXPECT_TRUE(state.virtual_keyboard_manager && state.virtual_pointer_manager);
  EXPECT_FALSE(state.keymap) << "the keymap goes to the virtual keyboard";
  EXPECT_FALSE(state.screencopy);
  EXPECT_FALSE(state.screencopy_pending);
  ASSERT_EQ(state.outputs.size(), 1u);
  EXPECT_EQ(state.outputs.begin()->second.name, "HEADLESS-1");
}

TEST(Construction, TeardownSendsNothingAndClosesTheSocket) {
  FakeCompositor compositor;
  std::size_t requests;
  {
    Kestrin session = connected(compositor);
    requests = compositor.requests().size();
  }
  ASSERT_TRUE(compositor.wait_until(disconnected));
  EXPECT_EQ(compositor.requests().size(), requests);
}

TEST(Construction, NoDescriptorOutlivesTheSession) {
  // Two keymap events: the first descriptor is replaced, the second is
  // forwarded and then closed; neither stays open, and the socket closes with
  // the session.
  FakeCompositor compositor(json{{"globals", json::array({global("wl_shm", 1),
                                                       global("wl_seat", 7, {{"keymaps", json::array({
                                                                                  {{"content", "first"}},
                                                                                  {{"content", "second"}},
                                                                              })}}),
                                                       global("zwp_virtual_keyboard_manager_v1", 1),
                                                       global("zwlr_virtual_pointer_manager_v1", 2)})}});
  std::string socket;
  {
    Kestrin session = connected(compositor);
    socket = descriptor_target(wl_display_get_fd(session.event_queue.display()));
    ASSERT_EQ(socket.rfind("socket:", 0), 0u);
    for (const std::string& target : descriptor_targets()) EXPECT_EQ(target.find("memfd:"), std::string::npos) << target;
  }
  ASSERT_TRUE(compositor.wait_until(disconnected));
  for (const std::string& target : descriptor_targets()) EXPECT_NE(target, socket);
}

TEST(Construction, BindsAtTheVersionsItKnows) {
  FakeCompositor compositor(json{{"globals", json::array({global("wl_shm", 2), global("wl_seat", 9),
                                                       global("wl_output", 3), global("zwlr_screencopy_manager_v1", 5),
                                                       global("zwp_virtual_keyboard_manager_v1", 2),
                                                       global("zwlr_virtual_pointer_manager_v1", 1)})}});
  Kestrin session = connected(compositor);
  std::map<std::string, int> bound;
  for (const auto& bind : requests_named(compositor, "wl_registry.bind"))
    bound[bind["args"][1].get<std::string>()] = bind["args"][2].get<int>();
  EXPECT_EQ(bound["wl_shm"], 1);
  EXPECT_LE(bound["wl_seat"], 9);
  EXPECT_GE(bound["wl_seat"], 7);
  EXPECT_EQ(bound["wl_output"], 3) << "an older compositor is met at its own version";
  EXPECT_EQ(bound["zwlr_screencopy_manager_v1"], 3);
  EXPECT_EQ(bound["zwp_virtual_keyboard_manager_v1"], 1);
  EXPECT_EQ(bound["zwlr_virtual_pointer_manager_v1"], 1);
  // The virtual pointer takes its manager's version.
  auto pointer = requests_named(compositor, "zwlr_virtual_pointer_manager_v1.create_virtual_pointer");
  ASSERT_EQ(pointer.size(), 1u);
  EXPECT_EQ(session.virtual_pointer ? wl_proxy_get_version(as_proxy(session.virtual_pointer.get())) : 0u, 1u);
}

TEST(Construction, LaterSeatReplacesTheEarlier) {
  json globals = globals_without("wl_seat");
  globals.push_back(global("wl_seat", 7, {{"name", "first"}}));
  globals.push_back(global("wl_seat", 7, {{"name", "second"}}));
  FakeCompositor compositor(json{{"globals", globals}});
  Kestrin session = connected(compositor);

  std::vector<std::string> seats;
  for (const auto& bind : requests_named(compositor, "wl_registry.bind"))
    if (bind["args"][1] == "wl_seat") seats.push_back(bind["args"][3].get<std::string>());
  ASSERT_EQ(seats.size(), 2u);
  auto keyboard = requests_named(compositor, "wl_seat.get_keyboard");
  ASSERT_EQ(keyboard.size(), 1u);
  EXPECT_EQ("wl_seat@" + std::to_string(keyboard[0]["id"].get<int>()), seats[1]);
  EXPECT_EQ(requests_named(compositor, "zwp_virtual_keyboard_manager_v1.create_virtual_keyboard")[0]["args"][0],
            seats[1]);
  EXPECT_EQ(requests_named(compositor, "zwlr_virtual_pointer_manager_v1.create_virtual_pointer")[0]["args"][0],
            seats[1]);
}

TEST(Construction, OtherGlobalsAreLoggedAndIgnored) {
  json globals = globals_without("");
  globals.push_back(global("wl_compositor", 4));
  globals.push_back(global("xdg_wm_base", 2));
  FakeCompositor compositor(json{{"globals", globals}});
  LogCapture log;
  Kestrin session = connected(compositor);
  for (const auto& bind : requests_named(compositor, "wl_registry.bind")) {
    EXPECT_NE(bind["args"][1], "wl_compositor");
    EXPECT_NE(bind["args"][1], "xdg_wm_base");
  }
  auto messages = log.messages();
  EXPECT_NE(std::find(messages.begin(), messages.end(),
                      "Registry event: Global { name: 7, interface: \"wl_compositor\", version: 4 }"),
            messages.end());
  EXPECT_NE(std::find(messages.begin(), messages.end(),
                      "Registry event: Global { name: 8, interface: \"xdg_wm_base\", version: 2 }"),
            messages.end());
}

TEST(Construction, KeymapIsForwardedAsXkbWithTheReceivedSize) {
  // Format 0 and a size other than the file's: only the format is replaced.
  json globals = globals_without("wl_seat");
  globals.push_back(global("wl_seat", 7, {{"keymaps", json::array({{{"format", 0}, {"content", "abc"}, {"size", 4096}}})}}));
  FakeCompositor compositor(json{{"globals", globals}});
  Kestrin session = connected(compositor);
  auto keymap = requests_named(compositor, "zwp_virtual_keyboard_v1.keymap");
  ASSERT_EQ(keymap.size(), 1u);
  EXPECT_EQ(keymap[0]["args"][0], 1);
  EXPECT_EQ(keymap[0]["args"][1]["hash"], fake::content_hash(std::string("abc", 4)));
  EXPECT_EQ(keymap[0]["args"][2], 4096);
}

TEST(Construction, TheLastOfSeveralKeymapsIsForwarded) {
  json globals = globals_without("wl_seat");
  globals.push_back(global("wl_seat", 7, {{"keymaps", json::array({{{"content", "first"}}, {{"content", "second!"}}})}}));
  FakeCompositor compositor(json{{"globals", globals}});
  Kestrin session = connected(compositor);
  auto keymap = requests_named(compositor, "zwp_virtual_keyboard_v1.keymap");
  ASSERT_EQ(keymap.size(), 1u);
  EXPECT_EQ(keymap[0]["args"][1]["hash"], fake::content_hash(std::string("second!", 8)));
  EXPECT_EQ(keymap[0]["args"][2], 8);
}

// --- outputs ----------------------------------------------------------------

TEST(Outputs, TwoOutputsAreNamed) {
  json globals = globals_without("wl_output");
  globals.push_back(global("wl_output", 4, {{"name", "DP-1"}}));
  globals.push_back(global("wl_output", 4, {{"name", "HDMI-A-1"}}));
  FakeCompositor compositor(json{{"globals", globals}});
  Kestrin session = connected(compositor);
  std::vector<std::string> names;
  for (const auto& [global_name, output] : session.app_data->outputs) names.push_back(output.name.value_or("?"));
  EXPECT_EQ(names, (std::vector<std::string>{"DP-1", "HDMI-A-1"}));
}

TEST(Outputs, NoOutputsMeansNoWait) {
  FakeCompositor compositor(json{{"globals", globals_without("wl_output")}});
  Kestrin session = connected(compositor);
  EXPECT_TRUE(session.app_data->outputs.empty());
}

TEST(Outputs, ConstructionWaitsForALateName) {
  json globals = globals_without("wl_output");
  globals.push_back(global("wl_output", 4, {{"name", nullptr}, {"done", false}}));
  FakeCompositor compositor(json{
      {"globals", globals},
       {"triggers", json::array({{{"on", "wl_display.sync"}, {"nth", 4},
                                  {"actions", json::array({{{"do", "output_name"}, {"output", 0}, {"name", "LATE-1"}, {"delay_ms", 50}}})}}})}});
  auto session = connect(compositor.socket_path().string());
  ASSERT_TRUE(session.has_value());
  EXPECT_FALSE(session->app_data->outputs.begin()->second.name) << "the name comes after construction's last roundtrip";
  ASSERT_TRUE(wait_for_output_names(*session).has_value());
  EXPECT_EQ(session->app_data->outputs.begin()->second.name, "LATE-1");
}

TEST(Outputs, AnOutputDescribedWithoutANameIsNotWaitedFor) {
  // Its first done came without a name: a compositor sends the name before,
  // so waiting on would never end. A name sent later is still taken.
  json globals = globals_without("wl_output");
  globals.push_back(global("wl_output", 4, {{"name", nullptr}}));
  FakeCompositor compositor(json{
      {"globals", globals},
       {"triggers", json::array({{{"on", "wl_display.sync"}, {"nth", 5},
                                  {"actions", json::array({{{"do", "output_name"}, {"output", 0}, {"name", "LATE-1"}}})}}})}});
  auto session = connect_to(compositor);
  ASSERT_TRUE(session.has_value()) << report_text(session.error());
  EXPECT_FALSE(session->app_data->outputs.begin()->second.name);
  ASSERT_TRUE(session->move_mouse(UIntValue::fixed(1), UIntValue::fixed(1), 10, 10).has_value());
  EXPECT_EQ(session->app_data->outputs.begin()->second.name, "LATE-1");
}

TEST(Outputs, OutputsBelowVersionFourAreNotWaitedFor) {
  json globals = globals_without("wl_output");
  globals.push_back(global("wl_output", 3, {{"name", "never sent"}}));
  FakeCompositor compositor(json{{"globals", globals}});
  Kestrin session = connected(compositor);
  ASSERT_EQ(session.app_data->outputs.size(), 1u);
  EXPECT_FALSE(session.app_data->outputs.begin()->second.name);
}

TEST(Outputs, ConnectionClosedDuringTheWaitIsAnOrdinaryError) {
  json globals = globals_without("wl_output");
  globals.push_back(global("wl_output", 4, {{"name", nullptr}, {"done", false}}));
  FakeCompositor compositor(json{
      {"globals", globals},
       {"triggers", json::array({{{"on", "wl_display.sync"}, {"nth", 4},
                                  {"actions", json::array({{{"do", "close"}, {"delay_ms", 50}}})}}})}});
  auto session = connect(compositor.socket_path().string());
  ASSERT_TRUE(session.has_value());
  auto named = wait_for_output_names(*session);
  ASSERT_FALSE(named.has_value());
  EXPECT_FALSE(named.error().is_fatal());
  EXPECT_EQ(named.error().message, "the connection to the compositor failed: Broken pipe (os error 32)");
}

TEST(Outputs, RemovedOutputKeepsItsRecordAndNameChangesAreFollowed) {
  FakeCompositor compositor(json{
      {"triggers",
        json::array({{{"on", "zwlr_virtual_pointer_v1.motion_absolute"},
                      {"actions", json::array({{{"do", "output_name"}, {"output", 0}, {"name", "RENAMED"}},
                                               {{"do", "remove_global"}, {"index", 2}}})}}})}});
  LogCapture log;
  Kestrin session = connected(compositor);
  ASSERT_TRUE(session.move_mouse(UIntValue::fixed(1), UIntValue::fixed(1), 10, 10).has_value());
  ASSERT_EQ(session.app_data->outputs.size(), 1u);
  EXPECT_EQ(session.app_data->outputs.begin()->second.name, "RENAMED");
  auto messages = log.messages();
  EXPECT_NE(std::find(messages.begin(), messages.end(), "Registry event: GlobalRemove { name: 3 }"), messages.end());
}

TEST(Outputs, AMonitorConnectedLaterIsBoundAtTheNextRoundtrip) {
  FakeCompositor compositor(json{
      {"triggers", json::array({{{"on", "zwlr_virtual_pointer_v1.motion_absolute"},
                                  {"actions", json::array({{{"do", "add_global"},
                                                            {"global", global("wl_output", 4, {{"name", "LATER"}})}}})}}})}});
  Kestrin session = connected(compositor);
  ASSERT_TRUE(session.move_mouse(UIntValue::fixed(1), UIntValue::fixed(1), 10, 10).has_value());
  ASSERT_EQ(session.app_data->outputs.size(), 2u);
  ASSERT_TRUE(session.move_mouse(UIntValue::fixed(1), UIntValue::fixed(1), 10, 10).has_value());
  EXPECT_EQ(std::prev(session.app_data->outputs.end())->second.name, "LATER");
}

// Every pointer action of the core on two outputs, one at scale 2 and
// turned, and the release of a button still held at teardown.
TEST(PointerActions, AimScrollDragAndReleaseAtTeardown) {
  json globals = globals_without("wl_output");
  globals.push_back(global("wl_output", 4));
  globals.push_back(global("wl_output", 4, {{"width", 1280}, {"height", 720}, {"scale", 2}, {"x", 1920}, {"transform", 1}}));
  globals.push_back(global("zxdg_output_manager_v1", 3));
  FakeCompositor compositor(json{{"globals", globals}});
  {
    Kestrin session = connected(compositor);
    auto outputs = list_outputs(session);
    ASSERT_TRUE(outputs.has_value()) << report_text(outputs.error());
    ASSERT_EQ(outputs->size(), 2u);
    EXPECT_EQ((*outputs)[1].transform, "90");
    EXPECT_EQ(std::pair((*outputs)[1].logical_width, (*outputs)[1].logical_height), std::pair(360, 640));
    ASSERT_TRUE(move_to(session, 1279, 719, "HEADLESS-2").has_value());
    auto outside = move_to(session, 1280, 0, "HEADLESS-2");
    ASSERT_FALSE(outside.has_value());
    EXPECT_TRUE(outside.error().is_invalid_value());
    ASSERT_TRUE(scroll(session, 2, -1).has_value());
    ASSERT_TRUE(scroll_smooth(session, 0, 40).has_value());
    ASSERT_TRUE(drag(session, DragPath{0, 0, 10, 10, "HEADLESS-1", right_button, 3}, UIntValue::fixed(0)).has_value());
    ASSERT_TRUE(button_down(session, middle_button).has_value());
  }
  ASSERT_TRUE(compositor.wait_until(disconnected));
  auto args = [&](const char* name) {
    json all = json::array();
    for (const json& request : requests_named(compositor, name)) all.push_back(request["args"]);
    return all;
  };
  // Each output's pointer takes its picture in half pixels, whatever the
  // output's scale and turn: the last pixel of HEADLESS-2, then the drag on
  // HEADLESS-1 from (0, 0) to (10, 10) in three steps.
  EXPECT_EQ(args("zwlr_virtual_pointer_v1.motion_absolute"),
            json::parse("[[0, 2559, 1439, 2560, 1440], [0, 1, 1, 3840, 2160], [0, 7, 7, 3840, 2160], "
                        "[0, 15, 15, 3840, 2160], [0, 21, 21, 3840, 2160]]"));
  EXPECT_EQ(args("zwlr_virtual_pointer_v1.button"),
            json::array({{0, right_button, 1}, {0, right_button, 0}, {0, middle_button, 1}, {0, middle_button, 0}}));
  EXPECT_EQ(args("zwlr_virtual_pointer_v1.axis_discrete"), json::parse("[[0, 0, 30.0, 2], [0, 1, -15.0, -1]]"));
  EXPECT_EQ(args("zwlr_virtual_pointer_v1.axis"), json::parse("[[0, 1, 40.0]]"));
}

TEST(Outputs, AKeymapArrivingLaterIsKeptButNotForwarded) {
  FakeCompositor compositor(json{
      {"triggers", json::array({{{"on", "zwlr_virtual_pointer_v1.motion_absolute"},
                                  {"actions", json::array({{{"do", "keymap"}, {"keymap", {{"content", "later"}}}}})}}})}});
  Kestrin session = connected(compositor);
  ASSERT_TRUE(session.move_mouse(UIntValue::fixed(1), UIntValue::fixed(1), 10, 10).has_value());
  ASSERT_TRUE(session.app_data->keymap);
  EXPECT_EQ(session.app_data->keymap->size, 6u);
  EXPECT_EQ(requests_named(compositor, "zwp_virtual_keyboard_v1.keymap").size(), 1u);
}

// --- fatal failures ---------------------------------------------------------

struct FatalCase {
  const char* name;
  json scenario;
  const char* text;
  Names last_requests;  // how the requests end
};

class FatalConstruction : public ::testing::TestWithParam<FatalCase> {};

TEST_P(FatalConstruction, FailsWithTheInternalFaultAndSendsNoMore) {
  const FatalCase& c = GetParam();
  FakeCompositor compositor(c.scenario);
  auto session = connect(compositor.socket_path().string());
  ASSERT_FALSE(session.has_value());
  EXPECT_TRUE(session.error().is_fatal());
  EXPECT_EQ(session.error().message.rfind(c.text, 0), 0u) << session.error().message;
  ASSERT_TRUE(compositor.wait_until(disconnected)) << "the half-built session must close its socket";
  Names names = compositor.request_names();
  ASSERT_GE(names.size(), c.last_requests.size());
  EXPECT_EQ(Names(names.end() - static_cast<long>(c.last_requests.size()), names.end()), c.last_requests);
}

json without_keymaps() {
  json globals = globals_without("wl_seat");
  globals.push_back(global("wl_seat", 7, {{"keymaps", json::array()}}));
  return {{"globals", globals}};
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FatalConstruction,
    ::testing::Values(
        FatalCase{"NoSeat", {{"globals", globals_without("wl_seat")}},
                  "an expected value was absent: the compositor offers no wl_seat",
                  // The binds are written but never flushed.
                  {"wl_display.get_registry", "wl_display.sync"}},
        FatalCase{"NoVirtualKeyboardManager", {{"globals", globals_without("zwp_virtual_keyboard_manager_v1")}},
                  "an expected value was absent: the compositor offers no zwp_virtual_keyboard_manager_v1",
                  {"wl_seat.get_keyboard", "wl_display.sync"}},
        // create_virtual_keyboard is written before the keymap is missed, but
        // the failure comes before anything flushes it.
        FatalCase{"NoKeymap", without_keymaps(), "an expected value was absent: the seat's keyboard sent no keymap",
                  {"wl_seat.get_keyboard", "wl_display.sync"}},
        FatalCase{"NoVirtualPointerManager", {{"globals", globals_without("zwlr_virtual_pointer_manager_v1")}},
                  "an expected value was absent: the compositor offers no zwlr_virtual_pointer_manager_v1",
                  {"zwp_virtual_keyboard_v1.keymap", "wl_display.sync"}},
        FatalCase{"NoManagersAtAll",
                  {{"globals", json::array({global("wl_seat", 7), global("wl_shm", 1)})}},
                  "an expected value was absent: the compositor offers no zwp_virtual_keyboard_manager_v1",
                  {"wl_seat.get_keyboard", "wl_display.sync"}},
        FatalCase{"FirstRoundtripFails",
                  {{"triggers", json::array({{{"on", "wl_display.sync"}, {"actions", json::array({{{"do", "close"}}})}}})}},
                  "a result was an error: the connection to the compositor failed: Broken pipe (os error 32)",
                  {"wl_display.get_registry", "wl_display.sync"}},
        FatalCase{"KeymapRoundtripFails",
                  {{"triggers", json::array({{{"on", "zwp_virtual_keyboard_v1.keymap"},
                                              {"actions", json::array({{{"do", "protocol_error"}, {"code", 3}, {"message", "bad keymap"}}})}}})}},
                  "a result was an error: the compositor reported a protocol error: zwp_virtual_keyboard_v1@",
                  {"zwp_virtual_keyboard_manager_v1.create_virtual_keyboard", "zwp_virtual_keyboard_v1.keymap"}}),
    [](const ::testing::TestParamInfo<FatalCase>& info) { return std::string(info.param.name); });

TEST(FatalConstructionText, ProtocolErrorsCarryTheCompositorsMessage) {
  FakeCompositor compositor(json{
      {"triggers", json::array({{{"on", "zwlr_virtual_pointer_manager_v1.create_virtual_pointer"},
                                  {"actions", json::array({{{"do", "protocol_error"}, {"code", 7}, {"message", "no pointers today"}}})}}})}});
  auto session = connect(compositor.socket_path().string());
  ASSERT_FALSE(session.has_value());
  EXPECT_NE(session.error().message.find("zwlr_virtual_pointer_manager_v1@"), std::string::npos) << session.error().message;
  EXPECT_NE(session.error().message.find("error 7: no pointers today"), std::string::npos) << session.error().message;
}

// --- log records ------------------------------------------------------------

TEST(LogRecords, EveryHandlerLogsItsEventsBeforeActing) {
  FakeCompositor compositor;
  LogCapture log;
  Kestrin session = connected(compositor);
  auto records = log.records();
  ASSERT_FALSE(records.empty());
  for (const auto& record : records) {
    EXPECT_EQ(record.level, log::Level::info);
    EXPECT_EQ(record.target, "kestrin::kestrin_lib::app_data");
    EXPECT_EQ(record.file, "src/kestrin_lib/app_data.cpp");
    EXPECT_GT(record.line, 0u);
  }
  const Names expected = {
      "Registry event: Global { name: 1, interface: \"wl_shm\", version: 1 }",
      "Registry event: Global { name: 2, interface: \"wl_seat\", version: 7 }",
      "Registry event: Global { name: 3, interface: \"wl_output\", version: 4 }",
      "Registry event: Global { name: 4, interface: \"zwlr_screencopy_manager_v1\", version: 3 }",
      "Registry event: Global { name: 5, interface: \"zwp_virtual_keyboard_manager_v1\", version: 1 }",
      "Registry event: Global { name: 6, interface: \"zwlr_virtual_pointer_manager_v1\", version: 2 }",
      "Shm event: Format { format: Value(Argb8888) }",
      "Shm event: Format { format: Value(Xrgb8888) }",
      "Seat event: Capabilities { capabilities: Value(Pointer | Keyboard) }",
      "Seat event: Name { name: \"seat0\" }",
      "WlOutput event for 3: Geometry { x: 0, y: 0, physical_width: 0, physical_height: 0, subpixel: "
      "Value(Unknown), make: \"kestrin\", model: \"fake output\", transform: Value(Normal) }",
      "WlOutput event for 3: Mode { flags: Value(Current), width: 1920, height: 1080, refresh: 60000 }",
      "WlOutput event for 3: Scale { factor: 1 }",
      "WlOutput event for 3: Name { name: \"HEADLESS-1\" }",
      "WlOutput event for 3: Description { description: \"kestrin fake output\" }",
      "WlOutput event for 3: Done",
  };
  auto messages = log.messages();
  ASSERT_GE(messages.size(), expected.size() + 1);
  EXPECT_EQ(Names(messages.begin(), messages.begin() + static_cast<long>(expected.size())), expected);
  const std::string keymap = messages[expected.size()];
  EXPECT_EQ(keymap.rfind("Keyboard event: Keymap { format: Value(XkbV1), fd: ", 0), 0u) << keymap;
}

TEST(LogRecords, NothingIsFormattedWhileTheFacadeIsOff) {
  FakeCompositor compositor;
  LogCapture log(log::LevelFilter::off);
  Kestrin session = connected(compositor);
  EXPECT_EQ(log.formatted(), 0);
}

// A compositor that stops answering, and a thread that keeps interrupting the
// waiting thread with a signal whose handler only notes it, as Python's does
// (no SA_RESTART, so poll returns EINTR). The interruption check, like the
// interpreter's, has nothing to do when no signal was noted; it counts the
// signals it handles and ends the wait at the `stop_at`-th.
class Interruption : public ::testing::Test {
 protected:
  static inline std::atomic<int> checks{0};
  static inline std::atomic<bool> noted{false};
  static inline int stop_at = 0;
  static bool check() { return noted.exchange(false) && ++checks >= stop_at; }

  void SetUp() override {
    checks = 0;
    noted = false;
    struct sigaction action {};
    action.sa_handler = [](int) { noted = true; };
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &saved_), 0);
    set_interrupt_check(check);
  }
  void TearDown() override {
    set_interrupt_check(nullptr);
    sigaction(SIGUSR1, &saved_, nullptr);
  }

  // Runs `wait` while another thread signals this one every 10 ms.
  template <class F>
  auto interrupted(F&& wait) {
    std::atomic<bool> waiting{true};
    pthread_t self = pthread_self();
    std::thread signaller([&] {
      while (waiting) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (waiting) pthread_kill(self, SIGUSR1);
      }
    });
    auto result = wait();
    waiting = false;
    signaller.join();
    return result;
  }

 private:
  struct sigaction saved_ {};
};

json stall_on(const std::string& request, int nth) {
  return json{{"on", request}, {"nth", nth}, {"actions", json::array({json{{"do", "stall"}}})}};
}

TEST_F(Interruption, CheckDecidesWhetherTheWaitEnds) {
  // The construction's four roundtrips are syncs 1 to 4.
  FakeCompositor compositor(json{{"triggers", json::array({stall_on("wl_display.sync", 5)})}});
  Kestrin session = connected(compositor);
  stop_at = 3;
  Status moved = interrupted([&] { return session.move_mouse(UIntValue::fixed(1), UIntValue::fixed(2), 10, 10); });
  ASSERT_FALSE(moved);
  EXPECT_TRUE(moved.error().is_interrupted());
  EXPECT_EQ(report_text(moved.error()), "the wait for the compositor was interrupted");
  EXPECT_EQ(checks, 3) << "the first two interruptions must leave the wait going";
}

// A signal that lands before the wait starts, while no poll is there to be
// interrupted, still ends it.
TEST_F(Interruption, SignalJustBeforeTheWaitEndsIt) {
  FakeCompositor compositor;
  Kestrin session = connected(compositor);
  stop_at = 1;
  ASSERT_EQ(raise(SIGUSR1), 0);
  auto waited = session.event_queue.dispatch_pass_until(std::chrono::steady_clock::now() + std::chrono::seconds(2));
  ASSERT_FALSE(waited) << "the wait ran to its deadline: the noted signal was missed";
  EXPECT_TRUE(waited.error().is_interrupted());
  EXPECT_EQ(checks, 1);
}

// What a call lets go of while it waits (the interpreter lock, in the
// module) is let go only around the blocking itself, and always taken back
// before the interruption check runs; a nested scope without a release
// holds on to everything.
class Recorder final : public WaitRelease {
 public:
  void let_go() noexcept override {
    steps.push_back("let go");
    released = true;
  }
  void take_back() noexcept override {
    steps.push_back("take back");
    released = false;
  }
  std::vector<std::string> steps;
  static inline bool released = false;
};

TEST_F(Interruption, WaitsLetGoOnlyWhileBlocked) {
  FakeCompositor compositor(json{{"triggers", json::array({stall_on("wl_display.sync", 6)})}});
  Kestrin session = connected(compositor);
  Recorder recorder;
  static bool checked_while_released;
  checked_while_released = false;
  set_interrupt_check([] {
    checked_while_released = checked_while_released || Recorder::released;
    return check();
  });
  stop_at = 2;
  {
    ReleaseWhileWaiting waits(&recorder);
    {
      // A call nested in this one (a logging handler's) keeps everything.
      ReleaseWhileWaiting nested(nullptr);
      ASSERT_TRUE(session.move_mouse(UIntValue::fixed(1), UIntValue::fixed(2), 10, 10));
    }
    EXPECT_TRUE(recorder.steps.empty());
    Status moved = interrupted([&] { return session.move_mouse(UIntValue::fixed(1), UIntValue::fixed(2), 10, 10); });
    ASSERT_FALSE(moved);
    EXPECT_TRUE(moved.error().is_interrupted());
  }
  EXPECT_FALSE(checked_while_released);
  ASSERT_EQ(recorder.steps.size() % 2, 0u);
  ASSERT_GE(recorder.steps.size(), 4u) << "each interrupted wait lets go once";
  for (std::size_t i = 0; i < recorder.steps.size(); i += 2) {
    EXPECT_EQ(recorder.steps[i], "let go");
    EXPECT_EQ(recorder.steps[i + 1], "take back");
  }
  // Outside the scope nothing is let go.
  const auto before = recorder.steps.size();
  sleep_ms(1);
  EXPECT_EQ(recorder.steps.size(), before);
}

TEST_F(Interruption, ConstructionPassesTheInterruptionOnInsteadOfAFault) {
  FakeCompositor compositor(json{{"triggers", json::array({stall_on("wl_display.sync", 2)})}});
  stop_at = 1;
  Result<Kestrin> session = interrupted([&] { return connect_to(compositor); });
  ASSERT_FALSE(session);
  EXPECT_TRUE(session.error().is_interrupted());
  EXPECT_FALSE(session.error().is_fatal());
}

}  // namespace
}  // namespace kestrin
