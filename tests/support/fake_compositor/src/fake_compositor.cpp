#include "fake_compositor/fake_compositor.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <optional>
#include <system_error>
#include <thread>

#include "posix.hpp"
#include "recorder.hpp"
#include "server.hpp"
#include "stop_signal.hpp"

namespace kestrin::fake {

struct FakeCompositor::Impl {
  Impl(const nlohmann::json& scenario, Options options)
      : recorder(std::move(options.on_record)), wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!wake) throw std::system_error(errno, std::generic_category(), "eventfd");
    Scenario parsed = parse_scenario(scenario);
    if (options.socket_path.empty()) {
      directory.emplace();
      options.socket_path = directory->path() / "wayland-0";
    }
    socket.emplace(options.socket_path);
    server.emplace(std::move(parsed), recorder, stop);
    server->listen(socket->take_fd());
    thread = std::thread([this] { run(); });
  }

  ~Impl() {
    stop.request();
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake.get(), &one, sizeof(one));
    thread.join();
    server.reset();
  }

  void run() {
    try {
      server->run(wake.get());
    } catch (const std::exception& error) {
      std::fprintf(stderr, "fake compositor: the event loop ended: %s\n", error.what());
    }
  }

  Recorder recorder;
  StopSignal stop;
  UniqueFd wake;
  std::optional<TempDir> directory;
  std::optional<ListeningSocket> socket;
  std::optional<Server> server;
  std::thread thread;
};

FakeCompositor::FakeCompositor(const nlohmann::json& scenario, Options options)
    : impl_(std::make_unique<Impl>(scenario, std::move(options))) {}

FakeCompositor::~FakeCompositor() = default;

const std::filesystem::path& FakeCompositor::socket_path() const { return impl_->socket->path(); }

Records FakeCompositor::records() const { return impl_->recorder.snapshot(); }

Records FakeCompositor::requests() const {
  Records requests;
  for (Record& record : records()) {
    if (record.contains("request")) requests.push_back(std::move(record));
  }
  return requests;
}

std::vector<std::string> FakeCompositor::request_names() const {
  std::vector<std::string> names;
  for (const Record& record : requests()) {
    names.push_back(record["interface"].get<std::string>() + "." + record["request"].get<std::string>());
  }
  return names;
}

bool FakeCompositor::wait_until(const std::function<bool(const Records&)>& predicate,
                                std::chrono::milliseconds timeout) const {
  return impl_->recorder.wait_until(predicate, timeout);
}

}  // namespace kestrin::fake
