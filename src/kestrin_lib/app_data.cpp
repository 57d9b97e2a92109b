#include "kestrin_lib/app_data.hpp"

#include <wayland-client-protocol.h>

#include <algorithm>
#include <cstring>
#include <source_location>

#include "xdg-output-unstable-v1-client-protocol.h"

#include "kestrin_lib/log.hpp"
#include "kestrin_lib/pixel_format.hpp"
#include "kestrin_lib/render.hpp"
#include "kestrin_lib/screencopy.hpp"
#include "kestrin_lib/virtual_keyboard.hpp"
#include "kestrin_lib/virtual_pointer.hpp"

namespace kestrin {
namespace {

using log::app_data_target;
using render::Event;

AppData& state(void* data) { return *static_cast<AppData*>(data); }

// The highest versions whose events the handlers here know.
constexpr std::uint32_t known_seat_version = 9;
constexpr std::uint32_t known_output_version = 4;
constexpr std::uint32_t known_shm_version = 1;
constexpr std::uint32_t known_xdg_output_manager_version = 3;

// Binds at the advertised version, capped at what both the module and the
// client library can decode, so that a newer compositor cannot send events
// nobody here understands.
template <class T>
Proxy<T> bind(wl_registry* registry, std::uint32_t name, const wl_interface& interface, std::uint32_t advertised,
              std::uint32_t known) {
  std::uint32_t version = std::min({advertised, known, static_cast<std::uint32_t>(interface.version)});
  return Proxy<T>(static_cast<T*>(wl_registry_bind(registry, name, &interface, version)));
}

// --- wl_output --------------------------------------------------------------

void output_geometry(void*, wl_output*, std::int32_t x, std::int32_t y, std::int32_t physical_width,
                     std::int32_t physical_height, std::int32_t subpixel, const char* make, const char* model,
                     std::int32_t transform);
void output_mode(void*, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
                 std::int32_t refresh);
void output_done(void*, wl_output*);
void output_scale(void*, wl_output*, std::int32_t factor);
void output_name(void*, wl_output*, const char* name);
void output_description(void*, wl_output*, const char* description);

const wl_output_listener output_listener = {
    .geometry = output_geometry,
    .mode = output_mode,
    .done = output_done,
    .scale = output_scale,
    .name = output_name,
    .description = output_description,
};

Output& output_of(void* data) { return *static_cast<Output*>(data); }

// Version 1 outputs have no done event: what they send holds at once.
void changed(Output& output) {
  if (output.version < WL_OUTPUT_DONE_SINCE_VERSION) output.current = output.pending;
}

template <class F>
void log_output_event(const Output& output, const F& render_event,
                      std::source_location where = std::source_location::current()) {
  KESTRIN_LOG_INFO_AT(where, app_data_target, [&](std::string& out) {
    out += "WlOutput event for ";
    out += std::to_string(output.global_name);
    out += ": ";
    render_event(out);
  });
}

void output_geometry(void* data, wl_output*, std::int32_t x, std::int32_t y, std::int32_t physical_width,
                     std::int32_t physical_height, std::int32_t subpixel, const char* make, const char* model,
                     std::int32_t transform) {
  log_output_event(output_of(data), [&](std::string& out) {
    Event(out, "Geometry")
        .signed_number("x", x)
        .signed_number("y", y)
        .signed_number("physical_width", physical_width)
        .signed_number("physical_height", physical_height)
        .enumerated("subpixel", render::output_subpixel_name(subpixel), static_cast<std::uint32_t>(subpixel))
        .text("make", make)
        .text("model", model)
        .enumerated("transform", render::output_transform_name(transform), static_cast<std::uint32_t>(transform));
  });
  Output& output = output_of(data);
  output.pending.x = x;
  output.pending.y = y;
  output.pending.transform = transform;
  changed(output);
}

void output_mode(void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
                 std::int32_t refresh) {
  log_output_event(output_of(data), [&](std::string& out) {
    Event(out, "Mode")
        .bits("flags", flags, {"Current", "Preferred"})
        .signed_number("width", width)
        .signed_number("height", height)
        .signed_number("refresh", refresh);
  });
  if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
  Output& output = output_of(data);
  output.pending.width = width;
  output.pending.height = height;
  output.pending.refresh = refresh;
  changed(output);
}

void output_done(void* data, wl_output*) {
  Output& output = output_of(data);
  log_output_event(output, [&](std::string& out) { Event(out, "Done"); });
  output.described = true;
  output.current = output.pending;
  // From version 3 on, xdg-output's geometry is committed by this done.
  if (output.xdg_output && output.pending.logical_size) output.xdg_described = true;
}

void output_scale(void* data, wl_output*, std::int32_t factor) {
  log_output_event(output_of(data), [&](std::string& out) { Event(out, "Scale").signed_number("factor", factor); });
  Output& output = output_of(data);
  output.pending.scale = factor;
  changed(output);
}

void output_name(void* data, wl_output*, const char* name) {
  Output& output = output_of(data);
  log_output_event(output, [&](std::string& out) { Event(out, "Name").text("name", name); });
  output.name = std::string(name != nullptr ? name : "");
}

void output_description(void* data, wl_output*, const char* description) {
  log_output_event(output_of(data),
                   [&](std::string& out) { Event(out, "Description").text("description", description); });
  Output& output = output_of(data);
  output.pending.description = std::string(description != nullptr ? description : "");
  changed(output);
}

// --- zxdg_output_v1 ---------------------------------------------------------
// Not logged: the records of a session stay those of wl_output, whether or
// not its geometry was asked for.

void xdg_output_logical_position(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
  output_of(data).pending.logical_position = {x, y};
}

void xdg_output_logical_size(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
  output_of(data).pending.logical_size = {width, height};
}

// Versions 1 and 2 end a set with their own done; version 3 leaves it to
// wl_output's.
void xdg_output_done(void* data, zxdg_output_v1*) {
  Output& output = output_of(data);
  output.current.logical_position = output.pending.logical_position;
  output.current.logical_size = output.pending.logical_size;
  output.xdg_described = true;
}

void xdg_output_name(void*, zxdg_output_v1*, const char*) {}
void xdg_output_description(void*, zxdg_output_v1*, const char*) {}

const zxdg_output_v1_listener xdg_output_listener = {
    .logical_position = xdg_output_logical_position,
    .logical_size = xdg_output_logical_size,
    .done = xdg_output_done,
    .name = xdg_output_name,
    .description = xdg_output_description,
};

void watch_output(AppData& app_data, Output& output) {
  if (!app_data.xdg_output_manager || output.xdg_output || !output.output) return;
  output.xdg_output.reset(zxdg_output_manager_v1_get_xdg_output(app_data.xdg_output_manager.get(), output.output.get()));
  if (output.xdg_output) zxdg_output_v1_add_listener(output.xdg_output.get(), &xdg_output_listener, &output);
}

// --- wl_seat ----------------------------------------------------------------

void seat_capabilities(void*, wl_seat*, std::uint32_t capabilities) {
  KESTRIN_LOG_INFO(app_data_target, [&](std::string& out) {
    out += "Seat event: ";
    Event(out, "Capabilities").bits("capabilities", capabilities, {"Pointer", "Keyboard", "Touch"});
  });
}

void seat_name(void*, wl_seat*, const char* name) {
  KESTRIN_LOG_INFO(app_data_target, [&](std::string& out) {
    out += "Seat event: ";
    Event(out, "Name").text("name", name);
  });
}

const wl_seat_listener seat_listener = {
    .capabilities = seat_capabilities,
    .name = seat_name,
};

// --- wl_keyboard ------------------------------------------------------------

template <class F>
void log_keyboard_event(const F& render_event, std::source_location where = std::source_location::current()) {
  KESTRIN_LOG_INFO_AT(where, app_data_target, [&](std::string& out) {
    out += "Keyboard event: ";
    render_event(out);
  });
}

void keyboard_keymap(void* data, wl_keyboard*, std::uint32_t format, std::int32_t fd, std::uint32_t size) {
  Fd owned(fd);
  log_keyboard_event([&](std::string& out) {
    Event(out, "Keymap")
        .enumerated("format", render::keymap_format_name(format), format)
        .fd("fd", fd)
        .number("size", size);
  });
  // Replacing an earlier record closes its descriptor.
  state(data).keymap = Keymap{format, std::move(owned), size};
}

void keyboard_enter(void*, wl_keyboard*, std::uint32_t serial, wl_surface* surface, wl_array* keys) {
  log_keyboard_event([&](std::string& out) {
    Event(out, "Enter").number("serial", serial).object("surface", surface).array("keys", keys);
  });
}

void keyboard_leave(void*, wl_keyboard*, std::uint32_t serial, wl_surface* surface) {
  log_keyboard_event(
      [&](std::string& out) { Event(out, "Leave").number("serial", serial).object("surface", surface); });
}

void keyboard_key(void*, wl_keyboard*, std::uint32_t serial, std::uint32_t time, std::uint32_t key,
                  std::uint32_t key_state) {
  log_keyboard_event([&](std::string& out) {
    Event(out, "Key")
        .number("serial", serial)
        .number("time", time)
        .number("key", key)
        .enumerated("state", render::key_state_name(key_state), key_state);
  });
}

void keyboard_modifiers(void*, wl_keyboard*, std::uint32_t serial, std::uint32_t mods_depressed,
                        std::uint32_t mods_latched, std::uint32_t mods_locked, std::uint32_t group) {
  log_keyboard_event([&](std::string& out) {
    Event(out, "Modifiers")
        .number("serial", serial)
        .number("mods_depressed", mods_depressed)
        .number("mods_latched", mods_latched)
        .number("mods_locked", mods_locked)
        .number("group", group);
  });
}

void keyboard_repeat_info(void*, wl_keyboard*, std::int32_t rate, std::int32_t delay) {
  log_keyboard_event(
      [&](std::string& out) { Event(out, "RepeatInfo").signed_number("rate", rate).signed_number("delay", delay); });
}

const wl_keyboard_listener keyboard_listener = {
    .keymap = keyboard_keymap,
    .enter = keyboard_enter,
    .leave = keyboard_leave,
    .key = keyboard_key,
    .modifiers = keyboard_modifiers,
    .repeat_info = keyboard_repeat_info,
};

// --- wl_shm and wl_buffer ---------------------------------------------------

void shm_format(void*, wl_shm*, std::uint32_t format) {
  KESTRIN_LOG_INFO(app_data_target, [&](std::string& out) {
    out += "Shm event: ";
    Event(out, "Format").enumerated("format", render::shm_format_name(format), format);
  });
}

const wl_shm_listener shm_listener = {
    .format = shm_format,
};

void buffer_release(void*, wl_buffer*) {
  KESTRIN_LOG_INFO(app_data_target, [&](std::string& out) {
    out += "Shm event: ";
    Event(out, "Release");
  });
}

const wl_buffer_listener buffer_listener = {
    .release = buffer_release,
};

// --- zwlr_screencopy_frame_v1 -----------------------------------------------

template <class F>
void log_frame_event(const F& render_event, std::source_location where = std::source_location::current()) {
  KESTRIN_LOG_INFO_AT(where, app_data_target, [&](std::string& out) {
    out += "Screencopy event: ";
    render_event(out);
  });
}

// The capture a frame event belongs to, or null for a frame that is not the
// one in progress.
Screencopy* capture_of(AppData& app_data, zwlr_screencopy_frame_v1* frame) {
  if (app_data.screencopy && app_data.screencopy->frame.get() == frame) return &*app_data.screencopy;
  return nullptr;
}

void frame_buffer(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t format, std::uint32_t width,
                  std::uint32_t height, std::uint32_t stride) {
  log_frame_event([&](std::string& out) {
    Event(out, "Buffer")
        .enumerated("format", render::shm_format_name(format), format)
        .number("width", width)
        .number("height", height)
        .number("stride", stride);
  });
  Screencopy* capture = capture_of(state(data), frame);
  if (capture == nullptr) return;
  // Of several kinds of buffer, the format read best; of one kind, the last.
  auto rank = [](std::uint32_t code) { return pixel_format::preference(code).value_or(~0u); };
  if (!capture->buffer || rank(format) <= rank(capture->buffer->format))
    capture->buffer = ScreencopyBuffer{format, width, height, stride};
}

void frame_flags(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t flags) {
  log_frame_event([&](std::string& out) { Event(out, "Flags").bits("flags", flags, {"YInvert"}); });
  if (Screencopy* capture = capture_of(state(data), frame))
    capture->y_invert = (flags & screencopy::flags_y_invert) != 0;
}

void frame_ready(void* data, zwlr_screencopy_frame_v1*, std::uint32_t tv_sec_hi, std::uint32_t tv_sec_lo,
                 std::uint32_t tv_nsec) {
  log_frame_event([&](std::string& out) {
    Event(out, "Ready").number("tv_sec_hi", tv_sec_hi).number("tv_sec_lo", tv_sec_lo).number("tv_nsec", tv_nsec);
  });
  state(data).screencopy_pending = false;
}

void frame_failed(void* data, zwlr_screencopy_frame_v1* frame) {
  log_frame_event([&](std::string& out) { Event(out, "Failed"); });
  if (Screencopy* capture = capture_of(state(data), frame)) capture->failed = true;
}

void frame_damage(void*, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y, std::uint32_t width,
                  std::uint32_t height) {
  log_frame_event([&](std::string& out) {
    Event(out, "Damage").number("x", x).number("y", y).number("width", width).number("height", height);
  });
}

void frame_linux_dmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t format, std::uint32_t width,
                        std::uint32_t height) {
  log_frame_event([&](std::string& out) {
    Event(out, "LinuxDmabuf").number("format", format).number("width", width).number("height", height);
  });
}

void frame_buffer_done(void* data, zwlr_screencopy_frame_v1* frame) {
  log_frame_event([&](std::string& out) { Event(out, "BufferDone"); });
  if (Screencopy* capture = capture_of(state(data), frame)) capture->buffers_announced = true;
}

const screencopy::FrameListener frame_listener = {
    .buffer = frame_buffer,
    .flags = frame_flags,
    .ready = frame_ready,
    .failed = frame_failed,
    .damage = frame_damage,
    .linux_dmabuf = frame_linux_dmabuf,
    .buffer_done = frame_buffer_done,
};

// --- wl_registry ------------------------------------------------------------

void registry_global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                     std::uint32_t version) {
  KESTRIN_LOG_INFO(app_data_target, [&](std::string& out) {
    out += "Registry event: ";
    Event(out, "Global").number("name", name).text("interface", interface).number("version", version);
  });
  AppData& app_data = state(data);
  std::string_view kind(interface);
  if (kind == "wl_shm") {
    app_data.shm = bind<wl_shm>(registry, name, wl_shm_interface, version, known_shm_version);
    if (app_data.shm) wl_shm_add_listener(app_data.shm.get(), &shm_listener, &app_data);
  } else if (kind == "wl_seat") {
    app_data.seat = bind<wl_seat>(registry, name, wl_seat_interface, version, known_seat_version);
    if (app_data.seat) wl_seat_add_listener(app_data.seat.get(), &seat_listener, &app_data);
  } else if (kind == "wl_output") {
    app_data.outputs.erase(name);
    Output& output = app_data.outputs[name];
    output.global_name = name;
    output.announced = ++app_data.outputs_announced;
    output.output = bind<wl_output>(registry, name, wl_output_interface, version, known_output_version);
    if (output.output) {
      output.version = wl_proxy_get_version(as_proxy(output.output.get()));
      wl_output_add_listener(output.output.get(), &output_listener, &output);
      watch_output(app_data, output);
    }
  } else if (kind == "zwlr_screencopy_manager_v1") {
    app_data.screencopy_manager = bind<zwlr_screencopy_manager_v1>(
        registry, name, zwlr_screencopy_manager_v1_interface, version, zwlr_screencopy_manager_v1_interface.version);
  } else if (kind == "zwp_virtual_keyboard_manager_v1") {
    app_data.virtual_keyboard_manager =
        bind<zwp_virtual_keyboard_manager_v1>(registry, name, zwp_virtual_keyboard_manager_v1_interface, version,
                                              zwp_virtual_keyboard_manager_v1_interface.version);
  } else if (kind == "zwlr_virtual_pointer_manager_v1") {
    app_data.virtual_pointer_manager =
        bind<zwlr_virtual_pointer_manager_v1>(registry, name, zwlr_virtual_pointer_manager_v1_interface, version,
                                              zwlr_virtual_pointer_manager_v1_interface.version);
  } else if (kind == "zxdg_output_manager_v1") {
    app_data.xdg_output_manager_name = name;
    app_data.xdg_output_manager_version = version;
  } else if (kind == "ext_image_copy_capture_manager_v1") {
    app_data.image_copy_capture_manager_name = name;
  } else if (kind == "ext_output_image_capture_source_manager_v1") {
    app_data.output_capture_source_manager_name = name;
  }
}

void registry_global_remove(void* data, wl_registry*, std::uint32_t name) {
  KESTRIN_LOG_INFO(app_data_target, [&](std::string& out) {
    out += "Registry event: ";
    Event(out, "GlobalRemove").number("name", name);
  });
  // The output stays known, so that naming it still reaches the compositor
  // (which refuses it); only the geometry and the pointer leave it out.
  AppData& app_data = state(data);
  if (auto found = app_data.outputs.find(name); found != app_data.outputs.end()) found->second.removed = true;
}

const wl_registry_listener registry_listener = {
    .global = registry_global,
    .global_remove = registry_global_remove,
};

}  // namespace

AppData::AppData() = default;
AppData::~AppData() = default;

void listen_registry(AppData& app_data, wl_registry* registry) {
  wl_registry_add_listener(registry, &registry_listener, &app_data);
}

void listen_keyboard(AppData& app_data, wl_keyboard* keyboard) {
  wl_keyboard_add_listener(keyboard, &keyboard_listener, &app_data);
}

void listen_screencopy_frame(AppData& app_data, zwlr_screencopy_frame_v1* frame) {
  screencopy::add_listener(frame, &frame_listener, &app_data);
}

void listen_buffer(AppData& app_data, wl_buffer* buffer) { wl_buffer_add_listener(buffer, &buffer_listener, &app_data); }

void watch_logical_geometry(AppData& app_data) {
  if (!app_data.xdg_output_manager && app_data.xdg_output_manager_name != 0 && app_data.registry) {
    app_data.xdg_output_manager =
        bind<zxdg_output_manager_v1>(app_data.registry.get(), app_data.xdg_output_manager_name,
                                     zxdg_output_manager_v1_interface, app_data.xdg_output_manager_version,
                                     known_xdg_output_manager_version);
  }
  for (auto& [global_name, output] : app_data.outputs) {
    if (!output.removed) watch_output(app_data, output);
  }
}

}  // namespace kestrin
