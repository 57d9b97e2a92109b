#include "test_client.hpp"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <stdexcept>

namespace kestrin::fake::testing {
namespace {

constexpr auto hang_guard = std::chrono::seconds(5);

std::mutex log_mutex;
std::string last_log;

void capture_log(const char* format, va_list arguments) {
  char text[1024];
  std::vsnprintf(text, sizeof(text), format, arguments);
  std::lock_guard lock(log_mutex);
  last_log = text;
}


}  // namespace

std::string to_string(Wait wait) {
  switch (wait) {
    case Wait::done:
      return "done";
    case Wait::failed:
      return "failed";
    case Wait::timed_out:
      return "timed out";
  }
  return "?";
}

TestClient::TestClient(const std::filesystem::path& socket) : display_(wl_display_connect(socket.c_str())) {
  wl_log_set_handler_client(capture_log);
  if (!display_) throw std::runtime_error("cannot connect to " + socket.string());
}

TestClient::~TestClient() {
  for (auto it = owned_.rbegin(); it != owned_.rend(); ++it) wl_proxy_destroy(*it);
  if (registry_ != nullptr) wl_registry_destroy(registry_);
}

void TestClient::on_global(void* data, wl_registry*, std::uint32_t name, const char* interface,
                           std::uint32_t version) {
  static_cast<TestClient*>(data)->globals_.push_back({name, interface, version});
}

void TestClient::on_global_remove(void* data, wl_registry*, std::uint32_t name) {
  static_cast<TestClient*>(data)->removed_.push_back(name);
}

wl_registry* TestClient::registry() {
  if (registry_ == nullptr) {
    static const wl_registry_listener listener = {on_global, on_global_remove};
    registry_ = wl_display_get_registry(display_.get());
    wl_registry_add_listener(registry_, &listener, this);
  }
  return registry_;
}

Advertised TestClient::global(std::string_view interface, std::size_t nth) const {
  for (const Advertised& global : globals_) {
    if (global.interface == interface && nth-- == 0) return global;
  }
  ADD_FAILURE() << "no advertised global " << interface;
  return {};
}

wl_proxy* TestClient::bind(const Advertised& global, const wl_interface* interface,
                           std::optional<std::uint32_t> version) {
  auto* proxy = static_cast<wl_proxy*>(
      wl_registry_bind(registry(), global.name, interface, version.value_or(global.version)));
  return own(proxy);
}

void TestClient::forget(void* proxy) { std::erase(owned_, static_cast<wl_proxy*>(proxy)); }

Wait TestClient::roundtrip() {
  bool done = false;
  static const wl_callback_listener listener = {
      [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; },
  };
  wl_callback* callback = wl_display_sync(display_.get());
  wl_callback_add_listener(callback, &listener, &done);
  Wait result = dispatch_until([&] { return done; });
  wl_callback_destroy(callback);
  return result;
}

Wait TestClient::dispatch_until(const std::function<bool()>& done) {
  wl_display* display = display_.get();
  const auto deadline = std::chrono::steady_clock::now() + hang_guard;
  while (true) {
    if (wl_display_dispatch_pending(display) < 0) return Wait::failed;
    if (done()) return Wait::done;
    if (wl_display_prepare_read(display) != 0) continue;
    if (wl_display_flush(display) < 0 && errno != EAGAIN && errno != EPIPE) {
      wl_display_cancel_read(display);
      return Wait::failed;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      wl_display_cancel_read(display);
      return Wait::timed_out;
    }
    pollfd descriptor{wl_display_get_fd(display), POLLIN, 0};
    int ready = ::poll(&descriptor, 1, static_cast<int>(left.count()));
    if (ready <= 0) {
      wl_display_cancel_read(display);
      if (ready < 0 && errno != EINTR) return Wait::failed;
      continue;
    }
    if (wl_display_read_events(display) < 0) return Wait::failed;
  }
}

std::optional<ProtocolError> TestClient::protocol_error() const {
  const wl_interface* interface = nullptr;
  std::uint32_t id = 0;
  std::uint32_t code = wl_display_get_protocol_error(display_.get(), &interface, &id);
  if (interface == nullptr) return std::nullopt;
  return ProtocolError{interface->name, id, code};
}

void send_destructor(TestClient& client, void* target, std::uint32_t opcode) {
  auto* proxy = static_cast<wl_proxy*>(target);
  client.forget(proxy);
  wl_proxy_marshal_flags(proxy, opcode, nullptr, wl_proxy_get_version(proxy), WL_MARSHAL_FLAG_DESTROY);
}

std::string last_client_log() {
  std::lock_guard lock(log_mutex);
  return last_log;
}

TestFile::TestFile(const std::string& content) : fd_(::memfd_create("fake-compositor-test", MFD_CLOEXEC)) {
  if (fd_ < 0 || ::write(fd_, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
    if (fd_ >= 0) ::close(fd_);
    throw std::runtime_error("cannot make a memory file");
  }
}

TestFile::~TestFile() { ::close(fd_); }

std::string TestFile::content() const { return file_content(fd_); }

std::string file_content(int fd) {
  std::string content;
  char chunk[4096];
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(fd, chunk, sizeof(chunk), offset);
    if (n <= 0) return content;
    content.append(chunk, static_cast<std::size_t>(n));
    offset += n;
  }
}

}  // namespace kestrin::fake::testing
