// Renders protocol events for the log: the event's name and, when it has
// arguments, " { name: value, ... }". Numbers are decimal, texts are quoted
// with escapes, objects are "interface@id", enumerated values Value(Entry) or
// Unknown(number).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

struct wl_array;

namespace kestrin::render {

// Appends `text` in double quotes; backslash, quote and control characters
// are written as escapes. A null text is rendered as null.
void quoted(std::string& out, const char* text);
void quoted(std::string& out, std::string_view text);

class Event {
 public:
  Event(std::string& out, std::string_view name) : out_(out) { out_ += name; }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event() {
    if (has_args_) out_ += " }";
  }

  Event& number(std::string_view name, std::uint32_t value);
  Event& signed_number(std::string_view name, std::int32_t value);
  Event& text(std::string_view name, const char* value);
  // An object argument: the proxy's class and id, or null.
  Event& object(std::string_view name, const void* proxy);
  Event& fd(std::string_view name, std::int32_t fd);
  Event& array(std::string_view name, const wl_array* value);
  // An enumerated argument: Value(entry) for a known entry, else Unknown(raw).
  Event& enumerated(std::string_view name, std::optional<std::string_view> entry, std::uint32_t raw);
  // A bit set: Value(A | B) when every bit is known, Value(empty) for none,
  // else Unknown(raw). `names[i]` names bit i.
  Event& bits(std::string_view name, std::uint32_t raw, std::initializer_list<std::string_view> names);

 private:
  std::string& field(std::string_view name);

  std::string& out_;
  bool has_args_ = false;
};

std::optional<std::string_view> shm_format_name(std::uint32_t format);
std::optional<std::string_view> keymap_format_name(std::uint32_t format);
std::optional<std::string_view> key_state_name(std::uint32_t state);
std::optional<std::string_view> output_subpixel_name(std::int32_t subpixel);
std::optional<std::string_view> output_transform_name(std::int32_t transform);

}  // namespace kestrin::render
