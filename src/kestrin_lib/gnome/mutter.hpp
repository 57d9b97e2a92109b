// Mutter's D-Bus services: their names, finding Mutter on the bus, and calls
// to it whose failures name what this Mutter lacks.
#pragma once

#include <string>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/gnome/bus.hpp"

namespace kestrin::gnome {

inline constexpr const char* remote_desktop_service = "org.gnome.Mutter.RemoteDesktop";
inline constexpr const char* remote_desktop_path = "/org/gnome/Mutter/RemoteDesktop";
inline constexpr const char* remote_desktop_interface = "org.gnome.Mutter.RemoteDesktop";
inline constexpr const char* remote_desktop_session_interface = "org.gnome.Mutter.RemoteDesktop.Session";
inline constexpr const char* screen_cast_service = "org.gnome.Mutter.ScreenCast";
inline constexpr const char* screen_cast_path = "/org/gnome/Mutter/ScreenCast";
inline constexpr const char* screen_cast_interface = "org.gnome.Mutter.ScreenCast";
inline constexpr const char* screen_cast_session_interface = "org.gnome.Mutter.ScreenCast.Session";
inline constexpr const char* screen_cast_stream_interface = "org.gnome.Mutter.ScreenCast.Stream";
inline constexpr const char* display_config_service = "org.gnome.Mutter.DisplayConfig";
inline constexpr const char* display_config_path = "/org/gnome/Mutter/DisplayConfig";
inline constexpr const char* display_config_interface = "org.gnome.Mutter.DisplayConfig";

// The unique bus name of the Mutter that owns the remote-desktop, screen-cast
// and display-config services. The session talks to that process alone, so
// that a Mutter started later never receives the calls of a session it does
// not know.
Result<std::string> find_mutter(Bus& bus);

// Calls `member` of `interface` on Mutter's object `path` with the arguments
// `append` adds, and returns the reply. A method or interface this Mutter
// does not have is reported as such.
template <class Append>
Result<Message> call_mutter(Bus& bus, const std::string& mutter, const std::string& path, const char* interface,
                            const char* member, const std::string& what, Append&& append);

// The error of a failed call to Mutter: the call's own, or, for a method or
// interface this Mutter does not have, one that says so.
Error mutter_call_error(const Message& call, CallError failure);

template <class Append>
Result<Message> call_mutter(Bus& bus, const std::string& mutter, const std::string& path, const char* interface,
                            const char* member, const std::string& what, Append&& append) {
  auto call = bus.method(mutter, path, interface, member);
  if (!call) return std::unexpected(std::move(call.error()));
  if (const int r = append(call->get()); r < 0) return std::unexpected(bus_error(what, r));
  auto reply = bus.call(*call, what);
  if (!reply) return std::unexpected(mutter_call_error(*call, std::move(reply.error())));
  return std::move(*reply);
}

}  // namespace kestrin::gnome
