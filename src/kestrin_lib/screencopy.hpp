// The screencopy protocol: zwlr_screencopy_manager_v1 version 3 and
// zwlr_screencopy_frame_v1 version 3, whose events are the only events of the
// three extension protocols.
#pragma once

#include <wayland-client-core.h>

#include <cstdint>

#include "kestrin_lib/wayland.hpp"

struct wl_buffer;
struct wl_output;
struct zwlr_screencopy_manager_v1;
struct zwlr_screencopy_frame_v1;

namespace kestrin {

extern const wl_interface zwlr_screencopy_manager_v1_interface;
extern const wl_interface zwlr_screencopy_frame_v1_interface;

namespace screencopy {

enum : std::uint32_t { flags_y_invert = 1 };

// Handlers of the frame's events, in opcode order.
struct FrameListener {
  void (*buffer)(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t format, std::uint32_t width,
                 std::uint32_t height, std::uint32_t stride);
  void (*flags)(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t flags);
  void (*ready)(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t tv_sec_hi, std::uint32_t tv_sec_lo,
                std::uint32_t tv_nsec);
  void (*failed)(void* data, zwlr_screencopy_frame_v1* frame);
  void (*damage)(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t x, std::uint32_t y, std::uint32_t width,
                 std::uint32_t height);
  void (*linux_dmabuf)(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t format, std::uint32_t width,
                       std::uint32_t height);
  void (*buffer_done)(void* data, zwlr_screencopy_frame_v1* frame);
};

int add_listener(zwlr_screencopy_frame_v1* frame, const FrameListener* listener, void* data);

// zwlr_screencopy_manager_v1.capture_output (opcode 0).
zwlr_screencopy_frame_v1* capture_output(zwlr_screencopy_manager_v1* manager, std::int32_t overlay_cursor,
                                         wl_output* output, const QueueHandle& queue_handle);

// zwlr_screencopy_manager_v1.capture_output_region (opcode 1): the box is in
// the output's logical coordinates.
zwlr_screencopy_frame_v1* capture_output_region(zwlr_screencopy_manager_v1* manager, std::int32_t overlay_cursor,
                                                wl_output* output, std::int32_t x, std::int32_t y, std::int32_t width,
                                                std::int32_t height, const QueueHandle& queue_handle);

// zwlr_screencopy_frame_v1.copy_with_damage (opcode 2, version 2).
void copy_with_damage(zwlr_screencopy_frame_v1* frame, wl_buffer* buffer);

// zwlr_screencopy_frame_v1.copy (opcode 0).
void copy(zwlr_screencopy_frame_v1* frame, wl_buffer* buffer);

// zwlr_screencopy_frame_v1.destroy (opcode 1), a destructor: the proxy goes
// with the request.
void destroy(Proxy<zwlr_screencopy_frame_v1> frame);

}  // namespace screencopy
}  // namespace kestrin
