#include "image_copy.hpp"

#include <wayland-server-protocol.h>

#include <algorithm>
#include <vector>

#include "ext-image-capture-source-v1-server-protocol.h"
#include "ext-image-copy-capture-v1-server-protocol.h"
#include "fake_compositor/pattern.hpp"
#include "output.hpp"
#include "resource.hpp"
#include "server.hpp"
#include "shm.hpp"

namespace kestrin::fake::image_copy {
namespace {

enum : std::uint32_t { source_manager_create_source = 0, source_manager_destroy = 1 };
enum : std::uint32_t { source_destroy = 0 };
enum : std::uint32_t { manager_create_session = 0, manager_create_pointer_cursor_session = 1, manager_destroy = 2 };
enum : std::uint32_t { session_create_frame = 0, session_destroy = 1 };
enum : std::uint32_t { frame_destroy = 0, frame_attach_buffer = 1, frame_damage_buffer = 2, frame_capture = 3 };

const char source_manager_tag = 0;
const char source_tag = 0;
const char manager_tag = 0;
const char session_tag = 0;
const char frame_tag = 0;

// What a source captures: the output's picture at the time it was made.
struct Source {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

struct Frame;

struct Session {
  Server* server = nullptr;
  wl_resource* resource = nullptr;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint32_t> formats;
  Frame* frame = nullptr;  // at most one at a time
  bool stopped = false;
};

struct Frame {
  Session* session = nullptr;  // null once the session is gone
  ImageCopyConfig config;
  std::uint32_t buffer_id = 0;  // looked up at capture: the client may have let it go
  bool captured = false;
};

void destroy_source(wl_resource* resource) { delete static_cast<Source*>(wl_resource_get_user_data(resource)); }

void destroy_session(wl_resource* resource) {
  auto* session = static_cast<Session*>(wl_resource_get_user_data(resource));
  if (session->frame != nullptr) session->frame->session = nullptr;
  delete session;
}

void destroy_frame(wl_resource* resource) {
  auto* frame = static_cast<Frame*>(wl_resource_get_user_data(resource));
  if (frame->session != nullptr) frame->session->frame = nullptr;
  delete frame;
}

void send_constraints(const Session& session) {
  ext_image_copy_capture_session_v1_send_buffer_size(session.resource, session.width, session.height);
  for (std::uint32_t format : session.formats) ext_image_copy_capture_session_v1_send_shm_format(session.resource, format);
  ext_image_copy_capture_session_v1_send_done(session.resource);
}

void fail(wl_resource* frame, std::uint32_t reason) { ext_image_copy_capture_frame_v1_send_failed(frame, reason); }

// As wlroots: a buffer that does not meet the session's constraints fails the
// frame (the client is to make new buffers), it is no protocol error.
bool meets_constraints(const Session& session, const shm::Buffer& buffer) {
  return static_cast<std::uint32_t>(buffer.width) == session.width &&
         static_cast<std::uint32_t>(buffer.height) == session.height &&
         std::ranges::find(session.formats, buffer.format) != session.formats.end();
}

void capture(wl_resource* resource, Frame& frame) {
  if (frame.captured) {
    wl_resource_post_error(resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_ERROR_ALREADY_CAPTURED, "capture sent twice");
    return;
  }
  if (frame.buffer_id == 0) {
    wl_resource_post_error(resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_ERROR_NO_BUFFER, "capture sent without a buffer");
    return;
  }
  frame.captured = true;
  Session* session = frame.session;
  if (session == nullptr || session->stopped) {
    fail(resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_STOPPED);
    return;
  }
  const ImageCopyConfig& config = frame.config;
  if (config.buffer_size) {
    session->width = (*config.buffer_size)[0];
    session->height = (*config.buffer_size)[1];
    send_constraints(*session);
  }
  switch (config.outcome) {
    case ImageCopyOutcome::still:
      return;
    case ImageCopyOutcome::stopped:
      session->stopped = true;
      ext_image_copy_capture_session_v1_send_stopped(session->resource);
      fail(resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_STOPPED);
      return;
    case ImageCopyOutcome::failed:
      fail(resource, config.reason);
      return;
    case ImageCopyOutcome::ready:
      break;
  }
  wl_resource* buffer_resource = wl_client_get_object(wl_resource_get_client(resource), frame.buffer_id);
  const shm::Buffer* buffer = buffer_resource != nullptr ? shm::buffer(buffer_resource) : nullptr;
  if (buffer == nullptr || !meets_constraints(*session, *buffer)) {
    fail(resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_BUFFER_CONSTRAINTS);
    return;
  }
  std::span<std::uint8_t> bytes = buffer->bytes();
  if (bytes.empty()) {
    fail(resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_UNKNOWN);
    return;
  }
  fill_pattern(bytes, session->width, session->height, static_cast<std::uint32_t>(buffer->stride), buffer->format);
  ext_image_copy_capture_frame_v1_send_transform(resource, WL_OUTPUT_TRANSFORM_NORMAL);
  const std::vector<std::array<std::int32_t, 4>> damage = config.damage.value_or(std::vector<std::array<std::int32_t, 4>>{
      {0, 0, static_cast<std::int32_t>(session->width), static_cast<std::int32_t>(session->height)}});
  for (const auto& [x, y, width, height] : damage)
    ext_image_copy_capture_frame_v1_send_damage(resource, x, y, width, height);
  ext_image_copy_capture_frame_v1_send_presentation_time(resource, 0, 1, 2);
  ext_image_copy_capture_frame_v1_send_ready(resource);
}

int dispatch_frame(const void*, void* target, std::uint32_t opcode, const wl_message*, wl_argument* args) {
  wl_resource* resource = as_resource(target);
  auto& frame = *static_cast<Frame*>(wl_resource_get_user_data(resource));
  switch (opcode) {
    case frame_destroy:
      wl_resource_destroy(resource);
      break;
    case frame_attach_buffer:
      if (frame.captured) {
        wl_resource_post_error(resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_ERROR_ALREADY_CAPTURED,
                               "attach_buffer after capture");
        break;
      }
      frame.buffer_id = wl_resource_get_id(static_cast<wl_resource*>(static_cast<void*>(args[0].o)));
      break;
    case frame_damage_buffer:
      if (frame.captured) {
        wl_resource_post_error(resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_ERROR_ALREADY_CAPTURED,
                               "damage_buffer after capture");
      } else if (args[0].i < 0 || args[1].i < 0 || args[2].i <= 0 || args[3].i <= 0) {
        wl_resource_post_error(resource, EXT_IMAGE_COPY_CAPTURE_FRAME_V1_ERROR_INVALID_BUFFER_DAMAGE,
                               "invalid buffer damage");
      }
      break;
    case frame_capture:
      capture(resource, frame);
      break;
  }
  return 0;
}

int dispatch_session(const void*, void* target, std::uint32_t opcode, const wl_message*, wl_argument* args) {
  wl_resource* resource = as_resource(target);
  auto& session = *static_cast<Session*>(wl_resource_get_user_data(resource));
  if (opcode == session_destroy) {
    wl_resource_destroy(resource);
  } else if (opcode == session_create_frame) {
    if (session.frame != nullptr) {
      wl_resource_post_error(resource, EXT_IMAGE_COPY_CAPTURE_SESSION_V1_ERROR_DUPLICATE_FRAME,
                             "create_frame before the previous frame was destroyed");
      return 0;
    }
    wl_client* client = wl_resource_get_client(resource);
    auto* frame = new Frame{&session, session.server->next_image_copy_frame(client), 0, false};
    wl_resource* frame_resource =
        create_resource(client, &ext_image_copy_capture_frame_v1_interface, wl_resource_get_version(resource),
                        args[0].n, dispatch_frame, &frame_tag, frame, destroy_frame);
    if (frame_resource == nullptr) {
      delete frame;
      return 0;
    }
    session.frame = frame;
  }
  return 0;
}

int dispatch_manager(const void*, void* target, std::uint32_t opcode, const wl_message*, wl_argument* args) {
  wl_resource* manager = as_resource(target);
  auto* global = static_cast<GlobalState*>(wl_resource_get_user_data(manager));
  if (opcode == manager_destroy) {
    wl_resource_destroy(manager);
  } else if (opcode == manager_create_session) {
    auto* source_resource = static_cast<wl_resource*>(static_cast<void*>(args[1].o));
    if (args[2].u & ~std::uint32_t{EXT_IMAGE_COPY_CAPTURE_MANAGER_V1_OPTIONS_PAINT_CURSORS}) {
      wl_resource_post_error(manager, EXT_IMAGE_COPY_CAPTURE_MANAGER_V1_ERROR_INVALID_OPTION, "invalid option flag");
      return 0;
    }
    const auto* source = wl_resource_instance_of(source_resource, &ext_image_capture_source_v1_interface, &source_tag)
                             ? static_cast<const Source*>(wl_resource_get_user_data(source_resource))
                             : nullptr;
    auto* session = new Session{global->server, nullptr, 0, 0, global->config.shm_formats, nullptr, false};
    if (source != nullptr) {
      session->width = source->width;
      session->height = source->height;
    }
    session->resource =
        create_resource(wl_resource_get_client(manager), &ext_image_copy_capture_session_v1_interface,
                        wl_resource_get_version(manager), args[0].n, dispatch_session, &session_tag, session,
                        destroy_session);
    if (session->resource == nullptr) {
      delete session;
      return 0;
    }
    send_constraints(*session);
  }
  // Cursor sessions are not offered: kestrin captures without the cursor.
  return 0;
}

int dispatch_source(const void*, void* target, std::uint32_t opcode, const wl_message*, wl_argument*) {
  if (opcode == source_destroy) wl_resource_destroy(as_resource(target));
  return 0;
}

int dispatch_source_manager(const void*, void* target, std::uint32_t opcode, const wl_message*, wl_argument* args) {
  wl_resource* manager = as_resource(target);
  if (opcode == source_manager_destroy) {
    wl_resource_destroy(manager);
  } else if (opcode == source_manager_create_source) {
    auto* source = new Source{};
    if (const OutputConfig* output = output::config(static_cast<wl_resource*>(static_cast<void*>(args[1].o)))) {
      source->width = static_cast<std::uint32_t>(std::max(output->width, 0));
      source->height = static_cast<std::uint32_t>(std::max(output->height, 0));
    }
    if (create_resource(wl_resource_get_client(manager), &ext_image_capture_source_v1_interface,
                        wl_resource_get_version(manager), args[0].n, dispatch_source, &source_tag, source,
                        destroy_source) == nullptr)
      delete source;
  }
  return 0;
}

}  // namespace

void bind_capture_manager(wl_client* client, void* data, std::uint32_t version, std::uint32_t id) {
  auto* global = static_cast<GlobalState*>(data);
  create_resource(client, wl_global_get_interface(global->global), static_cast<int>(version), id, dispatch_manager,
                  &manager_tag, global);
}

void bind_source_manager(wl_client* client, void* data, std::uint32_t version, std::uint32_t id) {
  auto* global = static_cast<GlobalState*>(data);
  create_resource(client, wl_global_get_interface(global->global), static_cast<int>(version), id,
                  dispatch_source_manager, &source_manager_tag, nullptr);
}

}  // namespace kestrin::fake::image_copy
