// One xrgb8888 wl_shm buffer in its own memfd, mapped for drawing.
#pragma once

#include <wayland-client-protocol.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kestrin_lib/wayland.hpp"

namespace probe {

class Mapping {
 public:
  Mapping(void* address, std::size_t size) : address_(address), size_(size) {}
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping();

  void* get() const { return address_; }
  std::size_t size() const { return size_; }

 private:
  void* address_;
  std::size_t size_;
};

struct BufferDeleter {
  void operator()(wl_buffer* buffer) const noexcept { wl_buffer_destroy(buffer); }
};

class ShmBuffer {
 public:
  // Null when the memfd cannot be made or mapped; errno tells why.
  static std::unique_ptr<ShmBuffer> create(wl_shm* shm, std::uint32_t width, std::uint32_t height);

  ShmBuffer(const ShmBuffer&) = delete;
  ShmBuffer& operator=(const ShmBuffer&) = delete;

  wl_buffer* buffer() const { return buffer_.get(); }
  void* pixels() const { return mapping_->get(); }
  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  std::size_t stride() const { return std::size_t{width_} * 4; }

  // Between an attach and the compositor's release the pixels are not ours.
  bool busy() const { return busy_; }
  void mark_attached() { busy_ = true; }

 private:
  ShmBuffer(std::unique_ptr<Mapping> mapping, std::uint32_t width, std::uint32_t height);
  static void handle_release(void* data, wl_buffer* buffer);

  std::unique_ptr<Mapping> mapping_;
  std::unique_ptr<wl_buffer, BufferDeleter> buffer_;
  std::uint32_t width_;
  std::uint32_t height_;
  bool busy_ = false;
};

}  // namespace probe
