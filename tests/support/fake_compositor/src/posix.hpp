// Owners of the operating-system resources the fake compositor holds: file
// descriptors, shared mappings of client pools, and the temporary directory
// and socket file of a listening compositor.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>
#include <utility>

#include "kestrin_lib/fd.hpp"

namespace kestrin::fake {

// Descriptors are owned as everywhere else in the project.
using UniqueFd = kestrin::Fd;

// A read-write shared mapping of a client's pool file.
class Mapping {
 public:
  Mapping() = default;
  Mapping(void* address, std::size_t size) : address_(address), size_(size) {}
  Mapping(Mapping&& other) noexcept
      : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  Mapping& operator=(Mapping&& other) noexcept;
  ~Mapping();

  std::byte* data() const { return static_cast<std::byte*>(address_); }
  std::size_t size() const { return size_; }

  // Grows the mapping, possibly moving it. Returns false (and leaves the
  // mapping as it was) when the kernel refuses.
  bool grow(std::size_t new_size);

 private:
  void* address_ = nullptr;
  std::size_t size_ = 0;
};

// An unnamed memory file holding `content`, for keymaps.
UniqueFd memory_file(std::string_view name, std::string_view content);

// A fresh private directory under the system's temporary directory, removed
// with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A listening Unix stream socket bound to `path`; the path is removed when
// the owner goes. The descriptor itself is handed to libwayland.
class ListeningSocket {
 public:
  explicit ListeningSocket(std::filesystem::path path);
  ListeningSocket(const ListeningSocket&) = delete;
  ListeningSocket& operator=(const ListeningSocket&) = delete;
  ~ListeningSocket();

  const std::filesystem::path& path() const { return path_; }
  UniqueFd take_fd() { return std::move(fd_); }

 private:
  std::filesystem::path path_;
  UniqueFd fd_;
};

// Reads and discards whatever a client has sent but the compositor has not
// read, closing passed descriptors. A Unix socket closed with unread data
// makes the peer's next read fail with ECONNRESET instead of end of file.
void discard_pending_input(int socket_fd);

}  // namespace kestrin::fake
