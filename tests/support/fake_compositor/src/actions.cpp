// What triggers do.
#include <sys/socket.h>

#include <cstdio>
#include <cstring>

#include "events.hpp"
#include "interfaces.hpp"
#include "output.hpp"
#include "seat.hpp"
#include "server.hpp"

namespace kestrin::fake {

void Server::fire(const ActionConfig& action, const Target& target) {
  if (action.delay_ms == 0) {
    perform(action, target);
    return;
  }
  DelayedAction& delayed = delayed_.emplace_back();
  delayed.server = this;
  delayed.action = action;
  delayed.target = target;
  delayed.source = wl_event_loop_add_timer(loop_, on_timer, &delayed);
  if (delayed.source == nullptr) throw std::runtime_error("cannot add a timer for a delayed action");
  wl_event_source_timer_update(delayed.source, static_cast<int>(action.delay_ms));
}

void Server::perform(const ActionConfig& action, const Target& target) {
  ClientState* client = client_by_number(target.client);
  if (client != nullptr && client->closed) client = nullptr;
  switch (action.kind) {
    case ActionKind::close:
      if (client != nullptr) disconnect(*client);
      break;
    case ActionKind::protocol_error:
      if (wl_resource* resource = find_target(target)) {
        wl_resource_post_error(resource, action.code, "%s", action.message.c_str());
      }
      break;
    case ActionKind::stall:
      if (client != nullptr) stall(*client);
      break;
    case ActionKind::output_name:
      rename_output(action.output, action.name);
      break;
    case ActionKind::add_global:
      create_global(*action.global);
      break;
    case ActionKind::remove_global:
      remove_global(action.index);
      break;
    case ActionKind::keymap:
      if (client != nullptr) {
        for (wl_resource* keyboard : client->keyboards) seat::send_keymap(keyboard, action.keymap);
      }
      break;
    case ActionKind::event:
      if (client != nullptr) send_event(action, *client, target);
      break;
  }
}

void Server::send_event(const ActionConfig& action, ClientState& client, const Target& target) {
  const wl_message& event = known_interface(action.interface)->events[action.opcode];
  if (!action.every_object) {
    if (wl_resource* resource = find_target(target)) events::send(resource, action.opcode, event, action.args);
    return;
  }
  for (wl_resource* resource : events::objects_of(client.client, action.interface)) {
    events::send(resource, action.opcode, event, action.args);
  }
}

ClientState* Server::client_by_number(int number) {
  for (auto& [client, state] : clients_) {
    if (state->number == number) return state.get();
  }
  return nullptr;
}

wl_resource* Server::find_target(const Target& target) {
  ClientState* client = client_by_number(target.client);
  if (client == nullptr || client->closed) return nullptr;
  wl_resource* resource = wl_client_get_object(client->client, target.object_id);
  if (resource == nullptr || target.interface != wl_resource_get_class(resource)) return nullptr;
  return resource;
}

void Server::disconnect(ClientState& client) {
  client.closed = true;
  // What was answered before the trigger still goes out; shutting the socket
  // down keeps everything queued later from reaching the client, which sees
  // end of file. libwayland then destroys the client on the hang-up.
  wl_client_flush(client.client);
  ::shutdown(wl_client_get_fd(client.client), SHUT_RDWR);
}

void Server::stall(ClientState& client) {
  wl_client_flush(client.client);
  stop_.wait();
  // The answer to the stalled request must not leak out during teardown.
  disconnect(client);
}

void Server::remove_global(std::size_t index) {
  if (index >= globals_.size()) {
    std::fprintf(stderr, "fake compositor: remove_global: no global %zu (of %zu)\n", index, globals_.size());
    return;
  }
  GlobalState& global = globals_[index];
  if (global.removed) return;
  global.removed = true;
  // Only announced as gone: bound resources keep working, and libwayland
  // destroys the global with the display.
  wl_global_remove(global.global);
}

void Server::rename_output(std::size_t index, const std::string& name) {
  if (index >= outputs_.size()) {
    std::fprintf(stderr, "fake compositor: output_name: no wl_output %zu (of %zu)\n", index, outputs_.size());
    return;
  }
  output::rename(*outputs_[index], name);
}

}  // namespace kestrin::fake
