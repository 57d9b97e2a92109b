#include "xdg_output.hpp"

#include <wayland-server-protocol.h>

#include "output.hpp"
#include "resource.hpp"
#include "server.hpp"
#include "xdg-output-unstable-v1-server-protocol.h"

namespace kestrin::fake::xdg_output {
namespace {

enum : std::uint32_t { manager_destroy = 0, manager_get_xdg_output = 1 };
enum : std::uint32_t { output_destroy = 0 };

const char manager_tag = 0;
const char output_tag = 0;

int dispatch_output(const void*, void* target, std::uint32_t opcode, const wl_message*, wl_argument*) {
  if (opcode == output_destroy) wl_resource_destroy(as_resource(target));
  return 0;
}

void describe(wl_resource* xdg_output, wl_resource* output) {
  const OutputConfig* config = output::config(output);
  if (config == nullptr) return;
  const auto [x, y, width, height] = config->logical_box();
  const int version = wl_resource_get_version(xdg_output);
  if (version >= ZXDG_OUTPUT_V1_NAME_SINCE_VERSION && config->name) zxdg_output_v1_send_name(xdg_output, config->name->c_str());
  if (version >= ZXDG_OUTPUT_V1_DESCRIPTION_SINCE_VERSION && config->description)
    zxdg_output_v1_send_description(xdg_output, config->description->c_str());
  zxdg_output_v1_send_logical_position(xdg_output, x, y);
  zxdg_output_v1_send_logical_size(xdg_output, width, height);
  if (version < 3) zxdg_output_v1_send_done(xdg_output);
  if (wl_resource_get_version(output) >= WL_OUTPUT_DONE_SINCE_VERSION) wl_output_send_done(output);
}

int dispatch_manager(const void*, void* target, std::uint32_t opcode, const wl_message*, wl_argument* args) {
  wl_resource* manager = as_resource(target);
  if (opcode == manager_destroy) {
    wl_resource_destroy(manager);
  } else if (opcode == manager_get_xdg_output) {
    wl_resource* xdg_output = create_resource(wl_resource_get_client(manager), &zxdg_output_v1_interface,
                                              wl_resource_get_version(manager), args[0].n, dispatch_output,
                                              &output_tag, nullptr);
    if (xdg_output != nullptr) describe(xdg_output, static_cast<wl_resource*>(static_cast<void*>(args[1].o)));
  }
  return 0;
}

}  // namespace

void bind(wl_client* client, void* data, std::uint32_t version, std::uint32_t id) {
  auto* global = static_cast<GlobalState*>(data);
  create_resource(client, wl_global_get_interface(global->global), static_cast<int>(version), id, dispatch_manager,
                  &manager_tag, nullptr);
}

}  // namespace kestrin::fake::xdg_output
