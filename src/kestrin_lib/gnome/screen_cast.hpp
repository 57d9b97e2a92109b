// Mutter's screen-cast session linked to a remote-desktop session, and the
// streams that record monitors.
#pragma once

#include <string>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/gnome/bus.hpp"

namespace kestrin::gnome {

// A screen-cast session that the remote-desktop session `remote_desktop_id`
// starts and stops; returns its object path.
Result<std::string> create_screen_cast(Bus& bus, const std::string& mutter, const std::string& remote_desktop_id);

// Records the monitor on `connector`, cursor hidden; returns the stream's
// object path, which also names the stream in absolute pointer motion.
Result<std::string> record_monitor(Bus& bus, const std::string& mutter, const std::string& screen_cast,
                                   const std::string& connector);

}  // namespace kestrin::gnome
