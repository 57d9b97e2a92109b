#include "kestrin_lib/outputs.hpp"

#include <wayland-client-protocol.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

#include "kestrin_lib/mod.hpp"

namespace kestrin {
namespace {

constexpr std::array<std::string_view, 8> transform_names = {
    "normal", "90", "180", "270", "flipped", "flipped-90", "flipped-180", "flipped-270"};

// Rotations by a quarter turn swap the picture's sides in the layout.
bool quarter_turn(std::int32_t transform) { return (transform & 1) != 0; }

// Every event wl_output will send about the output has come. Version 1
// outputs have no done, so whatever they sent is all there is.
bool described(const Output& output) { return output.version < WL_OUTPUT_DONE_SINCE_VERSION || output.described; }

}  // namespace

Error no_output_named(std::string_view screen_name) {
  return Error::ordinary("no WLOutput with name " + std::string(screen_name));
}
Error no_output() { return Error::ordinary("at least one display need to be set"); }
Error several_outputs() {
  return Error::ordinary("more that one WLOuput set. Please specify the name of the one to use");
}

Result<Output*> choose_output(AppData& app_data, std::optional<std::string_view> screen_name, bool live_only) {
  auto counts = [live_only](const Output& output) { return !live_only || !output.removed; };
  if (screen_name) {
    for (auto& [global_name, output] : app_data.outputs)
      if (counts(output) && output.name && *output.name == *screen_name) return &output;
    return std::unexpected(no_output_named(*screen_name));
  }
  Output* only = nullptr;
  std::size_t count = 0;
  for (auto& [global_name, output] : app_data.outputs) {
    if (!counts(output)) continue;
    only = &output;
    ++count;
  }
  if (count == 0) return std::unexpected(no_output());
  if (count > 1) return std::unexpected(several_outputs());
  return only;
}

OutputInfo describe_output(const Output& output) {
  const OutputGeometry& geometry = output.current;
  OutputInfo info;
  info.name = output.name;
  info.description = geometry.description;
  info.width = geometry.width;
  info.height = geometry.height;
  info.refresh_mhz = geometry.refresh;
  const auto transform = static_cast<std::size_t>(geometry.transform);
  info.transform = transform < transform_names.size() ? transform_names[transform] : "normal";
  const std::int32_t turned_width = quarter_turn(geometry.transform) ? geometry.height : geometry.width;
  const std::int32_t turned_height = quarter_turn(geometry.transform) ? geometry.width : geometry.height;
  if (geometry.logical_size && geometry.logical_position) {
    std::tie(info.x, info.y) = *geometry.logical_position;
    std::tie(info.logical_width, info.logical_height) = *geometry.logical_size;
    // A fractional scale reaches clients only through the logical size;
    // compositors keep it to multiples of 1/120.
    info.scale = info.logical_width > 0
                     ? std::round(120.0 * turned_width / info.logical_width) / 120.0
                     : static_cast<double>(geometry.scale);
  } else {
    const std::int32_t scale = geometry.scale > 0 ? geometry.scale : 1;
    info.x = geometry.x;
    info.y = geometry.y;
    info.logical_width = turned_width / scale;
    info.logical_height = turned_height / scale;
    info.scale = scale;
  }
  return info;
}

LayoutBox layout_box(const AppData& app_data) {
  LayoutBox box{INT64_MAX, INT64_MAX, INT64_MIN, INT64_MIN};
  for (const auto& [global_name, output] : app_data.outputs) {
    if (output.removed || !output.output) continue;
    const OutputInfo info = describe_output(output);
    // A negative size (no compositor means one) counts as none.
    box.left = std::min<std::int64_t>(box.left, info.x);
    box.top = std::min<std::int64_t>(box.top, info.y);
    box.right = std::max<std::int64_t>(box.right, std::int64_t{info.x} + std::max(info.logical_width, 0));
    box.bottom = std::max<std::int64_t>(box.bottom, std::int64_t{info.y} + std::max(info.logical_height, 0));
  }
  if (box.left > box.right) return LayoutBox{};
  return box;
}

Status settle_outputs(Kestrin& session) {
  AppData& app_data = *session.app_data;
  if (auto connected = session.event_queue.still_connected(); !connected) return connected;
  watch_logical_geometry(app_data);
  if (auto done = roundtrip(session.event_queue, session.queue_handle); !done) return done;
  // Outputs announced during that roundtrip were bound after its sync.
  auto waiting = [](const auto& entry) { return !entry.second.removed && entry.second.output && !described(entry.second); };
  while (std::ranges::any_of(app_data.outputs, waiting)) {
    if (auto pass = session.event_queue.dispatch_pass(); !pass) return pass;
  }
  // Their xdg_outputs went out after that sync too; one more roundtrip
  // answers them. A compositor that leaves them unanswered gets the
  // geometry derived from wl_output rather than a wait without end.
  auto unanswered = [](const auto& entry) {
    return !entry.second.removed && entry.second.xdg_output && !entry.second.xdg_described;
  };
  if (std::ranges::any_of(app_data.outputs, unanswered)) return roundtrip(session.event_queue, session.queue_handle);
  return {};
}

Result<std::vector<OutputInfo>> list_outputs(Kestrin& session) {
  if (auto settled = settle_outputs(session); !settled) return std::unexpected(settled.error());
  std::vector<const Output*> live;
  for (const auto& [global_name, output] : session.app_data->outputs)
    if (!output.removed && output.output) live.push_back(&output);
  std::ranges::sort(live, {}, &Output::announced);
  std::vector<OutputInfo> infos;
  infos.reserve(live.size());
  for (const Output* output : live) infos.push_back(describe_output(*output));
  return infos;
}

}  // namespace kestrin
