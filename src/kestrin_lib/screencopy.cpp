#include "kestrin_lib/screencopy.hpp"

#include <wayland-client-protocol.h>

namespace kestrin {
namespace {

const wl_interface* no_types[] = {nullptr, nullptr, nullptr, nullptr};
const wl_interface* capture_output_types[] = {&zwlr_screencopy_frame_v1_interface, nullptr, &wl_output_interface};
const wl_interface* capture_output_region_types[] = {
    &zwlr_screencopy_frame_v1_interface, nullptr, &wl_output_interface, nullptr, nullptr, nullptr, nullptr};
const wl_interface* copy_types[] = {&wl_buffer_interface};

const wl_message manager_requests[] = {
    {"capture_output", "nio", capture_output_types},
    {"capture_output_region", "nioiiii", capture_output_region_types},
    {"destroy", "", no_types},  // destructor
};

const wl_message frame_requests[] = {
    {"copy", "o", copy_types},
    {"destroy", "", no_types},  // destructor
    {"copy_with_damage", "2o", copy_types},
};

const wl_message frame_events[] = {
    {"buffer", "uuuu", no_types},
    {"flags", "u", no_types},
    {"ready", "uuu", no_types},
    {"failed", "", no_types},
    {"damage", "2uuuu", no_types},
    {"linux_dmabuf", "3uuu", no_types},
    {"buffer_done", "3", no_types},
};

enum : std::uint32_t { capture_output_opcode = 0, capture_output_region_opcode = 1 };
enum : std::uint32_t { copy_opcode = 0, destroy_opcode = 1, copy_with_damage_opcode = 2 };

}  // namespace

const wl_interface zwlr_screencopy_manager_v1_interface = {
    "zwlr_screencopy_manager_v1", 3, 3, manager_requests, 0, nullptr,
};

const wl_interface zwlr_screencopy_frame_v1_interface = {
    "zwlr_screencopy_frame_v1", 3, 3, frame_requests, 7, frame_events,
};

namespace screencopy {

int add_listener(zwlr_screencopy_frame_v1* frame, const FrameListener* listener, void* data) {
  return wl_proxy_add_listener(as_proxy(frame), reinterpret_cast<void (**)(void)>(const_cast<FrameListener*>(listener)),
                               data);
}

zwlr_screencopy_frame_v1* capture_output(zwlr_screencopy_manager_v1* manager, std::int32_t overlay_cursor,
                                         wl_output* output, const QueueHandle& queue_handle) {
  return queue_handle.create<zwlr_screencopy_frame_v1>(
      manager, [overlay_cursor, output](zwlr_screencopy_manager_v1* wrapper) {
        return reinterpret_cast<zwlr_screencopy_frame_v1*>(
            wl_proxy_marshal_flags(as_proxy(wrapper), capture_output_opcode, &zwlr_screencopy_frame_v1_interface,
                                   wl_proxy_get_version(as_proxy(wrapper)), 0, nullptr, overlay_cursor, output));
      });
}

zwlr_screencopy_frame_v1* capture_output_region(zwlr_screencopy_manager_v1* manager, std::int32_t overlay_cursor,
                                                wl_output* output, std::int32_t x, std::int32_t y, std::int32_t width,
                                                std::int32_t height, const QueueHandle& queue_handle) {
  return queue_handle.create<zwlr_screencopy_frame_v1>(manager, [&](zwlr_screencopy_manager_v1* wrapper) {
    return reinterpret_cast<zwlr_screencopy_frame_v1*>(wl_proxy_marshal_flags(
        as_proxy(wrapper), capture_output_region_opcode, &zwlr_screencopy_frame_v1_interface,
        wl_proxy_get_version(as_proxy(wrapper)), 0, nullptr, overlay_cursor, output, x, y, width, height));
  });
}

void copy_with_damage(zwlr_screencopy_frame_v1* frame, wl_buffer* buffer) {
  wl_proxy_marshal_flags(as_proxy(frame), copy_with_damage_opcode, nullptr, wl_proxy_get_version(as_proxy(frame)), 0,
                         buffer);
}

void copy(zwlr_screencopy_frame_v1* frame, wl_buffer* buffer) {
  wl_proxy_marshal_flags(as_proxy(frame), copy_opcode, nullptr, wl_proxy_get_version(as_proxy(frame)), 0, buffer);
}

void destroy(Proxy<zwlr_screencopy_frame_v1> frame) {
  zwlr_screencopy_frame_v1* proxy = frame.release();
  wl_proxy_marshal_flags(as_proxy(proxy), destroy_opcode, nullptr, wl_proxy_get_version(as_proxy(proxy)),
                         WL_MARSHAL_FLAG_DESTROY);
}

}  // namespace screencopy
}  // namespace kestrin
