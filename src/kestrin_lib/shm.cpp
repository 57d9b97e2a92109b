#include "kestrin_lib/shm.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>

#include "kestrin_lib/log.hpp"
#include "kestrin_lib/random.hpp"

namespace kestrin {
namespace {

constexpr std::string_view name_prefix = "/wl_shm-";
constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr int attempts = 100;

int system_shm_open(const char* name, int flags, unsigned mode) { return ::shm_open(name, flags, mode); }
int system_shm_unlink(const char* name) { return ::shm_unlink(name); }
int system_ftruncate(int fd, long length) { return ::ftruncate(fd, length); }

Error creation_error(int errnum) {
  if (errnum == EEXIST) return Error::ordinary("Failed to create shm file");
  return Error::ordinary("Failed to create shm file: " + os_error_text(errnum));
}

}  // namespace

const ShmCalls& system_shm_calls() {
  static const ShmCalls calls{system_shm_open, system_shm_unlink, system_ftruncate};
  return calls;
}

Result<Fd> create_shm_file(std::size_t size, const ShmCalls& calls) {
  auto generator = thread_generator();
  if (!generator) return std::unexpected(generator.error());
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);

  // Each attempt lengthens the name of the one before, so a clash with
  // another process's file cannot repeat.
  std::string name(name_prefix);
  int last_error = 0;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    for (int i = 0; i < 6; ++i) name += alphabet[pick(**generator)];
    KESTRIN_LOG_INFO(log::shm_target, [&](std::string& out) {
      out += "Trying to create shm file: ";
      out += name;
    });
    int fd = calls.shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
      last_error = errno;
      continue;
    }
    Fd file(fd);
    calls.shm_unlink(name.c_str());
    if (calls.ftruncate(file.get(), static_cast<long>(size)) == 0) return file;
    return std::unexpected(creation_error(errno));
  }
  return std::unexpected(creation_error(last_error));
}

Result<Fd> create_sealed_shm_file(std::size_t size) {
  Fd file(::memfd_create("kestrin-capture", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  if (!file) return std::unexpected(creation_error(errno));
  if (::ftruncate(file.get(), static_cast<off_t>(size)) != 0) return std::unexpected(creation_error(errno));
  // Shrunk under a mapping, a file makes every read of the lost pages a
  // SIGBUS; sealed, nobody can shrink it, nor take the seal off.
  if (::fcntl(file.get(), F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_SEAL) != 0)
    return std::unexpected(creation_error(errno));
  return file;
}

Mapping::Mapping(Mapping&& other) noexcept
    : address_(std::exchange(other.address_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    Mapping gone(std::move(*this));
    address_ = std::exchange(other.address_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

Mapping::~Mapping() {
  if (address_ != nullptr) ::munmap(address_, size_);
}

Result<Mapping> map_readable(int fd, std::size_t size) {
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED)
    return std::unexpected(Error::ordinary("Failed to map the shm file: " + os_error_text(errno)));
  Mapping mapping;
  mapping.address_ = address;
  mapping.size_ = size;
  return mapping;
}

}  // namespace kestrin
