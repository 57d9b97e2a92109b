#include "interfaces.hpp"

#include <wayland-server-protocol.h>

#include <array>
#include <utility>

#include "ext-image-capture-source-v1-server-protocol.h"
#include "ext-image-copy-capture-v1-server-protocol.h"
#include "image_copy.hpp"
#include "inert.hpp"
#include "kestrin_lib/screencopy.hpp"
#include "kestrin_lib/virtual_keyboard.hpp"
#include "kestrin_lib/virtual_pointer.hpp"
#include "output.hpp"
#include "screencopy.hpp"
#include "seat.hpp"
#include "shm.hpp"
#include "xdg-output-unstable-v1-server-protocol.h"
#include "xdg_output.hpp"

namespace kestrin::fake {

const wl_interface* known_interface(std::string_view name) {
  static const std::array known = {
      &wl_display_interface,
      &wl_registry_interface,
      &wl_callback_interface,
      &wl_compositor_interface,
      &wl_shm_pool_interface,
      &wl_shm_interface,
      &wl_buffer_interface,
      &wl_data_offer_interface,
      &wl_data_source_interface,
      &wl_data_device_interface,
      &wl_data_device_manager_interface,
      &wl_shell_interface,
      &wl_shell_surface_interface,
      &wl_surface_interface,
      &wl_seat_interface,
      &wl_pointer_interface,
      &wl_keyboard_interface,
      &wl_touch_interface,
      &wl_output_interface,
      &wl_region_interface,
      &wl_subcompositor_interface,
      &wl_subsurface_interface,
      &zwp_virtual_keyboard_manager_v1_interface,
      &zwp_virtual_keyboard_v1_interface,
      &zwlr_virtual_pointer_manager_v1_interface,
      &zwlr_virtual_pointer_v1_interface,
      &zwlr_screencopy_manager_v1_interface,
      &zwlr_screencopy_frame_v1_interface,
      &zxdg_output_manager_v1_interface,
      &zxdg_output_v1_interface,
      &ext_image_copy_capture_manager_v1_interface,
      &ext_image_copy_capture_session_v1_interface,
      &ext_image_copy_capture_frame_v1_interface,
      &ext_output_image_capture_source_manager_v1_interface,
      &ext_image_capture_source_v1_interface,
  };
  for (const wl_interface* interface : known) {
    if (name == interface->name) return interface;
  }
  return nullptr;
}

wl_global_bind_func_t binder_for(std::string_view name) {
  if (name == "wl_shm") return shm::bind;
  if (name == "wl_seat") return seat::bind;
  if (name == "wl_output") return output::bind;
  if (name == "zwlr_screencopy_manager_v1") return screencopy::bind;
  if (name == "zxdg_output_manager_v1") return xdg_output::bind;
  if (name == "ext_image_copy_capture_manager_v1") return image_copy::bind_capture_manager;
  if (name == "ext_output_image_capture_source_manager_v1") return image_copy::bind_source_manager;
  return inert::bind;
}

}  // namespace kestrin::fake
