// The keymap a seat last sent, kept for sessions whose seat sends none: in
// this process for the most recent compositors, and for later processes in a
// file beside the compositor's socket.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kestrin_lib/keymap.hpp"

namespace kestrin {
namespace {

// Every kit desktop has a socket path of its own; a long test run must not
// keep one keymap per desktop it ever saw.
constexpr std::size_t remembered_compositors = 32;
// A carried file larger than this is not a keymap anyone wrote for us
// (real ones are some ten to a hundred kilobytes).
constexpr off_t largest_carried_keymap = 1 << 20;
constexpr std::uint32_t xkb_v1_format = 1;
constexpr const char* carried_suffix = ".kestrin-keymap";

struct Memory {
  std::mutex mutex;
  // The most recently remembered last.
  std::vector<std::pair<std::string, KeymapRecord>> keymaps;

  auto find(std::string_view socket_path) {
    return std::ranges::find_if(keymaps, [&](const auto& entry) { return entry.first == socket_path; });
  }

  // One copy of each distinct keymap, however many compositors sent it.
  void keep(const std::string& socket_path, KeymapRecord keymap) {
    for (const auto& [path, kept] : keymaps) {
      if (kept.contents != keymap.contents && *kept.contents == *keymap.contents) {
        keymap.contents = kept.contents;
        break;
      }
    }
    if (auto found = find(socket_path); found != keymaps.end()) keymaps.erase(found);
    keymaps.emplace_back(socket_path, std::move(keymap));
    if (keymaps.size() > remembered_compositors) keymaps.erase(keymaps.begin());
  }
};

Memory& memory() {
  // Never destroyed: sessions may still be torn down while the process exits.
  static Memory* instance = new Memory;
  return *instance;
}

// The directory of the socket, opened, and the carried file's name in it.
struct CarriedPlace {
  Fd directory;
  std::string name;
};

std::optional<CarriedPlace> carried_place(const std::string& socket_path) {
  const std::size_t slash = socket_path.rfind('/');
  if (slash == std::string::npos || slash + 1 == socket_path.size()) return std::nullopt;
  const std::string directory = slash == 0 ? "/" : socket_path.substr(0, slash);
  Fd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  return CarriedPlace{std::move(fd), socket_path.substr(slash + 1) + carried_suffix};
}

bool write_all(int fd, const std::string& contents) {
  for (std::size_t done = 0; done < contents.size();) {
    const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Written under a fresh name that nobody else can have made (O_EXCL follows
// no link) and renamed over the old file, so a reader never sees half a
// keymap and whatever stood under the name is replaced, not written through.
// Best effort: a directory we may not write to simply carries nothing.
void carry(const std::string& socket_path, const KeymapRecord& keymap) {
  if (keymap.format != xkb_v1_format || keymap.contents->empty() ||
      keymap.contents->size() > static_cast<std::size_t>(largest_carried_keymap))
    return;
  auto place = carried_place(socket_path);
  if (!place) return;
  static std::atomic<unsigned> written{0};
  const std::string temporary =
      place->name + "." + std::to_string(::getpid()) + "." + std::to_string(written.fetch_add(1));
  Fd file(::openat(place->directory.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0600));
  if (!file) return;
  const bool complete = ::fchmod(file.get(), 0600) == 0 && write_all(file.get(), *keymap.contents);
  file = Fd();
  if (!complete ||
      ::renameat(place->directory.get(), temporary.c_str(), place->directory.get(), place->name.c_str()) != 0)
    ::unlinkat(place->directory.get(), temporary.c_str(), 0);
}

// The carried keymap, if the file is one this user wrote for itself: a plain
// file (no link, no second name), the user's own, private to it, of a sane
// size, and a keymap libxkbcommon compiles. Anything else is ignored.
std::optional<KeymapRecord> carried(const std::string& socket_path) {
  auto place = carried_place(socket_path);
  if (!place) return std::nullopt;
  // O_NONBLOCK: a FIFO put in its place must not hold the open.
  Fd file(::openat(place->directory.get(), place->name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!file) return std::nullopt;
  struct stat status{};
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != ::geteuid() ||
      (status.st_mode & 077) != 0 || status.st_nlink != 1 || status.st_size <= 0 ||
      status.st_size > largest_carried_keymap)
    return std::nullopt;
  auto contents = read_keymap_file(file.get(), static_cast<std::uint32_t>(status.st_size));
  if (!contents || !SeatKeymap::compile(*contents)) return std::nullopt;
  const auto size = static_cast<std::uint32_t>(contents->size());
  return KeymapRecord{xkb_v1_format, size, std::make_shared<const std::string>(std::move(*contents))};
}

}  // namespace

void remember_keymap(const std::string& socket_path, KeymapRecord keymap) {
  bool changed = true;
  {
    Memory& remembered = memory();
    std::lock_guard lock(remembered.mutex);
    if (auto found = remembered.find(socket_path); found != remembered.keymaps.end()) {
      const KeymapRecord& before = found->second;
      changed = before.format != keymap.format || before.size != keymap.size || *before.contents != *keymap.contents;
    }
    remembered.keep(socket_path, keymap);
  }
  if (changed) carry(socket_path, keymap);
}

std::optional<KeymapRecord> remembered_keymap(const std::string& socket_path) {
  Memory& remembered = memory();
  {
    std::lock_guard lock(remembered.mutex);
    if (auto found = remembered.find(socket_path); found != remembered.keymaps.end()) return found->second;
  }
  auto keymap = carried(socket_path);
  if (!keymap) return std::nullopt;
  std::lock_guard lock(remembered.mutex);
  remembered.keep(socket_path, *keymap);
  return keymap;
}

}  // namespace kestrin
