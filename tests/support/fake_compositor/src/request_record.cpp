#include "request_record.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>

namespace kestrin::fake {
namespace {

using nlohmann::json;

std::string object_name(const char* interface, std::uint32_t id) {
  return std::string(interface != nullptr ? interface : "?") + "@" + std::to_string(id);
}

json object_argument(wl_object* object) {
  if (object == nullptr) return nullptr;
  // Server-side objects are the leading member of their wl_resource.
  auto* resource = reinterpret_cast<wl_resource*>(object);
  return object_name(wl_resource_get_class(resource), wl_resource_get_id(resource));
}

json array_argument(const wl_array* array) {
  json bytes = json::array();
  if (array == nullptr) return bytes;
  const auto* data = static_cast<const std::uint8_t*>(array->data);
  for (std::size_t i = 0; i < array->size; ++i) bytes.push_back(data[i]);
  return bytes;
}

}  // namespace

json file_summary(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0) return {{"size", nullptr}, {"hash", nullptr}};
  std::uint64_t hash = fnv1a64_basis;
  std::array<char, 65536> chunk;
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(fd, chunk.data(), chunk.size(), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {{"size", status.st_size}, {"hash", nullptr}};
    if (n == 0) break;
    hash = fnv1a64({chunk.data(), static_cast<std::size_t>(n)}, hash);
    offset += n;
  }
  return {{"size", status.st_size}, {"hash", hash_text(hash)}};
}

Record request_record(int client_number, const wl_protocol_logger_message& message) {
  json args = json::array();
  const char* signature = message.message->signature;
  int index = 0;
  for (const char* letter = signature; *letter != '\0' && index < message.arguments_count; ++letter) {
    if (*letter == '?' || (*letter >= '0' && *letter <= '9')) continue;
    const wl_argument& argument = message.arguments[index];
    switch (*letter) {
      case 'u':
        args.push_back(argument.u);
        break;
      case 'i':
        args.push_back(argument.i);
        break;
      case 'f':
        args.push_back(wl_fixed_to_double(argument.f));
        break;
      case 's':
        args.push_back(argument.s != nullptr ? json(argument.s) : json(nullptr));
        break;
      case 'o':
        args.push_back(object_argument(argument.o));
        break;
      case 'n': {
        // An untyped new_id (wl_registry.bind) travels as interface name,
        // version and id; the name is the string two places before.
        const wl_interface* type = message.message->types[index];
        const char* interface = type != nullptr ? type->name
                                : index >= 2    ? message.arguments[index - 2].s
                                                : nullptr;
        args.push_back(object_name(interface, argument.n));
        break;
      }
      case 'a':
        args.push_back(array_argument(argument.a));
        break;
      case 'h':
        args.push_back(file_summary(argument.h));
        break;
      default:
        args.push_back(nullptr);
        break;
    }
    ++index;
  }
  return {{"client", client_number},
          {"interface", wl_resource_get_class(message.resource)},
          {"id", wl_resource_get_id(message.resource)},
          {"request", message.message->name},
          {"args", std::move(args)}};
}

}  // namespace kestrin::fake
