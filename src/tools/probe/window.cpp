#include "window.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "picture.hpp"
#include "report.hpp"

namespace probe {
namespace {

// sway's first configure leaves the size to the client even though fullscreen
// was asked for; it sends the output's size only once the window is mapped,
// which takes a buffer. This one is shown until then and never counts as ready.
constexpr std::uint32_t fallback_width = 640;
constexpr std::uint32_t fallback_height = 480;

void handle_close(void*, xdg_toplevel*) { emit(event_line("close")); }
void handle_configure_bounds(void*, xdg_toplevel*, std::int32_t, std::int32_t) {}
void handle_wm_capabilities(void*, xdg_toplevel*, wl_array*) {}

}  // namespace

Window::Window(wl_compositor* compositor, xdg_wm_base* wm_base, wl_shm* shm, bool fullscreen) : shm_(shm) {
  surface_.reset(wl_compositor_create_surface(compositor));
  xdg_surface_.reset(xdg_wm_base_get_xdg_surface(wm_base, surface_.get()));
  static const xdg_surface_listener surface_listener = {.configure = handle_surface_configure};
  xdg_surface_add_listener(xdg_surface_.get(), &surface_listener, this);
  toplevel_.reset(xdg_surface_get_toplevel(xdg_surface_.get()));
  static const xdg_toplevel_listener toplevel_listener = {
      .configure = handle_toplevel_configure,
      .close = handle_close,
      .configure_bounds = handle_configure_bounds,
      .wm_capabilities = handle_wm_capabilities,
  };
  xdg_toplevel_add_listener(toplevel_.get(), &toplevel_listener, this);
  xdg_toplevel_set_title(toplevel_.get(), "kestrin-probe");
  xdg_toplevel_set_app_id(toplevel_.get(), "kestrin-probe");
  // Asked for before the first commit, so that the window is fullscreen from
  // the moment it is mapped.
  if (fullscreen) xdg_toplevel_set_fullscreen(toplevel_.get(), nullptr);
  wl_surface_commit(surface_.get());
}

void Window::handle_toplevel_configure(void* data, xdg_toplevel*, std::int32_t width, std::int32_t height,
                                       wl_array*) {
  auto* self = static_cast<Window*>(data);
  self->configured_width_ = width;
  self->configured_height_ = height;
}

void Window::handle_surface_configure(void* data, xdg_surface* surface, std::uint32_t serial) {
  auto* self = static_cast<Window*>(data);
  xdg_surface_ack_configure(surface, serial);
  const std::uint32_t width = self->configured_width_ > 0 ? static_cast<std::uint32_t>(self->configured_width_)
                                                          : fallback_width;
  const std::uint32_t height = self->configured_height_ > 0 ? static_cast<std::uint32_t>(self->configured_height_)
                                                            : fallback_height;
  Json line = event_line("configure");
  line["width"] = self->configured_width_;
  line["height"] = self->configured_height_;
  emit(line);
  self->show(width, height, self->configured_width_ > 0 && self->configured_height_ > 0);
}

void Window::show(std::uint32_t width, std::uint32_t height, bool as_configured) {
  showing_configured_size_ = as_configured;
  if (buffer_ && buffer_->width() == width && buffer_->height() == height) {
    // The acknowledgement takes effect with a commit; the picture stays. The
    // fallback picture may happen to have the size asked for.
    if (as_configured && !ready_sent_ && !frame_) request_frame();
    wl_surface_commit(surface_.get());
    return;
  }
  std::erase_if(retired_, [](const auto& buffer) { return !buffer->busy(); });
  auto buffer = ShmBuffer::create(shm_, width, height);
  if (!buffer) {
    std::fprintf(stderr, "kestrin-probe: cannot make a %ux%u buffer: %s\n", width, height, std::strerror(errno));
    failed_ = true;
    return;
  }
  draw_picture(buffer->pixels(), width, height, buffer->stride());
  if (buffer_) retired_.push_back(std::move(buffer_));
  buffer_ = std::move(buffer);

  wl_surface_attach(surface_.get(), buffer_->buffer(), 0, 0);
  buffer_->mark_attached();
  wl_surface_damage_buffer(surface_.get(), 0, 0, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height));
  request_frame();
  wl_surface_commit(surface_.get());
}

void Window::paint(std::uint32_t x, std::uint32_t y, std::uint32_t width, std::uint32_t height) {
  if (!buffer_) return;
  const std::uint32_t right = std::min(x + width, buffer_->width());
  const std::uint32_t bottom = std::min(y + height, buffer_->height());
  auto* pixels = static_cast<std::uint8_t*>(buffer_->pixels());
  for (std::uint32_t row = y; row < bottom; ++row) {
    for (std::uint32_t column = x; column < right; ++column) {
      std::uint8_t* pixel = pixels + std::size_t{row} * buffer_->stride() + std::size_t{column} * 4;
      pixel[0] = pixel[1] = pixel[2] = pixel[3] = 0xFF;
    }
  }
  wl_surface_attach(surface_.get(), buffer_->buffer(), 0, 0);
  buffer_->mark_attached();
  wl_surface_damage_buffer(surface_.get(), static_cast<std::int32_t>(x), static_cast<std::int32_t>(y),
                           static_cast<std::int32_t>(width), static_cast<std::int32_t>(height));
  wl_surface_commit(surface_.get());
  Json line = event_line("painted");
  emit(line);
}

void Window::request_frame() {
  // A newer frame request replaces an older one still outstanding, whose done
  // event would describe a superseded buffer.
  frame_.reset(wl_surface_frame(surface_.get()));
  static const wl_callback_listener frame_listener = {.done = handle_frame_done};
  wl_callback_add_listener(frame_.get(), &frame_listener, this);
}

void Window::handle_frame_done(void* data, wl_callback*, std::uint32_t) {
  auto* self = static_cast<Window*>(data);
  self->frame_.reset();
  if (!self->showing_configured_size_) return;
  Json line = event_line(self->ready_sent_ ? "redrawn" : "ready");
  line["width"] = self->buffer_->width();
  line["height"] = self->buffer_->height();
  emit(line);
  self->ready_sent_ = true;
}

}  // namespace probe
