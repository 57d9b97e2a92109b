#include "xdg_ping.hpp"

#include <cstdint>

namespace probe {
namespace {

void handle_ping(void*, xdg_wm_base* wm_base, std::uint32_t serial) { xdg_wm_base_pong(wm_base, serial); }

const xdg_wm_base_listener wm_base_listener = {.ping = handle_ping};

}  // namespace

void answer_pings(xdg_wm_base* wm_base) { xdg_wm_base_add_listener(wm_base, &wm_base_listener, nullptr); }

}  // namespace probe
