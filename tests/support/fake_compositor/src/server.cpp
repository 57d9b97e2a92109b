#include "server.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <stdexcept>

#include "interfaces.hpp"
#include "request_record.hpp"

namespace kestrin::fake {

namespace {

// libwayland-server reports clients it drops ("error in client
// communication"); say whose message it is among the test output.
void log_libwayland(const char* format, va_list arguments) {
  char text[1024];
  std::vsnprintf(text, sizeof(text), format, arguments);
  std::fprintf(stderr, "fake compositor (libwayland-server): %s", text);
}

}  // namespace

Server::Server(Scenario scenario, Recorder& recorder, const StopSignal& stop)
    : scenario_(std::move(scenario)), recorder_(recorder), stop_(stop) {
  wl_log_set_handler_server(log_libwayland);
  display_ = wl_display_create();
  if (display_ == nullptr) throw std::runtime_error("wl_display_create failed");
  loop_ = wl_display_get_event_loop(display_);
  client_created_.listener.notify = on_client_created;
  client_created_.owner = this;
  wl_display_add_client_created_listener(display_, &client_created_.listener);
  logger_ = wl_display_add_protocol_logger(display_, on_protocol_message, this);
  try {
    for (const GlobalConfig& config : scenario_.globals) create_global(config);
  } catch (...) {
    wl_protocol_logger_destroy(logger_);
    wl_list_remove(&client_created_.listener.link);
    wl_display_destroy(display_);
    throw;
  }
}

Server::~Server() {
  delayed_.clear();
  wl_protocol_logger_destroy(logger_);
  // Clients go first, while the globals their resources point to still exist;
  // their destroy listeners record the disconnects.
  wl_display_destroy_clients(display_);
  wl_list_remove(&client_created_.listener.link);
  wl_display_destroy(display_);
}

Server::DelayedAction::~DelayedAction() {
  if (source != nullptr) wl_event_source_remove(source);
}

void Server::listen(UniqueFd socket) {
  if (wl_display_add_socket_fd(display_, socket.get()) != 0) {
    throw std::runtime_error("wl_display_add_socket_fd failed");
  }
  socket.release();  // the display closes it
}

namespace {

int drain_wake_fd(int fd, std::uint32_t, void*) {
  std::uint64_t count;
  [[maybe_unused]] ssize_t n = ::read(fd, &count, sizeof(count));
  return 0;
}

}  // namespace

void Server::run(int wake_fd) {
  wl_event_source* wake = wl_event_loop_add_fd(loop_, wake_fd, WL_EVENT_READABLE, drain_wake_fd, nullptr);
  while (!stop_.requested()) {
    wl_display_flush_clients(display_);
    wl_event_loop_dispatch(loop_, -1);
  }
  wl_event_source_remove(wake);
}

const wl_interface* Server::interface_for(const GlobalConfig& config) {
  const wl_interface* known = known_interface(config.interface);
  if (known != nullptr && static_cast<std::uint32_t>(known->version) >= config.version) return known;
  // libwayland refuses to advertise a global above its description's version.
  wl_interface made{};
  if (known != nullptr) {
    made = *known;
  } else {
    made.name = made_names_.emplace_back(config.interface).c_str();
  }
  made.version = static_cast<int>(config.version);
  return &made_interfaces_.emplace_back(made);
}

void Server::create_global(const GlobalConfig& config) {
  GlobalState& state = globals_.emplace_back();
  state.server = this;
  state.config = config;
  state.index = globals_.size() - 1;
  state.global = wl_global_create(display_, interface_for(config), static_cast<int>(config.version), &state,
                                  binder_for(config.interface));
  if (state.global == nullptr) {
    globals_.pop_back();
    throw std::runtime_error("cannot create the global " + config.interface);
  }
  if (config.interface == "wl_output") outputs_.push_back(&state);
}

ClientState* Server::client(wl_client* client) {
  auto it = clients_.find(client);
  return it == clients_.end() ? nullptr : it->second.get();
}

const ScreencopyConfig& Server::next_capture(wl_client* client) {
  std::size_t capture = 0;
  if (ClientState* state = this->client(client)) capture = state->captures++;
  return scenario_.screencopy[std::min(capture, scenario_.screencopy.size() - 1)];
}

const ImageCopyConfig& Server::next_image_copy_frame(wl_client* client) {
  std::size_t frame = 0;
  if (ClientState* state = this->client(client)) frame = state->image_copy_frames++;
  return scenario_.image_copy[std::min(frame, scenario_.image_copy.size() - 1)];
}

void Server::on_client_created(wl_listener* listener, void* data) {
  Server* server = OwnedListener<Server>::owner_of(listener);
  auto* client = static_cast<wl_client*>(data);
  auto state = std::make_unique<ClientState>();
  state->server = server;
  state->client = client;
  state->number = ++server->clients_seen_;
  state->destroy_listener.listener.notify = on_client_destroyed;
  state->destroy_listener.owner = state.get();
  wl_client_add_destroy_listener(client, &state->destroy_listener.listener);
  server->recorder_.add({{"client", state->number}, {"event", "connect"}});
  server->clients_.emplace(client, std::move(state));
}

void Server::on_client_destroyed(wl_listener* listener, void* data) {
  ClientState* state = OwnedListener<ClientState>::owner_of(listener);
  Server* server = state->server;
  auto* client = static_cast<wl_client*>(data);
  wl_list_remove(&listener->link);
  // The socket is closed right after this; see discard_pending_input.
  discard_pending_input(wl_client_get_fd(client));
  server->recorder_.add({{"client", state->number}, {"event", "disconnect"}});
  server->clients_.erase(client);
}

void Server::on_protocol_message(void* data, wl_protocol_logger_type direction,
                                 const wl_protocol_logger_message* message) {
  if (direction != WL_PROTOCOL_LOGGER_REQUEST) return;
  // libwayland calls in from C: nothing may propagate.
  try {
    static_cast<Server*>(data)->handle_request(*message);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "fake compositor: %s\n", error.what());
  }
}

void Server::handle_request(const wl_protocol_logger_message& message) {
  ClientState* state = client(wl_resource_get_client(message.resource));
  if (state == nullptr || state->closed) return;
  recorder_.add(request_record(state->number, message));

  std::string name = std::string(wl_resource_get_class(message.resource)) + "." + message.message->name;
  std::uint32_t count = ++state->request_counts[name];
  Target target{state->number, wl_resource_get_id(message.resource), wl_resource_get_class(message.resource)};
  for (const TriggerConfig& trigger : scenario_.triggers) {
    if (trigger.on != name || trigger.nth != count) continue;
    for (const ActionConfig& action : trigger.actions) fire(action, target);
  }
}

int Server::on_timer(void* data) {
  auto* delayed = static_cast<DelayedAction*>(data);
  try {
    delayed->server->perform(delayed->action, delayed->target);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "fake compositor: %s\n", error.what());
  }
  return 0;
}

}  // namespace kestrin::fake
