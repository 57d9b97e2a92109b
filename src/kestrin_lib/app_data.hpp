// The session's dispatch state and the handlers of every event it receives.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "kestrin_lib/wayland.hpp"

struct wl_buffer;
struct wl_output;
struct wl_registry;
struct wl_seat;
struct wl_shm;
struct wl_keyboard;
struct zwp_virtual_keyboard_manager_v1;
struct zwlr_virtual_pointer_manager_v1;
struct zwlr_screencopy_manager_v1;
struct zwlr_screencopy_frame_v1;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct ext_image_copy_capture_manager_v1;
struct ext_output_image_capture_source_manager_v1;

namespace kestrin {

struct OutputChanges;

// The seat keyboard's keymap as the compositor sent it.
struct Keymap {
  std::uint32_t format;
  Fd fd;
  std::uint32_t size;
};

// What wl_output and xdg-output say about an output. Events fill the
// pending set; done makes it the current one, so that a mode and a scale
// changed together are never seen half changed.
struct OutputGeometry {
  std::int32_t x = 0;  // wl_output.geometry's position
  std::int32_t y = 0;
  std::int32_t transform = 0;  // wl_output_transform
  std::int32_t width = 0;      // the current mode, in pixels
  std::int32_t height = 0;
  std::int32_t refresh = 0;  // mHz
  std::int32_t scale = 1;
  std::optional<std::string> description;
  // From xdg-output: the position and size in the layout, in logical units.
  std::optional<std::pair<std::int32_t, std::int32_t>> logical_position;
  std::optional<std::pair<std::int32_t, std::int32_t>> logical_size;
};

struct Output {
  Proxy<wl_output> output;
  std::optional<std::string> name;
  std::uint32_t global_name = 0;  // the registry name, also the proxy's user data
  std::uint32_t version = 0;      // the version the output was bound at
  // Its first done has come. A compositor sends the name before that, so a
  // name still missing then is not coming.
  bool described = false;
  OutputGeometry pending;
  OutputGeometry current;
  // Made once xdg-output is in use; gone before the wl_output it describes.
  Proxy<zxdg_output_v1> xdg_output;
  bool xdg_described = false;  // its first logical geometry has been committed
  bool removed = false;        // the compositor withdrew the global
  std::uint64_t announced = 0; // counts the wl_output globals, for their order
};

// Buffer parameters announced by a screencopy frame.
struct ScreencopyBuffer {
  std::uint32_t format;
  std::uint32_t width;
  std::uint32_t height;
  std::uint32_t stride;
};

// One capture in progress.
struct Screencopy {
  Proxy<zwlr_screencopy_frame_v1> frame;
  // The announced wl_shm buffer the capture will use (see frame_buffer).
  std::optional<ScreencopyBuffer> buffer;
  bool failed = false;  // the compositor sent failed for this frame
  // buffer_done has come: every kind of buffer the compositor can fill has
  // been announced, so a missing wl_shm buffer is not coming.
  bool buffers_announced = false;
  // The flags event said the picture comes bottom row first.
  bool y_invert = false;
};

struct AppData {
  AppData();
  AppData(const AppData&) = delete;
  AppData& operator=(const AppData&) = delete;
  ~AppData();

  // Fields in the order teardown releases them.
  Proxy<wl_seat> seat;
  Proxy<zwp_virtual_keyboard_manager_v1> virtual_keyboard_manager;
  Proxy<zwlr_virtual_pointer_manager_v1> virtual_pointer_manager;
  std::optional<Keymap> keymap;
  Proxy<zwlr_screencopy_manager_v1> screencopy_manager;
  std::map<std::uint32_t, Output> outputs;
  std::uint64_t outputs_announced = 0;
  // Bound only when the outputs' geometry is first asked for.
  std::uint32_t xdg_output_manager_name = 0;  // 0: not offered
  std::uint32_t xdg_output_manager_version = 0;
  Proxy<zxdg_output_manager_v1> xdg_output_manager;
  // ext-image-copy-capture-v1 and its output sources, bound only when a
  // capture first uses them (0: not offered).
  std::uint32_t image_copy_capture_manager_name = 0;
  std::uint32_t output_capture_source_manager_name = 0;
  Proxy<ext_image_copy_capture_manager_v1> image_copy_capture_manager;
  Proxy<ext_output_image_capture_source_manager_v1> output_capture_source_manager;
  Proxy<wl_shm> shm;
  std::optional<Screencopy> screencopy;
  bool screencopy_pending = false;
  // Per wl_output global: the damage its lasting captures share.
  std::map<std::uint32_t, std::shared_ptr<OutputChanges>> screencopy_changes;

  // Objects whose events keep arriving for the whole session although nothing
  // else refers to them; held here so that they are freed with the rest.
  Proxy<wl_registry> registry;
  Proxy<wl_keyboard> keyboard;
};

// Listener registration for the objects whose events reach AppData.
void listen_registry(AppData& app_data, wl_registry* registry);
void listen_keyboard(AppData& app_data, wl_keyboard* keyboard);
void listen_screencopy_frame(AppData& app_data, zwlr_screencopy_frame_v1* frame);
void listen_buffer(AppData& app_data, wl_buffer* buffer);
// Binds xdg-output if offered and not bound yet, and gives every output
// without one its xdg_output.
void watch_logical_geometry(AppData& app_data);

}  // namespace kestrin
