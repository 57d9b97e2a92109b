#include "resource.hpp"

#include <unistd.h>

namespace kestrin::fake {

wl_resource* create_resource(wl_client* client, const wl_interface* interface, int version, std::uint32_t id,
                             Dispatcher dispatcher, const void* tag, void* data,
                             wl_resource_destroy_func_t destroy) {
  wl_resource* resource = wl_resource_create(client, interface, version, id);
  if (resource == nullptr) {
    wl_client_post_no_memory(client);
    return nullptr;
  }
  wl_resource_set_dispatcher(resource, dispatcher, tag, data, destroy);
  return resource;
}

void close_descriptors(const wl_message* message, const wl_argument* arguments) {
  int index = 0;
  for (const char* letter = message->signature; *letter != '\0'; ++letter) {
    if (*letter == '?' || (*letter >= '0' && *letter <= '9')) continue;
    if (*letter == 'h') ::close(arguments[index].h);
    ++index;
  }
}

}  // namespace kestrin::fake
