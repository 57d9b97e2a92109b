#include "posix.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

namespace kestrin::fake {

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    if (address_ != nullptr) ::munmap(address_, size_);
    address_ = std::exchange(other.address_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

Mapping::~Mapping() {
  if (address_ != nullptr) ::munmap(address_, size_);
}

bool Mapping::grow(std::size_t new_size) {
  void* moved = ::mremap(address_, size_, new_size, MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) return false;
  address_ = moved;
  size_ = new_size;
  return true;
}

UniqueFd memory_file(std::string_view name, std::string_view content) {
  UniqueFd fd(::memfd_create(std::string(name).c_str(), MFD_CLOEXEC));
  if (!fd) throw std::system_error(errno, std::generic_category(), "memfd_create");
  std::size_t written = 0;
  while (written < content.size()) {
    ssize_t n = ::write(fd.get(), content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw std::system_error(errno, std::generic_category(), "writing a memory file");
    written += static_cast<std::size_t>(n);
  }
  return fd;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrin-fake-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ListeningSocket::ListeningSocket(std::filesystem::path path) : path_(std::move(path)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string& text = path_.native();
  if (text.empty() || text.size() >= sizeof(address.sun_path)) {
    throw std::invalid_argument("socket path must have 1 to " + std::to_string(sizeof(address.sun_path) - 1) +
                                " bytes: " + text);
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);

  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) throw std::system_error(errno, std::generic_category(), "socket");
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    throw std::system_error(errno, std::generic_category(), "bind " + text);
  }
  fd_ = std::move(fd);
  if (::listen(fd_.get(), 128) != 0) {
    int error = errno;
    ::unlink(text.c_str());
    throw std::system_error(error, std::generic_category(), "listen " + text);
  }
}

ListeningSocket::~ListeningSocket() { ::unlink(path_.c_str()); }

void discard_pending_input(int socket_fd) {
  std::array<char, 4096> bytes;
  alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(int) * 28)> control;
  for (;;) {
    iovec io{bytes.data(), bytes.size()};
    msghdr message{};
    message.msg_iov = &io;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    ssize_t n = ::recvmsg(socket_fd, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr; header = CMSG_NXTHDR(&message, header)) {
      if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
      std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(header) + i * sizeof(int), sizeof(int));
        ::close(fd);
      }
    }
  }
}

}  // namespace kestrin::fake
