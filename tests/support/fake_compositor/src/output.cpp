#include "output.hpp"

#include <wayland-server-protocol.h>

#include <algorithm>

#include "resource.hpp"
#include "server.hpp"

namespace kestrin::fake::output {
namespace {

enum : std::uint32_t { output_release = 0 };

const char output_tag = 0;

int dispatch_output(const void*, void* target, std::uint32_t opcode, const wl_message*, wl_argument*) {
  if (opcode == output_release) wl_resource_destroy(as_resource(target));
  return 0;
}

void forget_resource(wl_resource* resource) {
  auto* global = static_cast<GlobalState*>(wl_resource_get_user_data(resource));
  std::erase(global->resources, resource);
}

}  // namespace

void bind(wl_client* client, void* data, std::uint32_t version, std::uint32_t id) {
  auto* global = static_cast<GlobalState*>(data);
  wl_resource* resource = create_resource(client, wl_global_get_interface(global->global), static_cast<int>(version),
                                          id, dispatch_output, &output_tag, global, forget_resource);
  if (resource == nullptr) return;
  global->resources.push_back(resource);
  const OutputConfig& config = global->config.output;
  wl_output_send_geometry(resource, config.x, config.y, 0, 0, WL_OUTPUT_SUBPIXEL_UNKNOWN, "kestrin", "fake output",
                          config.transform);
  wl_output_send_mode(resource, WL_OUTPUT_MODE_CURRENT, config.width, config.height, config.refresh);
  if (version >= WL_OUTPUT_SCALE_SINCE_VERSION) wl_output_send_scale(resource, config.scale);
  if (version >= WL_OUTPUT_NAME_SINCE_VERSION && config.name) wl_output_send_name(resource, config.name->c_str());
  if (version >= WL_OUTPUT_DESCRIPTION_SINCE_VERSION && config.description) {
    wl_output_send_description(resource, config.description->c_str());
  }
  if (version >= WL_OUTPUT_DONE_SINCE_VERSION && config.done) wl_output_send_done(resource);
}

void rename(GlobalState& output, const std::string& name) {
  output.config.output.name = name;
  for (wl_resource* resource : output.resources) {
    if (wl_resource_get_version(resource) >= WL_OUTPUT_NAME_SINCE_VERSION) wl_output_send_name(resource, name.c_str());
    if (wl_resource_get_version(resource) >= WL_OUTPUT_DONE_SINCE_VERSION) wl_output_send_done(resource);
  }
}

const OutputConfig* config(wl_resource* resource) {
  if (resource == nullptr || !wl_resource_instance_of(resource, &wl_output_interface, &output_tag)) return nullptr;
  return &static_cast<GlobalState*>(wl_resource_get_user_data(resource))->config.output;
}

}  // namespace kestrin::fake::output
