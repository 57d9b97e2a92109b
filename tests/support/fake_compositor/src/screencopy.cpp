#include "screencopy.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "fake_compositor/pattern.hpp"
#include "kestrin_lib/screencopy.hpp"
#include "output.hpp"
#include "resource.hpp"
#include "server.hpp"
#include "shm.hpp"

namespace kestrin::fake::screencopy {
namespace {

enum : std::uint32_t { capture_output = 0, capture_output_region = 1, manager_destroy = 2 };
enum : std::uint32_t { frame_copy = 0, frame_destroy = 1, frame_copy_with_damage = 2 };
enum : std::uint32_t {
  event_buffer = 0,
  event_flags = 1,
  event_ready = 2,
  event_failed = 3,
  event_damage = 4,
  event_linux_dmabuf = 5,
  event_buffer_done = 6,
};
enum : std::uint32_t { error_already_used = 0, error_invalid_buffer = 1 };

const char manager_tag = 0;
const char frame_tag = 0;

struct Announced {
  std::uint32_t format, width, height, stride;
};

struct Frame {
  ScreencopyConfig config;
  std::vector<Announced> buffers;  // the buffer events sent, in order
  bool used = false;
  bool failed_at_capture = false;
  // Where a region's frame starts in the output's picture.
  std::uint32_t origin_x = 0;
  std::uint32_t origin_y = 0;
};

void destroy_frame(wl_resource* resource) { delete static_cast<Frame*>(wl_resource_get_user_data(resource)); }

// The announced buffer a copy must match: the last one of the copied
// buffer's format; without one, when the format is not checked, the last.
const Announced* announced_for(const Frame& frame, std::uint32_t format) {
  for (auto announced = frame.buffers.rbegin(); announced != frame.buffers.rend(); ++announced)
    if (announced->format == format) return &*announced;
  if (frame.config.strict_format || frame.buffers.empty()) return nullptr;
  return &frame.buffers.back();
}

// wlroots' checks on the buffer of a copy; the text names the mismatch.
std::optional<std::string> buffer_mismatch(const Frame& frame, const shm::Buffer* buffer, const Announced* expected) {
  if (buffer == nullptr) return "unsupported buffer type: not a wl_shm buffer";
  if (frame.buffers.empty()) return "no buffer parameters were announced for this frame";
  auto describe = [](const char* what, long long got, long long announced) {
    return std::string("invalid buffer ") + what + ": " + std::to_string(got) + ", announced " +
           std::to_string(announced);
  };
  if (expected == nullptr) return describe("format", buffer->format, frame.buffers.back().format);
  if (static_cast<std::uint32_t>(buffer->width) != expected->width) {
    return describe("width", buffer->width, expected->width);
  }
  if (static_cast<std::uint32_t>(buffer->height) != expected->height) {
    return describe("height", buffer->height, expected->height);
  }
  if (static_cast<std::uint32_t>(buffer->stride) != expected->stride) {
    return describe("stride", buffer->stride, expected->stride);
  }
  return std::nullopt;
}

// Rows turned upside down in place, as a renderer that reads bottom up
// leaves them (the frame's flags then say y_invert).
void invert_rows(std::span<std::uint8_t> bytes, std::uint32_t height, std::uint32_t stride) {
  for (std::uint32_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom)
    std::swap_ranges(bytes.begin() + std::size_t{top} * stride, bytes.begin() + std::size_t{top + 1} * stride,
                     bytes.begin() + std::size_t{bottom} * stride);
}

void copy(wl_resource* resource, wl_resource* buffer_resource, bool with_damage) {
  auto& frame = *static_cast<Frame*>(wl_resource_get_user_data(resource));
  // wlroots leaves a frame that failed at capture inert.
  if (frame.failed_at_capture) return;
  if (frame.used) {
    wl_resource_post_error(resource, error_already_used, "frame already used");
    return;
  }
  const shm::Buffer* buffer = shm::buffer(buffer_resource);
  const Announced* expected = buffer != nullptr ? announced_for(frame, buffer->format) : nullptr;
  if (auto mismatch = buffer_mismatch(frame, buffer, expected)) {
    wl_resource_post_error(resource, error_invalid_buffer, "%s", mismatch->c_str());
    return;
  }
  frame.used = true;
  const ScreencopyConfig& config = frame.config;
  // Nothing on a still screen damages the output, so wlroots never answers.
  if (with_damage && config.outcome == Outcome::still) return;

  std::span<std::uint8_t> bytes = buffer->bytes();
  bool written = !bytes.empty();
  if (written) fill_pattern(bytes, expected->width, expected->height, expected->stride, buffer->format, frame.origin_x,
                              frame.origin_y);
  if (written && (config.flags & kestrin::screencopy::flags_y_invert) != 0)
    invert_rows(bytes, expected->height, expected->stride);

  wl_resource_post_event(resource, event_flags, config.flags);
  if (config.damage && wl_resource_get_version(resource) >= 2) {
    wl_resource_post_event(resource, event_damage, (*config.damage)[0], (*config.damage)[1], (*config.damage)[2],
                           (*config.damage)[3]);
  }
  if (config.outcome == Outcome::failed || !written) {
    wl_resource_post_event(resource, event_failed);
  } else {
    wl_resource_post_event(resource, event_ready, config.ready_time[0], config.ready_time[1], config.ready_time[2]);
  }
}

int dispatch_frame(const void*, void* target, std::uint32_t opcode, const wl_message*, wl_argument* args) {
  wl_resource* resource = as_resource(target);
  switch (opcode) {
    case frame_copy:
    case frame_copy_with_damage:
      copy(resource, reinterpret_cast<wl_resource*>(args[0].o), opcode == frame_copy_with_damage);
      break;
    case frame_destroy:
      wl_resource_destroy(resource);
      break;
  }
  return 0;
}

struct Area {
  std::uint32_t width, height;
};

// capture_output_region's box, in logical coordinates.
struct Box {
  std::int32_t x, y, width, height;
};

void answer_capture(wl_resource* frame_resource, Frame& frame, Area area) {
  const ScreencopyConfig& config = frame.config;
  const int version = wl_resource_get_version(frame_resource);
  if (config.outcome == Outcome::failed_at_capture) {
    frame.failed_at_capture = true;
    wl_resource_post_event(frame_resource, event_failed);
    return;
  }
  const std::vector<BufferConfig> buffers = config.buffers.value_or(std::vector<BufferConfig>{BufferConfig{}});
  for (const BufferConfig& buffer : buffers) {
    Announced announced{};
    announced.format = buffer.format;
    announced.width = buffer.width.value_or(area.width);
    announced.height = buffer.height.value_or(area.height);
    announced.stride = buffer.stride.value_or(announced.width * 4);
    wl_resource_post_event(frame_resource, event_buffer, announced.format, announced.width, announced.height,
                           announced.stride);
    frame.buffers.push_back(announced);
  }
  if (config.linux_dmabuf && version >= 3) {
    wl_resource_post_event(frame_resource, event_linux_dmabuf, config.linux_dmabuf->format, config.linux_dmabuf->width,
                           config.linux_dmabuf->height);
  }
  if (config.buffer_done && version >= 3) wl_resource_post_event(frame_resource, event_buffer_done);
}

void capture(wl_resource* manager, std::uint32_t id, wl_resource* output_resource,
             std::optional<Box> region) {
  auto* global = static_cast<GlobalState*>(wl_resource_get_user_data(manager));
  wl_client* client = wl_resource_get_client(manager);
  auto* frame = new Frame{global->server->next_capture(client), {}, false, false};
  wl_resource* resource = create_resource(client, &zwlr_screencopy_frame_v1_interface,
                                          wl_resource_get_version(manager), id, dispatch_frame, &frame_tag, frame,
                                          destroy_frame);
  if (resource == nullptr) {
    delete frame;
    return;
  }
  Area area{0, 0};
  std::int32_t scale = 1;
  if (const OutputConfig* output = output::config(output_resource)) {
    area = {static_cast<std::uint32_t>(output->width), static_cast<std::uint32_t>(output->height)};
    scale = std::max(output->scale, 1);
  }
  // As wlroots does: the box times the output's scale (turning it by the
  // transform is left out here).
  if (region) {
    frame->origin_x = static_cast<std::uint32_t>(std::max(region->x * scale, 0));
    frame->origin_y = static_cast<std::uint32_t>(std::max(region->y * scale, 0));
    area = {static_cast<std::uint32_t>(std::max(region->width * scale, 0)),
            static_cast<std::uint32_t>(std::max(region->height * scale, 0))};
  }
  answer_capture(resource, *frame, area);
}

int dispatch_manager(const void*, void* target, std::uint32_t opcode, const wl_message*, wl_argument* args) {
  wl_resource* manager = as_resource(target);
  switch (opcode) {
    case capture_output:
      capture(manager, args[0].n, reinterpret_cast<wl_resource*>(args[2].o), std::nullopt);
      break;
    case capture_output_region:
      capture(manager, args[0].n, reinterpret_cast<wl_resource*>(args[2].o),
              Box{args[3].i, args[4].i, args[5].i, args[6].i});
      break;
    case manager_destroy:
      wl_resource_destroy(manager);
      break;
  }
  return 0;
}

}  // namespace

void bind(wl_client* client, void* data, std::uint32_t version, std::uint32_t id) {
  auto* global = static_cast<GlobalState*>(data);
  create_resource(client, wl_global_get_interface(global->global), static_cast<int>(version), id, dispatch_manager,
                  &manager_tag, global);
}

}  // namespace kestrin::fake::screencopy
