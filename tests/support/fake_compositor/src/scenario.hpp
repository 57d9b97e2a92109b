// The scenario of a fake compositor run, parsed and completed with defaults.
#pragma once

#include <nlohmann/json.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrin::fake {

struct KeymapConfig {
  std::uint32_t format = 1;
  std::string content;
  std::optional<std::uint32_t> size;  // absent: the file's size, content plus NUL

  std::uint32_t announced_size() const;
};

struct ShmConfig {
  std::vector<std::uint32_t> formats{0, 1};
};

struct SeatConfig {
  std::optional<std::string> name{"seat0"};
  std::uint32_t capabilities = 3;
  std::vector<KeymapConfig> keymaps;
  // Only the keyboards of the first this many clients get the keymaps, as
  // from a wlroots seat whose active keyboard went away with an earlier
  // client. Absent: every client.
  std::optional<std::uint32_t> keymap_clients;
  std::optional<std::array<std::int32_t, 2>> repeat_info;  // rate, delay
};

struct OutputConfig {
  std::optional<std::string> name;
  std::optional<std::string> description;
  std::int32_t width = 1920;
  std::int32_t height = 1080;
  bool done = true;  // false: the events at bind end without their done
  std::int32_t x = 0;  // the position wl_output.geometry gives
  std::int32_t y = 0;
  std::int32_t scale = 1;
  std::int32_t transform = 0;
  std::int32_t refresh = 60000;
  // What xdg-output reports: x, y, width, height; absent: the position above
  // and the size derived from mode, scale and transform.
  std::optional<std::array<std::int32_t, 4>> logical;

  std::array<std::int32_t, 4> logical_box() const;
};

struct GlobalConfig {
  std::string interface;
  std::uint32_t version = 1;
  // ext_image_copy_capture_manager_v1 only: the shm_format events of a session.
  std::vector<std::uint32_t> shm_formats{1};
  ShmConfig shm;        // wl_shm only
  SeatConfig seat;      // wl_seat only
  OutputConfig output;  // wl_output only
};

struct BufferConfig {
  std::uint32_t format = 1;
  std::optional<std::uint32_t> width;   // absent: the captured area's
  std::optional<std::uint32_t> height;  // absent: the captured area's
  std::optional<std::uint32_t> stride;  // absent: width * 4
};

struct DmabufConfig {
  std::uint32_t format = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

enum class Outcome { ready, failed, failed_at_capture, still };

struct ScreencopyConfig {
  std::optional<std::vector<BufferConfig>> buffers;  // absent: one default buffer
  std::optional<DmabufConfig> linux_dmabuf;
  bool buffer_done = true;
  std::uint32_t flags = 0;
  std::optional<std::array<std::uint32_t, 4>> damage;
  Outcome outcome = Outcome::ready;
  std::array<std::uint32_t, 3> ready_time{0, 1, 2};
  bool strict_format = false;
};

// What an ext_image_copy_capture_frame_v1 does at its capture request.
enum class ImageCopyOutcome {
  ready,   // pattern, transform, damage, presentation_time, ready
  failed,  // failed with `reason`
  still,   // nothing: the screen does not change
  stopped, // the session's stopped, then failed with reason stopped
};

struct ImageCopyConfig {
  // Damage events of a ready frame; absent: the whole buffer.
  std::optional<std::vector<std::array<std::int32_t, 4>>> damage;
  ImageCopyOutcome outcome = ImageCopyOutcome::ready;
  std::uint32_t reason = 0;
  // New buffer constraints of this size, sent before the frame is answered.
  std::optional<std::array<std::uint32_t, 2>> buffer_size;
};

enum class ActionKind { close, protocol_error, stall, output_name, add_global, remove_global, keymap, event };

struct ActionConfig {
  ActionKind kind = ActionKind::close;
  std::uint32_t delay_ms = 0;
  std::uint32_t code = 0;           // protocol_error
  std::string message;              // protocol_error
  std::size_t output = 0;           // output_name: index among the wl_output globals
  std::string name;                 // output_name
  std::optional<GlobalConfig> global; // add_global
  std::size_t index = 0;            // remove_global: index in the global list
  KeymapConfig keymap;                // keymap
  // event: sent on the triggering object (`every_object` false) or on every
  // object of `interface` the client has; `opcode` is the event's number in
  // that interface and `args` its arguments, checked against its signature.
  std::string interface;
  bool every_object = false;
  std::uint32_t opcode = 0;
  nlohmann::json args = nlohmann::json::array();
};

struct TriggerConfig {
  std::string on;  // "interface.request"
  std::uint32_t nth = 1;
  std::vector<ActionConfig> actions;
};

struct Scenario {
  std::vector<GlobalConfig> globals;
  std::vector<ScreencopyConfig> screencopy;  // never empty
  std::vector<ImageCopyConfig> image_copy;   // never empty
  std::vector<TriggerConfig> triggers;
};

// The keymap text sent when a scenario names none.
extern const char* const default_keymap_text;

// Throws std::invalid_argument naming the offending field.
Scenario parse_scenario(const nlohmann::json& scenario);

// A global as it appears in "globals" or in an add_global action.
// `outputs_before` is the number of wl_output globals before it, which
// numbers the default output name.
GlobalConfig parse_global(const nlohmann::json& global, std::size_t outputs_before, const std::string& where);

}  // namespace kestrin::fake
