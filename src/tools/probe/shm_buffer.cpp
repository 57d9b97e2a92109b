#include "shm_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace probe {

Mapping::~Mapping() { munmap(address_, size_); }

std::unique_ptr<ShmBuffer> ShmBuffer::create(wl_shm* shm, std::uint32_t width, std::uint32_t height) {
  const std::size_t size = std::size_t{width} * 4 * height;
  if (width == 0 || height == 0 || size > 0x7fffffff) {
    errno = EINVAL;
    return nullptr;
  }
  kestrin::Fd fd(memfd_create("kestrin-probe-picture", MFD_CLOEXEC));
  if (!fd || ftruncate(fd.get(), static_cast<off_t>(size)) != 0) return nullptr;
  void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (address == MAP_FAILED) return nullptr;
  std::unique_ptr<ShmBuffer> result(new ShmBuffer(std::make_unique<Mapping>(address, size), width, height));

  // The pool only hands out the one buffer; the buffer keeps the memory.
  wl_shm_pool* pool = wl_shm_create_pool(shm, fd.get(), static_cast<std::int32_t>(size));
  result->buffer_.reset(wl_shm_pool_create_buffer(pool, 0, static_cast<std::int32_t>(width),
                                                  static_cast<std::int32_t>(height),
                                                  static_cast<std::int32_t>(result->stride()), WL_SHM_FORMAT_XRGB8888));
  wl_shm_pool_destroy(pool);
  static const wl_buffer_listener listener = {.release = handle_release};
  wl_buffer_add_listener(result->buffer(), &listener, result.get());
  return result;
}

ShmBuffer::ShmBuffer(std::unique_ptr<Mapping> mapping, std::uint32_t width, std::uint32_t height)
    : mapping_(std::move(mapping)), width_(width), height_(height) {}

void ShmBuffer::handle_release(void* data, wl_buffer*) { static_cast<ShmBuffer*>(data)->busy_ = false; }

}  // namespace probe
