#include "kestrin_lib/keyboard.hpp"

#include <wayland-client-core.h>

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <unordered_map>

#include "kestrin_lib/fd.hpp"
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
constexpr std::size_t keymap_request_bytes = 8 + 2 * 4;

// The pace of keys sent without a pause asked for. No client acknowledges
// its keys, and libwayland-server disconnects a client whose socket is full
// while it does not read: foot, sent 10,000 characters at once, was gone
// after some 600. So keys go out in bursts of `burst_keys` presses; after
// each the compositor is waited for (it has passed them on by then) and the
// rest of `burst_period` is left for the client to read them.
// Measured on headless sway 1.7 on 2 cores that other builds kept busy
// (load 20): foot with a raw `cat` took 50,000 characters exact even in
// bursts of 800, so foot is not the limit; GTK's text view is (zenity
// --text-info, lines of 80 characters): it lost its connection whenever it
// was sent more than about 1,000 characters a second for long (bursts of 20
// or 48 every 8 ms with a gap of a quarter period), and kept it at 540 to
// 820 a second. Hence bursts of 20 (2,500 characters a second where the
// compositor answers at once), and gaps of twice the time the compositor
// took for a burst when it answers slowly: the rate falls with the load.
constexpr std::size_t burst_keys = 20;
constexpr std::chrono::microseconds burst_period{8000};
constexpr std::chrono::nanoseconds longest_gap = std::chrono::milliseconds(250);
// A keymap costs the compositor and every client a compilation; it ends the
// burst it is in, so that at most one goes out per period.
constexpr std::size_t keymap_weight = burst_keys;

// Queues the session's key, modifiers and keymap requests, keeping the record
// of the modifiers the compositor has, and paces them.
class Sender {
 public:
  explicit Sender(Kestrin& session) : session_(session), burst_begun_(std::chrono::steady_clock::now()) {}

  void key(std::uint32_t key, std::uint32_t state) {
    virtual_keyboard::key(session_.virtual_keyboard.get(), no_timestamp, key, state);
    queued_ += key_request_bytes;
  }

  void modifiers(const Modifiers& wanted) {
    Modifiers& sent = session_.keyboard_state.sent();
    if (wanted == sent && !modifiers_unknown_) return;
    virtual_keyboard::modifiers(session_.virtual_keyboard.get(), wanted.depressed, wanted.latched, wanted.locked,
                                wanted.group);
    sent = wanted;
    modifiers_unknown_ = false;
    queued_ += modifiers_request_bytes;
  }

  // A new keymap resets the compositor's modifier state: the next modifiers
  // go out whatever was sent before.
  void keymap(const Fd& file, std::uint32_t size) {
    virtual_keyboard::keymap(session_.virtual_keyboard.get(), virtual_keyboard::keymap_format_xkb_v1, file.get(), size);
    modifiers_unknown_ = true;
    queued_ += keymap_request_bytes;
    in_burst_ += keymap_weight;
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

  // Counts `presses` into the burst. A full burst is flushed, the compositor
  // waited for, and the rest of the burst's period slept; below that, the
  // queue is flushed once enough is queued.
  Status pace(std::size_t presses) {
    in_burst_ += presses;
    if (in_burst_ < burst_keys) return make_room();
    in_burst_ = 0;
    queued_ = 0;
    if (auto taken = roundtrip(session_.event_queue, session_.queue_handle); !taken) return taken;
    // A compositor slow to take a burst means a loaded machine, where the
    // client is slow to read it as well: it gets twice that time, up to a
    // limit (a compositor that was stopped for a while is no measure, and a
    // Ctrl-C waits out the sleep).
    const std::chrono::nanoseconds taken_for = std::chrono::steady_clock::now() - burst_begun_;
    sleep_for(std::max(std::chrono::nanoseconds(burst_period) - taken_for, std::min(2 * taken_for, longest_gap)));
    burst_begun_ = std::chrono::steady_clock::now();
    return {};
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
  static void sleep_for(std::chrono::nanoseconds span) {
    timespec remaining{static_cast<time_t>(span.count() / 1'000'000'000), static_cast<long>(span.count() % 1'000'000'000)};
    while (::nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
  }

  Kestrin& session_;
  std::size_t queued_ = 0;
  std::size_t in_burst_ = 0;
  bool modifiers_unknown_ = false;
  std::chrono::steady_clock::time_point burst_begun_;
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
  return Error::invalid_value("no key can type " + character_repr(c) + " (" + code + "), the character at index " +
                              std::to_string(index));
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
  // Many keys are paced as typed text is; Ctrl-C while the compositor takes
  // the presses must not leave the keys pressed so far held in the focused
  // application.
  std::size_t pressed = 0;
  auto let_go_pressed = [&] { let_go(send, std::vector<std::uint32_t>(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(pressed))); };
  for (std::uint32_t code : codes) {
    send.press(code);
    ++pressed;
    if (pressed == codes.size()) break;
    if (auto paced = send.pace(1); !paced) {
      if (paced.error().is_interrupted()) let_go_pressed();
      return paced;
    }
  }
  if (auto taken = roundtrip(session.event_queue, session.queue_handle); !taken) {
    if (taken.error().is_interrupted()) let_go_pressed();
    return taken;
  }
  // Drawn only once the presses have been acknowledged, as key_press does.
  auto hold_ms = hold.get();
  if (!hold_ms) {
    let_go(send, codes);
    return std::unexpected(hold_ms.error());
  }
  sleep_ms(*hold_ms);
  for (std::size_t left = codes.size(); left-- > 0;) {
    send.release(codes[left]);
    if (left == 0) break;
    if (auto paced = send.pace(1); !paced) {
      // The keys of this call not yet released go as well.
      if (paced.error().is_interrupted())
        let_go(send, std::vector<std::uint32_t>(codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(left)));
      return paced;
    }
  }
  return roundtrip(session.event_queue, session.queue_handle);
}

namespace {

// How one character is typed: a key of keymap `keymap` (0 the seat's, 1 on
// kestrin's own) with the depressed modifiers its level needs.
struct Typed {
  KeyStroke stroke;
  std::size_t keymap = 0;
};

struct KeymapFile {
  Fd file;
  std::uint32_t size = 0;
};

// A text made into keys, with the keymap files it needs: [0] the seat's, to
// give back, then kestrin's own. Without characters beyond the layout there
// are no files at all.
struct TypingPlan {
  std::vector<Typed> strokes;
  std::vector<KeymapFile> keymaps;
};

Result<KeymapFile> keymap_file(std::string_view text) {
  auto file = keymap_memory_file(text);
  if (!file) return std::unexpected(file.error());
  return KeymapFile{std::move(*file), static_cast<std::uint32_t>(text.size())};
}

Result<TypingPlan> plan_typing(KeyboardState& keyboard, const SeatKeymap& keymap, std::string_view text) {
  TypingPlan plan;
  plan.strokes.reserve(text.size());
  std::optional<KeyStroke> return_key;
  if (auto key = keymap.key_for("Return")) return_key = KeyStroke{*key, 0};

  // Keys of kestrin's own keymaps: evdev codes 1 to 247 (xkb 9 to 255, as
  // far as X11 and so Xwayland's clients reach), but those of held keys,
  // which the compositor keeps pressed across a keymap change.
  std::vector<std::uint32_t> free_codes;
  for (std::uint32_t code = 1; code + evdev_offset <= 255; ++code) {
    if (!keyboard.held(code)) free_codes.push_back(code);
  }
  std::unordered_map<xkb_keysym_t, Typed> foreign;
  std::vector<std::vector<xkb_keysym_t>> own_keysyms;

  for (std::size_t at = 0, index = 0; at < text.size(); ++index) {
    const char32_t c = next_code_point(text, at);
    // A newline is the Return key, whatever key the keymap gives U+000A.
    const KeyStroke* stroke = c == '\n' ? (return_key ? &*return_key : nullptr) : keymap.stroke_for(c);
    if (stroke != nullptr) {
      plan.strokes.push_back(Typed{*stroke, 0});
      continue;
    }
    const xkb_keysym_t keysym = keysym_for_character(c);
    if (keysym == XKB_KEY_NoSymbol || free_codes.empty()) return std::unexpected(untypeable(c, index));
    auto [entry, added] = foreign.try_emplace(keysym);
    if (added) {
      const std::size_t n = foreign.size() - 1;
      entry->second = Typed{KeyStroke{free_codes[n % free_codes.size()], 0}, 1 + n / free_codes.size()};
      if (own_keysyms.size() < entry->second.keymap) own_keysyms.emplace_back();
      own_keysyms.back().push_back(keysym);
    }
    plan.strokes.push_back(entry->second);
  }
  if (own_keysyms.empty()) return plan;

  auto seat_text = keyboard.seat_keymap_text();
  if (!seat_text) return std::unexpected(Error::ordinary("the seat's keymap could not be read"));
  auto seat_file = keymap_file(*seat_text);
  if (!seat_file) return std::unexpected(seat_file.error());
  plan.keymaps.push_back(std::move(*seat_file));
  for (const auto& keysyms : own_keysyms) {
    std::vector<std::uint32_t> codes(free_codes.begin(), free_codes.begin() + static_cast<std::ptrdiff_t>(keysyms.size()));
    auto own = keymap_file(own_keymap_text(keysyms, codes));
    if (!own) return std::unexpected(own.error());
    plan.keymaps.push_back(std::move(*own));
  }
  return plan;
}

}  // namespace

Status type_text(Kestrin& session, std::string_view text, const UIntValue& interval) {
  KeyboardState& keyboard = session.keyboard_state;
  auto keymap = keyboard.seat_keymap();
  if (!keymap) return std::unexpected(keymap.error());

  // Everything is looked up, and every keymap made, before anything is sent.
  auto plan = plan_typing(keyboard, **keymap, text);
  if (!plan) return std::unexpected(plan.error());
  const std::vector<Typed>& strokes = plan->strokes;
  if (strokes.empty()) return {};
  if (auto connected = session.event_queue.still_connected(); !connected) return connected;

  // Each character gets exactly the modifiers of its level; what the held
  // keys set comes back afterwards, and so does the seat's keymap.
  const Modifiers held = keyboard.current();
  const bool all_at_once = !interval.is_range() && interval.lower() == 0;
  Sender send(session);
  std::size_t in_use = 0;
  auto use_keymap = [&](std::size_t wanted) {
    if (wanted == in_use) return;
    send.keymap(plan->keymaps[wanted].file, plan->keymaps[wanted].size);
    in_use = wanted;
  };
  auto failed = [&](Error error) -> Status {
    use_keymap(0);
    send.modifiers(held);
    send.flush_without_waiting();
    return std::unexpected(std::move(error));
  };
  for (std::size_t i = 0; i < strokes.size(); ++i) {
    if (!all_at_once && i > 0) {
      auto pause = interval.get();
      if (!pause) return failed(pause.error());
      sleep_ms(*pause);
    }
    use_keymap(strokes[i].keymap);
    send.modifiers(Modifiers{strokes[i].stroke.modifiers, 0, 0, 0});
    send.key(strokes[i].stroke.key, virtual_keyboard::key_state_pressed);
    send.key(strokes[i].stroke.key, virtual_keyboard::key_state_released);
    // The seat's keymap comes back as soon as a character of the layout is
    // next, so the layout's characters keep their own keys.
    const bool last = i + 1 == strokes.size();
    if (last || strokes[i + 1].keymap == 0) use_keymap(0);
    if (!all_at_once) {
      send.modifiers(held);
      if (auto typed = roundtrip(session.event_queue, session.queue_handle); !typed) return failed(typed.error());
    } else if (!last) {
      if (auto paced = send.pace(1); !paced) return failed(paced.error());
    }
  }
  if (!all_at_once) return {};
  send.modifiers(held);
  if (auto typed = roundtrip(session.event_queue, session.queue_handle); !typed) return failed(typed.error());
  return {};
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
