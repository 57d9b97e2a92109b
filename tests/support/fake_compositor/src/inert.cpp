#include "inert.hpp"

#include <string_view>

#include "resource.hpp"
#include "server.hpp"

namespace kestrin::fake::inert {
namespace {

const char inert_tag = 0;

// Objects a request creates become inert objects too, so that the client can
// go on using them. Destructor requests are known by their conventional names.
int dispatch(const void*, void* target, std::uint32_t, const wl_message* message, wl_argument* args) {
  wl_resource* resource = as_resource(target);
  int index = 0;
  for (const char* letter = message->signature; *letter != '\0'; ++letter) {
    if (*letter == '?' || (*letter >= '0' && *letter <= '9')) continue;
    if (*letter == 'n' && message->types[index] != nullptr) {
      create_resource(wl_resource_get_client(resource), message->types[index], wl_resource_get_version(resource),
                      args[index].n, dispatch, &inert_tag, nullptr);
    }
    ++index;
  }
  close_descriptors(message, args);
  std::string_view name = message->name;
  if (name == "destroy" || name == "release") wl_resource_destroy(resource);
  return 0;
}

}  // namespace

void bind(wl_client* client, void* data, std::uint32_t version, std::uint32_t id) {
  auto* global = static_cast<GlobalState*>(data);
  create_resource(client, wl_global_get_interface(global->global), static_cast<int>(version), id, dispatch,
                  &inert_tag, nullptr);
}

}  // namespace kestrin::fake::inert
