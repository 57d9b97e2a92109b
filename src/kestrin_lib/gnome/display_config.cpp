#include "kestrin_lib/gnome/display_config.hpp"

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>

#include "kestrin_lib/gnome/mutter.hpp"

namespace kestrin::gnome {
namespace {

struct Mode {
  std::int32_t width = 0, height = 0;
};

// Mutter's layout-mode: 1 lays monitors out in logical pixels (scaled),
// 2 in physical pixels.
constexpr std::uint32_t layout_logical = 1;

Error malformed(int r) { return bus_error("reading Mutter's monitor layout (DisplayConfig.GetCurrentState)", r); }

// Reads an a{sv}, handing each key to `entry`, which reads the variant or
// leaves it (then it is skipped).
int read_properties(sd_bus_message* m, const std::function<int(const std::string&)>& entry) {
  int r = sd_bus_message_enter_container(m, 'a', "{sv}");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char* key = nullptr;
    if ((r = sd_bus_message_read(m, "s", &key)) < 0) return r;
    if ((r = entry(key)) < 0) return r;
    if (r == 0 && (r = sd_bus_message_skip(m, "v")) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

// The current mode of each connector.
int read_physical_monitors(sd_bus_message* m, std::map<std::string, Mode>& current) {
  int r = sd_bus_message_enter_container(m, 'a', "((ssss)a(siiddada{sv})a{sv})");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'r', "(ssss)a(siiddada{sv})a{sv}")) > 0) {
    const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
    if ((r = sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial)) < 0) return r;
    std::string name = connector;
    if ((r = sd_bus_message_enter_container(m, 'a', "(siiddada{sv})")) < 0) return r;
    while ((r = sd_bus_message_enter_container(m, 'r', "siiddada{sv}")) > 0) {
      const char* id = nullptr;
      Mode mode;
      double refresh = 0, preferred_scale = 0;
      if ((r = sd_bus_message_read(m, "siidd", &id, &mode.width, &mode.height, &refresh, &preferred_scale)) < 0)
        return r;
      if ((r = sd_bus_message_skip(m, "ad")) < 0) return r;
      r = read_properties(m, [&](const std::string& key) {
        if (key != "is-current") return 0;
        int is_current = 0;
        const int read = sd_bus_message_read(m, "v", "b", &is_current);
        if (read >= 0 && is_current) current[name] = mode;
        return read < 0 ? read : 1;
      });
      if (r < 0) return r;
      if ((r = sd_bus_message_exit_container(m)) < 0) return r;
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
    if ((r = sd_bus_message_skip(m, "a{sv}")) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

int read_logical_monitors(sd_bus_message* m, const std::map<std::string, Mode>& current,
                          std::vector<Monitor>& monitors) {
  int r = sd_bus_message_enter_container(m, 'a', "(iiduba(ssss)a{sv})");
  if (r < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'r', "iiduba(ssss)a{sv}")) > 0) {
    std::int32_t x = 0, y = 0;
    double scale = 1.0;
    std::uint32_t transform = 0;
    int primary = 0;
    if ((r = sd_bus_message_read(m, "iidub", &x, &y, &scale, &transform, &primary)) < 0) return r;
    if ((r = sd_bus_message_enter_container(m, 'a', "(ssss)")) < 0) return r;
    const char *connector = nullptr, *vendor = nullptr, *product = nullptr, *serial = nullptr;
    while ((r = sd_bus_message_read(m, "(ssss)", &connector, &vendor, &product, &serial)) > 0) {
      auto mode = current.find(connector);
      if (mode == current.end()) continue;
      // Transforms 1, 3, 5 and 7 turn the monitor by a quarter.
      const bool turned = transform % 2 == 1;
      Monitor monitor;
      monitor.connector = connector;
      monitor.x = x;
      monitor.y = y;
      monitor.width = std::uint32_t(turned ? mode->second.height : mode->second.width);
      monitor.height = std::uint32_t(turned ? mode->second.width : mode->second.height);
      monitor.scale = scale > 0 ? scale : 1.0;
      monitor.primary = primary != 0;
      monitors.push_back(std::move(monitor));
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
    if ((r = sd_bus_message_skip(m, "a{sv}")) < 0) return r;
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0) return r;
  return sd_bus_message_exit_container(m);
}

}  // namespace

Result<std::vector<Monitor>> read_monitors(Bus& bus, const std::string& mutter) {
  auto call = bus.method(mutter, display_config_path, display_config_interface, "GetCurrentState");
  if (!call) return std::unexpected(std::move(call.error()));
  auto reply = bus.call(*call, "asking Mutter for its monitors (DisplayConfig.GetCurrentState)");
  if (!reply) return std::unexpected(std::move(reply.error().error));
  sd_bus_message* m = reply->get();
  std::uint32_t serial = 0;
  std::map<std::string, Mode> current;
  std::vector<Monitor> monitors;
  std::uint32_t layout_mode = layout_logical;
  int r = sd_bus_message_read(m, "u", &serial);
  if (r >= 0) r = read_physical_monitors(m, current);
  if (r >= 0) r = read_logical_monitors(m, current, monitors);
  if (r >= 0) {
    r = read_properties(m, [&](const std::string& key) {
      if (key != "layout-mode") return 0;
      const int read = sd_bus_message_read(m, "v", "u", &layout_mode);
      return read < 0 ? read : 1;
    });
  }
  if (r < 0) return std::unexpected(malformed(r));
  for (Monitor& monitor : monitors) {
    // In a logical layout a monitor covers its pixels divided by its scale;
    // Mutter rounds the same way.
    const double divisor = layout_mode == layout_logical ? monitor.scale : 1.0;
    monitor.logical_width = std::uint32_t(std::lround(monitor.width / divisor));
    monitor.logical_height = std::uint32_t(std::lround(monitor.height / divisor));
  }
  return monitors;
}

}  // namespace kestrin::gnome
