// The compositor proper: the libwayland-server display with its globals and
// clients, the recording of requests and the triggers. Everything here runs
// on the compositor's thread (construction and destruction excepted, which
// happen while that thread is not running).
#pragma once

#include <wayland-server-core.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "posix.hpp"
#include "recorder.hpp"
#include "scenario.hpp"
#include "stop_signal.hpp"

namespace kestrin::fake {

class Server;

struct GlobalState {
  Server* server = nullptr;
  GlobalConfig config;
  std::size_t index = 0;  // in the global list, as remove_global counts
  wl_global* global = nullptr;
  bool removed = false;
  std::vector<wl_resource*> resources;  // bound and not yet destroyed
};

struct ClientState;

// A libwayland listener with a way back to its owner: the listener is the
// first member of a standard-layout struct, so a pointer to it is a pointer to
// the whole.
template <class Owner>
struct OwnedListener {
  wl_listener listener{};
  Owner* owner = nullptr;

  static Owner* owner_of(wl_listener* listener) { return reinterpret_cast<OwnedListener*>(listener)->owner; }
};

struct ClientState {
  Server* server = nullptr;
  wl_client* client = nullptr;
  int number = 0;
  OwnedListener<ClientState> destroy_listener;
  std::map<std::string, std::uint32_t, std::less<>> request_counts;
  std::size_t captures = 0;
  std::size_t image_copy_frames = 0;
  bool closed = false;  // disconnected by a trigger; its later requests are not recorded
  std::vector<wl_resource*> keyboards;
};

// The object of the request that fired a trigger, kept by name so that a
// delayed action finds out whether it still exists.
struct Target {
  int client = 0;
  std::uint32_t object_id = 0;
  std::string interface;
};

class Server {
 public:
  Server(Scenario scenario, Recorder& recorder, const StopSignal& stop);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  ~Server();

  // Accepts clients on an already listening socket.
  void listen(UniqueFd socket);

  // Serves clients until a stop is requested; `wake_fd` becoming readable
  // interrupts the wait so that the request is seen.
  void run(int wake_fd);

  ClientState* client(wl_client* client);
  // The screencopy entry for the next capture of `client`.
  const ScreencopyConfig& next_capture(wl_client* client);
  // The image_copy entry for the next ext_image_copy_capture_frame_v1 of `client`.
  const ImageCopyConfig& next_image_copy_frame(wl_client* client);

 private:
  struct DelayedAction {
    Server* server = nullptr;
    ActionConfig action;
    Target target;
    wl_event_source* source = nullptr;
    DelayedAction() = default;
    DelayedAction(const DelayedAction&) = delete;
    DelayedAction& operator=(const DelayedAction&) = delete;
    ~DelayedAction();
  };

  static void on_client_created(wl_listener* listener, void* data);
  static void on_client_destroyed(wl_listener* listener, void* data);
  static void on_protocol_message(void* data, wl_protocol_logger_type direction,
                                  const wl_protocol_logger_message* message);
  static int on_timer(void* data);

  void handle_request(const wl_protocol_logger_message& message);
  const wl_interface* interface_for(const GlobalConfig& config);
  void create_global(const GlobalConfig& config);

  // actions.cpp
  void fire(const ActionConfig& action, const Target& target);
  void perform(const ActionConfig& action, const Target& target);
  ClientState* client_by_number(int number);
  wl_resource* find_target(const Target& target);
  void disconnect(ClientState& client);
  void stall(ClientState& client);
  void remove_global(std::size_t index);
  void rename_output(std::size_t output, const std::string& name);
  void send_event(const ActionConfig& action, ClientState& client, const Target& target);

  Scenario scenario_;
  Recorder& recorder_;
  const StopSignal& stop_;
  wl_display* display_ = nullptr;
  wl_event_loop* loop_ = nullptr;
  wl_protocol_logger* logger_ = nullptr;
  OwnedListener<Server> client_created_;
  int clients_seen_ = 0;
  std::map<wl_client*, std::unique_ptr<ClientState>> clients_;
  std::deque<GlobalState> globals_;
  std::vector<GlobalState*> outputs_;
  // Interface descriptions made up for globals libwayland does not know, or
  // advertised above the version it knows; libwayland keeps pointers to them.
  std::deque<wl_interface> made_interfaces_;
  std::deque<std::string> made_names_;
  std::list<DelayedAction> delayed_;
};

}  // namespace kestrin::fake
