#include "gnome_desktop.hpp"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "kestrin_lib/gnome/bus.hpp"
#include "kestrin_lib/gnome/mutter.hpp"

extern char** environ;

namespace kestrin::testing {
namespace {

using namespace std::chrono_literals;

bool on_path(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string rest = path != nullptr ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= rest.size()) {
    const std::size_t end = std::min(rest.find(':', start), rest.size());
    if (access((rest.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

template <class Ready>
bool wait_for(Ready&& ready, std::chrono::milliseconds limit = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ready()) return true;
    std::this_thread::sleep_for(10ms);
  }
  return ready();
}

}  // namespace

bool GnomeDesktop::installed() {
  for (const char* program : {"mutter", "pipewire", "wireplumber", "dbus-daemon", "foot"})
    if (!on_path(program)) return false;
  return true;
}

GnomeDesktop::GnomeDesktop() {
  char pattern[] = "/tmp/kestrin-gnome-XXXXXX";
  if (mkdtemp(pattern) != nullptr) dir_ = pattern;
  chmod(dir_.c_str(), 0700);
  runtime_env_ = std::make_unique<ScopedEnv>("XDG_RUNTIME_DIR", dir_);
  // Until start_bus: a bus that is not there.
  bus_env_ = std::make_unique<ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir_ + "/bus");
  // Mutter must not take the desktop the tests run in for its parent.
  wayland_env_ = std::make_unique<ScopedEnv>("WAYLAND_DISPLAY", std::nullopt);
  display_env_ = std::make_unique<ScopedEnv>("DISPLAY", std::nullopt);
}

GnomeDesktop::~GnomeDesktop() {
  stop_clients();
  for (pid_t* pid : {&wireplumber_, &pipewire_, &mutter_, &bus_}) stop(*pid);
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

pid_t GnomeDesktop::spawn(const std::string& name, const std::vector<std::string>& argv, int input) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string log = dir_ + "/" + name + ".log";
  if (input >= 0) {
    posix_spawn_file_actions_adddup2(&actions, input, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int r = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(r, 0) << "starting " << name;
  return r == 0 ? pid : -1;
}

void GnomeDesktop::stop(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  const bool gone = wait_for([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }, 3s);
  if (!gone) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  pid = -1;
}

void GnomeDesktop::start_bus() {
  const std::string socket = dir_ + "/bus";
  bus_ = spawn("dbus-daemon", {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=unix:path=" + socket});
  ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(socket); })) << "the session bus did not start";
}

void GnomeDesktop::start_mutter(const std::vector<std::string>& monitors) {
  std::vector<std::string> argv{"mutter", "--headless", "--wayland", "--no-x11"};
  for (const std::string& monitor : monitors) argv.insert(argv.end(), {"--virtual-monitor", monitor});
  mutter_ = spawn("mutter", argv);
  auto bus = gnome::Bus::open_session_bus();
  ASSERT_TRUE(bus) << report_text(bus.error());
  ASSERT_TRUE(wait_for([&] { return gnome::find_mutter(*bus).has_value(); }))
      << "Mutter did not appear on the bus; see " << dir_ << "/mutter.log";
}

void GnomeDesktop::start_pipewire() {
  pipewire_ = spawn("pipewire", {"pipewire"});
  ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(dir_ + "/pipewire-0"); }))
      << "PipeWire did not start; see " << dir_ << "/pipewire.log";
  wireplumber_ = spawn("wireplumber", {"wireplumber"});
}

// Mutter 43 spins instead of quitting on SIGTERM while a remote-desktop
// session is open, so it is killed, as a crash would end it.
void GnomeDesktop::stop_pipewire() {
  stop(wireplumber_);
  stop(pipewire_);
}

void GnomeDesktop::start_client(const std::vector<std::string>& argv) {
  ScopedEnv display("WAYLAND_DISPLAY", "wayland-0");
  // Its input stays open while the desktop runs: kestrin-probe ends when its
  // input does.
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  Fd input(ends[0]);
  client_inputs_.emplace_back(ends[1]);
  clients_.push_back(spawn(std::filesystem::path(argv[0]).filename().string(), argv, input.get()));
}

void GnomeDesktop::stop_clients() {
  for (pid_t& pid : clients_) stop(pid);
  clients_.clear();
  client_inputs_.clear();
}

void GnomeDesktop::stop_mutter() {
  if (mutter_ <= 0) return;
  kill(mutter_, SIGKILL);
  waitpid(mutter_, nullptr, 0);
  mutter_ = -1;
}

void GnomeDesktop::pause_mutter(bool paused) { kill(mutter_, paused ? SIGSTOP : SIGCONT); }

}  // namespace kestrin::testing
