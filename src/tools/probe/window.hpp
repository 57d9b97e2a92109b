// The probe's one window: an xdg_toplevel showing the test picture at whatever
// size the compositor configures, fullscreen unless asked otherwise.
//
// Lines written: "configure" {width, height} for every configure sequence
// (0 where the compositor leaves the size to the client),
// "ready" {width, height} once, after the first buffer at the configured size
// has been committed and its frame callback has completed (the picture is then
// on the output), and "redrawn" {width, height} for later size changes.
#pragma once

#include <wayland-client-protocol.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "kestrin_lib/wayland.hpp"
#include "shm_buffer.hpp"
#include "xdg-shell-client-protocol.h"

namespace probe {

class Window {
 public:
  Window(wl_compositor* compositor, xdg_wm_base* wm_base, wl_shm* shm, bool fullscreen);
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  wl_surface* surface() const { return surface_.get(); }
  // Set when a buffer could not be made; the probe cannot go on then.
  bool failed() const { return failed_; }

  // Paints a rectangle of the picture white and shows it, so that a capture
  // waiting for a change sees one; "painted" follows once it is on screen.
  void paint(std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height);

 private:
  static void handle_toplevel_configure(void* data, xdg_toplevel*, std::int32_t width, std::int32_t height,
                                        wl_array* states);
  static void handle_surface_configure(void* data, xdg_surface*, std::uint32_t serial);
  static void handle_frame_done(void* data, wl_callback*, std::uint32_t time);

  void show(std::uint32_t width, std::uint32_t height, bool as_configured);
  void request_frame();

  wl_shm* shm_;
  kestrin::Proxy<wl_surface> surface_;
  kestrin::Proxy<xdg_surface> xdg_surface_;
  kestrin::Proxy<xdg_toplevel> toplevel_;
  kestrin::Proxy<wl_callback> frame_;
  std::unique_ptr<ShmBuffer> buffer_;
  // Replaced buffers, kept until the compositor lets go of them.
  std::vector<std::unique_ptr<ShmBuffer>> retired_;

  std::int32_t configured_width_ = 0;
  std::int32_t configured_height_ = 0;
  // Whether the last buffer has the size the compositor asked for.
  bool showing_configured_size_ = false;
  bool ready_sent_ = false;
  bool failed_ = false;
};

}  // namespace probe
