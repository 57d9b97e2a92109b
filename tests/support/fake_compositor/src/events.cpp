#include "events.hpp"

#include <wayland-util.h>

#include <deque>
#include <limits>

#include "posix.hpp"

namespace kestrin::fake::events {
namespace {

using nlohmann::json;

bool is_integer_in(const json& value, std::int64_t low, std::int64_t high) {
  if (!value.is_number_integer()) return false;
  if (value.is_number_unsigned()) {
    const auto number = value.get<std::uint64_t>();
    return (low <= 0 || number >= static_cast<std::uint64_t>(low)) && number <= static_cast<std::uint64_t>(high);
  }
  const auto number = value.get<std::int64_t>();
  return number >= low && number <= high;
}

std::string describe(std::size_t index, char type) {
  return "argument " + std::to_string(index) + " (" + std::string(1, type) + ")";
}

// One argument of a message signature.
struct SignatureArgument {
  char type;      // u, i, f, s, o, n, a or h
  bool nullable;  // marked with "?"
};

std::vector<SignatureArgument> arguments_of(const char* signature) {
  std::vector<SignatureArgument> arguments;
  bool nullable = false;
  for (const char* letter = signature; *letter != '\0'; ++letter) {
    if (*letter >= '0' && *letter <= '9') continue;
    if (*letter == '?') {
      nullable = true;
      continue;
    }
    arguments.push_back({*letter, nullable});
    nullable = false;
  }
  return arguments;
}

// The version a message exists since, from its signature (1 if it says none).
int since_version(const char* signature) {
  int version = 0;
  for (const char* letter = signature; *letter >= '0' && *letter <= '9'; ++letter) version = version * 10 + (*letter - '0');
  return version == 0 ? 1 : version;
}

}  // namespace

int find_event(const wl_interface& interface, std::string_view name) {
  for (int opcode = 0; opcode < interface.event_count; ++opcode) {
    if (name == interface.events[opcode].name) return opcode;
  }
  return -1;
}

bool text_bytes(const json& value, std::string& out) {
  if (value.is_string()) {
    out = value.get<std::string>();
    return true;
  }
  if (!value.is_array()) return false;
  std::string bytes;
  for (const json& byte : value) {
    // A NUL would end the text on the wire.
    if (!is_integer_in(byte, 1, 255)) return false;
    bytes.push_back(static_cast<char>(byte.get<int>()));
  }
  out = std::move(bytes);
  return true;
}

std::string argument_problem(const wl_message& event, const json& args) {
  const std::vector<SignatureArgument> signature = arguments_of(event.signature);
  if (!args.is_array()) return "expected an array of arguments";
  if (args.size() != signature.size()) {
    return std::string(event.name) + " takes " + std::to_string(signature.size()) + " arguments, not " +
           std::to_string(args.size());
  }
  for (std::size_t i = 0; i < signature.size(); ++i) {
    const auto [type, nullable] = signature[i];
    const json& value = args[i];
    std::string ignored;
    bool fits = false;
    switch (type) {
      case 'u':
        fits = is_integer_in(value, 0, std::numeric_limits<std::uint32_t>::max());
        break;
      case 'i':
        fits = is_integer_in(value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
        break;
      case 'f':
        fits = value.is_number();
        break;
      case 's':
        fits = (nullable && value.is_null()) || text_bytes(value, ignored);
        break;
      case 'o':
        // Objects are sent only as null: the scenario has no names for them.
        fits = nullable && value.is_null();
        break;
      case 'h':
        fits = value.is_string();
        break;
      default:  // n, a: no event a client of kestrin's kind sees needs them
        return describe(i, type) + ": events with new objects or arrays cannot be sent";
    }
    if (!fits) return describe(i, type) + ": does not fit the signature \"" + event.signature + "\"";
  }
  return {};
}

void send(wl_resource* resource, std::uint32_t opcode, const wl_message& event, const json& args) {
  if (wl_resource_get_version(resource) < since_version(event.signature)) return;
  const std::vector<SignatureArgument> signature = arguments_of(event.signature);
  // Storage for what the arguments point to until the event is marshalled
  // (which copies strings and duplicates descriptors).
  std::deque<std::string> texts;
  std::deque<UniqueFd> files;
  std::vector<wl_argument> arguments(signature.size());
  for (std::size_t i = 0; i < signature.size(); ++i) {
    const json& value = args[i];
    wl_argument& argument = arguments[i];
    switch (signature[i].type) {
      case 'u':
        argument.u = value.get<std::uint32_t>();
        break;
      case 'i':
        argument.i = value.get<std::int32_t>();
        break;
      case 'f':
        argument.f = wl_fixed_from_double(value.get<double>());
        break;
      case 's':
        if (value.is_null()) {
          argument.s = nullptr;
        } else {
          std::string& text = texts.emplace_back();
          text_bytes(value, text);
          argument.s = text.c_str();
        }
        break;
      case 'o':
        argument.o = nullptr;
        break;
      case 'h':
        argument.h = files.emplace_back(memory_file("fake-event", value.get<std::string>())).get();
        break;
    }
  }
  wl_resource_post_event_array(resource, opcode, arguments.data());
}

std::vector<wl_resource*> objects_of(wl_client* client, std::string_view interface) {
  struct Search {
    std::string_view interface;
    std::vector<wl_resource*> found;
  } search{interface, {}};
  wl_client_for_each_resource(
      client,
      [](wl_resource* resource, void* data) {
        auto& search = *static_cast<Search*>(data);
        if (search.interface == wl_resource_get_class(resource)) search.found.push_back(resource);
        return WL_ITERATOR_CONTINUE;
      },
      &search);
  return search.found;
}

}  // namespace kestrin::fake::events
