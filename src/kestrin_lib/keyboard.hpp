// Keys beyond single presses: keys held down, shortcuts and text, typed with
// the seat's own keymap, with the compositor's modifier state kept right.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/keymap.hpp"
#include "kestrin_lib/random.hpp"

namespace kestrin {

class Kestrin;

// A key as a caller gives it: a Linux key code, or a name (see
// SeatKeymap::key_for).
using KeySpec = std::variant<std::uint32_t, std::string>;

// What the session's virtual keyboard has pressed and which modifiers the
// compositor has from it. The keymap is the one the virtual keyboard was
// given; it is compiled on first need, so that sessions that only press key
// codes never pay for it.
class KeyboardState {
 public:
  KeyboardState() = default;
  // `keymap` holds the keymap file's contents, or why they could not be read.
  explicit KeyboardState(Result<std::shared_ptr<const std::string>> keymap) : text_(std::move(keymap)) {}

  // The compiled keymap, or RuntimeError's reason why there is none.
  Result<const SeatKeymap*> seat_keymap();
  // The keymap file's contents as the virtual keyboard was given them, to
  // give them back after a keymap of kestrin's own; null without a keymap.
  std::shared_ptr<const std::string> seat_keymap_text() const { return text_ ? *text_ : nullptr; }

  Result<std::uint32_t> resolve(const KeySpec& key);
  bool held(std::uint32_t key) const;

  // Records a key event. Without a keymap the modifiers stay as they are.
  void press(std::uint32_t key);
  void release(std::uint32_t key);

  const std::vector<std::uint32_t>& held_keys() const { return held_; }
  // The modifiers the compositor has from us.
  Modifiers& sent() { return sent_; }
  // The modifiers that follow from the held keys.
  Modifiers current() const;

 private:
  Result<std::shared_ptr<const std::string>> text_ = std::unexpected(Error::ordinary("no keymap"));
  std::optional<Result<SeatKeymap>> keymap_;
  XkbState state_;
  std::vector<std::uint32_t> held_;  // in the order they were pressed
  Modifiers sent_;
};

// key_down: presses a key and keeps it held; a key already held is a
// ValueError. key_up: releases a held key; one not held is a ValueError.
Status key_down(Kestrin& session, const KeySpec& key);
Status key_up(Kestrin& session, const KeySpec& key);

// Presses the keys in order, holds them for `hold` milliseconds and releases
// them in reverse order. A combination is given as names joined by "+".
Status press_keys(Kestrin& session, const std::vector<KeySpec>& keys, const UIntValue& hold);
std::vector<KeySpec> split_key_combination(std::string_view combination);

// Types UTF-8 text with the seat's layout; a character the layout lacks goes
// through a keymap of kestrin's own that carries its keysym, and the seat's
// keymap is given back before the next character of the layout. `interval`
// pauses between characters; without one the text goes out at the pace an
// application keeps up with. All of it is checked before anything is sent.
Status type_text(Kestrin& session, std::string_view text, const UIntValue& interval);

// The texts of the argument errors, shared with the GNOME session's keys:
// "key 30" / "key 'a'"; the unknown names, listed; a character no key can
// type, with its index in the text.
std::string describe_key(const KeySpec& key);
Error unknown_names(const std::vector<std::string>& names);
Error untypeable(char32_t c, std::size_t index);

// Releases every held key (newest first) and flushes, without waiting: for
// the session's teardown.
void release_held_keys(Kestrin& session) noexcept;

}  // namespace kestrin
