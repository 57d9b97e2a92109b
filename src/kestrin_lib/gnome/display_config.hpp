// The monitors of Mutter's current layout (org.gnome.Mutter.DisplayConfig).
#pragma once

#include <string>
#include <vector>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/gnome/bus.hpp"
#include "kestrin_lib/gnome/session.hpp"

namespace kestrin::gnome {

// Every enabled monitor, in the order of Mutter's logical monitors; the size
// is the current mode's, turned by the monitor's transform. `mutter` is the
// bus name to ask.
Result<std::vector<Monitor>> read_monitors(Bus& bus, const std::string& mutter);

}  // namespace kestrin::gnome
