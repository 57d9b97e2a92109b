// The seat's keymap: read from the file the compositor sent, remembered per
// compositor, and understood through libxkbcommon as the answers to "which key
// and which modifiers type this character" and "which key carries this
// keysym".
#pragma once

#include <xkbcommon/xkbcommon.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kestrin_lib/error.hpp"
#include "kestrin_lib/fd.hpp"

namespace kestrin {

struct XkbUnref {
  void operator()(xkb_context* context) const noexcept { xkb_context_unref(context); }
  void operator()(xkb_keymap* keymap) const noexcept { xkb_keymap_unref(keymap); }
  void operator()(xkb_state* state) const noexcept { xkb_state_unref(state); }
};

using XkbContext = std::unique_ptr<xkb_context, XkbUnref>;
using XkbKeymap = std::unique_ptr<xkb_keymap, XkbUnref>;
using XkbState = std::unique_ptr<xkb_state, XkbUnref>;

// wl_keyboard and the virtual keyboard speak evdev codes; xkb key codes are
// the same plus 8.
inline constexpr std::uint32_t evdev_offset = 8;

// The first `size` bytes of a keymap file the compositor sent. Read without
// moving the file's offset: a compositor may hand the same open file to every
// client. Fails for a declared size of 0, above 64 MiB or beyond the file.
Result<std::string> read_keymap_file(int fd, std::uint32_t size);

// A sealed memory file holding `contents`, for the virtual keyboard's keymap
// request.
Result<Fd> keymap_memory_file(std::string_view contents);

// A keymap as a seat sent it: its format, declared size and the file's
// contents (exactly `size` bytes).
struct KeymapRecord {
  std::uint32_t format = 0;
  std::uint32_t size = 0;
  std::shared_ptr<const std::string> contents;
};

// The last keymap a seat of the compositor at `socket_path` sent: wlroots
// forgets the seat's active keyboard when it goes away, and the next
// session's seat then sends none, in this process or a later one. Kept in
// the process for the most recent few dozen compositors (each distinct
// keymap once), and carried to later processes in a file private to the
// user beside the socket, which is believed only when it is the user's own
// plain file and compiles.
void remember_keymap(const std::string& socket_path, KeymapRecord keymap);
std::optional<KeymapRecord> remembered_keymap(const std::string& socket_path);

// The code point of UTF-8 `text` at byte `at`, moving `at` past it. A byte
// that starts no valid sequence gives U+FFFD and moves one byte.
char32_t next_code_point(std::string_view text, std::size_t& at);

// The keysym that types character `c` through a key of its own, or NoSymbol
// for a character no key types: control characters other than those of the
// keys BackSpace, Tab, Return (also for a newline) and Escape, and what
// Unicode leaves unassigned for good (surrogates, noncharacters).
xkb_keysym_t keysym_for_character(char32_t c);

// Keymap text of kestrin's own whose keys carry `keysyms`, the key of evdev
// code `codes[i]` the keysym `keysyms[i]`, each on its only level. It
// includes nothing, so neither the compositor nor a client needs XKB files to
// compile it.
std::string own_keymap_text(const std::vector<xkb_keysym_t>& keysyms, const std::vector<std::uint32_t>& codes);

// The keysym a key name stands for, under the rules of SeatKeymap::key_for:
// an alias (ctrl, shift, alt, altgr, super, meta, logo) gives the left
// modifier's keysym; then an XKB keysym name; then a single character.
std::optional<xkb_keysym_t> keysym_for_name(std::string_view name);

// The modifier state of a keyboard as the virtual keyboard's modifiers request
// carries it.
struct Modifiers {
  std::uint32_t depressed = 0;
  std::uint32_t latched = 0;
  std::uint32_t locked = 0;
  std::uint32_t group = 0;
  bool operator==(const Modifiers&) const = default;
};

Modifiers serialized_modifiers(xkb_state* state);

// A key (evdev code) and the depressed modifiers that make it type a
// character.
struct KeyStroke {
  std::uint32_t key = 0;
  std::uint32_t modifiers = 0;
};

// A compiled keymap with its lookup tables. Only the first layout (group) is
// used: that is the one the session's virtual keyboard types with.
class SeatKeymap {
 public:
  // Compiles keymap text (a trailing NUL and anything after it is ignored).
  // Fails with libxkbcommon's own complaint as the cause.
  static Result<SeatKeymap> compile(std::string_view text);

  xkb_keymap* keymap() const { return keymap_.get(); }

  // The key and modifiers (none, Shift, the Level3 modifier that AltGr sets,
  // or both; the fewest that work, then the lowest key) that type `c`.
  const KeyStroke* stroke_for(char32_t c) const;

  // The key a name stands for: an XKB keysym name as the keymap has it ("a",
  // "A", "Return", "F5"), one of the aliases ctrl, shift, alt, altgr, super
  // (meta, logo) for the left modifier keys, or a single character.
  std::optional<std::uint32_t> key_for(std::string_view name) const;

 private:
  explicit SeatKeymap(XkbKeymap keymap) : keymap_(std::move(keymap)) {}
  void build_tables();

  XkbKeymap keymap_;
  std::unordered_map<char32_t, KeyStroke> strokes_;
  // keysym -> key, the key with the keysym on the lowest level, then the
  // lowest key.
  std::unordered_map<xkb_keysym_t, std::uint32_t> keys_;
};

}  // namespace kestrin
