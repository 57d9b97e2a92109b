// A private GNOME desktop for the GNOME session's tests: a session bus, Mutter
// headless with one 1280x720 virtual monitor, PipeWire and WirePlumber, each
// started when a test asks and stopped by its pid. This process's
// XDG_RUNTIME_DIR and DBUS_SESSION_BUS_ADDRESS point at it meanwhile.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "test_support.hpp"

namespace kestrin::testing {

class GnomeDesktop {
 public:
  // Whether mutter, pipewire, wireplumber and dbus-daemon are installed.
  static bool installed();

  GnomeDesktop();
  GnomeDesktop(const GnomeDesktop&) = delete;
  GnomeDesktop& operator=(const GnomeDesktop&) = delete;
  ~GnomeDesktop();  // stops what runs, removes the runtime directory

  const std::string& runtime_dir() const { return dir_; }

  // Each returns once the piece answers (an assertion fails otherwise).
  void start_bus();
  void start_mutter();
  void start_pipewire();  // and WirePlumber, which links the streams
  void stop_mutter();

 private:
  pid_t spawn(const std::string& name, const std::vector<std::string>& argv);
  void stop(pid_t& pid);

  std::string dir_;
  std::unique_ptr<ScopedEnv> runtime_env_, bus_env_, wayland_env_, display_env_;
  pid_t bus_ = -1, mutter_ = -1, pipewire_ = -1, wireplumber_ = -1;
};

}  // namespace kestrin::testing
