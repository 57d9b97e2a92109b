// A private GNOME desktop for the GNOME session's tests: a session bus, Mutter
// headless with virtual monitors, PipeWire and WirePlumber, each
// started when a test asks and stopped by its pid. This process's
// XDG_RUNTIME_DIR and DBUS_SESSION_BUS_ADDRESS point at it meanwhile.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "kestrin_lib/fd.hpp"
#include "test_support.hpp"

namespace kestrin::testing {

class GnomeDesktop {
 public:
  // Whether mutter, pipewire, wireplumber, dbus-daemon and foot are installed.
  static bool installed();

  GnomeDesktop();
  GnomeDesktop(const GnomeDesktop&) = delete;
  GnomeDesktop& operator=(const GnomeDesktop&) = delete;
  ~GnomeDesktop();  // stops what runs, removes the runtime directory

  const std::string& runtime_dir() const { return dir_; }

  // Each returns once the piece answers (an assertion fails otherwise).
  void start_bus();
  // Mutter lays the monitors ("1280x720") out left to right, the first primary.
  void start_mutter(const std::vector<std::string>& monitors = {"1280x720"});
  void start_pipewire();  // and WirePlumber, which links the streams
  // A Wayland client of Mutter (stopped with the desktop); what it writes
  // goes to client_log(the file name of its program).
  void start_client(const std::vector<std::string>& argv);
  std::string client_log(const std::string& program) const { return dir_ + "/" + program + ".log"; }
  void stop_clients();
  void stop_pipewire();  // and WirePlumber
  void stop_mutter();  // at once, as a crash would
  // SIGSTOP or SIGCONT: a Mutter that does not answer, for a while.
  void pause_mutter(bool paused);

 private:
  // `input`, when given, becomes the program's standard input.
  pid_t spawn(const std::string& name, const std::vector<std::string>& argv, int input = -1);
  void stop(pid_t& pid);

  std::string dir_;
  std::unique_ptr<ScopedEnv> runtime_env_, bus_env_, wayland_env_, display_env_;
  pid_t bus_ = -1, mutter_ = -1, pipewire_ = -1, wireplumber_ = -1;
  std::vector<pid_t> clients_;
  std::vector<Fd> client_inputs_;
};

}  // namespace kestrin::testing
