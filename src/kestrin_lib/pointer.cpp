#include "kestrin_lib/pointer.hpp"

#include <wayland-client-protocol.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <ctime>


#include "kestrin_lib/mod.hpp"
#include "kestrin_lib/outputs.hpp"
#include "kestrin_lib/sleep.hpp"
#include "kestrin_lib/virtual_pointer.hpp"

namespace kestrin {
namespace {

constexpr std::uint32_t no_timestamp = 0;
constexpr std::pair<std::uint32_t, std::string_view> button_names[] = {
    {left_button, "left"}, {right_button, "right"}, {middle_button, "middle"}, {side_button, "side"},
    {extra_button, "extra"}};

// libinput's value of one mouse wheel step.
constexpr std::int32_t wheel_step = 15;

// Where an absolute motion goes: the pointer and its four arguments.
struct Aim {
  zwlr_virtual_pointer_v1* pointer;
  std::uint32_t x, y, x_extent, y_extent;
};

// The output a pixel is aimed at, with its settled geometry.
struct Target {
  Output* output;
  OutputInfo info;
};

// wlroots turns the fraction (u, v) of a pointer bound to an output by the
// output's transform before it maps it onto the output's box in the layout
// (wlr_cursor's apply_output_transform), so that a fraction of the picture
// lands where that part of the picture is shown. The layout-wide pointer
// gets the same treatment here.
std::pair<double, double> shown_fraction(double u, double v, std::int32_t transform) {
  switch (transform) {
    case WL_OUTPUT_TRANSFORM_90: return {1 - v, u};
    case WL_OUTPUT_TRANSFORM_180: return {1 - u, 1 - v};
    case WL_OUTPUT_TRANSFORM_270: return {v, 1 - u};
    case WL_OUTPUT_TRANSFORM_FLIPPED: return {1 - u, v};
    case WL_OUTPUT_TRANSFORM_FLIPPED_90: return {v, u};
    case WL_OUTPUT_TRANSFORM_FLIPPED_180: return {u, 1 - v};
    case WL_OUTPUT_TRANSFORM_FLIPPED_270: return {1 - v, 1 - u};
    default: return {u, v};
  }
}

bool settled(const AppData& app_data) {
  if (app_data.xdg_output_manager_name != 0 && !app_data.xdg_output_manager) return false;
  return std::ranges::none_of(app_data.outputs, [](const auto& entry) {
    const Output& output = entry.second;
    return !output.removed && output.output && output.version >= WL_OUTPUT_DONE_SINCE_VERSION && !output.described;
  });
}

// The geometry is settled once, on first use; later changes arrive with the
// roundtrip that ends every call.
Result<Target> find_target(Kestrin& session, std::optional<std::string_view> screen_name) {
  if (!settled(*session.app_data)) {
    if (auto done = settle_outputs(session); !done) return std::unexpected(done.error());
  }
  auto output = choose_output(*session.app_data, screen_name, true);
  if (!output) return std::unexpected(output.error());
  return Target{*output, describe_output(**output)};
}

std::string output_label(const Target& target) { return target.output->name ? *target.output->name : "the output"; }

Status check_inside(const Target& target, std::uint32_t x, std::uint32_t y) {
  return check_inside_picture(output_label(target), static_cast<std::uint32_t>(std::max(target.info.width, 0)),
                              static_cast<std::uint32_t>(std::max(target.info.height, 0)), x, y);
}

// A pointer bound to the output, with the picture's size as its extent:
// wlroots maps it onto the output's box whatever the scale and transform.
// Positions are in half pixels, aimed at the pixel's centre: its corner
// would lie on the neighbouring pixel's edge once a transform turns or
// flips the picture.
Result<Aim> aim_on_output(Kestrin& session, const Target& target, std::uint32_t x, std::uint32_t y) {
  PointerState& state = session.pointer;
  const std::uint32_t key = target.output->global_name;
  auto found = state.per_output.find(key);
  if (found != state.per_output.end() && found->second.output != target.output->output.get()) {
    state.per_output.erase(found);
    found = state.per_output.end();
  }
  if (found == state.per_output.end()) {
    if (auto connected = session.event_queue.still_connected(); !connected) return std::unexpected(connected.error());
    Proxy<zwlr_virtual_pointer_v1> pointer(virtual_pointer::create_virtual_pointer_with_output(
        session.app_data->virtual_pointer_manager.get(), session.app_data->seat.get(), target.output->output.get(),
        session.queue_handle));
    if (!pointer) return std::unexpected(Error::ordinary("out of memory"));
    found = state.per_output.emplace(key, PointerState::OutputPointer{target.output->output.get(), std::move(pointer)})
                .first;
  }
  return Aim{found->second.pointer.get(), 2 * x + 1, 2 * y + 1, 2 * static_cast<std::uint32_t>(target.info.width),
             2 * static_cast<std::uint32_t>(target.info.height)};
}

// A version 1 manager has only the layout-wide pointer, whose extent is the
// box around every output.
Aim aim_in_layout(Kestrin& session, const Target& target, std::uint32_t x, std::uint32_t y) {
  const LayoutBox box = layout_box(*session.app_data);
  const double box_width = static_cast<double>(std::max<std::int64_t>(box.width(), 1));
  const double box_height = static_cast<double>(std::max<std::int64_t>(box.height(), 1));
  const auto [u, v] = shown_fraction((x + 0.5) / target.info.width, (y + 0.5) / target.info.height,
                                     target.output->current.transform);
  const double layout_x =
      static_cast<double>(std::int64_t{target.info.x} - box.left) + u * std::max(target.info.logical_width, 0);
  const double layout_y =
      static_cast<double>(std::int64_t{target.info.y} - box.top) + v * std::max(target.info.logical_height, 0);
  // Finer than a logical unit, so that every pixel of a scaled output has a
  // place of its own; coarser only for a layout wider than the extent can
  // count.
  const double fit = UINT32_MAX / std::max(box_width, box_height);
  const double units = fit >= 1 ? std::floor(std::min(256.0, fit)) : fit;
  const auto extent_x = static_cast<std::uint32_t>(std::clamp(std::round(box_width * units), 1.0, double{UINT32_MAX}));
  const auto extent_y = static_cast<std::uint32_t>(std::clamp(std::round(box_height * units), 1.0, double{UINT32_MAX}));
  auto place = [](double position, std::uint32_t extent) {
    return static_cast<std::uint32_t>(std::clamp(std::round(position), 0.0, static_cast<double>(extent - 1)));
  };
  return Aim{session.virtual_pointer.get(), place(layout_x * units, extent_x), place(layout_y * units, extent_y),
             extent_x, extent_y};
}

Result<Aim> aim(Kestrin& session, const Target& target, std::uint32_t x, std::uint32_t y) {
  if (wl_proxy_get_version(as_proxy(session.app_data->virtual_pointer_manager.get())) >=
      virtual_pointer::with_output_since_version)
    return aim_on_output(session, target, x, y);
  return aim_in_layout(session, target, x, y);
}

void send_motion(const Aim& aim) {
  virtual_pointer::motion_absolute(aim.pointer, no_timestamp, aim.x, aim.y, aim.x_extent, aim.y_extent);
}

bool is_held(const PointerState& state, std::uint32_t button) { return std::ranges::find(state.held, button) != state.held.end(); }

void press(Kestrin& session, std::uint32_t button) {
  virtual_pointer::button(session.virtual_pointer.get(), no_timestamp, button, virtual_pointer::button_state_pressed);
  session.pointer.held.push_back(button);
}

void release(Kestrin& session, std::uint32_t button) {
  virtual_pointer::button(session.virtual_pointer.get(), no_timestamp, button, virtual_pointer::button_state_released);
  std::erase(session.pointer.held, button);
}

// A press whose roundtrip failed: on a broken connection nothing is held
// any more; a wait that a signal ended leaves the button held.
Status pressed(Kestrin& session, std::uint32_t button, Status done) {
  if (!done && !done.error().is_interrupted()) std::erase(session.pointer.held, button);
  return done;
}

// A call that pressed `button` for itself ends early with `failed`: the
// release goes out at once, without waiting again (as left_click's after
// Ctrl-C), so that nothing is left held; on a broken connection there is
// nothing to release.
Status let_go(Kestrin& session, std::uint32_t button, Status failed) {
  if (session.event_queue.still_connected()) {
    release(session, button);
    session.event_queue.send_now();
  } else {
    std::erase(session.pointer.held, button);
  }
  return failed;
}


}  // namespace

Status check_inside_picture(const std::string& label, std::uint32_t width, std::uint32_t height, std::uint32_t x,
                            std::uint32_t y) {
  const char* axis = x >= width ? "x" : y >= height ? "y" : nullptr;
  if (axis == nullptr) return {};
  const std::uint32_t value = x >= width ? x : y;
  return std::unexpected(Error::invalid_value(std::string(axis) + "=" + std::to_string(value) +
                                              " is outside the picture of " + label + ", which is " +
                                              std::to_string(width) + "x" + std::to_string(height) + " pixels"));
}

Error already_held(std::uint32_t button) {
  return Error::invalid_value("button " + button_label(button) + " is already held");
}

Status check_amount(const char* name, std::int32_t amount, std::int32_t limit, const char* unit) {
  if (amount >= -limit && amount <= limit) return {};
  return std::unexpected(Error::invalid_value(std::string(name) + "=" + std::to_string(amount) + " is beyond the " +
                                              std::to_string(limit) + " " + unit + " one call can send either way"));
}

PointerState::PointerState(PointerState&& other) noexcept
    : per_output(std::move(other.per_output)),
      held(std::exchange(other.held, {})),
      buttons(std::exchange(other.buttons, nullptr)),
      display(std::exchange(other.display, nullptr)) {}

PointerState::~PointerState() {
  if (held.empty() || buttons == nullptr || display == nullptr) return;
  for (auto button = held.rbegin(); button != held.rend(); ++button)
    virtual_pointer::button(buttons, no_timestamp, *button, virtual_pointer::button_state_released);
  hand_over_before_closing(display);
}

std::optional<std::uint32_t> button_code(std::string_view name) {
  for (const auto& [code, known] : button_names)
    if (known == name) return code;
  return std::nullopt;
}

std::string button_label(std::uint32_t button) {
  for (const auto& [code, name] : button_names)
    if (code == button) return std::string(name) + " (" + std::to_string(button) + ")";
  return std::to_string(button);
}

Status move_to(Kestrin& session, std::uint32_t x, std::uint32_t y, std::optional<std::string_view> screen_name) {
  auto target = find_target(session, screen_name);
  if (!target) return std::unexpected(target.error());
  if (auto inside = check_inside(*target, x, y); !inside) return inside;
  auto motion = aim(session, *target, x, y);
  if (!motion) return std::unexpected(motion.error());
  send_motion(*motion);
  return roundtrip(session.event_queue, session.queue_handle);
}

Status button_down(Kestrin& session, std::uint32_t button) {
  if (is_held(session.pointer, button)) return std::unexpected(already_held(button));
  press(session, button);
  return pressed(session, button, roundtrip(session.event_queue, session.queue_handle));
}

Status button_up(Kestrin& session, std::uint32_t button) {
  if (!is_held(session.pointer, button))
    return std::unexpected(Error::invalid_value("button " + button_label(button) + " is not held"));
  release(session, button);
  return roundtrip(session.event_queue, session.queue_handle);
}

Status drag(Kestrin& session, const DragPath& path, const UIntValue& duration) {
  if (path.steps == 0) return std::unexpected(Error::invalid_value("steps=0: a drag takes at least one step"));
  if (is_held(session.pointer, path.button)) return std::unexpected(already_held(path.button));
  auto target = find_target(session, path.screen_name);
  if (!target) return std::unexpected(target.error());
  if (auto inside = check_inside(*target, path.x1, path.y1); !inside) return inside;
  if (auto inside = check_inside(*target, path.x2, path.y2); !inside) return inside;
  auto duration_ms = duration.get();
  if (!duration_ms) return std::unexpected(duration_ms.error());

  auto start = aim(session, *target, path.x1, path.y1);
  if (!start) return std::unexpected(start.error());
  send_motion(*start);
  press(session, path.button);
  if (auto done = roundtrip(session.event_queue, session.queue_handle); !done)
    return let_go(session, path.button, done);

  const EvenSteps pace(*duration_ms, path.steps);
  for (std::uint32_t step = 1; step <= path.steps; ++step) {
    if (auto waited = pace.wait(step); !waited) return let_go(session, path.button, waited);
    auto motion = aim(session, *target, between(path.x1, path.x2, step, path.steps),
                      between(path.y1, path.y2, step, path.steps));
    if (!motion) return let_go(session, path.button, std::unexpected(motion.error()));
    send_motion(*motion);
    // Each motion goes out before the next is queued: libwayland-client
    // fails the whole connection when a request finds its few kilobytes
    // full and the socket takes no more, which a long drag reaches as soon
    // as the compositor reads slower than it is written to. The flush waits
    // for room instead, as every wait does.
    if (auto sent = session.event_queue.flush(); !sent) return let_go(session, path.button, sent);
  }
  release(session, path.button);
  return roundtrip(session.event_queue, session.queue_handle);
}

Status scroll(Kestrin& session, std::int32_t dy, std::int32_t dx) {
  if (auto fits = check_amount("dy", dy, max_wheel_steps, "wheel steps"); !fits) return fits;
  if (auto fits = check_amount("dx", dx, max_wheel_steps, "wheel steps"); !fits) return fits;
  if (dy == 0 && dx == 0) return {};
  zwlr_virtual_pointer_v1* pointer = session.virtual_pointer.get();
  for (auto [axis, steps] : {std::pair{virtual_pointer::axis_vertical, dy}, {virtual_pointer::axis_horizontal, dx}}) {
    if (steps == 0) continue;
    virtual_pointer::axis_source(pointer, virtual_pointer::axis_source_wheel);
    virtual_pointer::axis_discrete(pointer, no_timestamp, axis, wl_fixed_from_int(steps * wheel_step), steps);
    virtual_pointer::frame(pointer);
  }
  return roundtrip(session.event_queue, session.queue_handle);
}

Status scroll_smooth(Kestrin& session, std::int32_t dy, std::int32_t dx) {
  if (auto fits = check_amount("dy", dy, max_scroll_pixels, "pixels"); !fits) return fits;
  if (auto fits = check_amount("dx", dx, max_scroll_pixels, "pixels"); !fits) return fits;
  if (dy == 0 && dx == 0) return {};
  zwlr_virtual_pointer_v1* pointer = session.virtual_pointer.get();
  // wlroots gives axis_source to the axis named last, so it follows the
  // axis (and the stop) in each frame rather than leading it.
  for (auto [axis, pixels] : {std::pair{virtual_pointer::axis_vertical, dy}, {virtual_pointer::axis_horizontal, dx}}) {
    if (pixels == 0) continue;
    virtual_pointer::axis(pointer, no_timestamp, axis, wl_fixed_from_int(pixels));
    virtual_pointer::axis_source(pointer, virtual_pointer::axis_source_finger);
    virtual_pointer::frame(pointer);
    virtual_pointer::axis_stop(pointer, no_timestamp, axis);
    virtual_pointer::axis_source(pointer, virtual_pointer::axis_source_finger);
    virtual_pointer::frame(pointer);
  }
  return roundtrip(session.event_queue, session.queue_handle);
}

}  // namespace kestrin
