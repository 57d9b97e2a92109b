// Helpers shared by the protocol implementations. Every resource of the fake
// compositor is driven by a dispatcher (one function per interface, switching
// on the opcode), which also works for interfaces libwayland-server has no
// generated implementation structs for.
#pragma once

#include <wayland-server-core.h>

#include <cstdint>

namespace kestrin::fake {

using Dispatcher = int (*)(const void* implementation, void* target, std::uint32_t opcode,
                           const wl_message* message, wl_argument* arguments);

// Creates a resource driven by `dispatcher`; on failure tells the client it
// ran out of memory and returns null. `tag` identifies the kind of resource
// for wl_resource_instance_of (any object whose address is unique to it).
wl_resource* create_resource(wl_client* client, const wl_interface* interface, int version, std::uint32_t id,
                             Dispatcher dispatcher, const void* tag, void* data,
                             wl_resource_destroy_func_t destroy = nullptr);

// Closes the descriptors a request carried, for requests whose descriptors
// are not kept.
void close_descriptors(const wl_message* message, const wl_argument* arguments);

inline wl_resource* as_resource(void* target) { return static_cast<wl_resource*>(target); }

}  // namespace kestrin::fake
