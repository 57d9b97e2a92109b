// A minimal libwayland-client client for testing the fake compositor: it
// connects by socket path, collects the registry, and waits for the
// compositor with a hang guard instead of blocking forever.
#pragma once

#include <wayland-client.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrin::fake::testing {

enum class Wait { done, failed, timed_out };

std::string to_string(Wait wait);
inline void PrintTo(Wait wait, std::ostream* out) { *out << to_string(wait); }

struct Advertised {
  std::uint32_t name = 0;
  std::string interface;
  std::uint32_t version = 0;
};

struct ProtocolError {
  std::string interface;
  std::uint32_t id = 0;
  std::uint32_t code = 0;
};

class TestClient {
 public:
  explicit TestClient(const std::filesystem::path& socket);
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;
  ~TestClient();

  wl_display* display() const { return display_.get(); }

  // Sends wl_display.get_registry (once) and collects what it announces.
  wl_registry* registry();
  const std::vector<Advertised>& globals() const { return globals_; }
  const std::vector<std::uint32_t>& removed_globals() const { return removed_; }
  // The `nth` advertised global of `interface`; fails the test if absent.
  Advertised global(std::string_view interface, std::size_t nth = 0) const;

  // Binds a global at `version` (default: as advertised). The proxy belongs
  // to the client, which destroys it on destruction.
  wl_proxy* bind(const Advertised& global, const wl_interface* interface, std::optional<std::uint32_t> version = {});
  template <class T>
  T* bind(const Advertised& global, const wl_interface* interface, std::optional<std::uint32_t> version = {}) {
    return reinterpret_cast<T*>(bind(global, interface, version));
  }

  // Takes ownership of a proxy; `forget` hands it back (for destructors).
  template <class T>
  T* own(T* proxy) {
    owned_.push_back(reinterpret_cast<wl_proxy*>(proxy));
    return proxy;
  }
  void forget(void* proxy);

  // wl_display.sync, then dispatch until its done arrives.
  Wait roundtrip();
  // Dispatches until `done` holds or the connection fails. Gives up after a
  // hang guard of a few seconds, which only a broken compositor reaches.
  Wait dispatch_until(const std::function<bool()>& done);

  // errno-style error of the connection (0 while it is healthy).
  int error() const { return wl_display_get_error(display_.get()); }
  std::optional<ProtocolError> protocol_error() const;

 private:
  struct Disconnect {
    void operator()(wl_display* display) const { wl_display_disconnect(display); }
  };

  static void on_global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                        std::uint32_t version);
  static void on_global_remove(void* data, wl_registry* registry, std::uint32_t name);

  std::unique_ptr<wl_display, Disconnect> display_;
  wl_registry* registry_ = nullptr;
  std::vector<Advertised> globals_;
  std::vector<std::uint32_t> removed_;
  std::vector<wl_proxy*> owned_;
};

// Sends a request that creates an object (the new_id argument is passed as
// nullptr among `args`, in its place in the signature).
template <class... Args>
wl_proxy* create(void* parent, std::uint32_t opcode, const wl_interface* interface, Args... args) {
  auto* proxy = static_cast<wl_proxy*>(parent);
  return wl_proxy_marshal_flags(proxy, opcode, interface, wl_proxy_get_version(proxy), 0, args...);
}

template <class... Args>
void send(void* target, std::uint32_t opcode, Args... args) {
  auto* proxy = static_cast<wl_proxy*>(target);
  wl_proxy_marshal_flags(proxy, opcode, nullptr, wl_proxy_get_version(proxy), 0, args...);
}

// Sends a destructor request; the proxy is gone afterwards.
void send_destructor(TestClient& client, void* target, std::uint32_t opcode);

// The last message libwayland-client logged (protocol errors are logged with
// the compositor's message text).
std::string last_client_log();

// An unnamed file, for descriptors passed to the compositor.
class TestFile {
 public:
  explicit TestFile(const std::string& content);
  TestFile(const TestFile&) = delete;
  TestFile& operator=(const TestFile&) = delete;
  ~TestFile();

  int fd() const { return fd_; }
  // The whole content, read from offset 0.
  std::string content() const;

 private:
  int fd_;
};

// The whole content of a file, read from offset 0.
std::string file_content(int fd);

}  // namespace kestrin::fake::testing
