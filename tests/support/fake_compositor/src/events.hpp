// Events a scenario spells out by name (the "event" action): finding the
// event in an interface's description, checking the scenario's arguments
// against its signature, and sending it.
#pragma once

#include <wayland-server-core.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace kestrin::fake::events {

// The opcode of the event `name` of `interface`, or -1.
int find_event(const wl_interface& interface, std::string_view name);

// Why `args` cannot be sent as the arguments of `event`, or empty. `args`
// must be an array; see README.md for what each type accepts.
std::string argument_problem(const wl_message& event, const nlohmann::json& args);

// Sends `event`, number `opcode` of the resource's interface, with `args`
// (already checked) on `resource`; nothing when the resource's version
// predates the event.
void send(wl_resource* resource, std::uint32_t opcode, const wl_message& event, const nlohmann::json& args);

// Every object of `interface` that `client` has, by the server's account
// (which still counts objects the client destroyed while the destructor
// request is on its way).
std::vector<wl_resource*> objects_of(wl_client* client, std::string_view interface);

// Text given as a JSON string or as a list of byte values 1 to 255 (which
// need not be UTF-8); false when `value` is neither.
bool text_bytes(const nlohmann::json& value, std::string& out);

}  // namespace kestrin::fake::events
