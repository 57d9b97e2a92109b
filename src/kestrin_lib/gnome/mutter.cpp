#include "kestrin_lib/gnome/mutter.hpp"

#include <utility>

namespace kestrin::gnome {
namespace {

constexpr const char* needed = "a Mutter built with remote desktop and screen cast (GNOME 3.28 or later) is needed";

Result<std::string> owner_of(Bus& bus, const char* service) {
  auto call = bus.method("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner");
  if (!call) return std::unexpected(std::move(call.error()));
  if (const int r = sd_bus_message_append(call->get(), "s", service); r < 0)
    return std::unexpected(bus_error("asking the session bus for Mutter", r));
  auto reply = bus.call(*call, std::string("asking the session bus for the owner of ") + service);
  if (!reply) {
    if (reply.error().name != "org.freedesktop.DBus.Error.NameHasNoOwner")
      return std::unexpected(std::move(reply.error().error));
    return std::unexpected(Error::ordinary(
        std::string("GNOME's Mutter is not on the session bus: nothing owns ") + service +
        ". Start the GNOME session (or mutter) on this bus; a wlroots desktop such as sway needs kestrin.Kestrin "
        "instead"));
  }
  const char* owner = nullptr;
  if (const int r = sd_bus_message_read(reply->get(), "s", &owner); r < 0)
    return std::unexpected(bus_error("asking the session bus for Mutter", r));
  return std::string(owner);
}

}  // namespace

Error mutter_call_error(const Message& call, CallError failure) {
  const std::string& name = failure.name;
  if (name != "org.freedesktop.DBus.Error.UnknownMethod" && name != "org.freedesktop.DBus.Error.UnknownInterface" &&
      name != "org.freedesktop.DBus.Error.UnknownObject" && name != "org.freedesktop.DBus.Error.UnknownProperty")
    return std::move(failure.error);
  std::vector<std::string> causes{failure.error.message};
  causes.insert(causes.end(), failure.error.causes.begin(), failure.error.causes.end());
  const char* interface = sd_bus_message_get_interface(call.get());
  const char* member = sd_bus_message_get_member(call.get());
  return Error::ordinary(std::string("this Mutter offers no ") + (interface != nullptr ? interface : "?") + "." +
                             (member != nullptr ? member : "?") + ": " + needed,
                         std::move(causes));
}

Result<std::string> find_mutter(Bus& bus) {
  auto mutter = owner_of(bus, remote_desktop_service);
  if (!mutter) return mutter;
  for (const char* service : {screen_cast_service, display_config_service}) {
    auto owner = owner_of(bus, service);
    if (!owner) {
      // A Mutter without the service: the message then names what is missing.
      return std::unexpected(
          Error::ordinary(std::string("this Mutter offers no ") + service + ": " + needed, {owner.error().message}));
    }
    if (*owner != *mutter) {
      return std::unexpected(Error::ordinary(std::string("org.gnome.Mutter.RemoteDesktop and ") + service +
                                             " belong to different processes: " + *mutter + " and " + *owner));
    }
  }
  return mutter;
}

}  // namespace kestrin::gnome
