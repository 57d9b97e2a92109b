// A Wayland compositor for tests: it advertises the globals a scenario names,
// answers the requests of the kestrin client as a real compositor would,
// records every request it receives, and misbehaves on cue (triggers).
// See README.md next to this header for the scenario and record formats.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_compositor/pattern.hpp"

namespace kestrin::fake {

using Record = nlohmann::json;
using Records = std::vector<Record>;

struct Options {
  // Where to listen. Empty: a socket in a fresh private temporary directory.
  // A given path must not exist yet; it is removed again on destruction.
  std::filesystem::path socket_path;
  // Called on the compositor's thread with every record, in order, as it is
  // made (the executable appends them to its record file).
  std::function<void(const Record&)> on_record;
};

class FakeCompositor {
 public:
  // Listens at once and runs the event loop on a thread of its own. Throws
  // std::invalid_argument for a malformed scenario and std::system_error
  // when the socket cannot be set up.
  explicit FakeCompositor(const nlohmann::json& scenario = nlohmann::json::object(), Options options = {});
  FakeCompositor(const FakeCompositor&) = delete;
  FakeCompositor& operator=(const FakeCompositor&) = delete;
  // Stops the thread, disconnects every client, removes the socket (and the
  // private directory).
  ~FakeCompositor();

  const std::filesystem::path& socket_path() const;

  // Snapshot of everything recorded so far, in order.
  Records records() const;
  // The request records alone.
  Records requests() const;
  // "interface.request" for every request record, in order.
  std::vector<std::string> request_names() const;

  // Waits until `predicate` holds for the records, re-checking on every new
  // record. Returns false if it still does not hold after `timeout`.
  bool wait_until(const std::function<bool(const Records&)>& predicate,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestrin::fake
