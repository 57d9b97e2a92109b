// wl_output: the description of one monitor, sent on bind.
#pragma once

#include <wayland-server-core.h>

#include <cstdint>
#include <string>

#include "scenario.hpp"

namespace kestrin::fake {
struct GlobalState;
}

namespace kestrin::fake::output {

void bind(wl_client* client, void* data, std::uint32_t version, std::uint32_t id);

// Sends the new name (and done) on every bound resource of the output; later
// binds get it too.
void rename(GlobalState& output, const std::string& name);

// The description of the output behind a wl_output resource of this
// compositor; null for any other resource.
const OutputConfig* config(wl_resource* resource);

}  // namespace kestrin::fake::output
