// wl_shm, wl_shm_pool and wl_buffer, checked the way libwayland-server's own
// wl_shm checks them.
#pragma once

#include <wayland-server-core.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "posix.hpp"

namespace kestrin::fake::shm {

// A client's pool: its file and the compositor's mapping of it. Buffers share
// it, so the mapping lives until the pool and all its buffers are gone.
struct Pool {
  UniqueFd fd;
  Mapping mapping;
  std::vector<std::uint32_t> formats;  // those the wl_shm global announced
};

struct Buffer {
  std::shared_ptr<Pool> pool;
  std::int32_t offset = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t stride = 0;
  std::uint32_t format = 0;

  // The buffer's bytes in the mapping; empty when the client's file is
  // shorter than the pool it claimed, where writing would fault.
  std::span<std::uint8_t> bytes() const;
};

void bind(wl_client* client, void* data, std::uint32_t version, std::uint32_t id);

// The buffer behind a wl_buffer made through this wl_shm; null for any other.
Buffer* buffer(wl_resource* resource);

}  // namespace kestrin::fake::shm
