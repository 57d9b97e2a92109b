// Answers xdg_wm_base.ping, without which the compositor would consider the
// probe unresponsive.
#pragma once

#include "xdg-shell-client-protocol.h"

namespace probe {

void answer_pings(xdg_wm_base* wm_base);

}  // namespace probe
