#include "scenario.hpp"

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <stdexcept>
#include <string_view>

#include "events.hpp"
#include "interfaces.hpp"

namespace kestrin::fake {

const char* const default_keymap_text = "xkb_keymap { kestrin fake keymap };";

std::array<std::int32_t, 4> OutputConfig::logical_box() const {
  if (logical) return *logical;
  const bool turned = (transform & 1) != 0;
  const std::int32_t divisor = scale > 0 ? scale : 1;
  return {x, y, (turned ? height : width) / divisor, (turned ? width : height) / divisor};
}

std::uint32_t KeymapConfig::announced_size() const {
  return size ? *size : static_cast<std::uint32_t>(content.size() + 1);
}

namespace {

using nlohmann::json;

[[noreturn]] void fail(const std::string& where, const std::string& what) {
  throw std::invalid_argument("scenario: " + where + ": " + what);
}

std::string at(const std::string& where, std::string_view key) { return where + "." + std::string(key); }
std::string at(const std::string& where, std::size_t index) { return where + "[" + std::to_string(index) + "]"; }

// Typos in a scenario would otherwise silently test the defaults.
void only_keys(const json& object, const std::string& where, std::initializer_list<std::string_view> allowed) {
  if (!object.is_object()) fail(where, "expected an object");
  for (const auto& [key, value] : object.items()) {
    if (std::find(allowed.begin(), allowed.end(), key) == allowed.end()) fail(where, "unknown field \"" + key + "\"");
  }
}

const json* find(const json& object, std::string_view key) {
  auto it = object.find(key);
  return it == object.end() ? nullptr : &*it;
}

std::uint32_t to_u32(const json& value, const std::string& where) {
  if (!value.is_number_integer() || value.get<std::int64_t>() < 0 ||
      value.get<std::int64_t>() > std::numeric_limits<std::uint32_t>::max()) {
    fail(where, "expected an unsigned 32-bit integer");
  }
  return value.get<std::uint32_t>();
}

std::int32_t to_i32(const json& value, const std::string& where) {
  if (!value.is_number_integer() || value.get<std::int64_t>() < std::numeric_limits<std::int32_t>::min() ||
      value.get<std::int64_t>() > std::numeric_limits<std::int32_t>::max()) {
    fail(where, "expected a signed 32-bit integer");
  }
  return value.get<std::int32_t>();
}

std::string to_string(const json& value, const std::string& where) {
  if (!value.is_string()) fail(where, "expected a string");
  return value.get<std::string>();
}

// Text the compositor sends: a string, or a list of byte values for text
// that is not UTF-8.
std::string to_text(const json& value, const std::string& where) {
  std::string text;
  if (!events::text_bytes(value, text)) fail(where, "expected a string or a list of byte values 1 to 255");
  return text;
}

const json& to_array(const json& value, const std::string& where, std::optional<std::size_t> length = {}) {
  if (!value.is_array()) fail(where, "expected an array");
  if (length && value.size() != *length) fail(where, "expected " + std::to_string(*length) + " elements");
  return value;
}

template <class T, class Convert>
void read(const json& object, std::string_view key, T& target, const std::string& where, Convert convert) {
  if (const json* value = find(object, key)) target = convert(*value, at(where, key));
}

// A field where null is a value of its own (no event), distinct from absent.
void read_nullable_string(const json& object, std::string_view key, std::optional<std::string>& target,
                          const std::string& where) {
  if (const json* value = find(object, key)) {
    target = value->is_null() ? std::nullopt : std::optional(to_text(*value, at(where, key)));
  }
}

std::uint32_t default_version(std::string_view interface) {
  if (interface == "wl_seat") return 7;
  if (interface == "wl_output") return 4;
  if (interface == "zwlr_screencopy_manager_v1") return 3;
  if (interface == "zwlr_virtual_pointer_manager_v1") return 2;
  if (interface == "zxdg_output_manager_v1") return 3;
  return 1;
}

KeymapConfig default_keymap() { return KeymapConfig{1, default_keymap_text, std::nullopt}; }

KeymapConfig parse_keymap(const json& object, const std::string& where) {
  only_keys(object, where, {"format", "content", "size"});
  KeymapConfig keymap = default_keymap();
  read(object, "format", keymap.format, where, to_u32);
  read(object, "content", keymap.content, where, to_string);
  if (const json* size = find(object, "size"); size != nullptr && !size->is_null()) {
    keymap.size = to_u32(*size, at(where, "size"));
  }
  return keymap;
}

SeatConfig parse_seat(const json& object, const std::string& where) {
  SeatConfig seat;
  read_nullable_string(object, "name", seat.name, where);
  read(object, "capabilities", seat.capabilities, where, to_u32);
  seat.keymaps = {default_keymap()};
  if (const json* keymaps = find(object, "keymaps")) {
    const std::string list = at(where, "keymaps");
    seat.keymaps.clear();
    for (std::size_t i = 0; i < to_array(*keymaps, list).size(); ++i) {
      seat.keymaps.push_back(parse_keymap((*keymaps)[i], at(list, i)));
    }
  }
  if (const json* clients = find(object, "keymap_clients"); clients != nullptr && !clients->is_null()) {
    seat.keymap_clients = to_u32(*clients, at(where, "keymap_clients"));
  }
  if (const json* repeat = find(object, "repeat_info"); repeat != nullptr && !repeat->is_null()) {
    const std::string field = at(where, "repeat_info");
    to_array(*repeat, field, 2);
    seat.repeat_info = {{to_i32((*repeat)[0], at(field, 0)), to_i32((*repeat)[1], at(field, 1))}};
  }
  return seat;
}

bool to_bool(const json& value, const std::string& where) {
  if (!value.is_boolean()) fail(where, "expected true or false");
  return value.get<bool>();
}

OutputConfig parse_output(const json& object, std::size_t outputs_before, const std::string& where) {
  OutputConfig output;
  output.name = "HEADLESS-" + std::to_string(outputs_before + 1);
  output.description = "kestrin fake output";
  read_nullable_string(object, "name", output.name, where);
  read_nullable_string(object, "description", output.description, where);
  read(object, "width", output.width, where, to_i32);
  read(object, "height", output.height, where, to_i32);
  read(object, "done", output.done, where, to_bool);
  read(object, "x", output.x, where, to_i32);
  read(object, "y", output.y, where, to_i32);
  read(object, "scale", output.scale, where, to_i32);
  read(object, "transform", output.transform, where, to_i32);
  read(object, "refresh", output.refresh, where, to_i32);
  if (const json* logical = find(object, "logical"); logical != nullptr && !logical->is_null()) {
    const std::string field = at(where, "logical");
    to_array(*logical, field, 4);
    std::array<std::int32_t, 4> box{};
    for (std::size_t i = 0; i < 4; ++i) box[i] = to_i32((*logical)[i], at(field, i));
    output.logical = box;
  }
  return output;
}

BufferConfig parse_buffer(const json& object, const std::string& where) {
  only_keys(object, where, {"format", "width", "height", "stride"});
  BufferConfig buffer;
  read(object, "format", buffer.format, where, to_u32);
  read(object, "width", buffer.width, where, to_u32);
  read(object, "height", buffer.height, where, to_u32);
  read(object, "stride", buffer.stride, where, to_u32);
  return buffer;
}

Outcome parse_outcome(const json& value, const std::string& where) {
  std::string text = to_string(value, where);
  if (text == "ready") return Outcome::ready;
  if (text == "failed") return Outcome::failed;
  if (text == "failed_at_capture") return Outcome::failed_at_capture;
  if (text == "still") return Outcome::still;
  fail(where, "expected \"ready\", \"failed\", \"failed_at_capture\" or \"still\"");
}

ScreencopyConfig parse_screencopy(const json& object, const std::string& where) {
  only_keys(object, where,
            {"buffers", "linux_dmabuf", "buffer_done", "flags", "damage", "outcome", "ready_time", "strict_format"});
  ScreencopyConfig config;
  if (const json* buffers = find(object, "buffers")) {
    const std::string list = at(where, "buffers");
    config.buffers.emplace();
    for (std::size_t i = 0; i < to_array(*buffers, list).size(); ++i) {
      config.buffers->push_back(parse_buffer((*buffers)[i], at(list, i)));
    }
  }
  const json* object_dmabuf = find(object, "linux_dmabuf");
  if (object_dmabuf != nullptr && !object_dmabuf->is_null()) {
    const std::string field = at(where, "linux_dmabuf");
    only_keys(*object_dmabuf, field, {"format", "width", "height"});
    DmabufConfig dmabuf;
    read(*object_dmabuf, "format", dmabuf.format, field, to_u32);
    read(*object_dmabuf, "width", dmabuf.width, field, to_u32);
    read(*object_dmabuf, "height", dmabuf.height, field, to_u32);
    config.linux_dmabuf = dmabuf;
  }
  read(object, "buffer_done", config.buffer_done, where, to_bool);
  read(object, "flags", config.flags, where, to_u32);
  if (const json* damage = find(object, "damage"); damage != nullptr && !damage->is_null()) {
    const std::string field = at(where, "damage");
    to_array(*damage, field, 4);
    std::array<std::uint32_t, 4> box{};
    for (std::size_t i = 0; i < 4; ++i) box[i] = to_u32((*damage)[i], at(field, i));
    config.damage = box;
  }
  read(object, "outcome", config.outcome, where, parse_outcome);
  if (const json* time = find(object, "ready_time")) {
    const std::string field = at(where, "ready_time");
    to_array(*time, field, 3);
    for (std::size_t i = 0; i < 3; ++i) config.ready_time[i] = to_u32((*time)[i], at(field, i));
  }
  read(object, "strict_format", config.strict_format, where, to_bool);
  return config;
}

ImageCopyOutcome parse_image_copy_outcome(const json& value, const std::string& where) {
  std::string text = to_string(value, where);
  if (text == "ready") return ImageCopyOutcome::ready;
  if (text == "failed") return ImageCopyOutcome::failed;
  if (text == "still") return ImageCopyOutcome::still;
  if (text == "stopped") return ImageCopyOutcome::stopped;
  fail(where, "expected \"ready\", \"failed\", \"still\" or \"stopped\"");
}

ImageCopyConfig parse_image_copy(const json& object, const std::string& where) {
  only_keys(object, where, {"damage", "outcome", "reason", "buffer_size"});
  ImageCopyConfig config;
  if (const json* damage = find(object, "damage"); damage != nullptr && !damage->is_null()) {
    const std::string list = at(where, "damage");
    config.damage.emplace();
    for (std::size_t i = 0; i < to_array(*damage, list).size(); ++i) {
      const std::string field = at(list, i);
      to_array((*damage)[i], field, 4);
      std::array<std::int32_t, 4> box{};
      for (std::size_t j = 0; j < 4; ++j) box[j] = to_i32((*damage)[i][j], at(field, j));
      config.damage->push_back(box);
    }
  }
  read(object, "outcome", config.outcome, where, parse_image_copy_outcome);
  read(object, "reason", config.reason, where, to_u32);
  if (const json* size = find(object, "buffer_size"); size != nullptr && !size->is_null()) {
    const std::string field = at(where, "buffer_size");
    to_array(*size, field, 2);
    config.buffer_size = {{to_u32((*size)[0], at(field, 0)), to_u32((*size)[1], at(field, 1))}};
  }
  return config;
}

// Outputs counted so far, to number default output names in the order the
// globals come into being (the scenario's list, then added ones).
struct Counting {
  std::size_t outputs = 0;
  std::size_t globals = 0;
};

ActionKind parse_kind(const json& value, const std::string& where) {
  std::string text = to_string(value, where);
  if (text == "close") return ActionKind::close;
  if (text == "protocol_error") return ActionKind::protocol_error;
  if (text == "stall") return ActionKind::stall;
  if (text == "output_name") return ActionKind::output_name;
  if (text == "add_global") return ActionKind::add_global;
  if (text == "remove_global") return ActionKind::remove_global;
  if (text == "keymap") return ActionKind::keymap;
  if (text == "event") return ActionKind::event;
  fail(where, "unknown action \"" + text + "\"");
}

// An event action: the event must exist in the description of the interface
// it goes to, and the arguments must fit its signature.
void parse_event(const json& object, std::string_view trigger_interface, ActionConfig& action,
                 const std::string& where) {
  only_keys(object, where, {"do", "delay_ms", "event", "interface", "args"});
  if (const json* interface = find(object, "interface")) {
    action.interface = to_string(*interface, at(where, "interface"));
    action.every_object = true;
  } else {
    action.interface = std::string(trigger_interface);
  }
  const json* name = find(object, "event");
  if (name == nullptr) fail(where, "missing \"event\"");
  const std::string event = to_string(*name, at(where, "event"));
  const wl_interface* description = known_interface(action.interface);
  if (description == nullptr) fail(where, "no description of the interface " + action.interface + " to send events of");
  const int opcode = events::find_event(*description, event);
  if (opcode < 0) fail(at(where, "event"), action.interface + " has no event \"" + event + "\"");
  action.opcode = static_cast<std::uint32_t>(opcode);
  if (const json* args = find(object, "args")) action.args = *args;
  if (std::string problem = events::argument_problem(description->events[opcode], action.args); !problem.empty()) {
    fail(at(where, "args"), problem);
  }
}

ActionConfig parse_action(const json& object, std::string_view trigger_interface, Counting& counting,
                          const std::string& where) {
  if (!object.is_object()) fail(where, "expected an object");
  const json* kind = find(object, "do");
  if (kind == nullptr) fail(where, "missing \"do\"");
  ActionConfig action;
  action.kind = parse_kind(*kind, at(where, "do"));
  read(object, "delay_ms", action.delay_ms, where, to_u32);
  switch (action.kind) {
    case ActionKind::close:
    case ActionKind::stall:
      only_keys(object, where, {"do", "delay_ms"});
      break;
    case ActionKind::protocol_error:
      only_keys(object, where, {"do", "delay_ms", "code", "message"});
      action.message = "protocol error requested by the scenario";
      read(object, "code", action.code, where, to_u32);
      read(object, "message", action.message, where, to_text);
      break;
    case ActionKind::output_name: {
      only_keys(object, where, {"do", "delay_ms", "output", "name"});
      std::uint32_t output = 0;
      read(object, "output", output, where, to_u32);
      action.output = output;
      const json* name = find(object, "name");
      if (name == nullptr) fail(where, "missing \"name\"");
      action.name = to_text(*name, at(where, "name"));
      break;
    }
    case ActionKind::add_global: {
      only_keys(object, where, {"do", "delay_ms", "global"});
      const json* global = find(object, "global");
      if (global == nullptr) fail(where, "missing \"global\"");
      action.global = parse_global(*global, counting.outputs, at(where, "global"));
      if (action.global->interface == "wl_output") ++counting.outputs;
      ++counting.globals;
      break;
    }
    case ActionKind::remove_global: {
      only_keys(object, where, {"do", "delay_ms", "index"});
      const json* index = find(object, "index");
      if (index == nullptr) fail(where, "missing \"index\"");
      action.index = to_u32(*index, at(where, "index"));
      break;
    }
    case ActionKind::keymap: {
      only_keys(object, where, {"do", "delay_ms", "keymap"});
      const json* keymap = find(object, "keymap");
      action.keymap = keymap == nullptr ? default_keymap() : parse_keymap(*keymap, at(where, "keymap"));
      break;
    }
    case ActionKind::event:
      parse_event(object, trigger_interface, action, where);
      break;
  }
  return action;
}

TriggerConfig parse_trigger(const json& object, Counting& counting, const std::string& where) {
  only_keys(object, where, {"on", "nth", "actions"});
  TriggerConfig trigger;
  const json* on = find(object, "on");
  if (on == nullptr) fail(where, "missing \"on\"");
  trigger.on = to_string(*on, at(where, "on"));
  std::size_t dot = trigger.on.find('.');
  if (dot == 0 || dot == std::string::npos || dot + 1 == trigger.on.size()) {
    fail(at(where, "on"), "expected \"interface.request\"");
  }
  read(object, "nth", trigger.nth, where, to_u32);
  if (trigger.nth == 0) fail(at(where, "nth"), "counts from 1");
  if (const json* actions = find(object, "actions")) {
    const std::string list = at(where, "actions");
    for (std::size_t i = 0; i < to_array(*actions, list).size(); ++i) {
      trigger.actions.push_back(
          parse_action((*actions)[i], std::string_view(trigger.on).substr(0, dot), counting, at(list, i)));
    }
  }
  return trigger;
}

// Indices may name globals that another trigger adds, so they are checked
// once every trigger is known.
void check_indices(const std::vector<TriggerConfig>& triggers, const Counting& counting) {
  for (std::size_t t = 0; t < triggers.size(); ++t) {
    for (std::size_t a = 0; a < triggers[t].actions.size(); ++a) {
      const ActionConfig& action = triggers[t].actions[a];
      const std::string where = at(at(at("triggers", t), "actions"), a);
      if (action.kind == ActionKind::output_name && action.output >= counting.outputs) {
        fail(at(where, "output"), "no wl_output with that index");
      }
      if (action.kind == ActionKind::remove_global && action.index >= counting.globals) {
        fail(at(where, "index"), "no global with that index");
      }
    }
  }
}

std::vector<GlobalConfig> default_globals() {
  std::vector<GlobalConfig> globals;
  std::size_t outputs = 0;
  for (const char* interface : {"wl_shm", "wl_seat", "wl_output", "zwlr_screencopy_manager_v1",
                                "zwp_virtual_keyboard_manager_v1", "zwlr_virtual_pointer_manager_v1"}) {
    globals.push_back(parse_global(json{{"interface", interface}}, outputs, "globals"));
    if (globals.back().interface == "wl_output") ++outputs;
  }
  return globals;
}

}  // namespace

GlobalConfig parse_global(const json& object, std::size_t outputs_before, const std::string& where) {
  if (!object.is_object()) fail(where, "expected an object");
  const json* interface = find(object, "interface");
  if (interface == nullptr) fail(where, "missing \"interface\"");
  GlobalConfig global;
  global.interface = to_string(*interface, at(where, "interface"));
  if (global.interface.empty()) fail(at(where, "interface"), "must not be empty");
  global.version = default_version(global.interface);
  read(object, "version", global.version, where, to_u32);
  if (global.version == 0) fail(at(where, "version"), "versions start at 1");

  if (global.interface == "wl_shm") {
    only_keys(object, where, {"interface", "version", "formats"});
    if (const json* formats = find(object, "formats")) {
      const std::string list = at(where, "formats");
      global.shm.formats.clear();
      for (std::size_t i = 0; i < to_array(*formats, list).size(); ++i) {
        global.shm.formats.push_back(to_u32((*formats)[i], at(list, i)));
      }
    }
  } else if (global.interface == "ext_image_copy_capture_manager_v1") {
    only_keys(object, where, {"interface", "version", "shm_formats"});
    if (const json* formats = find(object, "shm_formats")) {
      const std::string list = at(where, "shm_formats");
      global.shm_formats.clear();
      for (std::size_t i = 0; i < to_array(*formats, list).size(); ++i) {
        global.shm_formats.push_back(to_u32((*formats)[i], at(list, i)));
      }
    }
  } else if (global.interface == "wl_seat") {
    only_keys(object, where, {"interface", "version", "name", "capabilities", "keymaps", "keymap_clients", "repeat_info"});
    global.seat = parse_seat(object, where);
  } else if (global.interface == "wl_output") {
    only_keys(object, where,
              {"interface", "version", "name", "description", "width", "height", "done", "x", "y", "scale",
               "transform", "refresh", "logical"});
    global.output = parse_output(object, outputs_before, where);
  } else {
    only_keys(object, where, {"interface", "version"});
  }
  return global;
}

Scenario parse_scenario(const json& scenario) {
  if (scenario.is_null()) return parse_scenario(json::object());
  only_keys(scenario, "top level", {"globals", "screencopy", "image_copy", "triggers"});
  Scenario result;
  Counting counting;
  if (const json* globals = find(scenario, "globals")) {
    for (std::size_t i = 0; i < to_array(*globals, "globals").size(); ++i) {
      result.globals.push_back(parse_global((*globals)[i], counting.outputs, at("globals", i)));
      if (result.globals.back().interface == "wl_output") ++counting.outputs;
    }
  } else {
    result.globals = default_globals();
    counting.outputs = 1;
  }
  counting.globals = result.globals.size();

  if (const json* screencopy = find(scenario, "screencopy")) {
    for (std::size_t i = 0; i < to_array(*screencopy, "screencopy").size(); ++i) {
      result.screencopy.push_back(parse_screencopy((*screencopy)[i], at("screencopy", i)));
    }
  }
  if (result.screencopy.empty()) result.screencopy.emplace_back();
  if (const json* image_copy = find(scenario, "image_copy")) {
    for (std::size_t i = 0; i < to_array(*image_copy, "image_copy").size(); ++i) {
      result.image_copy.push_back(parse_image_copy((*image_copy)[i], at("image_copy", i)));
    }
  }
  if (result.image_copy.empty()) result.image_copy.emplace_back();

  if (const json* triggers = find(scenario, "triggers")) {
    for (std::size_t i = 0; i < to_array(*triggers, "triggers").size(); ++i) {
      result.triggers.push_back(parse_trigger((*triggers)[i], counting, at("triggers", i)));
    }
  }
  check_indices(result.triggers, counting);
  return result;
}

}  // namespace kestrin::fake
