// Unnamed shared-memory files for wl_shm buffers.
#pragma once

#include <wayland-client-protocol.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/wayland.hpp"

namespace kestrin {

// The system calls create_shm_file makes, replaceable so that tests can make
// them fail.
struct ShmCalls {
  int (*shm_open)(const char* name, int flags, unsigned mode);
  int (*shm_unlink)(const char* name);
  int (*ftruncate)(int fd, long length);
};
const ShmCalls& system_shm_calls();

// Creates a shared-memory file of `size` zero bytes under a random name and
// removes the name at once; the caller owns the descriptor.
Result<Fd> create_shm_file(std::size_t size, const ShmCalls& calls = system_shm_calls());

// A shared-memory file of `size` zero bytes sealed against shrinking: a
// mapping of it cannot fault whatever the compositor does with the file. For
// buffers that are read through a mapping.
Result<Fd> create_sealed_shm_file(std::size_t size);

// A read-only shared mapping of the first `size` bytes of a file, unmapped
// when it goes.
class Mapping {
 public:
  Mapping() = default;
  Mapping(Mapping&& other) noexcept;
  Mapping& operator=(Mapping&& other) noexcept;
  ~Mapping();
  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(address_); }

 private:
  friend Result<Mapping> map_readable(int fd, std::size_t size);
  void* address_ = nullptr;
  std::size_t size_ = 0;
};
Result<Mapping> map_readable(int fd, std::size_t size);

// Owners of the per-capture objects that also tell the compositor to free
// them: otherwise it keeps a frame-sized pool per capture until disconnect.
struct PoolDestroyer {
  void operator()(wl_shm_pool* pool) const noexcept { wl_shm_pool_destroy(pool); }
};
struct BufferDestroyer {
  void operator()(wl_buffer* buffer) const noexcept { wl_buffer_destroy(buffer); }
};
using Pool = std::unique_ptr<wl_shm_pool, PoolDestroyer>;
using Buffer = std::unique_ptr<wl_buffer, BufferDestroyer>;

}  // namespace kestrin
