#include "shm.hpp"

#include <sys/mman.h>
#include <sys/stat.h>
#include <wayland-server-protocol.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "resource.hpp"
#include "server.hpp"

namespace kestrin::fake::shm {
namespace {

enum : std::uint32_t { shm_create_pool = 0 };
enum : std::uint32_t { pool_create_buffer = 0, pool_destroy = 1, pool_resize = 2 };
enum : std::uint32_t { buffer_destroy = 0 };

const char shm_tag = 0;
const char pool_tag = 0;
const char buffer_tag = 0;

int dispatch_buffer(const void*, void* target, std::uint32_t opcode, const wl_message*, wl_argument*) {
  if (opcode == buffer_destroy) wl_resource_destroy(as_resource(target));
  return 0;
}

void destroy_buffer(wl_resource* resource) { delete static_cast<Buffer*>(wl_resource_get_user_data(resource)); }

void create_buffer(wl_resource* pool_resource, std::uint32_t id, std::int32_t offset, std::int32_t width,
                   std::int32_t height, std::int32_t stride, std::uint32_t format) {
  auto& pool = *static_cast<std::shared_ptr<Pool>*>(wl_resource_get_user_data(pool_resource));
  if (std::find(pool->formats.begin(), pool->formats.end(), format) == pool->formats.end()) {
    wl_resource_post_error(pool_resource, WL_SHM_ERROR_INVALID_FORMAT, "invalid format 0x%x", format);
    return;
  }
  const auto pool_size = static_cast<std::int64_t>(pool->mapping.size());
  if (offset < 0 || width <= 0 || height <= 0 || stride < width || INT32_MAX / stride < height ||
      offset > pool_size - static_cast<std::int64_t>(stride) * height) {
    wl_resource_post_error(pool_resource, WL_SHM_ERROR_INVALID_STRIDE,
                           "invalid width, height or stride (%dx%d, stride %d, offset %d, pool size %lld)", width,
                           height, stride, offset, static_cast<long long>(pool_size));
    return;
  }
  auto* buffer = new Buffer{pool, offset, width, height, stride, format};
  if (create_resource(wl_resource_get_client(pool_resource), &wl_buffer_interface,
                      wl_resource_get_version(pool_resource), id, dispatch_buffer, &buffer_tag, buffer,
                      destroy_buffer) == nullptr) {
    delete buffer;
  }
}

void resize_pool(wl_resource* pool_resource, std::int32_t size) {
  auto& pool = *static_cast<std::shared_ptr<Pool>*>(wl_resource_get_user_data(pool_resource));
  if (size < 0 || static_cast<std::size_t>(size) < pool->mapping.size()) {
    wl_resource_post_error(pool_resource, WL_SHM_ERROR_INVALID_FD, "shrinking pool invalid (%zu to %d)",
                           pool->mapping.size(), size);
    return;
  }
  if (!pool->mapping.grow(static_cast<std::size_t>(size))) {
    wl_resource_post_error(pool_resource, WL_SHM_ERROR_INVALID_FD, "failed mremap to %d: %s", size,
                           std::strerror(errno));
  }
}

int dispatch_pool(const void*, void* target, std::uint32_t opcode, const wl_message*, wl_argument* args) {
  wl_resource* resource = as_resource(target);
  switch (opcode) {
    case pool_create_buffer:
      create_buffer(resource, args[0].n, args[1].i, args[2].i, args[3].i, args[4].i, args[5].u);
      break;
    case pool_destroy:
      wl_resource_destroy(resource);
      break;
    case pool_resize:
      resize_pool(resource, args[0].i);
      break;
  }
  return 0;
}

void destroy_pool(wl_resource* resource) {
  delete static_cast<std::shared_ptr<Pool>*>(wl_resource_get_user_data(resource));
}

void create_pool(wl_resource* shm_resource, std::uint32_t id, UniqueFd fd, std::int32_t size) {
  auto* global = static_cast<GlobalState*>(wl_resource_get_user_data(shm_resource));
  if (size <= 0) {
    wl_resource_post_error(shm_resource, WL_SHM_ERROR_INVALID_STRIDE, "invalid pool size (%d)", size);
    return;
  }
  void* address = ::mmap(nullptr, static_cast<std::size_t>(size), PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (address == MAP_FAILED) {
    wl_resource_post_error(shm_resource, WL_SHM_ERROR_INVALID_FD, "failed mmap of fd %d, size %d: %s", fd.get(),
                           size, std::strerror(errno));
    return;
  }
  auto pool = std::make_shared<Pool>(Pool{std::move(fd), Mapping(address, static_cast<std::size_t>(size)),
                                          global->config.shm.formats});
  auto* data = new std::shared_ptr<Pool>(std::move(pool));
  if (create_resource(wl_resource_get_client(shm_resource), &wl_shm_pool_interface,
                      wl_resource_get_version(shm_resource), id, dispatch_pool, &pool_tag, data, destroy_pool) == nullptr) {
    delete data;
  }
}

int dispatch_shm(const void*, void* target, std::uint32_t opcode, const wl_message* message, wl_argument* args) {
  if (opcode == shm_create_pool) {
    create_pool(as_resource(target), args[0].n, UniqueFd(args[1].h), args[2].i);
  } else {
    close_descriptors(message, args);
  }
  return 0;
}

}  // namespace

std::span<std::uint8_t> Buffer::bytes() const {
  const std::size_t end = static_cast<std::size_t>(offset) + static_cast<std::size_t>(stride) * height;
  struct stat status {};
  if (end > pool->mapping.size() || ::fstat(pool->fd.get(), &status) != 0 ||
      static_cast<std::size_t>(status.st_size) < end) {
    return {};
  }
  return {reinterpret_cast<std::uint8_t*>(pool->mapping.data()) + offset, end - static_cast<std::size_t>(offset)};
}

void bind(wl_client* client, void* data, std::uint32_t version, std::uint32_t id) {
  auto* global = static_cast<GlobalState*>(data);
  const wl_interface* interface = wl_global_get_interface(global->global);
  wl_resource* resource = create_resource(client, interface, static_cast<int>(version), id, dispatch_shm, &shm_tag, global);
  if (resource == nullptr) return;
  for (std::uint32_t format : global->config.shm.formats) wl_shm_send_format(resource, format);
}

Buffer* buffer(wl_resource* resource) {
  if (resource == nullptr || !wl_resource_instance_of(resource, &wl_buffer_interface, &buffer_tag)) return nullptr;
  return static_cast<Buffer*>(wl_resource_get_user_data(resource));
}

}  // namespace kestrin::fake::shm
