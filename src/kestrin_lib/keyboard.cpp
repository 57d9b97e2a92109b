#include "kestrin_lib/keyboard.hpp"

#include <wayland-client-core.h>

#include <algorithm>
#include <cstdio>

#include "kestrin_lib/mod.hpp"
#include "kestrin_lib/sleep.hpp"
#include "kestrin_lib/virtual_keyboard.hpp"

namespace kestrin {
namespace {

constexpr std::uint32_t no_timestamp = 0;
// Key codes an xkb_state can be told about.
constexpr std::uint32_t largest_xkb_key = 0xffffffffu - evdev_offset;

// libwayland-client queues 4096 bytes and fails the whole connection when a
// request does not fit and the socket takes no more; flushing whenever half
// of that is queued keeps every request fitting.
constexpr std::size_t flush_threshold = 2048;
constexpr std::size_t key_request_bytes = 8 + 3 * 4;
constexpr std::size_t modifiers_request_bytes = 8 + 4 * 4;

// Queues the session's key and modifiers requests, keeping the record of the
// modifiers the compositor has.
class Sender {
 public:
  explicit Sender(Kestrin& session) : session_(session) {}

  void key(std::uint32_t key, std::uint32_t state) {
    virtual_keyboard::key(session_.virtual_keyboard.get(), no_timestamp, key, state);
    queued_ += key_request_bytes;
  }

  void modifiers(const Modifiers& wanted) {
    Modifiers& sent = session_.keyboard_state.sent();
    if (wanted == sent) return;
    virtual_keyboard::modifiers(session_.virtual_keyboard.get(), wanted.depressed, wanted.latched, wanted.locked,
                                wanted.group);
    sent = wanted;
    queued_ += modifiers_request_bytes;
  }

  void press(std::uint32_t code) {
    key(code, virtual_keyboard::key_state_pressed);
    session_.keyboard_state.press(code);
    modifiers(session_.keyboard_state.current());
  }

  void release(std::uint32_t code) {
    key(code, virtual_keyboard::key_state_released);
    session_.keyboard_state.release(code);
    modifiers(session_.keyboard_state.current());
  }

  // Flushes once enough is queued, waiting for the socket if need be.
  Status make_room() {
    if (queued_ < flush_threshold) return {};
    queued_ = 0;
    return session_.event_queue.flush();
  }

  // Sends what is queued now if the socket takes it, without waiting: for
  // the way out of a call that is ending anyway.
  void flush_without_waiting() { wl_display_flush(session_.event_queue.display()); }

 private:
  Kestrin& session_;
  std::size_t queued_ = 0;
};

std::string quoted(std::string_view text) {
  std::string out = "'";
  out += text;
  return out + "'";
}

}  // namespace

std::string describe_key(const KeySpec& key) {
  if (const auto* code = std::get_if<std::uint32_t>(&key)) return "key " + std::to_string(*code);
  return "key " + quoted(std::get<std::string>(key));
}

namespace {

// A character as Python's repr shows it, for the usual cases; the U+ form
// beside it is exact in every case.
std::string character_repr(char32_t c) {
  char buffer[16];
  auto escaped = [&](const char* format) {
    std::snprintf(buffer, sizeof buffer, format, static_cast<unsigned>(c));
    return std::string("'") + buffer + "'";
  };
  if (c == '\'') return "\"'\"";
  if (c == '\\') return "'\\\\'";
  if (c == '\t') return "'\\t'";
  if (c == '\n') return "'\\n'";
  if (c == '\r') return "'\\r'";
  if (c < 0x20 || (c >= 0x7f && c <= 0xa0) || c == 0xad) return escaped("\\x%02x");
  const bool unprintable = c == 0x1680 || (c >= 0x2000 && c <= 0x200f) || (c >= 0x2028 && c <= 0x202f) ||
                           (c >= 0x205f && c <= 0x206f) || c == 0x3000 || (c >= 0xd800 && c <= 0xf8ff) ||
                           c == 0xfeff || (c >= 0xfff9 && c <= 0xfffb) || c >= 0xe0000;
  if (unprintable) return escaped(c > 0xffff ? "\\U%08x" : "\\u%04x");
  std::string out = "'";
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
  return out + "'";
}

}  // namespace

Error untypeable(char32_t c, std::size_t index) {
  char code[16];
  std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
  return Error::invalid_value("the seat's keyboard layout cannot type " + character_repr(c) + " (" + code +
                              "), the character at index " + std::to_string(index));
}

Error unknown_names(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) {
    if (!list.empty()) list += ", ";
    list += quoted(name);
  }
  return Error::invalid_value(std::string(names.size() == 1 ? "unknown key name: " : "unknown key names: ") + list +
                              " (a name is an XKB keysym name of the seat's keymap, such as 'a', 'Return' or "
                              "'F5', a single character, or one of ctrl, shift, alt, altgr, super, meta, logo)");
}

namespace {

// Releases `keys`, newest first, when a call ends before it could.
void let_go(Sender& send, const std::vector<std::uint32_t>& keys) {
  for (auto key = keys.rbegin(); key != keys.rend(); ++key) send.release(*key);
  send.flush_without_waiting();
}

}  // namespace

Result<const SeatKeymap*> KeyboardState::seat_keymap() {
  if (!keymap_) {
    if (!text_) {
      keymap_.emplace(std::unexpected(text_.error()));
    } else {
      keymap_.emplace(SeatKeymap::compile(**text_));
      if (*keymap_) {
        state_.reset(xkb_state_new((*keymap_)->keymap()));
        // Keys held by code before the keymap was needed count as well.
        if (state_) {
          for (std::uint32_t key : held_) {
            if (key <= largest_xkb_key) xkb_state_update_key(state_.get(), key + evdev_offset, XKB_KEY_DOWN);
          }
        }
      }
    }
  }
  if (!*keymap_) return std::unexpected(keymap_->error());
  return &**keymap_;
}

Result<std::uint32_t> KeyboardState::resolve(const KeySpec& key) {
  if (const auto* code = std::get_if<std::uint32_t>(&key)) return *code;
  auto keymap = seat_keymap();
  if (!keymap) return std::unexpected(keymap.error());
  const std::string& name = std::get<std::string>(key);
  if (auto found = (*keymap)->key_for(name)) return *found;
  return std::unexpected(unknown_names({name}));
}

bool KeyboardState::held(std::uint32_t key) const { return std::ranges::find(held_, key) != held_.end(); }

void KeyboardState::press(std::uint32_t key) {
  held_.push_back(key);
  if (state_ && key <= largest_xkb_key) xkb_state_update_key(state_.get(), key + evdev_offset, XKB_KEY_DOWN);
}

void KeyboardState::release(std::uint32_t key) {
  std::erase(held_, key);
  if (state_ && key <= largest_xkb_key) xkb_state_update_key(state_.get(), key + evdev_offset, XKB_KEY_UP);
}

Modifiers KeyboardState::current() const { return state_ ? serialized_modifiers(state_.get()) : sent_; }

Status key_down(Kestrin& session, const KeySpec& key) {
  KeyboardState& keyboard = session.keyboard_state;
  auto code = keyboard.resolve(key);
  if (!code) return std::unexpected(code.error());
  if (keyboard.held(*code)) return std::unexpected(Error::invalid_value(describe_key(key) + " is already held"));
  if (auto connected = session.event_queue.still_connected(); !connected) return connected;
  // Without a keymap the key goes out all the same, only without modifiers.
  (void)keyboard.seat_keymap();
  Sender(session).press(*code);
  return roundtrip(session.event_queue, session.queue_handle);
}

Status key_up(Kestrin& session, const KeySpec& key) {
  KeyboardState& keyboard = session.keyboard_state;
  auto code = keyboard.resolve(key);
  if (!code) return std::unexpected(code.error());
  if (!keyboard.held(*code)) return std::unexpected(Error::invalid_value(describe_key(key) + " is not held"));
  if (auto connected = session.event_queue.still_connected(); !connected) return connected;
  Sender(session).release(*code);
  return roundtrip(session.event_queue, session.queue_handle);
}

std::vector<KeySpec> split_key_combination(std::string_view combination) {
  std::vector<KeySpec> keys;
  for (;;) {
    const std::size_t plus = combination.find('+');
    std::string_view name = combination.substr(0, plus);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    keys.emplace_back(std::string(name));
    if (plus == std::string_view::npos) return keys;
    combination.remove_prefix(plus + 1);
  }
}

Status press_keys(Kestrin& session, const std::vector<KeySpec>& keys, const UIntValue& hold) {
  KeyboardState& keyboard = session.keyboard_state;
  if (keys.empty()) return std::unexpected(Error::invalid_value("no keys to press"));
  std::vector<std::uint32_t> codes;
  std::vector<std::string> unknown;
  for (const KeySpec& key : keys) {
    auto code = keyboard.resolve(key);
    if (code) {
      codes.push_back(*code);
    } else if (code.error().kind == Error::Kind::invalid_value) {
      unknown.push_back(std::get<std::string>(key));
    } else {
      return std::unexpected(code.error());
    }
  }
  if (!unknown.empty()) return std::unexpected(unknown_names(unknown));
  for (std::size_t i = 0; i < codes.size(); ++i) {
    if (keyboard.held(codes[i])) return std::unexpected(Error::invalid_value(describe_key(keys[i]) + " is already held"));
    if (std::find(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(i), codes[i]) != codes.begin() + static_cast<std::ptrdiff_t>(i))
      return std::unexpected(Error::invalid_value(describe_key(keys[i]) + " is given twice"));
  }
  if (auto connected = session.event_queue.still_connected(); !connected) return connected;
  (void)keyboard.seat_keymap();

  Sender send(session);
  for (std::uint32_t code : codes) send.press(code);
  if (auto pressed = roundtrip(session.event_queue, session.queue_handle); !pressed) {
    // Ctrl-C while the compositor takes the presses must not leave the keys
    // held in the focused application.
    if (pressed.error().is_interrupted()) let_go(send, codes);
    return pressed;
  }
  // Drawn only once the presses have been acknowledged, as key_press does.
  auto hold_ms = hold.get();
  if (!hold_ms) {
    let_go(send, codes);
    return std::unexpected(hold_ms.error());
  }
  sleep_ms(*hold_ms);
  for (auto code = codes.rbegin(); code != codes.rend(); ++code) send.release(*code);
  return roundtrip(session.event_queue, session.queue_handle);
}

Status type_text(Kestrin& session, std::string_view text, const UIntValue& interval) {
  KeyboardState& keyboard = session.keyboard_state;
  auto keymap = keyboard.seat_keymap();
  if (!keymap) return std::unexpected(keymap.error());

  // Everything is looked up before anything is sent.
  std::vector<KeyStroke> strokes;
  strokes.reserve(text.size());
  std::optional<KeyStroke> return_key;
  if (auto key = (*keymap)->key_for("Return")) return_key = KeyStroke{*key, 0};
  for (std::size_t at = 0, index = 0; at < text.size(); ++index) {
    const char32_t c = next_code_point(text, at);
    // A newline is the Return key, whatever key the keymap gives U+000A.
    const KeyStroke* stroke = c == '\n' ? (return_key ? &*return_key : nullptr) : (*keymap)->stroke_for(c);
    if (stroke == nullptr) return std::unexpected(untypeable(c, index));
    strokes.push_back(*stroke);
  }
  if (strokes.empty()) return {};
  if (auto connected = session.event_queue.still_connected(); !connected) return connected;

  // Each character gets exactly the modifiers of its level; what the held
  // keys set comes back afterwards.
  const Modifiers held = keyboard.current();
  const bool all_at_once = !interval.is_range() && interval.lower() == 0;
  Sender send(session);
  for (std::size_t i = 0; i < strokes.size(); ++i) {
    if (!all_at_once && i > 0) {
      auto pause = interval.get();
      if (!pause) return std::unexpected(pause.error());
      sleep_ms(*pause);
    }
    send.modifiers(Modifiers{strokes[i].modifiers, 0, 0, 0});
    send.key(strokes[i].key, virtual_keyboard::key_state_pressed);
    send.key(strokes[i].key, virtual_keyboard::key_state_released);
    if (!all_at_once) {
      send.modifiers(held);
      if (auto typed = roundtrip(session.event_queue, session.queue_handle); !typed) return typed;
    } else if (auto room = send.make_room(); !room) {
      send.modifiers(held);
      send.flush_without_waiting();
      return room;
    }
  }
  if (!all_at_once) return {};
  send.modifiers(held);
  return roundtrip(session.event_queue, session.queue_handle);
}

void release_held_keys(Kestrin& session) noexcept {
  if (!session.virtual_keyboard || session.keyboard_state.held_keys().empty()) return;
  if (!session.event_queue.still_connected()) return;
  try {
    Sender send(session);
    let_go(send, std::vector<std::uint32_t>(session.keyboard_state.held_keys()));
    hand_over_before_closing(session.event_queue.display());
  } catch (...) {
    // Out of memory while copying a handful of key codes: the compositor
    // releases them itself when the keyboard goes.
  }
}

}  // namespace kestrin
